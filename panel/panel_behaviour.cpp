#include "panel/panel_behaviour.h"

#include "link/checked.h"
#include "link/port_access.h"
#include "panel/bit_boxes.h"
#include "panel/module1.h"
#include "word/control_word.h"

#include <exception>

namespace {

constexpr int CheckBoxCount = 8;
constexpr int ScaleLabelCount = 19;

} // namespace

void choosePortPreset(Module1 &module, int preset) {
    module.ui.setTitle(QString::fromLatin1(PresetMenu.at(std::size_t(preset)).title));
    SetPortBase(module, PortPresets.at(std::size_t(preset)).base);
}

PanelBehaviour::PanelBehaviour(Module1 &module)
    : m_module(module) {}

// No handler traps its own errors. An error leaves the handler where it
// happened; the user is told why and the panel goes on. A failed handler puts
// `updating` back to what it found: left raised, it would silently stop every
// later change from being sent, and a handler nested in Clear or Update must
// not lower it under them.
template <typename Body> void PanelBehaviour::guarded(Body &&body) {
    const bool updatingBefore = m_module.updating;
    try {
        body();
    } catch (const std::exception &error) {
        m_module.updating = updatingBefore;
        m_module.ui.showMessage(QString::fromLocal8Bit(error.what()));
    }
}

void PanelBehaviour::load() {
    guarded([this] {
        choosePortPreset(m_module, 0);
        clear();
    });
}

void PanelBehaviour::clearClicked() {
    guarded([this] { clear(); });
}

void PanelBehaviour::clear() {
    ToolkitServices &ui = m_module.ui;
    m_module.updating = true;
    ui.setSliderPosition(0);
    ui.setReadoutText(Readout::GainText, QStringLiteral("00h"));
    for (int i = 0; i < CheckBoxCount; ++i)
        ui.setCheckValue(i, Unchecked);
    for (int k = 0; k <= 15; ++k)
        ui.setBoxText(k, ZeroText);
    SendFrame(m_module);
    SendFrame(m_module);
    m_module.updating = false;
    enableModeControls();
    refreshReadouts();
    ui.setSliderEnabled(true);
    ui.setUpdateEnabled(false);
}

void PanelBehaviour::updateClicked() {
    guarded([this] {
        ToolkitServices &ui = m_module.ui;
        m_module.updating = true;
        ui.setSliderPosition(GetGainCode(m_module));

        // Checked exactly when the box reads as 1, by the rule every other
        // reader uses, so the check boxes never claim a bit the frame lacks.
        const auto checkFromBox = [&ui](int checkBox, int box) {
            ui.setCheckValue(checkBox, boxCountsAsOne(ui.boxText(box)) ? Checked : Unchecked);
        };
        for (int i = 1; i <= 4; ++i)
            checkFromBox(i + 3, i + 7);
        for (int i = 1; i <= 3; ++i)
            checkFromBox(4 - i, i + 11);
        checkFromBox(0, 15);

        SendFrame(m_module);
        m_module.updating = false;
        enableModeControls();
        refreshReadouts();
        SendFrame(m_module);
        ui.setSliderEnabled(true);
        ui.setUpdateEnabled(false);
    });
}

void PanelBehaviour::gainSliderChanged() {
    guarded([this] {
        ToolkitServices &ui = m_module.ui;
        ui.setReadoutText(Readout::dB, gainDbText(ui.sliderPosition(), ui.sliderTickCount()));
        if (!m_module.updating)
            sendSequence();
    });
}

void PanelBehaviour::modeBitClicked(int) {
    guarded([this] {
        if (!m_module.updating)
            sendSequence();
    });
}

void PanelBehaviour::bitBoxClicked(int index) {
    guarded([this, index] {
        ToolkitServices &ui = m_module.ui;
        for (int i = 0; i < CheckBoxCount; ++i)
            ui.setCheckEnabled(i, false);
        for (int i = 0; i < ScaleLabelCount; ++i)
            ui.setScaleLabelEnabled(i, false);
        ui.setSliderEnabled(false);
        ui.setUpdateEnabled(true);
        ui.yield();
        ui.setBoxText(index, boxCountsAsOne(ui.boxText(index)) ? ZeroText : OneText);
    });
}

void PanelBehaviour::Gaincontrol_click() {
    guarded([this] {
        if (!m_module.ui.sliderEnabled())
            m_module.ui.showMessage(ReleaseReminder);
    });
}

void PanelBehaviour::portPresetChosen(int preset) {
    guarded([this, preset] { choosePortPreset(m_module, preset); });
}

void PanelBehaviour::aboutChosen() {
    guarded([this] { m_module.ui.showMessage(AboutText); });
}

void PanelBehaviour::sendSequence() {
    const std::int32_t position = m_module.ui.sliderPosition();
    SetSDIBoxes(m_module, GainToBits(checkedNarrow<std::int16_t>(position, "gain position")));
    ShowGainHex(m_module);
    SendFrame(m_module);
    SetSDOBoxes(m_module);
    ShowSDIHex(m_module);
    ShowSDOHex(m_module);
}

void PanelBehaviour::refreshReadouts() {
    SetSDOBoxes(m_module);
    ShowSDOHex(m_module);
    ShowSDIHex(m_module);
    ShowGainHex(m_module);
}

void PanelBehaviour::enableModeControls() {
    for (int i = 0; i < CheckBoxCount; ++i)
        m_module.ui.setCheckEnabled(i, true);
    for (int i = 0; i < ScaleLabelCount; ++i)
        m_module.ui.setScaleLabelEnabled(i, true);
}

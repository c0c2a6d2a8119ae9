#include "panel/window/remote_board.h"

#include "link/frame_transfer.h"
#include "link/port_access.h"
#include "panel/bit_boxes.h"
#include "panel/module1.h"
#include "panel/window/control_panel_window.h"

#include <QAction>
#include <QPushButton>
#include <QSlider>

namespace {

// Bits 7 and 6 of the panel's word are always 0: no box of theirs takes input.
constexpr std::uint16_t FixedBits = 0x00C0;

} // namespace

PanelBoard::PanelBoard(QuorvexControlPanel &window, Module1 &module, RemoteArbiter &arbiter)
    : m_window(window)
    , m_module(module)
    , m_arbiter(arbiter) {}

bool PanelBoard::controlsLocked() const {
    return m_window.Update()->isEnabled();
}

void PanelBoard::act(const std::function<void()> &action) {
    QStringList messages;
    m_arbiter.runRemote([&] { messages = m_window.collectingMessages(action); });
    if (!messages.isEmpty())
        throw PortError(messages.front().toStdString());
}

void PanelBoard::setGain(int position) {
    // As the user's move: to where the slider stands already is no move.
    act([&] { m_window.GainSlider()->setValue(position); });
}

void PanelBoard::setMode(std::size_t checkBox, bool on) {
    act([&] { m_window.setCheckValue(int(checkBox), on ? Checked : Unchecked); });
}

void PanelBoard::setWord(std::uint16_t word) {
    if (word & FixedBits)
        throw BoardRefusal{IllegalParameterValue, "bits 7 and 6 are always 0 on the panel"};
    // The bits as a user clicks them into the SDI row, then Update.
    act([&] {
        for (int k = 0; k < 16; ++k)
            m_window.setBoxText(k, bitText((word >> k) & 1));
        m_window.handle([](ToolkitEvents &events) { events.updateClicked(); });
    });
}

void PanelBoard::reset() {
    act([&] { m_window.Clear()->click(); });
}

void PanelBoard::choosePort(int preset) {
    act([&] { m_window.LPT(preset)->trigger(); });
}

bool PanelBoard::verify() {
    // Update on the row as it stands sends the word shown again, and the SDO
    // row then shows what the board read back from the frame before it.
    act([&] { m_window.handle([](ToolkitEvents &events) { events.updateClicked(); }); });
    return readBack() == word();
}

std::uint16_t PanelBoard::readHeld() {
    // No box changes: the word read is the one the SDI row was sent as.
    std::uint16_t held = 0;
    m_arbiter.runRemote([&] {
        held = readHeldWord(m_module.port,
                            {std::uint16_t(m_module.DataPort), std::uint16_t(m_module.StatusPort)});
    });
    return held;
}

int PanelBoard::gainPosition() const {
    return m_window.sliderPosition();
}

bool PanelBoard::mode(std::size_t checkBox) const {
    return m_window.checkValue(int(checkBox)) == Checked;
}

std::uint16_t PanelBoard::word() const {
    // The SDI read-out: "8112h".
    QString text = m_window.readoutText(Readout::SDIText).trimmed();
    text.chop(1);
    return std::uint16_t(text.toUInt(nullptr, 16));
}

std::uint16_t PanelBoard::readBack() const {
    BoxTexts texts;
    for (int k = 0; k < 16; ++k)
        texts[std::size_t(k)] = m_window.boxText(16 + k);
    return std::uint16_t(wordFromBoxTexts(texts));
}

int PanelBoard::port() const {
    return std::max(presetAt(std::uint16_t(m_module.DataPort)), 0);
}

PanelRemote::PanelRemote(QuorvexControlPanel &window, Module1 &module, QByteArray version,
                         int maxClients)
    : arbiter(window)
    , board(window, module, arbiter)
    , places(maxClients)
    , lan(board, version, places)
    , server(board, std::move(version), places, &lan.lock()) {
    server.setGate([this] { return arbiter.linesMayRun(); });
    QObject::connect(&window, &QuorvexControlPanel::idle, &server, &ScpiServer::resume);
    QObject::connect(&places, &ClientSlots::changed, &arbiter, &RemoteArbiter::showClients);
}

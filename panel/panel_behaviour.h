#pragma once

#include "panel/toolkit_services.h"

#include <array>

struct Module1;

// What the panel does at start-up and on every user action. Each handler runs
// to completion; an error abandons it with a message box and the panel goes on.
class PanelBehaviour : public ToolkitEvents {
public:
    explicit PanelBehaviour(Module1 &module);

    void load() override;
    void clearClicked() override;
    void updateClicked() override;
    void bitBoxClicked(int index) override;
    void modeBitClicked(int index) override;
    void gainSliderChanged() override;
    void Gaincontrol_click() override;
    void portPresetChosen(int preset) override;
    void aboutChosen() override;

private:
    void clear();
    void sendSequence();
    void refreshReadouts();
    void enableModeControls();

    template <typename Body> void guarded(Body &&body);

    Module1 &m_module;
};

// The "&PC Interface" menu, one item per port preset (in PortPresets' order):
// the item's caption and the window title while the preset is in force.
struct PresetMenuItem {
    const char *caption;
    const char *title;
};

inline constexpr std::array<PresetMenuItem, 3> PresetMenu{{
    {"LPT1 (378h)", "Kestrovia Quorvex   set to LPT1 (378h)"},
    {"LPT2 (278h)", "Kestrovia Quorvex   set to LPT2 (278h)"},
    {"LPT3 (3BCh)", "Kestrovia Quorvex   set to LPT3 (3BCh)"},
}};

// Choosing a port preset: the window title, then the port base. Sends
// nothing and touches no port; the next frame goes to the new port.
void choosePortPreset(Module1 &module, int preset);

inline const QString AboutText = QStringLiteral("QuorvexEVM Program Ver. 1.0 ");
inline const QString ReleaseReminder = QStringLiteral("click Update to release");

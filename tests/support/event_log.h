#pragma once

#include "panel/toolkit_services.h"

#include <QStringList>

// Records the window's events by name, with their index where they have one.
class EventLog : public ToolkitEvents {
public:
    QStringList events;

    void load() override { events << "load"; }
    void clearClicked() override { events << "Clear"; }
    void updateClicked() override { events << "Update"; }
    void bitBoxClicked(int index) override { events << QStringLiteral("Text1(%1)").arg(index); }
    void modeBitClicked(int index) override { events << QStringLiteral("softMode(%1)").arg(index); }
    void gainSliderChanged() override { events << "GainSlider"; }
    void Gaincontrol_click() override { events << "Gaincontrol"; }
    void portPresetChosen(int preset) override {
        events << QStringLiteral("LPT%1").arg(preset + 1);
    }
    void aboutChosen() override { events << "menuabout"; }
};

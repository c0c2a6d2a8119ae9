#pragma once

#include "link/simulated_board.h"
#include "panel/window/panel_session.h"
#include "support/recording_port.h"

#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QStringList>

// The real window and behaviour on a simulated board on LPT1, every port
// access recorded, message boxes collected instead of shown.
struct PanelFixture {
    SimulatedBoard board{0x378};
    RecordingPort port{&board};
    PanelSession session{port};
    QuorvexControlPanel &window = session.window;
    Module1 &module = session.module;
    QStringList messages;

    PanelFixture() {
        window.setMessagePresenter([this](const QString &text) { messages << text; });
        session.start();
    }

    std::vector<SentFrame> frames(bool *ok = nullptr) const {
        return framesIn(port.accesses(), ok);
    }

    std::uint16_t sdiWord() const { return boxesWord(0); }
    std::uint16_t sdoWord() const { return boxesWord(16); }

    std::uint16_t boxesWord(int first) const {
        std::uint16_t word = 0;
        for (int k = 0; k < 16; ++k)
            word |= window.boxText(first + k) == QStringLiteral(" 1") ? std::uint16_t(1u << k) : 0;
        return word;
    }

    bool automaticMode() const { return modeGroups() == 1; }
    bool manualMode() const { return modeGroups() == 0; }

    // 1 when every control of the four groups is in automatic mode, 0 when
    // every one is in manual mode, -1 when they disagree.
    int modeGroups() const {
        int automatic = 0;
        int total = 0;
        const auto count = [&](bool isAutomatic) {
            automatic += isAutomatic;
            ++total;
        };
        count(window.GainSlider()->isEnabled());
        count(!window.Update()->isEnabled());
        for (int i = 0; i < 8; ++i)
            count(window.softMode(i)->isEnabled());
        for (int i = 0; i < 19; ++i)
            count(window.Scalelabel(i)->isEnabled());
        return automatic == total ? 1 : automatic == 0 ? 0 : -1;
    }
};

#pragma once

#include "panel/toolkit_services.h"

#include <QStringList>

#include <array>
#include <deque>
#include <functional>

// The window's controls held in memory. Like the real toolkit, setting a
// different check value or slider position raises the event before the
// setter returns, and yield() runs whatever was posted before it.
class FakeToolkit : public ToolkitServices {
public:
    FakeToolkit();

    void setEvents(ToolkitEvents *events) { m_events = events; }

    QString boxText(int index) const override { return m_boxes.at(std::size_t(index)); }
    void setBoxText(int index, const QString &text) override {
        m_boxes.at(std::size_t(index)) = text;
    }
    QString readoutText(Readout readout) const override;
    void setReadoutText(Readout readout, const QString &text) override;
    int checkValue(int index) const override { return m_checks.at(std::size_t(index)); }
    void setCheckValue(int index, int value) override;
    void setCheckEnabled(int index, bool enabled) override;
    int sliderPosition() const override { return m_slider; }
    void setSliderPosition(int position) override;
    int sliderTickCount() const override { return m_tickCount; }
    bool sliderEnabled() const override { return m_sliderEnabled; }
    void setSliderEnabled(bool enabled) override { m_sliderEnabled = enabled; }
    void setScaleLabelEnabled(int index, bool enabled) override;
    void setUpdateEnabled(bool enabled) override { m_updateEnabled = enabled; }
    void setTitle(const QString &title) override { m_title = title; }
    void yield() override;
    void showMessage(const QString &text) override { m_messages << text; }

    // Queues an event for the next yield, as a click the user made while a
    // handler was running.
    void post(std::function<void()> event) { m_pending.push_back(std::move(event)); }

    bool checkEnabled(int index) const { return m_checkEnabled.at(std::size_t(index)); }
    bool scaleLabelEnabled(int index) const { return m_scaleEnabled.at(std::size_t(index)); }
    bool updateEnabled() const { return m_updateEnabled; }
    QString title() const { return m_title; }
    const QStringList &messages() const { return m_messages; }
    int yields() const { return m_yields; }
    void setTickCount(int count) { m_tickCount = count; }

private:
    ToolkitEvents *m_events = nullptr;
    std::array<QString, 32> m_boxes;
    std::array<QString, 4> m_readouts;
    std::array<int, 8> m_checks{};
    std::array<bool, 8> m_checkEnabled;
    std::array<bool, 19> m_scaleEnabled;
    int m_slider = 0;
    int m_tickCount = 19;
    bool m_sliderEnabled = true;
    bool m_updateEnabled = false;
    QString m_title = QStringLiteral("Kestrovia Quorvex");
    QStringList m_messages;
    std::deque<std::function<void()>> m_pending;
    int m_yields = 0;
};

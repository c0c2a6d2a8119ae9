#include "fake_toolkit.h"

FakeToolkit::FakeToolkit() {
    m_boxes.fill(QStringLiteral(" 0"));
    m_readouts = {QString(19, QLatin1Char(' ')), QStringLiteral(" "),
                  QStringLiteral("         xxH"), QStringLiteral(" 0")};
    m_checkEnabled.fill(true);
    m_scaleEnabled.fill(true);
}

QString FakeToolkit::readoutText(Readout readout) const {
    return m_readouts.at(std::size_t(readout));
}

void FakeToolkit::setReadoutText(Readout readout, const QString &text) {
    m_readouts.at(std::size_t(readout)) = text;
}

void FakeToolkit::setCheckValue(int index, int value) {
    int &current = m_checks.at(std::size_t(index));
    if (current == value)
        return;
    current = value;
    if (m_events)
        m_events->modeBitClicked(index);
}

void FakeToolkit::setCheckEnabled(int index, bool enabled) {
    m_checkEnabled.at(std::size_t(index)) = enabled;
}

void FakeToolkit::setSliderPosition(int position) {
    position = qBound(0, position, 18);
    if (position == m_slider)
        return;
    m_slider = position;
    if (m_events)
        m_events->gainSliderChanged();
}

void FakeToolkit::setScaleLabelEnabled(int index, bool enabled) {
    m_scaleEnabled.at(std::size_t(index)) = enabled;
}

void FakeToolkit::yield() {
    ++m_yields;
    std::deque<std::function<void()>> pending;
    pending.swap(m_pending);
    for (auto &event : pending)
        event();
}

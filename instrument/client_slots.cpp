#include "instrument/client_slots.h"

#include <QCoreApplication>

bool ClientSlots::take() {
    if (m_used >= m_capacity)
        return false;
    emit changed(++m_used);
    return true;
}

void ClientSlots::give() {
    if (m_used > 0)
        emit changed(--m_used);
}

QByteArray ClientSlots::refusal() const {
    const QString taken = m_capacity == 1
                              ? QStringLiteral("the one client place is taken")
                              : QStringLiteral("all %1 client places are taken").arg(m_capacity);
    return QStringLiteral("%1: refused: %2; one frees when a client disconnects; for more, start "
                          "%1 with --max-clients N (at most %3)\n")
        .arg(QCoreApplication::applicationName(), taken)
        .arg(CapacityLimit)
        .toUtf8();
}

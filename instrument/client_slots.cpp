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
    return QStringLiteral("%1: refused: all %2 client places are taken; one frees when a client "
                          "disconnects; for more, start %1 with --max-clients N (at most %3)\n")
        .arg(QCoreApplication::applicationName())
        .arg(m_capacity)
        .arg(CapacityLimit)
        .toUtf8();
}

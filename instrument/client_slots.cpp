#include "instrument/client_slots.h"

#include <QCoreApplication>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

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

void ClientSlots::probeWhenSilent(int descriptor) {
    const int on = 1;
    ::setsockopt(descriptor, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPIDLE, &KeepIdleSeconds, sizeof KeepIdleSeconds);
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPINTVL, &KeepIntervalSeconds,
                 sizeof KeepIntervalSeconds);
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_KEEPCNT, &KeepCount, sizeof KeepCount);
}

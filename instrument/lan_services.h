#pragma once

#include "instrument/session_board.h"

class ClientSlots;

#include <QByteArray>
#include <QHostAddress>

#include <memory>

class DnsSdAnnouncement;
class Vxi11Server;

// What is offered beside the raw socket; each can be left out.
struct LanOptions {
    bool vxi11 = true;
    bool dnsSd = true;
};

// The instrument's LAN services beside the raw socket: the VXI-11 core
// channel, registered with the system's portmapper, and the DNS-SD
// announcement of all of them. A service the system cannot carry (no
// portmapper, no mDNS daemon, a port taken) is one line on stderr, and the
// others go on. Withdrawn when this goes: the announcement, the portmapper's
// entry, then the links.
class LanServices {
public:
    // board: the one board every session shares; places: the client places
    // every transport shares, of which each VXI-11 link takes one.
    LanServices(InstrumentBoard &board, QByteArray version, ClientSlots &places);
    ~LanServices();
    LanServices(const LanServices &) = delete;
    LanServices &operator=(const LanServices &) = delete;

    // The lock a VXI-11 link takes, which keeps every other session's
    // settings out, the raw socket's clients' too.
    DeviceLock &lock() { return m_lock; }

    // VXI-11 listens on address, on rawPort + 1 (any free port when that is
    // taken or rawPort is 0); the announcement covers the raw socket's
    // rawPort too. Needs the event loop of the calling thread.
    void start(const QHostAddress &address, quint16 rawPort, LanOptions options);

    Vxi11Server *vxi11() { return m_vxi11.get(); }

    // Withdraws them: the announcement, the portmapper's entry, then the
    // links. For a program that ends without unwinding, too.
    void stop();

private:
    void announce(const QHostAddress &address, quint16 rawPort);

    InstrumentBoard &m_board;
    DeviceLock m_lock;
    QByteArray m_version;
    ClientSlots &m_slots;
    std::unique_ptr<Vxi11Server> m_vxi11;
    bool m_registered = false; // with the portmapper
    std::unique_ptr<DnsSdAnnouncement> m_announcement;
};

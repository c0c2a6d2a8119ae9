#pragma once

#include "instrument/scpi_server.h"
#include "instrument/session_board.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>

class ClientSlots;
class QSocketNotifier;

// The instrument's VXI-11 core channel (ONC RPC program 0x0607AF, version 1,
// over TCP), as VISA opens TCPIP::host::INSTR, on the event loop of the
// calling thread like the raw socket. Each link is a session of its own: its
// own instrument (error queue and status) over the one shared board, and its
// own input and output buffers. One call runs at a time, whole; a call that
// must wait (a read with nothing to read, a lock another link holds, a busy
// panel) holds only its own connection, whose next calls wait behind it.
//
// Records are framed here, not by libtirpc's svc_tcp, which reads a partial
// record blocking: a connection's record is bounded by MaxRecord (larger, it
// is closed), calls that do not decode answer GARBAGE_ARGS, other programs
// PROG_UNAVAIL, other versions PROG_MISMATCH, and a link id that another
// connection made is an invalid link. There is no abort channel (create_link
// answers abort port 0) and no interrupt channel.
class Vxi11Server : public QObject {
    Q_OBJECT

public:
    static constexpr std::uint32_t CoreProgram = 0x0607AF;
    static constexpr std::uint32_t CoreVersion = 1;
    // The largest device_write data a link takes (create_link's maxRecvSize),
    // and the most a device_read gives.
    static constexpr std::uint32_t MaxReceive = 16 * 1024;
    // A whole call, all its fragments: a device_write of MaxReceive with room.
    static constexpr std::uint32_t MaxRecord = MaxReceive + 1024;
    // Answers a link has not read; a device_write past it is refused.
    static constexpr qsizetype OutputLimit = 16 * 1024;
    static constexpr qint64 InputChunk = 8 * 1024;

    // The VXI-11 errors this server answers.
    enum Error : std::int32_t {
        NoError = 0,
        DeviceNotAccessible = 3,
        InvalidLink = 4,
        ParameterError = 5,
        OperationNotSupported = 8,
        OutOfResources = 9,
        DeviceLocked = 11,
        NoLockHeld = 12,
        IoTimeout = 15,
    };

    // places: each link takes one, shared with the other transports; no more
    // connections than there are places.
    Vxi11Server(InstrumentBoard &board, DeviceLock &lock, QByteArray version, ClientSlots &places,
                QObject *parent = nullptr);
    ~Vxi11Server() override;

    // Throws ListenError.
    void listen(const QHostAddress &address, quint16 port);
    quint16 port() const { return m_server.serverPort(); }
    int links() const { return int(m_links.size()); }

    // As ScpiServer's: calls that run commands wait while gate says no.
    void setGate(std::function<bool()> gate) { m_gate = std::move(gate); }
    void resume();
    // How long a write whose command finds the board busy waits before that
    // command fails: as long as on the raw socket unless said otherwise.
    void setBusyWaitLimit(std::chrono::milliseconds limit) { m_busyWaitLimit = limit; }
    // Given to each link's instrument (see ScpiInstrument::setInterruption).
    void setInterruption(std::function<bool()> interrupted) {
        m_interrupted = std::move(interrupted);
    }

private:
    struct Connection;
    struct Link;
    struct LockWaiter {
        int descriptor;
        std::uint32_t xid;
        std::int32_t link;
        bool creating; // create_link with lockDevice: the link goes if it times out
    };

    void accept();
    void pump(int descriptor);
    // Runs the connection's whole record; says whether it has answered (or
    // will, from a timer or the lock) rather than waiting for the gate.
    bool call(Connection &connection);
    void answer(Connection &connection, const QByteArray &reply);
    void drop(int descriptor);
    void destroyLink(std::int32_t id);
    void releaseLock();
    // A lock wait's lock_timeout has passed.
    void lockWaitEnded(int descriptor);
    void answerLockWaiter(const LockWaiter &waiter, std::int32_t error);
    bool gateOpen() const { return !m_gate || m_gate(); }

    InstrumentBoard &m_board;
    DeviceLock &m_lock;
    QByteArray m_version;
    ClientSlots &m_slots;
    QTcpServer m_server;
    QSocketNotifier *m_accepting = nullptr;
    std::map<int, std::unique_ptr<Connection>> m_connections; // by descriptor
    std::map<std::int32_t, std::unique_ptr<Link>> m_links;    // by link id
    std::int32_t m_nextLink = 1;
    std::deque<LockWaiter> m_lockWaiters;
    std::deque<int> m_gated; // connections whose call waits for the gate or the board
    QTimer m_busyWait;       // when the first write waiting for the board has waited enough
    std::chrono::milliseconds m_busyWaitLimit = ScpiServer::BusyWaitLimit;
    std::function<bool()> m_gate;
    std::function<bool()> m_interrupted;
};

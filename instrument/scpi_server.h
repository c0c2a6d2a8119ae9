#pragma once

#include "instrument/client_slots.h"
#include "instrument/lan_services.h"

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTimer>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

class ClientSlots;
class InstrumentBoard;
class ScpiInstrument;
class QSocketNotifier;
class StopSignals;

// An address to listen on that cannot be had; the message names it, the
// system's reason and what to do.
class ListenError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Serves a board over raw TCP, as bench instruments do on port 5025, on the
// event loop of the calling thread. Each client is a session of its own (a
// ScpiInstrument with its error queue and status registers) over the one
// board, and holds one of the shared ClientSlots; a client that finds them
// all taken is told why in one line and closed. Every line runs whole, one at
// a time (a command that waits for a busy board holds its line up to
// BusyWaitLimit, while the other clients are served);
// clients with a line waiting take turns, the event loop running between two
// turns, and a turn runs the client's lines at hand for TurnLength at most
// (at least one line). A line longer than the instrument takes is
// refused and skipped up to its end; a line cut short by a disconnect is
// dropped; a client that closes its sending half gets its answers first.
// What one client can pin is bounded: past OutputLimit of answers it has not
// read, its next line waits (and TCP slows it down), and its input is read a
// chunk at a time, only while it has no whole line waiting.
class ScpiServer : public QObject {
    Q_OBJECT

public:
    static constexpr int DefaultMaxClients = ClientSlots::DefaultCapacity;
    static constexpr int MaxClientsLimit = ClientSlots::CapacityLimit;
    static constexpr qint64 OutputLimit = 16 * 1024;
    static constexpr qint64 InputChunk = 8 * 1024;
    // The kernel's buffers of each connection, asked for each way.
    static constexpr int SocketBuffer = 16 * 1024;
    // How long accepting rests after the process ran out of descriptors.
    static constexpr int AcceptRetryMs = 100;
    static constexpr std::chrono::microseconds TurnLength{500};
    // How long a command waits for a busy board before it fails.
    static constexpr std::chrono::seconds BusyWaitLimit{5};

    // version: the last field of *IDN?; lock: the device lock the other
    // transports' sessions take, if any.
    ScpiServer(InstrumentBoard &board, QByteArray version, ClientSlots &places,
               DeviceLock *lock = nullptr, QObject *parent = nullptr);
    ~ScpiServer() override;

    // Throws ListenError.
    void listen(const QHostAddress &address, quint16 port);

    // "127.0.0.1:5025", "[::1]:5025": where it listens.
    QString whereListening() const;
    quint16 port() const { return m_server.serverPort(); }
    int clients() const { return int(m_clients.size()); }

    // Lines wait while gate says no, however long that is; resume() says it
    // may have opened, and the waiting lines then take their turns.
    void setGate(std::function<bool()> gate) { m_gate = std::move(gate); }
    void resume();

    // Another bound than BusyWaitLimit.
    void setBusyWaitLimit(std::chrono::milliseconds limit) { m_busyWaitLimit = limit; }

    // Given to each client's session (see ScpiInstrument::setInterruption).
    void setInterruption(std::function<bool()> interrupted) {
        m_interrupted = std::move(interrupted);
    }

private:
    struct Client;

    void accept();
    void pauseAccepting();
    void resumeAccepting();
    void admit(int descriptor);
    // Reads what the client may send now, writes what it may take, and
    // queues it for a turn when it has a whole line and room for the answers.
    void pump(int descriptor);
    void postTurn();
    void takeTurn();
    void drop(int descriptor);
    // Puts the clients whose lines wait for the board back in turn, those that
    // waited BusyWaitLimit told to stop waiting.
    void unpark(bool timedOut);

    InstrumentBoard &m_board;
    QByteArray m_version;
    ClientSlots &m_slots;
    DeviceLock m_ownLock; // nobody takes it: the lock where no other transport is
    DeviceLock &m_lock;
    std::function<bool()> m_interrupted;
    QTcpServer m_server; // binds and listens; accepting is done here
    QSocketNotifier *m_accepting = nullptr;
    QTimer m_acceptRetry;
    std::map<int, std::unique_ptr<Client>> m_clients; // by descriptor
    std::deque<int> m_turns;                          // clients with a whole line, in arrival order
    std::deque<int> m_parked; // clients whose line waits for the board, in order
    QTimer m_busyWait;        // when the first of them has waited long enough
    std::chrono::milliseconds m_busyWaitLimit = BusyWaitLimit;
    bool m_turnPosted = false;
    std::function<bool()> m_gate;
    // The client whose lines run now: one that drops out meanwhile (its line
    // ran the event loop) is let go only once its line has returned.
    int m_inTurn = -1;
    bool m_droppedInTurn = false;
};

// "HOST:PORT": an IPv4 address, [IPv6 address] or localhost, and a port (0
// for any free one); nothing for anything else.
std::optional<std::pair<QHostAddress, quint16>> parseListenAddress(const QString &text);

// A line for stderr when address is not a loopback one: what it exposes to
// whom, and where to read more; empty for a loopback address.
QString exposureWarning(const QHostAddress &address, quint16 port);

// Serves board on address:port until a signal that ends a program arrives
// through stop, which it acts on after the frame in flight, between two
// frames of a line; says on stderr where it listens (and warns when that is
// beyond loopback) and returns the signal. With lan, offers its services
// beside the raw socket as options say, its device lock holding for the raw
// socket's clients too. Needs a QCoreApplication. Throws ListenError.
int serveUntilSignalled(InstrumentBoard &board, StopSignals &stop, ClientSlots &places,
                        const QHostAddress &address, quint16 port, LanServices *lan = nullptr,
                        LanOptions options = {});

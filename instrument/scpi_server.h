#pragma once

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

class ScpiInstrument;
class QSocketNotifier;
class StopSignals;

// An address to listen on that cannot be had; the message names it, the
// system's reason and what to do.
class ListenError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Serves an instrument over raw TCP, as bench instruments do on port 5025, on
// the event loop of the calling thread: every line runs whole, one at a time;
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
    static constexpr int DefaultMaxClients = 16;
    static constexpr int MaxClientsLimit = 1000;
    static constexpr qint64 OutputLimit = 16 * 1024;
    static constexpr qint64 InputChunk = 8 * 1024;
    // The kernel's buffers of each connection, asked for each way.
    static constexpr int SocketBuffer = 16 * 1024;
    // How long accepting rests after the process ran out of descriptors.
    static constexpr int AcceptRetryMs = 100;
    static constexpr std::chrono::microseconds TurnLength{500};

    explicit ScpiServer(ScpiInstrument &instrument, int maxClients = DefaultMaxClients,
                        QObject *parent = nullptr);
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
    void resume() { postTurn(); }

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

    ScpiInstrument &m_instrument;
    int m_maxClients;
    QTcpServer m_server; // binds and listens; accepting is done here
    QSocketNotifier *m_accepting = nullptr;
    QTimer m_acceptRetry;
    std::map<int, std::unique_ptr<Client>> m_clients; // by descriptor
    std::deque<int> m_turns;                          // clients with a whole line, in arrival order
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

// Serves instrument on address:port until a signal that ends a program
// arrives through stop, which it acts on after the frame in flight, between
// two frames of a line; says on stderr where it listens and returns the
// signal. With lan, offers its services beside the raw socket as options
// say. Needs a QCoreApplication. Throws ListenError.
int serveUntilSignalled(ScpiInstrument &instrument, StopSignals &stop, int maxClients,
                        const QHostAddress &address, quint16 port, LanServices *lan = nullptr,
                        LanOptions options = {});

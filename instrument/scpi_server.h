#pragma once

#include <QHostAddress>
#include <QObject>
#include <QTcpServer>

#include <map>
#include <optional>
#include <stdexcept>
#include <utility>

class ScpiInstrument;
class QTcpSocket;

// An address to listen on that cannot be had; the message names it, the
// system's reason and what to do.
class ListenError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Serves an instrument over raw TCP, as bench instruments do on port 5025:
// every client's lines run one at a time, whole, in the order they arrive,
// on the event loop of the calling thread. A line longer than the
// instrument takes is refused and skipped up to its end; a line cut short by
// a disconnect is dropped.
class ScpiServer : public QObject {
    Q_OBJECT

public:
    explicit ScpiServer(ScpiInstrument &instrument, QObject *parent = nullptr);
    ~ScpiServer() override;

    // Throws ListenError.
    void listen(const QHostAddress &address, quint16 port);

    // "127.0.0.1:5025", "[::1]:5025": where it listens.
    QString whereListening() const;
    quint16 port() const { return m_server.serverPort(); }

private:
    struct Client {
        QByteArray input;
        bool skipping = false; // inside a line refused for its length
    };

    void accept();
    void serve(QTcpSocket *socket);
    void drop(QTcpSocket *socket);

    ScpiInstrument &m_instrument;
    QTcpServer m_server;
    std::map<QTcpSocket *, Client> m_clients;
};

// "HOST:PORT": an IPv4 address, [IPv6 address] or localhost, and a port (0
// for any free one); nothing for anything else.
std::optional<std::pair<QHostAddress, quint16>> parseListenAddress(const QString &text);

// Serves instrument on address:port until SIGINT or SIGTERM, which end it
// between two lines; says on stderr where it listens. Needs a
// QCoreApplication. Throws ListenError.
void serveUntilSignalled(ScpiInstrument &instrument, const QHostAddress &address, quint16 port);

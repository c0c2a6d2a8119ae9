#include "instrument/scpi_server.h"

#include "instrument/scpi_instrument.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTcpSocket>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {

// A client that sends faster than it reads its answers: past this much
// unread output its further lines wait, and TCP slows it down.
constexpr qint64 OutputLimit = 1 << 20;
constexpr qint64 InputChunk = 64 * 1024;

QString endpointText(const QHostAddress &address, quint16 port) {
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

} // namespace

ScpiServer::ScpiServer(ScpiInstrument &instrument, QObject *parent)
    : QObject(parent)
    , m_instrument(instrument) {
    connect(&m_server, &QTcpServer::newConnection, this, &ScpiServer::accept);
}

ScpiServer::~ScpiServer() {
    // The sockets close as m_server deletes them, after m_clients has gone.
    for (const auto &client : m_clients)
        client.first->disconnect(this);
}

void ScpiServer::listen(const QHostAddress &address, quint16 port) {
    if (m_server.listen(address, port))
        return;
    QString remedy;
    switch (m_server.serverError()) {
    case QAbstractSocket::AddressInUseError:
        remedy = QStringLiteral("another program listens there ('ss -ltnp' shows which): stop "
                                "it, or choose another port with --listen");
        break;
    case QAbstractSocket::SocketAccessError:
        remedy = QStringLiteral("ports below 1024 need root: choose a port above 1023 with "
                                "--listen");
        break;
    case QAbstractSocket::SocketAddressNotAvailableError:
        remedy = QStringLiteral("the address is not one of this machine's: choose one that 'ip "
                                "address' lists, or 127.0.0.1");
        break;
    default:
        remedy = QStringLiteral("choose another address with --listen");
    }
    throw ListenError(QStringLiteral("cannot listen on %1: %2; %3")
                          .arg(endpointText(address, port), m_server.errorString(), remedy)
                          .toStdString());
}

QString ScpiServer::whereListening() const {
    return endpointText(m_server.serverAddress(), m_server.serverPort());
}

void ScpiServer::accept() {
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        // Answers are small and awaited: send each at once.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        socket->setReadBufferSize(InputChunk);
        m_clients.emplace(socket, Client{});
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { serve(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { drop(socket); });
    }
}

void ScpiServer::serve(QTcpSocket *socket) {
    const auto found = m_clients.find(socket);
    if (found == m_clients.end())
        return;
    Client &client = found->second;
    qsizetype start = 0;
    for (;;) {
        const qsizetype end = client.input.indexOf('\n', start);
        if (end < 0) {
            client.input.remove(0, start);
            start = 0;
            if (!client.skipping && client.input.size() > ScpiInstrument::MaxLineLength) {
                m_instrument.refuseLongLine();
                client.skipping = true;
            }
            if (client.skipping)
                client.input.clear();
            if (socket->bytesAvailable() == 0 || socket->bytesToWrite() > OutputLimit) {
                // Now, not on the next turn of the event loop: a client that
                // has closed its sending half (nc -N) is torn down there
                // with the answers still unsent.
                socket->flush();
                return;
            }
            client.input += socket->read(InputChunk);
            continue;
        }
        const QByteArrayView line(client.input.constData() + start, end - start);
        start = end + 1;
        if (client.skipping) {
            client.skipping = false;
        } else if (line.size() > ScpiInstrument::MaxLineLength) {
            m_instrument.refuseLongLine();
        } else {
            const QByteArray answer = m_instrument.execute(line);
            if (!answer.isEmpty())
                socket->write(answer);
        }
    }
}

void ScpiServer::drop(QTcpSocket *socket) {
    m_clients.erase(socket);
    socket->deleteLater();
}

std::optional<std::pair<QHostAddress, quint16>> parseListenAddress(const QString &text) {
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    QString host = text.left(colon);
    const QString portText = text.mid(colon + 1);
    bool portOk = false;
    const uint port = portText.toUInt(&portOk);
    portOk = portOk && portText.at(0).isDigit();

    QHostAddress address;
    if (host == QLatin1String("localhost"))
        address = QHostAddress::LocalHost;
    else if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        address.setAddress(host.mid(1, host.size() - 2));
    else if (!host.contains(QLatin1Char(':')))
        address.setAddress(host);
    if (colon < 0 || !portOk || port > 65535 || address.isNull())
        return std::nullopt;
    return std::pair{address, quint16(port)};
}

void serveUntilSignalled(ScpiInstrument &instrument, const QHostAddress &address, quint16 port) {
    // The event loop reads SIGINT and SIGTERM from a descriptor, so they end
    // the server between two lines, never inside a frame. They stay blocked
    // afterwards: a second one must not cut short the release of the port.
    sigset_t stopping;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGINT);
    sigaddset(&stopping, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopping, nullptr);
    const struct Descriptor {
        int number;
        ~Descriptor() {
            if (number >= 0)
                close(number);
        }
    } descriptor{signalfd(-1, &stopping, SFD_CLOEXEC | SFD_NONBLOCK)};
    if (descriptor.number < 0)
        throw ListenError(std::string("cannot watch for SIGINT and SIGTERM: ") +
                          std::strerror(errno) + "; close some programs and try again");
    QSocketNotifier notifier(descriptor.number, QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [number = descriptor.number] {
        signalfd_siginfo info;
        while (read(number, &info, sizeof info) > 0) {
        }
        QCoreApplication::quit();
    });

    ScpiServer server(instrument);
    server.listen(address, port);
    std::fprintf(stderr, "%s: listening on %s\n", qPrintable(QCoreApplication::applicationName()),
                 qPrintable(server.whereListening()));
    QCoreApplication::exec();
}

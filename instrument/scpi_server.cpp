#include "instrument/scpi_server.h"

#include "instrument/scpi_instrument.h"
#include "instrument/vxi11_server.h"
#include "link/stop_signals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <malloc.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QString endpointText(const QHostAddress &address, quint16 port) {
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    return QStringLiteral("%1:%2").arg(host).arg(port);
}

} // namespace

// One connection, on its descriptor: what it sent that has not run, and the
// answers it has not taken.
struct ScpiServer::Client {
    Client(int descriptor, InstrumentBoard &shared, DeviceLock &lock, const QByteArray &version)
        : descriptor(descriptor)
        , board(shared, lock)
        , instrument(board, version)
        , reading(new QSocketNotifier(descriptor, QSocketNotifier::Read))
        , writing(new QSocketNotifier(descriptor, QSocketNotifier::Write)) {
        writing->setEnabled(false);
    }
    // The notifiers go later: the one that reported the end may be reporting.
    ~Client() {
        for (QSocketNotifier *notifier : {reading, writing}) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
        ::close(descriptor);
    }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool hasLine() const { return !skipping && input.contains('\n'); }

    int descriptor;
    SessionBoard board;        // the shared board, as the device lock lets this client at it
    ScpiInstrument instrument; // its session: error queue, status
    QSocketNotifier *reading;
    QSocketNotifier *writing;
    QByteArray input;
    QByteArray output;
    bool skipping = false;                          // inside a line refused for its length
    bool ended = false;                             // it sends nothing more
    bool queued = false;                            // has a whole line, waiting for its turn
    std::chrono::steady_clock::time_point parkedAt; // since when its line waits for the board
};

ScpiServer::ScpiServer(InstrumentBoard &board, QByteArray version, ClientSlots &places,
                       DeviceLock *lock, QObject *parent)
    : QObject(parent)
    , m_board(board)
    , m_version(std::move(version))
    , m_slots(places)
    , m_lock(lock ? *lock : m_ownLock) {
    m_acceptRetry.setSingleShot(true);
    m_acceptRetry.setInterval(AcceptRetryMs);
    connect(&m_acceptRetry, &QTimer::timeout, this, &ScpiServer::resumeAccepting);
    m_busyWait.setSingleShot(true);
    connect(&m_busyWait, &QTimer::timeout, this, [this] { unpark(true); });
}

ScpiServer::~ScpiServer() {
    for (std::size_t n = m_clients.size(); n > 0; --n)
        m_slots.give();
    m_clients.clear();
    // The clients' notifiers, which wait for an event loop that has ended.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void ScpiServer::listen(const QHostAddress &address, quint16 port) {
    // A burst of clients waits in the kernel's queue rather than in SYN retries.
    m_server.setListenBacklogSize(SOMAXCONN);
    if (m_server.listen(address, port)) {
        // Accepting is done here, so that running out of descriptors neither
        // spins on a listening socket that stays readable nor stops for good.
        m_server.pauseAccepting();
        m_accepting = new QSocketNotifier(m_server.socketDescriptor(), QSocketNotifier::Read, this);
        connect(m_accepting, &QSocketNotifier::activated, this, &ScpiServer::accept);
        return;
    }
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
    for (;;) {
        const int descriptor = ::accept4(int(m_server.socketDescriptor()), nullptr, nullptr,
                                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (descriptor >= 0) {
            admit(descriptor);
            continue;
        }
        switch (errno) {
        case EINTR:
        case ECONNABORTED:
        case EPROTO:
            continue;
        case EAGAIN:
            return;
        default:
            // Out of descriptors or memory (EMFILE, ENFILE, ENOBUFS, ENOMEM):
            // the client waits in the kernel's queue until a client leaves
            // or a moment has passed.
            pauseAccepting();
            return;
        }
    }
}

void ScpiServer::pauseAccepting() {
    m_accepting->setEnabled(false);
    m_acceptRetry.start();
}

void ScpiServer::resumeAccepting() {
    if (!m_accepting || m_accepting->isEnabled())
        return;
    m_acceptRetry.stop();
    m_accepting->setEnabled(true);
    accept();
}

void ScpiServer::admit(int descriptor) {
    if (!m_slots.take()) {
        // Told why and closed at once, so that it learns now rather than
        // after a timeout. What it sent already is read first: a close with
        // unread data resets the connection, and the reset may beat the line.
        const QByteArray refusal = m_slots.refusal();
        ::send(descriptor, refusal.constData(), size_t(refusal.size()),
               MSG_NOSIGNAL | MSG_DONTWAIT);
        ::shutdown(descriptor, SHUT_WR);
        char sink[512];
        while (::recv(descriptor, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
        ::close(descriptor);
        return;
    }
    // The kernel's side of what a client can pin: fixed, rather than grown
    // to megabytes for a client that never reads. Answers are small and
    // awaited: each goes at once.
    for (int option : {SO_SNDBUF, SO_RCVBUF})
        ::setsockopt(descriptor, SOL_SOCKET, option, &SocketBuffer, sizeof SocketBuffer);
    const int on = 1;
    ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ClientSlots::probeWhenSilent(descriptor);
    auto client = std::make_unique<Client>(descriptor, m_board, m_lock, m_version);
    client->instrument.setInterruption(m_interrupted);
    for (QSocketNotifier *notifier : {client->reading, client->writing})
        connect(notifier, &QSocketNotifier::activated, this,
                [this, descriptor] { pump(descriptor); });
    m_clients.emplace(descriptor, std::move(client));
}

void ScpiServer::pump(int descriptor) {
    const auto found = m_clients.find(descriptor);
    if (found == m_clients.end())
        return;
    Client &client = *found->second;

    while (!client.output.isEmpty()) {
        const ssize_t sent = ::send(descriptor, client.output.constData(),
                                    size_t(client.output.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            client.output.remove(0, qsizetype(sent));
        } else if (errno == EAGAIN) {
            break;
        } else if (errno != EINTR) {
            return drop(descriptor);
        }
    }
    client.writing->setEnabled(!client.output.isEmpty());

    while (!client.ended && !client.hasLine()) {
        if (client.skipping)
            client.input.clear();
        const qsizetype had = client.input.size();
        client.input.resize(had + InputChunk);
        const ssize_t got =
            ::recv(descriptor, client.input.data() + had, size_t(InputChunk), MSG_DONTWAIT);
        client.input.resize(had + std::max<qsizetype>(got, 0));
        if (got == 0) {
            client.ended = true;
        } else if (got < 0 && errno == EAGAIN) {
            break;
        } else if (got < 0 && errno != EINTR) {
            return drop(descriptor);
        }
        if (client.skipping) {
            const qsizetype end = client.input.indexOf('\n');
            if (end >= 0) {
                client.input.remove(0, end + 1);
                client.skipping = false;
            }
        } else if (!client.hasLine() && client.input.size() > ScpiInstrument::MaxLineLength) {
            client.instrument.refuseLongLine();
            client.skipping = true;
        }
    }
    // Read again only once the line waiting has run.
    client.reading->setEnabled(!client.ended && !client.hasLine());

    if (client.hasLine()) {
        if (!client.queued && client.output.size() <= OutputLimit) {
            client.queued = true;
            m_turns.push_back(descriptor);
            postTurn();
        }
    } else if (client.ended && client.output.isEmpty()) {
        // A line cut short by the end is dropped.
        drop(descriptor);
    }
}

void ScpiServer::postTurn() {
    if (m_turns.empty() || m_turnPosted)
        return;
    m_turnPosted = true;
    QMetaObject::invokeMethod(this, &ScpiServer::takeTurn, Qt::QueuedConnection);
}

void ScpiServer::takeTurn() {
    m_turnPosted = false;
    if (m_turns.empty() || (m_gate && !m_gate()))
        return;
    const int descriptor = m_turns.front();
    m_turns.pop_front();
    Client &client = *m_clients.at(descriptor);
    client.queued = false;
    // The client's lines at hand, for a short while: a line is short next to
    // a turn of the event loop, and a slow one (a frame on a real port) ends
    // the turn by itself.
    const auto until = std::chrono::steady_clock::now() + TurnLength;
    m_inTurn = descriptor;
    qsizetype start = 0;
    ScpiInstrument &instrument = client.instrument;
    bool parked = false;
    for (qsizetype end; (end = client.input.indexOf('\n', start)) >= 0;) {
        const QByteArrayView line(client.input.constData() + start, end - start);
        if (line.size() > ScpiInstrument::MaxLineLength) {
            instrument.refuseLongLine();
        } else {
            client.output += instrument.execute(line);
            // The line stays until the board is free and it is given again.
            if ((parked = instrument.waiting()))
                break;
        }
        start = end + 1;
        if (client.output.size() > OutputLimit || std::chrono::steady_clock::now() >= until ||
            instrument.cutShort() || m_droppedInTurn)
            break;
    }
    m_inTurn = -1;
    if (std::exchange(m_droppedInTurn, false)) {
        drop(descriptor);
        postTurn();
        return;
    }
    client.input.remove(0, start);
    if (parked) {
        // Its wait is counted from the first time its command found the
        // board busy, however often it is tried again meanwhile.
        const auto now = std::chrono::steady_clock::now();
        if (client.parkedAt == std::chrono::steady_clock::time_point{})
            client.parkedAt = now;
        const auto left = std::max(std::chrono::duration_cast<std::chrono::milliseconds>(
                                       client.parkedAt + m_busyWaitLimit - now),
                                   std::chrono::milliseconds(0));
        if (!m_busyWait.isActive() || left.count() < m_busyWait.remainingTime())
            m_busyWait.start(left);
        client.queued = true;
        m_parked.push_back(descriptor);
    } else {
        client.parkedAt = {};
    }
    pump(descriptor);
    postTurn();
}

void ScpiServer::resume() {
    unpark(false);
    postTurn();
}

void ScpiServer::unpark(bool timedOut) {
    // Back in turn ahead of the lines that came after them.
    const auto now = std::chrono::steady_clock::now();
    for (auto it = m_parked.rbegin(); it != m_parked.rend(); ++it) {
        Client &client = *m_clients.at(*it);
        if (timedOut && now - client.parkedAt >= m_busyWaitLimit)
            client.instrument.stopWaiting();
        m_turns.push_front(*it);
    }
    m_parked.clear();
    m_busyWait.stop();
    postTurn();
}

void ScpiServer::drop(int descriptor) {
    if (descriptor == m_inTurn) {
        m_droppedInTurn = true;
        const Client &client = *m_clients.at(descriptor);
        client.reading->setEnabled(false);
        client.writing->setEnabled(false);
        return;
    }
    if (m_clients.erase(descriptor) == 0)
        return;
    m_slots.give();
    std::erase(m_turns, descriptor);
    std::erase(m_parked, descriptor);
    resumeAccepting();
    // What the clients pinned goes back to the system, not only to the heap.
    if (m_clients.empty())
        malloc_trim(0);
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

QString exposureWarning(const QHostAddress &address, quint16 port) {
    if (address.isLoopback())
        return {};
    return QStringLiteral("warning: listening on %1 lets anyone who reaches that address set the "
                          "board without a password (SCPI has none); see README.md, section "
                          "SCPI, or listen on 127.0.0.1")
        .arg(endpointText(address, port));
}

int serveUntilSignalled(InstrumentBoard &board, StopSignals &stop, ClientSlots &places,
                        const QHostAddress &address, quint16 port, LanServices *lan,
                        LanOptions options) {
    // Read between two lines; within a line the instrument looks between
    // two frames. They stay held back afterwards: a second one must not cut
    // short the release of the port.
    int received = 0;
    QSocketNotifier notifier(stop.descriptor(), QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
        if ((received = stop.take()))
            QCoreApplication::exit(0);
    });
    ScpiServer server(board, QCoreApplication::applicationVersion().toUtf8(), places,
                      lan ? &lan->lock() : nullptr);
    server.setInterruption(stopSignalPending);
    server.listen(address, port);
    std::fprintf(stderr, "%s: listening on %s\n", qPrintable(QCoreApplication::applicationName()),
                 qPrintable(server.whereListening()));
    if (const QString warning = exposureWarning(address, server.port()); !warning.isEmpty())
        std::fprintf(stderr, "%s\n", qPrintable(warning));
    if (lan) {
        lan->start(address, server.port(), options);
        if (lan->vxi11())
            lan->vxi11()->setInterruption(stopSignalPending);
    }
    QCoreApplication::exec();
    return received;
}

#include "instrument/vxi11_server.h"

#include "instrument/client_slots.h"
#include "instrument/scpi_instrument.h"
#include "instrument/scpi_server.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>

#include <rpc/rpc.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// ONC RPC (RFC 5531) as far as a server answers it.
enum : std::uint32_t {
    Call = 0,
    Reply = 1,
    RpcVersion = 2,
    MsgAccepted = 0,
    MsgDenied = 1,
    RpcMismatch = 0,
    AuthError = 1,
    AuthBadCred = 1,
    Success = 0,
    ProgUnavail = 1,
    ProgMismatch = 2,
    ProcUnavail = 3,
    GarbageArgs = 4,
    LastFragment = 0x80000000u,
    MaxAuthBody = 400,
};

// The core channel's procedures (VXI-11, B.6).
enum : std::uint32_t {
    NullProc = 0,
    CreateLink = 10,
    DeviceWrite = 11,
    DeviceRead = 12,
    DeviceReadStb = 13,
    DeviceTrigger = 14,
    DeviceClear = 15,
    DeviceRemote = 16,
    DeviceLocal = 17,
    DeviceLockProc = 18,
    DeviceUnlock = 19,
    DeviceEnableSrq = 20,
    DeviceDocmd = 22,
    DestroyLink = 23,
    CreateIntrChan = 25,
    DestroyIntrChan = 26,
};

// device_flags and device_read's reasons.
enum : std::int32_t {
    WaitLock = 0x01,
    EndFlag = 0x08,
    TermCharSet = 0x80,
    ReasonRequestCount = 1,
    ReasonTermChar = 2,
    ReasonEnd = 4,
};
constexpr std::uint8_t MessageAvailable = 0x10;

// A call's record read through libtirpc's XDR routines; every read checks
// what is left, so a length from the wire never sizes more than the record.
class Decoder {
public:
    explicit Decoder(QByteArray &record)
        : m_size(u_int(record.size())) {
        xdrmem_create(&m_xdr, record.data(), m_size, XDR_DECODE);
    }
    ~Decoder() { xdr_destroy(&m_xdr); }
    Decoder(const Decoder &) = delete;
    Decoder &operator=(const Decoder &) = delete;

    bool u32(std::uint32_t &value) {
        u_int v = 0;
        const bool ok = xdr_u_int(&m_xdr, &v);
        value = v;
        return ok;
    }
    bool i32(std::int32_t &value) {
        int v = 0;
        const bool ok = xdr_int(&m_xdr, &v);
        value = v;
        return ok;
    }
    bool opaque(QByteArray &data, u_int max) {
        std::uint32_t length = 0;
        if (!u32(length) || length > max || length > m_size - xdr_getpos(&m_xdr))
            return false;
        data.resize(qsizetype(length));
        return length == 0 || xdr_opaque(&m_xdr, data.data(), length);
    }
    bool skipOpaque(u_int max) {
        QByteArray ignored;
        return opaque(ignored, max);
    }

private:
    XDR m_xdr;
    u_int m_size;
};

// A reply, record mark included.
class Encoder {
public:
    explicit Encoder(u_int capacity)
        : m_record(qsizetype(capacity) + 4, Qt::Uninitialized) {
        xdrmem_create(&m_xdr, m_record.data() + 4, capacity, XDR_ENCODE);
    }
    ~Encoder() { xdr_destroy(&m_xdr); }
    Encoder(const Encoder &) = delete;
    Encoder &operator=(const Encoder &) = delete;

    Encoder &u32(std::uint32_t value) {
        u_int v = value;
        xdr_u_int(&m_xdr, &v);
        return *this;
    }
    Encoder &i32(std::int32_t value) {
        int v = value;
        xdr_int(&m_xdr, &v);
        return *this;
    }
    Encoder &opaque(const QByteArray &data) {
        u32(std::uint32_t(data.size()));
        xdr_opaque(&m_xdr, const_cast<char *>(data.constData()), u_int(data.size()));
        return *this;
    }
    QByteArray record() {
        const u_int length = xdr_getpos(&m_xdr);
        const std::uint32_t mark = htonl(LastFragment | length);
        std::memcpy(m_record.data(), &mark, sizeof mark);
        m_record.truncate(qsizetype(length) + 4);
        return m_record;
    }

private:
    QByteArray m_record;
    XDR m_xdr;
};

Encoder &accepted(Encoder &&encoder, std::uint32_t xid, std::uint32_t status) {
    // A verifier of flavour AUTH_NONE, empty.
    return encoder.u32(xid).u32(Reply).u32(MsgAccepted).u32(0).u32(0).u32(status);
}

QByteArray acceptedReply(std::uint32_t xid, std::uint32_t status) {
    return accepted(Encoder(64), xid, status).record();
}

QByteArray errorReply(std::uint32_t xid, std::int32_t error) {
    return accepted(Encoder(64), xid, Success).i32(error).record();
}

QByteArray createLinkReply(std::uint32_t xid, std::int32_t error, std::int32_t link) {
    // No abort channel: its port is 0.
    return accepted(Encoder(64), xid, Success)
        .i32(error)
        .i32(error ? 0 : link)
        .u32(0)
        .u32(Vxi11Server::MaxReceive)
        .record();
}

QByteArray readReply(std::uint32_t xid, std::int32_t error, std::int32_t reason,
                     const QByteArray &data) {
    return accepted(Encoder(u_int(data.size()) + 64), xid, Success)
        .i32(error)
        .i32(reason)
        .opaque(data)
        .record();
}

} // namespace

// A connection on its descriptor: the record it is sending, the replies it
// has not taken, and the call that waits, if one does.
struct Vxi11Server::Connection {
    explicit Connection(int descriptor)
        : descriptor(descriptor)
        , reading(new QSocketNotifier(descriptor, QSocketNotifier::Read))
        , writing(new QSocketNotifier(descriptor, QSocketNotifier::Write))
        , timer(new QTimer) {
        writing->setEnabled(false);
        timer->setSingleShot(true);
    }
    // The notifiers and the timer go later: the one reporting may be this.
    ~Connection() {
        reading->setEnabled(false);
        writing->setEnabled(false);
        timer->stop();
        reading->deleteLater();
        writing->deleteLater();
        timer->deleteLater();
        ::close(descriptor);
    }
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    int descriptor;
    QSocketNotifier *reading;
    QSocketNotifier *writing;
    QTimer *timer;
    QByteArray input;     // bytes read, not yet framed
    QByteArray record;    // the call's fragments so far
    bool tooLong = false; // the call outgrew MaxRecord: only its head is kept
    bool recordDone = false;
    QByteArray output;
    bool ended = false;   // it sends nothing more
    bool waiting = false; // its call answers later
    bool busy = false;    // its call runs now (and may run the event loop)
    bool dropped = false; // gone while busy
};

// A link: a session of its own over the shared board.
struct Vxi11Server::Link {
    Link(std::int32_t id, int descriptor, InstrumentBoard &shared, DeviceLock &lock,
         const QByteArray &version)
        : id(id)
        , descriptor(descriptor)
        , board(shared, lock)
        , instrument(board, version) {}

    // Runs a line; false when it stopped at a command that waits for the
    // board, to be given again from there.
    bool run(QByteArrayView line) {
        const QByteArray answer = instrument.execute(line);
        if (instrument.waiting())
            return false;
        if (!answer.isEmpty()) {
            outputBytes += answer.size();
            output.push_back(answer);
        }
        return true;
    }

    // Runs the lines data completes; with end, what is left is a line too.
    // False when a line waits for the board: the write is then given again
    // as it came, and goes on from that line (carryOn()).
    bool write(QByteArrayView data, bool end) {
        if (parkedAt != std::chrono::steady_clock::time_point{})
            return carryOn(end);
        if (skipping) {
            const qsizetype newline = data.indexOf('\n');
            if (newline < 0) {
                skipping = !end;
                return true;
            }
            skipping = false;
            data = data.sliced(newline + 1);
        }
        input.append(data);
        return carryOn(end);
    }

    bool carryOn(bool end) {
        qsizetype start = 0;
        bool ran = true;
        for (qsizetype stop; (stop = input.indexOf('\n', start)) >= 0 && !instrument.cutShort();) {
            if (!(ran = run(QByteArrayView(input.constData() + start, stop - start))))
                break;
            start = stop + 1;
        }
        input.remove(0, start);
        // A line that waits stays at the head of input.
        if (ran && instrument.cutShort()) {
            input.clear();
        } else if (ran && input.size() > ScpiInstrument::MaxLineLength) {
            instrument.refuseLongLine();
            input.clear();
            skipping = !end;
        } else if (ran && end && !input.isEmpty()) {
            if ((ran = run(input)))
                input.clear();
        }
        if (ran) {
            parkedAt = {};
        } else if (parkedAt == std::chrono::steady_clock::time_point{}) {
            parkedAt = std::chrono::steady_clock::now();
        }
        return ran;
    }

    void clear() {
        input.clear();
        parkedAt = {};
        skipping = false;
        output.clear();
        outputBytes = 0;
    }

    std::int32_t id;
    int descriptor;
    SessionBoard board;
    ScpiInstrument instrument;
    QByteArray input; // a line not yet ended, or the lines from one that waits
    bool skipping = false;
    // Since when its write waits for the board (a message box on the panel),
    // and for how long it may.
    std::chrono::steady_clock::time_point parkedAt;
    std::chrono::milliseconds parkedFor{0};
    std::deque<QByteArray> output; // response messages, each read up to its END
    qsizetype outputBytes = 0;
};

Vxi11Server::Vxi11Server(InstrumentBoard &board, DeviceLock &lock, QByteArray version,
                         ClientSlots &places, QObject *parent)
    : QObject(parent)
    , m_board(board)
    , m_lock(lock)
    , m_version(std::move(version))
    , m_slots(places) {
    m_busyWait.setSingleShot(true);
    connect(&m_busyWait, &QTimer::timeout, this, [this] {
        // A write that waited its bound goes on, its command failing.
        const auto now = std::chrono::steady_clock::now();
        for (auto &[id, link] : m_links) {
            if (link->parkedAt != std::chrono::steady_clock::time_point{} &&
                now - link->parkedAt >= link->parkedFor)
                link->instrument.stopWaiting();
        }
        resume();
    });
}

Vxi11Server::~Vxi11Server() {
    m_lockWaiters.clear();
    for (std::size_t n = m_links.size(); n > 0; --n)
        m_slots.give();
    m_links.clear();
    m_lock.holder = nullptr;
    m_connections.clear();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void Vxi11Server::listen(const QHostAddress &address, quint16 port) {
    m_server.setListenBacklogSize(SOMAXCONN);
    if (!m_server.listen(address, port))
        throw ListenError(QStringLiteral("cannot listen for VXI-11 on %1 port %2: %3; choose "
                                         "another address with --listen, or leave VXI-11 out "
                                         "with --no-vxi11")
                              .arg(address.toString())
                              .arg(port)
                              .arg(m_server.errorString())
                              .toStdString());
    m_server.pauseAccepting();
    m_accepting = new QSocketNotifier(m_server.socketDescriptor(), QSocketNotifier::Read, this);
    connect(m_accepting, &QSocketNotifier::activated, this, &Vxi11Server::accept);
}

void Vxi11Server::accept() {
    for (;;) {
        const int descriptor = ::accept4(int(m_server.socketDescriptor()), nullptr, nullptr,
                                         SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (descriptor < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO)
                continue;
            if (errno != EAGAIN) {
                // Out of descriptors: the client waits in the kernel's queue.
                m_accepting->setEnabled(false);
                QTimer::singleShot(100, this, [this] {
                    m_accepting->setEnabled(true);
                    accept();
                });
            }
            return;
        }
        if (int(m_connections.size()) >= m_slots.capacity()) {
            ::close(descriptor);
            continue;
        }
        const int on = 1;
        ::setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        ClientSlots::probeWhenSilent(descriptor);
        auto connection = std::make_unique<Connection>(descriptor);
        for (QSocketNotifier *notifier : {connection->reading, connection->writing})
            connect(notifier, &QSocketNotifier::activated, this,
                    [this, descriptor] { pump(descriptor); });
        m_connections.emplace(descriptor, std::move(connection));
    }
}

void Vxi11Server::pump(int descriptor) {
    const auto found = m_connections.find(descriptor);
    if (found == m_connections.end() || found->second->busy)
        return;
    Connection &c = *found->second;
    for (;;) {
        while (!c.output.isEmpty()) {
            const ssize_t sent = ::send(descriptor, c.output.constData(), size_t(c.output.size()),
                                        MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0)
                c.output.remove(0, qsizetype(sent));
            else if (errno == EAGAIN)
                break;
            else if (errno != EINTR)
                return drop(descriptor);
        }
        if (c.waiting) {
            // Read on only to learn that the client has gone, which ends
            // its wait: a read waiting out a long io_timeout holds no slot.
            if (c.input.size() < InputChunk) {
                const qsizetype had = c.input.size();
                c.input.resize(had + InputChunk);
                const ssize_t got =
                    ::recv(descriptor, c.input.data() + had, size_t(InputChunk), MSG_DONTWAIT);
                c.input.resize(had + std::max<qsizetype>(got, 0));
                if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR))
                    return drop(descriptor);
            }
            break;
        }
        // Fragments: each a 4-byte mark (last-fragment bit, 31-bit length).
        while (!c.recordDone && c.input.size() >= 4) {
            std::uint32_t mark;
            std::memcpy(&mark, c.input.constData(), 4);
            mark = ntohl(mark);
            const qsizetype length = qsizetype(mark & ~LastFragment);
            const qsizetype room = MaxRecord - c.record.size();
            const qsizetype take = std::min<qsizetype>(c.input.size() - 4, length);
            // A call past the bound keeps only its head (for its xid); the
            // rest is read and let go.
            if (c.tooLong || length > room) {
                c.tooLong = true;
                c.record.append(c.input.constData() + 4, std::min(take, room));
            } else if (take < length) {
                break; // the fragment is not all here yet
            } else {
                c.record.append(c.input.constData() + 4, length);
            }
            if (take < length) {
                c.input.remove(4, take);
                const std::uint32_t rest =
                    htonl((mark & LastFragment) | std::uint32_t(length - take));
                std::memcpy(c.input.data(), &rest, 4);
                break;
            }
            c.input.remove(0, 4 + length);
            c.recordDone = (mark & LastFragment) != 0;
        }
        if (c.recordDone) {
            if (c.output.size() > OutputLimit)
                break; // its replies first
            c.busy = true;
            const bool answered = call(c);
            c.busy = false;
            if (c.dropped)
                return drop(descriptor);
            if (!answered) {
                c.waiting = true;
                m_gated.push_back(descriptor);
                break;
            }
            continue;
        }
        if (c.ended) {
            // A call cut short by the end is dropped.
            if (c.output.isEmpty() && !c.waiting)
                return drop(descriptor);
            break;
        }
        const qsizetype had = c.input.size();
        c.input.resize(had + InputChunk);
        const ssize_t got =
            ::recv(descriptor, c.input.data() + had, size_t(InputChunk), MSG_DONTWAIT);
        c.input.resize(had + std::max<qsizetype>(got, 0));
        if (got == 0)
            c.ended = true;
        else if (got < 0 && errno == EAGAIN)
            break;
        else if (got < 0 && errno != EINTR)
            return drop(descriptor);
    }
    c.reading->setEnabled(!c.ended && (c.waiting ? c.input.size() < InputChunk : !c.recordDone));
    c.writing->setEnabled(!c.output.isEmpty());
}

void Vxi11Server::answer(Connection &connection, const QByteArray &reply) {
    connection.record.clear();
    connection.tooLong = false;
    connection.recordDone = false;
    connection.output += reply;
    if (connection.waiting) {
        connection.waiting = false;
        pump(connection.descriptor);
    }
}

bool Vxi11Server::call(Connection &c) {
    Decoder in(c.record);
    std::uint32_t xid = 0, type = 0, rpcVersion = 0, program = 0, version = 0, procedure = 0;
    std::uint32_t flavour = 0;
    if (!in.u32(xid) || !in.u32(type) || type != Call) {
        // Not a call: nothing to answer.
        answer(c, {});
        return true;
    }
    const bool header =
        in.u32(rpcVersion) && in.u32(program) && in.u32(version) && in.u32(procedure);
    if (header && rpcVersion != RpcVersion) {
        answer(c, Encoder(64)
                      .u32(xid)
                      .u32(Reply)
                      .u32(MsgDenied)
                      .u32(RpcMismatch)
                      .u32(RpcVersion)
                      .u32(RpcVersion)
                      .record());
        return true;
    }
    // Any credentials are taken (an instrument has no users), if well formed.
    if (!header || !in.u32(flavour) || !in.skipOpaque(MaxAuthBody) || !in.u32(flavour) ||
        !in.skipOpaque(MaxAuthBody)) {
        answer(c, header ? Encoder(64)
                               .u32(xid)
                               .u32(Reply)
                               .u32(MsgDenied)
                               .u32(AuthError)
                               .u32(AuthBadCred)
                               .record()
                         : acceptedReply(xid, GarbageArgs));
        return true;
    }
    if (program != CoreProgram) {
        answer(c, acceptedReply(xid, ProgUnavail));
        return true;
    }
    if (version != CoreVersion) {
        answer(c,
               accepted(Encoder(64), xid, ProgMismatch).u32(CoreVersion).u32(CoreVersion).record());
        return true;
    }
    if (c.tooLong) {
        answer(c, acceptedReply(xid, GarbageArgs));
        return true;
    }

    std::int32_t id = 0, flags = 0, termChar = 0;
    std::uint32_t lockTimeout = 0, ioTimeout = 0, requestSize = 0;
    const auto linkOf = [&](std::int32_t linkId) -> Link * {
        const auto found = m_links.find(linkId);
        return found != m_links.end() && found->second->descriptor == c.descriptor
                   ? found->second.get()
                   : nullptr;
    };
    const auto garbage = [&] {
        answer(c, acceptedReply(xid, GarbageArgs));
        return true;
    };
    const auto fail = [&](std::int32_t error) {
        answer(c, errorReply(xid, error));
        return true;
    };
    // Waits until timeout (milliseconds) for what action answers then.
    const auto wait = [&](std::uint32_t timeout, std::function<void()> action) {
        c.timer->disconnect();
        connect(c.timer, &QTimer::timeout, this, std::move(action));
        c.timer->start(int(std::min<std::uint32_t>(timeout, INT_MAX)));
        c.waiting = true;
        return true;
    };

    switch (procedure) {
    case NullProc:
        answer(c, acceptedReply(xid, Success));
        return true;

    case CreateLink: {
        std::int32_t lockDevice = 0;
        QByteArray device;
        if (!in.i32(id) || !in.i32(lockDevice) || !in.u32(lockTimeout) || !in.opaque(device, 256))
            return garbage();
        if (device.toLower() != "inst0") {
            answer(c, createLinkReply(xid, DeviceNotAccessible, 0));
            return true;
        }
        if (!m_slots.take()) {
            answer(c, createLinkReply(xid, OutOfResources, 0));
            return true;
        }
        while (m_nextLink <= 0 || m_links.count(m_nextLink))
            m_nextLink = m_nextLink <= 0 ? 1 : m_nextLink + 1;
        const std::int32_t link = m_nextLink++;
        auto made = std::make_unique<Link>(link, c.descriptor, m_board, m_lock, m_version);
        made->instrument.setInterruption(m_interrupted);
        SessionBoard *board = &made->board;
        m_links.emplace(link, std::move(made));
        if (lockDevice && m_lock.holder) {
            if (lockTimeout == 0) {
                destroyLink(link);
                answer(c, createLinkReply(xid, DeviceLocked, 0));
                return true;
            }
            m_lockWaiters.push_back({c.descriptor, xid, link, true});
            return wait(lockTimeout,
                        [this, descriptor = c.descriptor] { lockWaitEnded(descriptor); });
        }
        if (lockDevice)
            m_lock.holder = board;
        answer(c, createLinkReply(xid, NoError, link));
        return true;
    }

    case DeviceWrite: {
        QByteArray data;
        if (!in.i32(id) || !in.u32(ioTimeout) || !in.u32(lockTimeout) || !in.i32(flags) ||
            !in.opaque(data, MaxReceive))
            return garbage();
        Link *link = linkOf(id);
        const auto written = [&](std::int32_t error, qsizetype size) {
            answer(c, accepted(Encoder(64), xid, Success).i32(error).u32(u_int(size)).record());
            return true;
        };
        if (!link)
            return written(InvalidLink, 0);
        if (!gateOpen())
            return false;
        // Answers not read yet bound what a link pins: it reads them first.
        if (link->outputBytes > OutputLimit)
            return written(OutOfResources, 0);
        if (!link->write(data, flags & EndFlag)) {
            // Given again as the board frees, or told to stop waiting once its
            // io_timeout or the busy bound has passed, whichever comes first.
            link->parkedFor = std::min<std::chrono::milliseconds>(
                std::chrono::milliseconds(ioTimeout), m_busyWaitLimit);
            const auto left =
                std::max(std::chrono::duration_cast<std::chrono::milliseconds>(
                             link->parkedAt + link->parkedFor - std::chrono::steady_clock::now()),
                         std::chrono::milliseconds(0));
            if (!m_busyWait.isActive() || left.count() < m_busyWait.remainingTime())
                m_busyWait.start(left);
            return false;
        }
        return written(NoError, data.size());
    }

    case DeviceRead: {
        if (!in.i32(id) || !in.u32(requestSize) || !in.u32(ioTimeout) || !in.u32(lockTimeout) ||
            !in.i32(flags) || !in.i32(termChar))
            return garbage();
        Link *link = linkOf(id);
        if (!link) {
            answer(c, readReply(xid, InvalidLink, 0, {}));
            return true;
        }
        if (link->output.empty()) {
            // Nothing comes on this link while its own read waits: the read
            // ends at its io_timeout, and other links go on meanwhile.
            const QByteArray timedOut = readReply(xid, IoTimeout, 0, {});
            if (ioTimeout == 0) {
                answer(c, timedOut);
                return true;
            }
            return wait(ioTimeout, [this, descriptor = c.descriptor, timedOut] {
                if (const auto found = m_connections.find(descriptor); found != m_connections.end())
                    answer(*found->second, timedOut);
            });
        }
        QByteArray &message = link->output.front();
        qsizetype size = std::min<qsizetype>(
            {message.size(), qsizetype(std::min<std::uint32_t>(requestSize, MaxReceive))});
        std::int32_t reason = 0;
        if (flags & TermCharSet) {
            const qsizetype at = QByteArrayView(message).first(size).indexOf(char(termChar));
            if (at >= 0) {
                size = at + 1;
                reason |= ReasonTermChar;
            }
        }
        if (size == qsizetype(requestSize))
            reason |= ReasonRequestCount;
        const QByteArray data = message.first(size);
        link->outputBytes -= size;
        if (size == message.size()) {
            reason |= ReasonEnd;
            link->output.pop_front();
        } else {
            message.remove(0, size);
        }
        answer(c, readReply(xid, NoError, reason, data));
        return true;
    }

    case DeviceReadStb:
    case DeviceTrigger:
    case DeviceClear:
    case DeviceRemote:
    case DeviceLocal: {
        if (!in.i32(id) || !in.i32(flags) || !in.u32(lockTimeout) || !in.u32(ioTimeout))
            return garbage();
        Link *link = linkOf(id);
        if (procedure == DeviceReadStb) {
            std::uint32_t status = 0;
            if (link) {
                status = link->instrument.execute("*STB?").trimmed().toUInt();
                if (link->outputBytes > 0)
                    status |= MessageAvailable;
            }
            answer(c, accepted(Encoder(64), xid, Success)
                          .i32(link ? NoError : InvalidLink)
                          .u32(status)
                          .record());
            return true;
        }
        if (!link)
            return fail(InvalidLink);
        if (procedure == DeviceClear)
            link->clear();
        return fail(NoError);
    }

    case DeviceLockProc: {
        if (!in.i32(id) || !in.i32(flags) || !in.u32(lockTimeout))
            return garbage();
        Link *link = linkOf(id);
        if (!link)
            return fail(InvalidLink);
        if (!m_lock.holder || link->board.holdsLock()) {
            m_lock.holder = &link->board;
            return fail(NoError);
        }
        if (!(flags & WaitLock) || lockTimeout == 0)
            return fail(DeviceLocked);
        m_lockWaiters.push_back({c.descriptor, xid, id, false});
        return wait(lockTimeout, [this, descriptor = c.descriptor] { lockWaitEnded(descriptor); });
    }

    case DeviceUnlock: {
        if (!in.i32(id))
            return garbage();
        Link *link = linkOf(id);
        if (!link)
            return fail(InvalidLink);
        if (!link->board.holdsLock())
            return fail(NoLockHeld);
        answer(c, errorReply(xid, NoError));
        releaseLock();
        return true;
    }

    case DestroyLink: {
        if (!in.i32(id))
            return garbage();
        if (!linkOf(id))
            return fail(InvalidLink);
        destroyLink(id);
        return fail(NoError);
    }

    case DeviceEnableSrq:
    case DeviceDocmd: {
        // Service requests and vendor commands are not built: their link
        // is checked, and the operation is not supported.
        if (!in.i32(id))
            return garbage();
        const std::int32_t error = linkOf(id) ? OperationNotSupported : InvalidLink;
        if (procedure == DeviceDocmd) // device_docmd_resp: error, data_out<>
            answer(c, accepted(Encoder(64), xid, Success).i32(error).u32(0).record());
        else
            answer(c, errorReply(xid, error));
        return true;
    }

    case CreateIntrChan:
    case DestroyIntrChan:
        return fail(OperationNotSupported);

    default:
        answer(c, acceptedReply(xid, ProcUnavail));
        return true;
    }
}

void Vxi11Server::resume() {
    m_busyWait.stop();
    std::deque<int> gated;
    gated.swap(m_gated);
    for (const int descriptor : gated) {
        const auto found = m_connections.find(descriptor);
        if (found == m_connections.end())
            continue;
        Connection &c = *found->second;
        c.waiting = false;
        c.recordDone = true;
        pump(descriptor);
    }
}

void Vxi11Server::lockWaitEnded(int descriptor) {
    const auto waiter =
        std::find_if(m_lockWaiters.begin(), m_lockWaiters.end(),
                     [&](const LockWaiter &w) { return w.descriptor == descriptor; });
    if (waiter == m_lockWaiters.end())
        return;
    const LockWaiter ended = *waiter;
    m_lockWaiters.erase(waiter);
    answerLockWaiter(ended, DeviceLocked);
}

void Vxi11Server::answerLockWaiter(const LockWaiter &waiter, std::int32_t error) {
    const auto found = m_connections.find(waiter.descriptor);
    if (found == m_connections.end())
        return;
    Connection &c = *found->second;
    c.timer->stop();
    if (waiter.creating) {
        if (error)
            destroyLink(waiter.link);
        answer(c, createLinkReply(waiter.xid, error, waiter.link));
    } else {
        answer(c, errorReply(waiter.xid, error));
    }
}

void Vxi11Server::releaseLock() {
    m_lock.holder = nullptr;
    // The first link that waits for it takes it.
    while (!m_lockWaiters.empty() && !m_lock.holder) {
        const LockWaiter waiter = m_lockWaiters.front();
        m_lockWaiters.pop_front();
        const auto link = m_links.find(waiter.link);
        if (link == m_links.end())
            continue;
        m_lock.holder = &link->second->board;
        answerLockWaiter(waiter, NoError);
    }
}

void Vxi11Server::destroyLink(std::int32_t id) {
    const auto found = m_links.find(id);
    if (found == m_links.end())
        return;
    const bool held = found->second->board.holdsLock();
    m_links.erase(found);
    m_slots.give();
    if (held)
        releaseLock();
}

void Vxi11Server::drop(int descriptor) {
    const auto found = m_connections.find(descriptor);
    if (found == m_connections.end())
        return;
    if (found->second->busy) {
        found->second->dropped = true;
        found->second->reading->setEnabled(false);
        found->second->writing->setEnabled(false);
        return;
    }
    std::erase_if(m_lockWaiters, [&](const LockWaiter &w) { return w.descriptor == descriptor; });
    std::erase(m_gated, descriptor);
    std::vector<std::int32_t> ids;
    for (const auto &[id, link] : m_links)
        if (link->descriptor == descriptor)
            ids.push_back(id);
    m_connections.erase(found);
    for (const std::int32_t id : ids)
        destroyLink(id);
}

#include "instrument/lan_services.h"

#include "instrument/dns_sd_announcement.h"
#include "instrument/scpi_instrument.h"
#include "instrument/scpi_server.h"
#include "instrument/vxi11_server.h"

#include <QCoreApplication>
#include <QList>
#include <QNetworkInterface>

#include <rpc/rpc.h>

#include <cstdio>
#include <functional>
#include <netinet/in.h>
#include <utility>

namespace {

void say(const std::string &line) {
    std::fprintf(stderr, "%s: %s\n", qPrintable(QCoreApplication::applicationName()), line.c_str());
}

// The same, from Avahi's thread: the program's name is read here, once.
std::function<void(const std::string &)> sayFromAnyThread() {
    return [program = QCoreApplication::applicationName().toStdString()](const std::string &line) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), line.c_str());
    };
}

// Registers the core channel's TCP port with the portmapper, or takes it
// back, for every address, as pmap_set and pmap_unset do; their address
// buffer would leak.
bool registerCoreChannel(quint16 port, bool on) {
    netconfig *tcp = getnetconfigent("tcp");
    if (!tcp)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    netbuf where{};
    where.maxlen = where.len = sizeof address;
    where.buf = &address;
    const bool done = on ? rpcb_set(Vxi11Server::CoreProgram, Vxi11Server::CoreVersion, tcp, &where)
                         : rpcb_unset(Vxi11Server::CoreProgram, Vxi11Server::CoreVersion, tcp);
    freenetconfigent(tcp);
    return done;
}

} // namespace

LanServices::LanServices(InstrumentBoard &board, QByteArray version, ClientSlots &places)
    : m_board(board)
    , m_version(std::move(version))
    , m_slots(places) {}

LanServices::~LanServices() {
    stop();
}

void LanServices::stop() {
    m_announcement.reset();
    if (std::exchange(m_registered, false))
        registerCoreChannel(0, false);
    m_vxi11.reset();
}

void LanServices::start(const QHostAddress &address, quint16 rawPort, LanOptions options) {
    if (options.vxi11) {
        m_vxi11 = std::make_unique<Vxi11Server>(m_board, m_lock, m_version, m_slots);
        try {
            try {
                m_vxi11->listen(address, rawPort && rawPort < 65535 ? rawPort + 1 : 0);
            } catch (const ListenError &) {
                m_vxi11->listen(address, 0);
            }
            say(QStringLiteral("VXI-11 on port %1 (TCPIP::HOST::INSTR)")
                    .arg(m_vxi11->port())
                    .toStdString());
            // Clients find the core channel by asking the portmapper.
            m_registered = registerCoreChannel(m_vxi11->port(), true);
            if (!m_registered)
                say("VXI-11 is not registered with the portmapper: none runs here, or it refused "
                    "(another server holds program 0x0607AF: 'rpcinfo -p' shows it); VISA finds "
                    "TCPIP::HOST::INSTR only through it: install and start rpcbind");
        } catch (const ListenError &error) {
            say(error.what());
            m_vxi11.reset();
        }
    }
    if (options.dnsSd)
        announce(address, rawPort);
}

void LanServices::announce(const QHostAddress &address, quint16 rawPort) {
    if (address.isLoopback()) {
        say("not announced by DNS-SD: the instrument listens on loopback only (--listen "
            "0.0.0.0:PORT, or an address of the LAN, to be found there)");
        return;
    }
    // Where it listens decides where it is announced.
    int interface = -1;
    int protocol = -1;
    if (address == QHostAddress::AnyIPv4) {
        protocol = 0;
    } else if (address == QHostAddress::AnyIPv6) {
        protocol = 1;
    } else if (address != QHostAddress::Any) {
        protocol = address.protocol() == QAbstractSocket::IPv6Protocol ? 1 : 0;
        for (const QNetworkInterface &candidate : QNetworkInterface::allInterfaces())
            for (const QNetworkAddressEntry &entry : candidate.addressEntries())
                if (entry.ip().isEqual(address))
                    interface = candidate.index();
    }

    // The same identity as *IDN?'s: manufacturer, model, serial number, version.
    ScpiInstrument identity(m_board, m_version);
    const QList<QByteArray> fields = identity.execute("*IDN?").trimmed().split(',');
    const auto field = [&](int k) { return fields.value(k).toStdString(); };
    // A DNS label holds at most 63 bytes.
    const std::string name =
        (field(1) + " on " + QSysInfo::machineHostName().toStdString()).substr(0, 63);
    std::vector<DnsSdAnnouncement::Service> services{{"_scpi-raw._tcp", rawPort}};
    if (m_vxi11) {
        services.push_back({"_vxi-11._tcp", m_vxi11->port()});
        // LXI's own record, where a VISA takes the host to open
        // TCPIP::HOST::INSTR; there is no web page, so it names the port of
        // the VXI-11 core channel.
        services.push_back({"_lxi._tcp", m_vxi11->port()});
    }
    m_announcement = std::make_unique<DnsSdAnnouncement>(sayFromAnyThread());
    if (!m_announcement->start(name, services,
                               {"txtvers=1", "Manufacturer=" + field(0), "Model=" + field(1),
                                "SerialNumber=" + field(2), "FirmwareVersion=" + field(3)},
                               interface, protocol))
        m_announcement.reset();
}

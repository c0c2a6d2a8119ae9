#pragma once

#include "command_line.h"
#include "instrument/lan_services.h"

#include <QHostAddress>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

class ParportSystem;
class PortBackend;
class QCommandLineParser;

// quorvexctl's command line: which word to send, to which port, and how to
// report it; or where to serve SCPI.
struct CtlCommand {
    enum class Verb { Send, Set, Read, Decode, List, Serve };

    Verb verb = Verb::Send;
    std::optional<ServerAddress> connect; // a panel or serve to send through
    QHostAddress listenAddress{QHostAddress::LocalHost};
    quint16 listenPort = 5025;
    int maxClients = 0; // serve: clients at once
    LanOptions lan;     // serve: VXI-11 and DNS-SD beside the raw socket
    std::uint16_t word = 0;
    int port = 0;            // index into PortPresets
    bool portChosen = false; // --port given, not the default
    bool verify = false;
    bool json = false;
    PortOptions portOptions;
};

inline constexpr int CtlVerifyFailed = 1;
inline constexpr int CtlPortError = 3;
inline constexpr int CtlOutputFailed = 4; // the output or the trace could not be written
inline constexpr int CtlListenFailed = ListenExitCode;

void addCtlOptions(QCommandLineParser &parser);

// Throws UsageError for anything it cannot act on.
CtlCommand parseCtlCommand(QCommandLineParser &parser, const QStringList &arguments);

// "8112", "8112h" or "0x8112", any case, at most FFFFh. Throws UsageError
// saying why anything else is refused (a sign, a decimal number).
std::uint16_t parseWord(const QString &text);

// The slider position whose scale label reads dB ("0", "9", "12" ... "60").
int gainPositionFromDb(const QString &dB);

// Whether the command reaches a port: decode and list do not.
bool ctlUsesPort(const CtlCommand &command);

// How quorvexctl reaches the board: a port, or a running panel or quorvexctl
// serve that holds it (--connect).
class BoardLink {
public:
    virtual ~BoardLink() = default;

    // Sends word in one frame and gives the word read back. Throws PortError.
    virtual std::uint16_t send(std::uint16_t word) = 0;
    // The word the chip holds, left held. Throws PortError, or
    // SplitFrameRefused before anything is sent.
    virtual std::uint16_t readHeld() = 0;
    // "LPT1": the port the frames go to.
    virtual QString port() = 0;
};

// The panel or quorvexctl serve at address, through its SCPI commands; moved
// to the command's port first when --port chose one. Throws PortError when it
// cannot be reached, or refuses.
std::unique_ptr<BoardLink> connectToBoard(const CtlCommand &command);

// Sends the command's frame (twice with verify), or reads the held word,
// through board and reports on out; returns the exit code. Port errors are
// the caller's to catch, but a port that refuses a held read is reported on
// err with the code of a command it cannot act on.
int runCtl(const CtlCommand &command, BoardLink &board, std::FILE *out, std::FILE *err);
// The same on the command's port through port.
int runCtl(const CtlCommand &command, PortBackend &port, std::FILE *out, std::FILE *err);

// decode and list: reports on out and returns the exit code. list looks the
// ports up under procRoot and tries opening their devices through system.
int runCtlWithoutPort(const CtlCommand &command, ParportSystem &system, const std::string &procRoot,
                      std::FILE *out);

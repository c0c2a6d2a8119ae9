#pragma once

#include "command_line.h"

#include <QHostAddress>
#include <QString>

#include <cstdint>
#include <cstdio>
#include <string>

class ParportSystem;
class PortBackend;
class QCommandLineParser;

// quorvexctl's command line: which word to send, to which port, and how to
// report it; or where to serve SCPI.
struct CtlCommand {
    enum class Verb { Send, Set, Read, Decode, List, Serve };

    Verb verb = Verb::Send;
    QHostAddress listenAddress{QHostAddress::LocalHost};
    quint16 listenPort = 5025;
    int maxClients = 0; // serve: clients at once
    std::uint16_t word = 0;
    int port = 0; // index into PortPresets
    bool verify = false;
    bool json = false;
    PortOptions portOptions;
};

inline constexpr int CtlVerifyFailed = 1;
inline constexpr int CtlPortError = 3;
inline constexpr int CtlOutputFailed = 4; // the output or the trace could not be written
inline constexpr int CtlListenFailed = 5;

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

// Sends the command's frame (twice with verify), or reads the held word, on
// port and reports on out; returns the exit code. Port errors are the
// caller's to catch, but a port that refuses a held read is reported on err
// with the code of a command it cannot act on.
int runCtl(const CtlCommand &command, PortBackend &port, std::FILE *out, std::FILE *err);

// decode and list: reports on out and returns the exit code. list looks the
// ports up under procRoot and tries opening their devices through system.
int runCtlWithoutPort(const CtlCommand &command, ParportSystem &system, const std::string &procRoot,
                      std::FILE *out);

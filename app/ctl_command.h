#pragma once

#include "command_line.h"

#include <QHostAddress>
#include <QString>

#include <cstdint>
#include <cstdio>

class PortBackend;
class QCommandLineParser;

// quorvexctl's command line: which word to send, to which port, and how to
// report it; or where to serve SCPI.
struct CtlCommand {
    bool serve = false;
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

// "8112", "8112h" or "0x8112", any case, at most FFFFh.
std::uint16_t parseWord(const QString &text);

// The slider position whose scale label reads dB ("0", "9", "12" ... "60").
int gainPositionFromDb(const QString &dB);

// Sends the command's frame (twice with verify) on port and reports on out;
// returns the exit code. Port errors are the caller's to catch.
int runCtl(const CtlCommand &command, PortBackend &port, std::FILE *out, std::FILE *err);

#pragma once

#include "link/port_drivers.h"

#include <QHostAddress>
#include <QStringList>

#include <optional>
#include <stdexcept>

class QCommandLineParser;

// A command line the program cannot act on; it prints it with the usage and
// exits with code 2, before any port is touched.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr int UsageExitCode = 2;
// The panel or quorvexctl serve cannot listen where --listen says.
inline constexpr int ListenExitCode = 5;

// Adds --simulate[=LPTn], --direct-io, --device LPTn=PATH, --clock-hz HZ and
// --trace FILE.
void addPortOptions(QCommandLineParser &parser);

// Parses arguments (program name first) with parser, which holds the port
// options and any of the program's own. Throws UsageError.
PortOptions parsePortOptions(QCommandLineParser &parser, const QStringList &arguments);

// Where a program serves SCPI (--listen), or where one is reached
// (--connect): 127.0.0.1:5025 unless told otherwise.
struct ServerAddress {
    QHostAddress address{QHostAddress::LocalHost};
    quint16 port = 5025;
};

// "HOST:PORT" as option takes it: an IPv4 address, [IPv6 address] or
// localhost, and a port (0 for any free one). Throws UsageError.
ServerAddress serverAddressFrom(const QString &option, const QString &text);

// The panel's --listen [HOST:PORT] (or --listen=HOST:PORT), taken out of
// arguments, which QCommandLineParser cannot parse with its value left out;
// nothing when it is not there. Throws UsageError. addListenOption() lists
// it in the help.
std::optional<ServerAddress> takeListenOption(QStringList &arguments);
void addListenOption(QCommandLineParser &parser);

// The panel's --max-clients N: adds it; the number it gives, 1 to 1000, or
// the default. Throws UsageError, also when it comes without --listen.
void addMaxClientsOption(QCommandLineParser &parser);
int maxClientsFrom(const QCommandLineParser &parser, bool listening);

// "--device" when the parsed command line gives that port option, the first
// it gives of them; empty when it gives none.
QString givenPortOption(const QCommandLineParser &parser);

// The panel's command line: the port options and the panel's own, no other
// arguments, the toolkit's own options left to QApplication. Throws
// UsageError, but lets --help and --version through whatever else is there.
PortOptions parsePanelCommandLine(QCommandLineParser &parser, const QStringList &arguments);

// The arguments without the toolkit's own options (-platform, -style,
// -display, -session ... and their values), which QApplication takes for
// itself; a session manager passes some of them when it restores the panel.
QStringList withoutToolkitOptions(const QStringList &arguments);

// Refuses arguments that are neither options nor option values, saying what
// was probably meant ("--simulate LPT2" for "--simulate=LPT2").
void refuseStrayArguments(const QCommandLineParser &parser, const QStringList &arguments);

// "; did you mean --simulate=LPT2?" when stray follows --simulate in
// arguments, else empty.
QString simulateHint(const QStringList &arguments, const QString &stray);

// The parser's help text with the program's name, available before any
// application object exists.
QString helpText(const QCommandLineParser &parser, const QString &program);

// Prints the help (or the version) on stdout when the parsed command line asks
// for it, and says whether it did.
bool printHelpOrVersion(const QCommandLineParser &parser);

// Prints why the command line was refused, and the usage, on stderr; returns
// the exit code to leave with.
int refuseCommandLine(const UsageError &error, const QCommandLineParser &parser);

#pragma once

#include <QStringList>

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>

class PortBackend;
class QCommandLineParser;

// How the program reaches the port, as chosen on its command line.
struct PortOptions {
    enum class Backend { Parport, DirectIo, Simulated };

    Backend backend = Backend::Parport;
    int simulatedPreset = 0;                      // index into PortPresets
    std::map<std::uint16_t, std::string> devices; // preset base -> /dev/parportN
    std::string traceFile;                        // empty: no trace
};

// A command line the program cannot act on; main prints it with the usage and
// exits with code 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

inline constexpr int UsageExitCode = 2;

// Adds --simulate[=LPTn], --direct-io, --device LPTn=PATH and --trace FILE.
void addPortOptions(QCommandLineParser &parser);

// Parses arguments (program name first) with parser, which holds the port
// options and any of the program's own. Throws UsageError.
PortOptions parsePortOptions(QCommandLineParser &parser, const QStringList &arguments);

// The parser's help text with the program's name, available before any
// application object exists.
QString helpText(const QCommandLineParser &parser, const QString &program);

// The usage line and where to find more, for a command line refused.
QString usageText(const QCommandLineParser &parser, const QString &program);

// Prints the help (or the version) on stdout when the parsed command line asks
// for it, and says whether it did.
bool printHelpOrVersion(const QCommandLineParser &parser);

// Prints why the command line was refused, and the usage, on stderr; returns
// the exit code to leave with.
int refuseCommandLine(const UsageError &error, const QCommandLineParser &parser);

// The registered back ends, the simulated board among them. Creating one
// touches no port: devices are opened at their first access. With a trace
// file the back end is wrapped in a TracingPort; a file that cannot be
// created throws TraceError.
struct PortDriver {
    PortOptions::Backend backend;
    const char *name;
    std::unique_ptr<PortBackend> (*create)(const PortOptions &options);
};

const PortDriver &portDriver(PortOptions::Backend backend);
std::unique_ptr<PortBackend> createPortBackend(const PortOptions &options);

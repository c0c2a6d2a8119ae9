#include "link/port_options.h"

#include "link/direct_io_backend.h"
#include "link/frame_trace.h"
#include "link/parport_backend.h"
#include "link/port_access.h"
#include "link/simulated_board.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

#include <array>

namespace {

const QString SimulateOption = QStringLiteral("simulate");
const QString DirectIoOption = QStringLiteral("direct-io");
const QString DeviceOption = QStringLiteral("device");
const QString TraceOption = QStringLiteral("trace");

int presetFromText(const QString &text, const QString &option) {
    const int preset = presetIndex(text.toLatin1().constData());
    if (preset < 0)
        throw UsageError(
            QStringLiteral("%1: '%2' is not LPT1, LPT2 or LPT3").arg(option, text).toStdString());
    return preset;
}

std::unique_ptr<PortBackend> createParport(const PortOptions &options) {
    return std::make_unique<ParportBackend>(makeKernelParportSystem(), options.devices);
}

std::unique_ptr<PortBackend> createDirectIo(const PortOptions &) {
    return std::make_unique<DirectIoBackend>(makeKernelDirectIoSystem());
}

std::unique_ptr<PortBackend> createSimulated(const PortOptions &options) {
    return std::make_unique<SimulatedBoard>(
        std::uint16_t(PortPresets.at(std::size_t(options.simulatedPreset)).base));
}

const std::array<PortDriver, 3> Drivers{{
    {PortOptions::Backend::Parport, "parport", createParport},
    {PortOptions::Backend::DirectIo, "direct-io", createDirectIo},
    {PortOptions::Backend::Simulated, "simulate", createSimulated},
}};

} // namespace

void addPortOptions(QCommandLineParser &parser) {
    parser.addOption(
        {SimulateOption, QStringLiteral("Drive the built-in simulated board instead of a real "
                                        "one; --simulate=LPT2 or =LPT3 hangs it on that port "
                                        "(LPT1 otherwise).")});
    parser.addOption(
        {DirectIoOption, QStringLiteral("Reach the port with the processor's I/O instructions "
                                        "(x86 only; needs root or CAP_SYS_RAWIO).")});
    parser.addOption({DeviceOption,
                      QStringLiteral("Bind a preset to a parport device, for cards at other "
                                     "addresses, e.g. LPT1=/dev/parport2. Repeatable."),
                      QStringLiteral("LPTn=PATH")});
    parser.addOption({TraceOption,
                      QStringLiteral("Record every port access into FILE, a Value Change Dump "
                                     "for GTKWave, PulseView or sigrok-cli."),
                      QStringLiteral("FILE")});
}

PortOptions parsePortOptions(QCommandLineParser &parser, const QStringList &arguments) {
    PortOptions options;

    // QCommandLineParser has no optional option values: take --simulate=LPTn
    // apart before it sees the arguments.
    QStringList plain;
    bool simulateAt = false;
    for (const QString &argument : arguments) {
        const QString prefix = QStringLiteral("--simulate=");
        if (argument.startsWith(prefix)) {
            options.simulatedPreset = presetFromText(argument.mid(prefix.size()), "--simulate");
            simulateAt = true;
            plain << QStringLiteral("--simulate");
        } else {
            plain << argument;
        }
    }

    if (!parser.parse(plain))
        throw UsageError(parser.errorText().toStdString());

    const bool simulate = parser.isSet(SimulateOption) || simulateAt;
    const bool directIo = parser.isSet(DirectIoOption);
    if (simulate && directIo)
        throw UsageError("--simulate and --direct-io cannot be used together");
    if (directIo && !directIoAvailable())
        throw UsageError("--direct-io needs an x86 processor; use the parport driver (the "
                         "default) instead");

    for (const QString &binding : parser.values(DeviceOption)) {
        const qsizetype equals = binding.indexOf(QLatin1Char('='));
        if (equals <= 0 || equals == binding.size() - 1)
            throw UsageError(QStringLiteral("--device '%1': expected LPTn=PATH, e.g. "
                                            "LPT1=/dev/parport2")
                                 .arg(binding)
                                 .toStdString());
        const int preset = presetFromText(binding.left(equals), "--device");
        options.devices[std::uint16_t(PortPresets[std::size_t(preset)].base)] =
            binding.mid(equals + 1).toStdString();
    }

    options.traceFile = parser.value(TraceOption).toStdString();
    if (parser.isSet(TraceOption) && options.traceFile.empty())
        throw UsageError("--trace needs a file name");

    if (simulate)
        options.backend = PortOptions::Backend::Simulated;
    else if (directIo)
        options.backend = PortOptions::Backend::DirectIo;
    return options;
}

QString helpText(const QCommandLineParser &parser, const QString &program) {
    QString text = parser.helpText();
    text.replace(QStringLiteral("<executable_name>"), program);
    return text;
}

QString usageText(const QCommandLineParser &parser, const QString &program) {
    const QString help = helpText(parser, program);
    return help.left(help.indexOf(QLatin1Char('\n')) + 1) +
           QStringLiteral("Try '%1 --help' for the options.\n").arg(program);
}

bool printHelpOrVersion(const QCommandLineParser &parser) {
    const QString program = QCoreApplication::applicationName();
    if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all"))) {
        std::fputs(qPrintable(helpText(parser, program)), stdout);
        return true;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        std::printf("%s %s\n", qPrintable(program),
                    qPrintable(QCoreApplication::applicationVersion()));
        return true;
    }
    return false;
}

int refuseCommandLine(const UsageError &error, const QCommandLineParser &parser) {
    const QString program = QCoreApplication::applicationName();
    std::fprintf(stderr, "%s: %s\n\n%s", qPrintable(program), error.what(),
                 qPrintable(usageText(parser, program)));
    return UsageExitCode;
}

const PortDriver &portDriver(PortOptions::Backend backend) {
    for (const PortDriver &driver : Drivers) {
        if (driver.backend == backend)
            return driver;
    }
    throw std::logic_error("no driver registered for this back end");
}

std::unique_ptr<PortBackend> createPortBackend(const PortOptions &options) {
    std::unique_ptr<PortBackend> port = portDriver(options.backend).create(options);
    if (options.traceFile.empty())
        return port;
    return std::make_unique<TracingPort>(std::move(port), options.traceFile);
}

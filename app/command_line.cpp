#include "command_line.h"

#include "instrument/scpi_server.h"
#include "link/direct_io_backend.h"
#include "link/port_access.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

const QString SimulateOption = QStringLiteral("simulate");
const QString DirectIoOption = QStringLiteral("direct-io");
const QString DeviceOption = QStringLiteral("device");
const QString TraceOption = QStringLiteral("trace");
const QString TraceFixedStepOption = QStringLiteral("trace-fixed-step");
const QString ClockOption = QStringLiteral("clock-hz");

// QApplication's and QGuiApplication's own options, with one dash or two;
// those in ValueOptions take the next argument as their value.
const QStringList ValueOptions{
    QStringLiteral("platform"),
    QStringLiteral("platformpluginpath"),
    QStringLiteral("platformtheme"),
    QStringLiteral("plugin"),
    QStringLiteral("qwindowgeometry"),
    QStringLiteral("geometry"),
    QStringLiteral("qwindowicon"),
    QStringLiteral("icon"),
    QStringLiteral("qwindowtitle"),
    QStringLiteral("title"),
    QStringLiteral("session"),
    QStringLiteral("display"),
    QStringLiteral("name"),
    QStringLiteral("style"),
    QStringLiteral("stylesheet"),
};
const QStringList FlagOptions{
    QStringLiteral("reverse"), QStringLiteral("widgetcount"), QStringLiteral("nograb"),
    QStringLiteral("dograb"),  QStringLiteral("sync"),        QStringLiteral("testability"),
};
// Taken only in the form -name=value.
const QStringList AttachedOptions{QStringLiteral("qmljsdebugger"), QStringLiteral("dialogs"),
                                  QStringLiteral("fontengine"), QStringLiteral("style"),
                                  QStringLiteral("stylesheet")};

int presetFromText(const QString &text, const QString &option) {
    const int preset = presetIndex(text.toLatin1().constData());
    if (preset < 0)
        throw UsageError(
            QStringLiteral("%1: '%2' is not LPT1, LPT2 or LPT3").arg(option, text).toStdString());
    return preset;
}

QString usageText(const QCommandLineParser &parser, const QString &program) {
    const QString help = helpText(parser, program);
    return help.left(help.indexOf(QLatin1Char('\n')) + 1) +
           QStringLiteral("Try '%1 --help' for the options.\n").arg(program);
}

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
                                     "addresses, e.g. LPT1=/dev/parport2, or to an adapter: "
                                     "LPT1=ftdi[:VID:PID[:SERIAL]][@SELECT,CLOCK,SDI,SDO] or "
                                     "LPT1=gpio:CHIP@SELECT,CLOCK,SDI,SDO, or to a board served "
                                     "on another host: LPT1=lan:HOST[:PORT]. Repeatable, once "
                                     "per preset."),
                      QStringLiteral("LPTn=PATH")});
    parser.addOption({ClockOption,
                      QStringLiteral("The fastest clock an FTDI or GPIO adapter drives the board "
                                     "with, in Hz (%1 to %2; default %3).")
                          .arg(MinClockHz)
                          .arg(MaxClockHz)
                          .arg(DefaultClockHz),
                      QStringLiteral("HZ")});
    parser.addOption({TraceOption,
                      QStringLiteral("Record every port access into FILE, a Value Change Dump "
                                     "for GTKWave, PulseView or sigrok-cli, each access at "
                                     "its real time."),
                      QStringLiteral("FILE")});
    parser.addOption({TraceFixedStepOption,
                      QStringLiteral("With --trace: one time step of 1 us per access instead of "
                                     "the real time.")});
}

QString givenPortOption(const QCommandLineParser &parser) {
    for (const QString &option : {SimulateOption, DirectIoOption, DeviceOption, ClockOption,
                                  TraceOption, TraceFixedStepOption}) {
        if (parser.isSet(option))
            return QStringLiteral("--") + option;
    }
    return {};
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

    const QStringList bindings = parser.values(DeviceOption);
    if (!bindings.isEmpty() && (simulate || directIo))
        throw UsageError(QStringLiteral("--device binds devices, which --%1 does not use")
                             .arg(simulate ? SimulateOption : DirectIoOption)
                             .toStdString());
    for (const QString &binding : bindings) {
        const qsizetype equals = binding.indexOf(QLatin1Char('='));
        if (equals <= 0 || equals == binding.size() - 1)
            throw UsageError(QStringLiteral("--device '%1': expected LPTn=PATH, e.g. "
                                            "LPT1=/dev/parport2")
                                 .arg(binding)
                                 .toStdString());
        const int preset = presetFromText(binding.left(equals), "--device");
        const auto base = std::uint16_t(PortPresets[std::size_t(preset)].base);
        if (options.devices.count(base))
            throw UsageError(QStringLiteral("--device: %1 is bound twice; bind each preset once")
                                 .arg(QLatin1String(PortPresets[std::size_t(preset)].item))
                                 .toStdString());
        const std::string device = binding.mid(equals + 1).toStdString();
        if (const AdapterDriver *adapter = adapterFor(device)) {
            try {
                adapter->check(device);
            } catch (const std::invalid_argument &error) {
                throw UsageError(QStringLiteral("--device '%1': %2")
                                     .arg(binding, QString::fromStdString(error.what()))
                                     .toStdString());
            }
        }
        options.devices[base] = device;
    }

    if (parser.isSet(ClockOption)) {
        const QString text = parser.value(ClockOption);
        bool number = !text.isEmpty() && text.size() <= 9;
        for (const QChar c : text)
            number = number && c >= QLatin1Char('0') && c <= QLatin1Char('9');
        options.clockHz = number ? text.toLong() : -1;
        if (options.clockHz < MinClockHz || options.clockHz > MaxClockHz)
            throw UsageError(QStringLiteral("--clock-hz '%1': give the clock in Hz, a whole "
                                            "number from %2 to %3")
                                 .arg(text)
                                 .arg(MinClockHz)
                                 .arg(MaxClockHz)
                                 .toStdString());
    }

    options.traceFile = parser.value(TraceOption).toStdString();
    if (parser.isSet(TraceOption) && options.traceFile.empty())
        throw UsageError("--trace needs a file name");
    options.traceFixedStep = parser.isSet(TraceFixedStepOption);
    if (options.traceFixedStep && !parser.isSet(TraceOption))
        throw UsageError("--trace-fixed-step goes with --trace FILE");

    if (simulate)
        options.backend = PortOptions::Backend::Simulated;
    else if (directIo)
        options.backend = PortOptions::Backend::DirectIo;
    return options;
}

ServerAddress serverAddressFrom(const QString &option, const QString &text) {
    const auto address = parseListenAddress(text);
    if (!address)
        throw UsageError(QStringLiteral("%1 '%2': expected HOST:PORT, e.g. 127.0.0.1:5025, "
                                        "0.0.0.0:5025 or [::1]:5025")
                             .arg(option, text)
                             .toStdString());
    return {address->first, address->second};
}

std::optional<ServerAddress> takeListenOption(QStringList &arguments) {
    std::optional<ServerAddress> listen;
    const QString option = QStringLiteral("--listen");
    for (qsizetype i = 1; i < arguments.size();) {
        const QString &argument = arguments[i];
        if (argument != option && !argument.startsWith(option + QLatin1Char('='))) {
            ++i;
            continue;
        }
        if (listen)
            throw UsageError("--listen is given twice; the panel listens on one address");
        if (argument != option) {
            listen = serverAddressFrom(option, argument.mid(option.size() + 1));
        } else if (i + 1 < arguments.size() && !arguments[i + 1].startsWith(QLatin1Char('-'))) {
            // The panel takes no other word, so one after --listen is its value.
            listen = serverAddressFrom(option, arguments[i + 1]);
            arguments.removeAt(i + 1);
        } else {
            listen = ServerAddress{};
        }
        arguments.removeAt(i);
    }
    return listen;
}

void addListenOption(QCommandLineParser &parser) {
    parser.addOption({QStringLiteral("listen"),
                      QStringLiteral("Serve the panel's SCPI commands over TCP, each one carried "
                                     "out in the window as the user's own action; on "
                                     "127.0.0.1:5025, or --listen HOST:PORT. SCPI has no "
                                     "password: any other address lets in whoever reaches it."),
                      QStringLiteral("[HOST:PORT]")});
    parser.addOption({QStringLiteral("no-vxi11"),
                      QStringLiteral("With --listen: leave out VXI-11 (TCPIP::HOST::INSTR), "
                                     "served by default beside the raw socket.")});
    parser.addOption({QStringLiteral("no-dns-sd"),
                      QStringLiteral("With --listen: leave out the DNS-SD announcement, made by "
                                     "default through avahi-daemon.")});
}

void addMaxClientsOption(QCommandLineParser &parser) {
    parser.addOption({QStringLiteral("max-clients"),
                      QStringLiteral("With --listen: serve at most N clients at once (%1 by "
                                     "default, at most %2); one more is told so in one line and "
                                     "disconnected.")
                          .arg(ClientSlots::DefaultCapacity)
                          .arg(ClientSlots::CapacityLimit),
                      QStringLiteral("N")});
}

int maxClientsFrom(const QCommandLineParser &parser, bool listening) {
    const QString option = QStringLiteral("max-clients");
    if (!parser.isSet(option))
        return ClientSlots::DefaultCapacity;
    if (!listening)
        throw UsageError("--max-clients goes with --listen");
    bool ok = false;
    const int count = parser.value(option).toInt(&ok);
    if (!ok || count < 1 || count > ClientSlots::CapacityLimit)
        throw UsageError(QStringLiteral("--max-clients %1: a number from 1 to %2")
                             .arg(parser.value(option))
                             .arg(ClientSlots::CapacityLimit)
                             .toStdString());
    return count;
}

PortOptions parsePanelCommandLine(QCommandLineParser &parser, const QStringList &arguments) {
    const QStringList ours = withoutToolkitOptions(arguments);
    PortOptions options = parsePortOptions(parser, ours);
    const bool helpOrVersion =
        parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("version"));
    if (!helpOrVersion)
        refuseStrayArguments(parser, ours);
    return options;
}

QStringList withoutToolkitOptions(const QStringList &arguments) {
    QStringList kept;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments[i];
        if (i == 0 || !argument.startsWith(QLatin1Char('-')) || argument == QLatin1String("--")) {
            kept << argument;
            continue;
        }
        const QString name = argument.mid(argument.startsWith(QLatin1String("--")) ? 2 : 1);
        const qsizetype equals = name.indexOf(QLatin1Char('='));
        if (equals > 0 && AttachedOptions.contains(name.left(equals)))
            continue;
        if (FlagOptions.contains(name))
            continue;
        if (ValueOptions.contains(name)) {
            ++i;
            continue;
        }
        kept << argument;
    }
    return kept;
}

QString simulateHint(const QStringList &arguments, const QString &stray) {
    const qsizetype at = arguments.indexOf(stray);
    if (at > 0 && arguments[at - 1] == QLatin1String("--simulate") &&
        presetIndex(stray.toLatin1().constData()) >= 0)
        return QStringLiteral("; did you mean --simulate=%1?").arg(stray);
    return {};
}

void refuseStrayArguments(const QCommandLineParser &parser, const QStringList &arguments) {
    const QStringList stray = parser.positionalArguments();
    if (stray.isEmpty())
        return;
    throw UsageError(QStringLiteral("unexpected argument '%1'%2")
                         .arg(stray.first(), simulateHint(arguments, stray.first()))
                         .toStdString());
}

QString helpText(const QCommandLineParser &parser, const QString &program) {
    QString text = parser.helpText();
    text.replace(QStringLiteral("<executable_name>"), program);
    return text;
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

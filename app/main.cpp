#include "command_line.h"
#include "link/frame_trace.h"
#include "link/port_backend.h"
#include "link/stop_signals.h"
#include "panel/window/panel_session.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <vector>

namespace {

// What the toolkit says while it connects to the display, held back: when no
// platform can start, its fatal message (a reinstall hint, then an abort)
// becomes one line naming the display tried, and exit code 1.
struct StartupMessages {
    static inline QString platform;
    static inline QString display;
    static inline std::vector<std::pair<QtMsgType, QString>> held;

    static void hold(QtMsgType type, const QMessageLogContext &, const QString &message) {
        if (type != QtFatalMsg) {
            held.emplace_back(type, message);
            return;
        }
        std::fprintf(stderr,
                     "quorvex-evm: cannot open the display %s through Qt's '%s' "
                     "platform; start the panel in a desktop session, or point DISPLAY "
                     "at a running X server\n",
                     qPrintable(display), qPrintable(platform));
        std::fflush(stderr);
        std::_Exit(1);
    }

    // The platform and display QApplication will try, as it picks them.
    static void expect(const QStringList &arguments) {
        platform = qEnvironmentVariable("QT_QPA_PLATFORM", QStringLiteral("xcb"));
        display = qEnvironmentVariable("DISPLAY");
        for (qsizetype i = 1; i + 1 < arguments.size(); ++i) {
            const QString name =
                arguments[i].mid(arguments[i].startsWith(QLatin1String("--")) ? 2 : 1);
            if (name == QLatin1String("platform"))
                platform = arguments[i + 1];
            else if (name == QLatin1String("display"))
                display = arguments[i + 1];
        }
        platform = platform.section(QLatin1Char(':'), 0, 0);
        if (platform.startsWith(QLatin1String("wayland")))
            display = qEnvironmentVariable("WAYLAND_DISPLAY", QStringLiteral("wayland-0"));
        display = display.isEmpty() ? QStringLiteral("(none: DISPLAY is not set)")
                                    : QLatin1Char('\'') + display + QLatin1Char('\'');
    }

    // Once the display is there: the held messages as they would have come.
    static void release(QtMessageHandler previous) {
        qInstallMessageHandler(previous);
        for (const auto &[type, message] : held)
            qt_message_output(type, QMessageLogContext(), message);
        held.clear();
    }
};

QStringList argumentsOf(int argc, char *argv[]) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

} // namespace

int main(int argc, char *argv[]) {
    // Before the toolkit starts its threads, which inherit the mask: a signal
    // that ends the program then waits for the frame in flight, whichever
    // thread the kernel would have handed it to.
    std::unique_ptr<StopSignals> stop;
    try {
        stop = std::make_unique<StopSignals>();
    } catch (const std::exception &error) {
        std::fprintf(stderr, "quorvex-evm: %s; close some programs and try again\n", error.what());
        return 1;
    }

    // The command line is read before the application connects to a display,
    // so --help and usage errors work anywhere; the toolkit's own options are
    // left to QApplication.
    QCoreApplication::setApplicationName(QStringLiteral("quorvex-evm"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVEX_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Control panel for the Quorvex evaluation board on a parallel port.\n"
                       "System Info uses /etc/quorvex-evm/system.reg only if no one but root "
                       "or you can write it or its folder."));
    parser.addHelpOption();
    parser.addVersionOption();
    addPortOptions(parser);
    addListenOption(parser);
    addMaxClientsOption(parser);
    const QCommandLineOption quitAfterStartup(
        QStringLiteral("quit-after-startup"),
        QStringLiteral("Quit as soon as the window is shown and its start-up frames are sent "
                       "(for timing start-up from outside)."));
    parser.addOption(quitAfterStartup);

    PortOptions options;
    std::optional<ServerAddress> listen;
    int maxClients = 0;
    try {
        QStringList arguments = argumentsOf(argc, argv);
        listen = takeListenOption(arguments);
        options = parsePanelCommandLine(parser, arguments);
        maxClients = maxClientsFrom(parser, listen.has_value());
    } catch (const UsageError &error) {
        return refuseCommandLine(error, parser);
    }
    if (printHelpOrVersion(parser))
        return 0;
    const LanOptions lan{!parser.isSet(QStringLiteral("no-vxi11")),
                         !parser.isSet(QStringLiteral("no-dns-sd"))};
    if (!listen && (!lan.vxi11 || !lan.dnsSd))
        return refuseCommandLine(UsageError("--no-vxi11 and --no-dns-sd go with --listen"), parser);

    // Only once the display is there does the panel create its trace file, so
    // a panel that cannot start leaves an existing trace as it was.
    StartupMessages::expect(argumentsOf(argc, argv));
    const QtMessageHandler previous = qInstallMessageHandler(StartupMessages::hold);
    QApplication app(argc, argv);
    StartupMessages::release(previous);
    QuorvexControlPanel::installLook();

    int received = 0;
    int code = 0;
    {
        PortSetup port;
        try {
            port = createPortBackend(options);
        } catch (const std::exception &error) {
            std::fprintf(stderr, "quorvex-evm: %s\n", error.what());
            return UsageExitCode;
        }

        PanelSession panel(*port.backend);
        if (port.trace)
            panel.reportTraceFailures(*port.trace);
        // Read between two events, so never inside a frame: every frame runs
        // whole within one handler. Every event loop ends, a message box's too.
        QSocketNotifier stopping(stop->descriptor(), QSocketNotifier::Read);
        QObject::connect(&stopping, &QSocketNotifier::activated, [&] {
            if ((received = stop->take()))
                QCoreApplication::exit(0);
        });
        if (listen) {
            try {
                PanelRemote &remote = panel.listen(listen->address, listen->port, maxClients);
                std::fprintf(stderr, "quorvex-evm: listening on %s\n",
                             qPrintable(remote.server.whereListening()));
                if (const QString warning = exposureWarning(listen->address, remote.server.port());
                    !warning.isEmpty())
                    std::fprintf(stderr, "%s\n", qPrintable(warning));
                panel.offerLanServices(listen->address, lan);
                // Within a line, a signal acts after the frame in flight,
                // also one the notifier took while a handler yielded.
                const auto interrupted = [&received] {
                    return received != 0 || stopSignalPending();
                };
                remote.server.setInterruption(interrupted);
                if (Vxi11Server *vxi11 = remote.lan.vxi11())
                    vxi11->setInterruption(interrupted);
            } catch (const ListenError &error) {
                std::fprintf(stderr, "quorvex-evm: %s\n", error.what());
                return ListenExitCode;
            }
        }
        // Inside the event loop, so that a signal during start-up (a message
        // box for a port that fails has a loop of its own) ends this one too.
        QTimer::singleShot(0, &app, [&panel] { panel.start(); });
        if (parser.isSet(quitAfterStartup))
            QTimer::singleShot(0, &app, &QCoreApplication::quit);
        code = QApplication::exec();
    }
    // The window is gone and the port let go: now as the signal asks.
    endAsSignalled(received);
    return code;
}

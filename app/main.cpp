#include "command_line.h"
#include "link/frame_trace.h"
#include "link/port_backend.h"
#include "panel/window/panel_session.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

#include <cstdio>
#include <exception>

namespace {

QStringList argumentsOf(int argc, char *argv[]) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

} // namespace

int main(int argc, char *argv[]) {
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
    const QCommandLineOption quitAfterStartup(
        QStringLiteral("quit-after-startup"),
        QStringLiteral("Quit as soon as the window is shown and its start-up frames are sent "
                       "(for timing start-up from outside)."));
    parser.addOption(quitAfterStartup);

    PortOptions options;
    try {
        options = parsePanelCommandLine(parser, argumentsOf(argc, argv));
    } catch (const UsageError &error) {
        return refuseCommandLine(error, parser);
    }
    if (printHelpOrVersion(parser))
        return 0;

    // Only once the display is there does the panel create its trace file, so
    // a panel that cannot start leaves an existing trace as it was.
    QApplication app(argc, argv);
    QuorvexControlPanel::installLook();

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
    panel.start();
    if (parser.isSet(quitAfterStartup))
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
    return QApplication::exec();
}

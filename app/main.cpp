#include "link/port_backend.h"
#include "link/port_options.h"
#include "panel/panel_session.h"

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
    // so --help and usage errors work anywhere.
    QCoreApplication::setApplicationName(QStringLiteral("quorvex-evm"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVEX_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Control panel for the Quorvex evaluation board on a parallel port."));
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
        options = parsePortOptions(parser, argumentsOf(argc, argv));
    } catch (const UsageError &error) {
        return refuseCommandLine(error, parser);
    }
    if (printHelpOrVersion(parser))
        return 0;

    std::unique_ptr<PortBackend> port;
    try {
        port = createPortBackend(options);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "quorvex-evm: %s\n", error.what());
        return UsageExitCode;
    }

    QApplication app(argc, argv);
    QuorvexControlPanel::installLook();

    PanelSession panel(*port);
    panel.start();
    if (parser.isSet(quitAfterStartup))
        QTimer::singleShot(0, &app, &QCoreApplication::quit);
    return QApplication::exec();
}

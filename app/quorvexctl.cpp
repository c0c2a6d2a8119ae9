#include "ctl_command.h"

#include "instrument/port_board.h"
#include "instrument/prompt_ports.h"
#include "instrument/scpi_instrument.h"
#include "instrument/scpi_server.h"
#include "link/frame_trace.h"
#include "link/parport_backend.h"
#include "link/port_backend.h"
#include "link/stop_signals.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>

// Sets the chip from scripts: one frame per run (two with --verify), or as many
// as SCPI clients ask for while it serves, with the same port options and the
// same word building as the panel.
int main(int argc, char *argv[]) {
    QCoreApplication::setApplicationName(QStringLiteral("quorvexctl"));
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVEX_VERSION));

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Sends control words to the Quorvex evaluation board, reads the word it "
                       "holds, decodes words and lists the ports.\n"
                       "Exit codes: 0 success, 1 the board did not echo (--verify), 2 bad "
                       "command line or a read the port cannot do, 3 port error, 4 the output "
                       "or the trace could not be written, 5 serve cannot listen."));
    parser.addHelpOption();
    parser.addVersionOption();
    addCtlOptions(parser);

    CtlCommand command;
    try {
        command = parseCtlCommand(parser, arguments);
    } catch (const UsageError &error) {
        // Help and version win over a missing command.
        if (printHelpOrVersion(parser))
            return 0;
        return refuseCommandLine(error, parser);
    }
    if (printHelpOrVersion(parser))
        return 0;

    if (!ctlUsesPort(command)) {
        const int code =
            runCtlWithoutPort(command, *makeKernelParportSystem(), "/proc/sys/dev/parport", stdout);
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            std::fprintf(stderr, "quorvexctl: cannot write the output: %s\n", std::strerror(errno));
            return CtlOutputFailed;
        }
        return code;
    }

    PortSetup port;
    try {
        port = createPortBackend(command.portOptions);
    } catch (const TraceError &error) {
        std::fprintf(stderr, "quorvexctl: %s\n", error.what());
        return CtlOutputFailed;
    }

    int code = 0;
    int received = 0;
    try {
        if (command.verb == CtlCommand::Verb::Serve) {
            // Held back in every thread from here on (see StopSignals), and
            // read by the event loop between two frames.
            std::unique_ptr<StopSignals> stop;
            try {
                stop = std::make_unique<StopSignals>();
            } catch (const std::exception &error) {
                throw ListenError(std::string(error.what()) +
                                  "; close some programs and try again");
            }
            QCoreApplication application(argc, argv);
            // A port another program holds fails a frame at once rather than
            // stalling every client for the claim's bound.
            PromptPorts ports(*port.backend);
            // One board, which each raw socket client and each VXI-11 link
            // drive, each a session of its own, sharing the client places.
            PortBoard board(ports, command.port);
            ClientSlots places(command.maxClients);
            LanServices lan(board, QCoreApplication::applicationVersion().toUtf8(), places);
            received = serveUntilSignalled(board, *stop, places, command.listenAddress,
                                           command.listenPort, &lan, command.lan);
            if (ports.opening()) {
                // A claim still waits for the port: nothing has been sent on
                // it, and the kernel drops it as the program ends, now.
                lan.stop();
                std::fflush(stdout);
                if (received != SIGINT && received != SIGTERM)
                    endAsSignalled(received);
                std::_Exit(0);
            }
        } else if (command.connect) {
            code = runCtl(command, *connectToBoard(command), stdout, stderr);
        } else {
            code = runCtl(command, *port.backend, stdout, stderr);
        }
    } catch (const ListenError &error) {
        std::fprintf(stderr, "quorvexctl: %s\n", error.what());
        code = CtlListenFailed;
    } catch (const PortError &error) {
        std::fprintf(stderr, "quorvexctl: %s\n", error.what());
        code = CtlPortError;
    }

    // SIGINT and SIGTERM end serve as asked for, with 0; any other ends it as
    // the signal does, once the port is let go.
    if (received && received != SIGINT && received != SIGTERM) {
        port = {};
        endAsSignalled(received);
    }

    // The frames went out either way; a script must still learn that their
    // record did not.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "quorvexctl: cannot write the output: %s\n", std::strerror(errno));
        return code ? code : CtlOutputFailed;
    }
    if (port.trace && !port.trace->failure().empty()) {
        std::fprintf(stderr, "quorvexctl: %s\n", port.trace->failure().c_str());
        return code ? code : CtlOutputFailed;
    }
    return code;
}

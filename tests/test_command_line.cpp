#include "command_line.h"
#include "link/lan_backend.h"

#include <QCommandLineParser>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

namespace {

PortOptions parse(const QStringList &arguments) {
    QCommandLineParser parser;
    parser.addHelpOption();
    parser.addVersionOption();
    addPortOptions(parser);
    return parsePanelCommandLine(parser, QStringList{"quorvex-evm"} + arguments);
}

} // namespace

Q_DECLARE_METATYPE(PortOptions::Backend)

class CommandLineTest : public QObject {
    Q_OBJECT

private slots:
    void backends_data();
    void backends();
    void toolkitOptionsLeftToTheToolkit();
    void deviceBindings();
    void listenAddresses();
    void refused_data();
    void refused();
    void programExitsWithUsageCode();
    void panelWithoutDisplayLeavesTraceAlone();
};

void CommandLineTest::backends_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<PortOptions::Backend>("backend");
    QTest::addColumn<int>("simulatedPreset");
    QTest::newRow("parport by default") << QStringList{} << PortOptions::Backend::Parport << 0;
    QTest::newRow("simulated on LPT1")
        << QStringList{"--simulate"} << PortOptions::Backend::Simulated << 0;
    QTest::newRow("simulated on LPT2")
        << QStringList{"--simulate=LPT2"} << PortOptions::Backend::Simulated << 1;
    QTest::newRow("simulated on lpt3")
        << QStringList{"--simulate=lpt3"} << PortOptions::Backend::Simulated << 2;
#if defined(__x86_64__) || defined(__i386__)
    QTest::newRow("direct I/O") << QStringList{"--direct-io"} << PortOptions::Backend::DirectIo
                                << 0;
#endif
}

void CommandLineTest::backends() {
    QFETCH(QStringList, arguments);
    QFETCH(PortOptions::Backend, backend);
    QFETCH(int, simulatedPreset);

    const PortOptions options = parse(arguments);
    QCOMPARE(options.backend, backend);
    QCOMPARE(options.simulatedPreset, simulatedPreset);
}

void CommandLineTest::toolkitOptionsLeftToTheToolkit() {
    // What a session manager passes when it restores the panel, and the
    // options a user may give any Qt program.
    const PortOptions options =
        parse({"-session", "1a2b3c", "--simulate=LPT3", "-platform", "offscreen", "-style=windows",
               "--reverse", "-display", ":1"});
    QCOMPARE(options.backend, PortOptions::Backend::Simulated);
    QCOMPARE(options.simulatedPreset, 2);
    QCOMPARE(withoutToolkitOptions({"quorvex-evm", "-style", "windows", "--trace", "t.vcd"}),
             QStringList({"quorvex-evm", "--trace", "t.vcd"}));
}

void CommandLineTest::deviceBindings() {
    const PortOptions options =
        parse({"--device", "LPT1=/dev/parport2", "--device=LPT3=/dev/parport0"});
    QCOMPARE(options.devices.size(), 2u);
    QCOMPARE(options.devices.at(0x378), "/dev/parport2");
    QCOMPARE(options.devices.at(0x3BC), "/dev/parport0");
    QCOMPARE(options.clockHz, 100'000);

    const PortOptions adapters =
        parse({"--device", "LPT2=ftdi:0403:6014:FT1X@~ADBUS7,d4,5,D6", "--device",
               "LPT3=gpio:gpiochip9@CS,SCK,MOSI,~MISO", "--clock-hz", "250000"});
    QCOMPARE(adapters.devices.at(0x278), "ftdi:0403:6014:FT1X@~ADBUS7,d4,5,D6");
    QCOMPARE(adapters.devices.at(0x3BC), "gpio:gpiochip9@CS,SCK,MOSI,~MISO");
    QCOMPARE(adapters.clockHz, 250'000);

    // An instrument on another host: port 5025 unless told, IPv6 in brackets.
    QCOMPARE(parse({"--device", "LPT2=lan:bench-pi"}).devices.at(0x278), "lan:bench-pi");
    QCOMPARE(parseLanBinding("lan:bench-pi").where(), "bench-pi:5025");
    QCOMPARE(parseLanBinding("lan:192.168.1.20:6000").where(), "192.168.1.20:6000");
    QCOMPARE(parseLanBinding("lan:[::1]").where(), "[::1]:5025");
    QCOMPARE(parseLanBinding("lan:[fe80::1%eth0]:7").host, "fe80::1%eth0");
}

void CommandLineTest::listenAddresses() {
    const auto take = [](QStringList arguments) {
        arguments.prepend(QStringLiteral("quorvex-evm"));
        const std::optional<ServerAddress> listen = takeListenOption(arguments);
        return std::pair{listen.value_or(ServerAddress{QHostAddress(), 1}), arguments.mid(1)};
    };
    QCOMPARE(take({"--simulate"}).first.port, 1); // not there
    // Loopback unless told otherwise; the next word is its value, an option is not.
    const auto [plain, rest] = take({"--listen", "--simulate"});
    QVERIFY(plain.address == QHostAddress::LocalHost && plain.port == 5025);
    QCOMPARE(rest, QStringList{"--simulate"});
    const auto [told, others] = take({"--listen", "[::1]:6000", "--simulate=LPT2"});
    QVERIFY(told.address == QHostAddress::LocalHostIPv6 && told.port == 6000);
    QCOMPARE(others, QStringList{"--simulate=LPT2"});
    QCOMPARE(take({"--listen=0.0.0.0:0"}).first.address, QHostAddress(QHostAddress::AnyIPv4));
    QVERIFY_THROWS_EXCEPTION(UsageError, take({"--listen", "panel:5025"}));
    QVERIFY_THROWS_EXCEPTION(UsageError, take({"--listen", "--listen=127.0.0.1:6000"}));

    // The panel's --max-clients: with --listen only, 1 to 1000.
    const auto maxClients = [](const QStringList &arguments, bool listening) {
        QCommandLineParser parser;
        addMaxClientsOption(parser);
        parser.parse(QStringList{"quorvex-evm"} + arguments);
        return maxClientsFrom(parser, listening);
    };
    QCOMPARE(maxClients({}, true), 16);
    QCOMPARE(maxClients({"--max-clients", "1000"}, true), 1000);
    QVERIFY_THROWS_EXCEPTION(UsageError, maxClients({"--max-clients", "3"}, false));
    QVERIFY_THROWS_EXCEPTION(UsageError, maxClients({"--max-clients", "1001"}, true));
}

void CommandLineTest::refused_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("unknown option") << QStringList{"--fast"} << "Unknown option 'fast'";
    QTest::newRow("device without a path") << QStringList{"--device", "LPT1"} << "LPTn=PATH";
    QTest::newRow("device with empty path") << QStringList{"--device", "LPT1="} << "LPTn=PATH";
    QTest::newRow("device on no preset")
        << QStringList{"--device", "COM1=/dev/ttyS0"} << "not LPT1";
    QTest::newRow("device without a value") << QStringList{"--device"} << "Missing value";
    QTest::newRow("simulate on no preset") << QStringList{"--simulate=LPT4"} << "not LPT1";
    QTest::newRow("simulate and direct I/O")
        << QStringList{"--simulate", "--direct-io"} << "cannot be used together";
    QTest::newRow("port given as a separate word")
        << QStringList{"--simulate", "LPT2"} << "did you mean --simulate=LPT2?";
    QTest::newRow("stray word") << QStringList{"now"} << "unexpected argument 'now'";
    QTest::newRow("device with the simulated board")
        << QStringList{"--device", "LPT1=/dev/parport0", "--simulate"} << "--simulate does not";
    QTest::newRow("device with direct I/O")
        << QStringList{"--direct-io", "--device", "LPT1=/dev/parport0"} << "--direct-io does not";
    QTest::newRow("one preset bound twice")
        << QStringList{"--device", "LPT2=/dev/parport0", "--device", "lpt2=/dev/parport1"}
        << "LPT2 is bound twice";
    QTest::newRow("clock of 0 Hz") << QStringList{"--clock-hz", "0"} << "from 100 to 10000000";
    QTest::newRow("clock above the bound")
        << QStringList{"--clock-hz", "10000001"} << "from 100 to 10000000";
    QTest::newRow("clock with a unit") << QStringList{"--clock-hz", "100kHz"} << "whole number";

    // Adapter bindings, refused before any device is looked at.
    const auto device = [](const char *binding) { return QStringList{"--device", binding}; };
    QTest::newRow("ftdi pin on two lines") << device("LPT1=ftdi@D3,D0,D1,ADBUS1") << "both on";
    QTest::newRow("ftdi pin the chip lacks") << device("LPT1=ftdi@D3,D0,D1,D8") << "D0 to D7";
    QTest::newRow("ftdi three pins") << device("LPT1=ftdi@D3,D0,D1") << "four lines";
    QTest::newRow("ftdi inverter on nothing") << device("LPT1=ftdi@~,D0,D1,D2") << "no select";
    QTest::newRow("ftdi vendor without product") << device("LPT1=ftdi:0403") << "VID:PID";
    QTest::newRow("ftdi ID of five digits") << device("LPT1=ftdi:04031:6001") << "vendor ID";
    QTest::newRow("ftdi empty serial") << device("LPT1=ftdi:0403:6001:") << "serial";
    QTest::newRow("ftdi port path ending in a dot") << device("LPT1=ftdi:1-1.") << "USB port";
    QTest::newRow("gpio without pins") << device("LPT1=gpio:gpiochip0") << "CHIP@SELECT";
    QTest::newRow("gpio without a chip") << device("LPT1=gpio:@1,2,3,4") << "CHIP@SELECT";
    QTest::newRow("gpio line twice") << device("LPT1=gpio:nochip@5,6,GPIO7,5") << "named twice";
    QTest::newRow("lan without a host") << device("LPT1=lan:") << "expected lan:HOST[:PORT]";
    QTest::newRow("lan with pins") << device("LPT1=lan@bench") << "expected lan:HOST[:PORT]";
    QTest::newRow("lan port 0") << device("LPT1=lan:bench:0") << "give 1 to 65535";
    QTest::newRow("lan port too large") << device("LPT1=lan:bench:65536") << "give 1 to 65535";
    QTest::newRow("lan port not a number") << device("LPT1=lan:bench:scpi") << "not a TCP port";
    QTest::newRow("lan IPv6 without brackets") << device("LPT1=lan:::1") << "lan:[::1]";
    QTest::newRow("lan brackets not closed") << device("LPT1=lan:[::1:5025") << "'[' and ']'";
    QTest::newRow("lan host with a space") << device("LPT1=lan:bench pi") << "not a host name";
}

void CommandLineTest::refused() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    try {
        parse(arguments);
        QFAIL("the command line should be refused");
    } catch (const UsageError &error) {
        QVERIFY2(QString::fromLocal8Bit(error.what()).contains(message), error.what());
    }
}

void CommandLineTest::programExitsWithUsageCode() {
    // Without --simulate a bad command line must stop before any port is
    // opened: the usage message and code 2, with no port error.
    QProcess program;
    program.start(QStringLiteral(QUORVEX_EVM_BINARY), {"--device", "LPT9=/dev/null"});
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitCode(), UsageExitCode);
    const QString errors = QString::fromLocal8Bit(program.readAllStandardError());
    QVERIFY2(errors.contains("not LPT1") && errors.contains("Usage: quorvex-evm"),
             qPrintable(errors));

    // A bad --simulate value: the reason and the usage once, nothing else.
    program.start(QStringLiteral(QUORVEX_EVM_BINARY), {"--simulate=LPT9", "--trace", "t.vcd"});
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitCode(), UsageExitCode);
    const QString simulateErrors = QString::fromLocal8Bit(program.readAllStandardError());
    QCOMPARE(simulateErrors.count("Usage: quorvex-evm"), 1);
    QCOMPARE(simulateErrors.count('\n'), 4);

    // What a session manager passes when it restores the panel starts it.
    program.start(QStringLiteral(QUORVEX_EVM_BINARY), {"-session", "1a2b", "-platform", "offscreen",
                                                       "--simulate", "--quit-after-startup"});
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitCode(), 0);

    program.start(QStringLiteral(QUORVEX_EVM_BINARY), {"--help"});
    QVERIFY(program.waitForFinished(10000));
    QCOMPARE(program.exitCode(), 0);
    const QString help = QString::fromLocal8Bit(program.readAllStandardOutput());
    for (const char *option : {"--simulate", "--direct-io", "--device"})
        QVERIFY2(help.contains(QLatin1String(option)), option);
}

void CommandLineTest::panelWithoutDisplayLeavesTraceAlone() {
    QTemporaryDir dir;
    const QString trace = dir.filePath("kept.vcd");
    QFile file(trace);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("an earlier trace\n");
    file.close();

    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QLatin1String(variable));
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(QUORVEX_EVM_BINARY), {"--simulate", "--trace", trace});
    QVERIFY(program.waitForFinished(10000));
    // One line that names the display tried, not the toolkit's abort.
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 1);
    const QString errors = QString::fromLocal8Bit(program.readAllStandardError());
    QVERIFY2(errors.count('\n') == 1 && errors.contains("display (none: DISPLAY is not set)"),
             qPrintable(errors));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("an earlier trace\n"));
}

QTEST_APPLESS_MAIN(CommandLineTest)
#include "test_command_line.moc"

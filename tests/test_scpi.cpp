#include "instrument/port_board.h"
#include "instrument/scpi_instrument.h"
#include "instrument/scpi_server.h"
#include "link/simulated_board.h"
#include "panel/module1.h"
#include "panel/panel_behaviour.h"
#include "support/fake_toolkit.h"
#include "support/recording_port.h"
#include "support/scpi_client.h"

#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// The server in this process on a free loopback port, driving a simulated
// board on LPT1 whose every access is recorded.
struct Bench {
    SimulatedBoard board{0x378};
    RecordingPort port{&board};
    PortBoard instrument{port, 0};
    ClientSlots places;
    ScpiServer server{instrument, "1.0.0", places};

    Bench() { server.listen(QHostAddress::LocalHost, 0); }

    QList<int> words() const {
        QList<int> words;
        for (const SentFrame &frame : framesIn(port.accesses()))
            words << frame.word;
        return words;
    }
};

// Bits of the standard event status register.
constexpr int PON = 0x80, CME = 0x20, EXE = 0x10, DDE = 0x08, QYE = 0x04;

// count clients connected to port.
std::vector<std::unique_ptr<Client>> connected(quint16 port, int count) {
    std::vector<std::unique_ptr<Client>> clients;
    for (int n = 0; n < count; ++n)
        clients.push_back(std::make_unique<Client>(port));
    return clients;
}

int errorCode(const QByteArray &answer) {
    return answer.left(answer.indexOf(',')).toInt();
}

} // namespace

class ScpiTest : public QObject {
    Q_OBJECT

private slots:
    void commands_data();
    void commands();
    void errorQueueOverflows();
    void portFailureChangesNothing();
    void damagedInputIsSurvived_data();
    void damagedInputIsSurvived();
    void clientsInterleaveWholeLines();
    void clientsBeyondTheLimitAreClosed();
    void silentClientsAreProbed();
    void clientsThatNeverReadPinLittle();
    void runningOutOfDescriptorsNeitherSpinsNorStops();
    void halfClosedClientGetsItsAnswers();
    void gainSweepSendsThePanelsWords();
    void quorvexctlServesUntilSigterm_data();
    void quorvexctlServesUntilSigterm();
};

void ScpiTest::commands_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QList<int>>("words");
    QTest::addColumn<int>("error");  // the first one queued, 0 for none
    QTest::addColumn<int>("events"); // *ESR? after the line

    QTest::newRow("*IDN?") << QByteArray("*idn?") << QByteArray("Kestrovia,QuorvexEVM,0,1.0.0\n")
                           << QList<int>{} << 0 << PON;
    QTest::newRow("GAIN sends the panel's word")
        << QByteArray("GAIN 33;GAIN?;WORD?") << QByteArray("33;#H0009\n") << QList<int>{0x0009} << 0
        << PON;
    QTest::newRow("mode bits, long and short forms, any case")
        << QByteArray("dcof on;CMSErvo 1;zcen ON;OVERRANGE 1;DCOFF?;ZCENABLE?")
        << QByteArray("1;1\n") << QList<int>{0x8000, 0xC000, 0xE000, 0xF000} << 0 << PON;
    QTest::newRow("GPO1 to GPO4 run against the bit order; GPO is GPO1")
        << QByteArray("GPO4 ON;GPO1?;GPO4?;GPO 1") << QByteArray("0;1\n")
        << QList<int>{0x0800, 0x0900} << 0 << PON;
    QTest::newRow("WORD in hexadecimal and decimal, READback?")
        << QByteArray("WORD #h8112;WORD 33042;WORD?;READback?") << QByteArray("#H8112;#H8112\n")
        << QList<int>{0x8112, 0x8112} << 0 << PON;
    QTest::newRow("settings follow WORD as the panel's controls follow Update")
        << QByteArray("WORD #H913F;GAIN?;ZCEN?;GPO1?;GAIN 9") << QByteArray("60;0;1\n")
        << QList<int>{0x913F, 0x9101} << 0 << PON;
    QTest::newRow("WORD:HELD? leaves the chip's word latched")
        << QByteArray("WORD #H8112;WORD:HELD?;:WORD 0;READ?") << QByteArray("#H8112;#H8112\n")
        << QList<int>{0x8112, 0x8112, 0} << 0 << PON;
    QTest::newRow("WORD:HELD? answers what the port holds, WORD? the word sent")
        << QByteArray("WORD #H8112;PORT LPT2;WORD:HELD?;:WORD?;READ?")
        << QByteArray("#HFFFF;#H8112;#HFFFF\n") << QList<int>{0x8112, 0xFFFF} << 0 << PON;
    QTest::newRow("VERify? sends the word again")
        << QByteArray("WORD 4660;VER?") << QByteArray("1\n") << QList<int>{0x1234, 0x1234} << 0
        << PON;
    QTest::newRow("PORT: nothing hangs on LPT2")
        << QByteArray("PORT lpt2;PORT?;VER?") << QByteArray("LPT2;0\n") << QList<int>{0} << 0
        << PON;
    QTest::newRow("*RST clears as the panel does")
        << QByteArray("GAIN 60;DCOF 1;*RST;GAIN?;DCOF?;WORD?") << QByteArray("0;0;#H0000\n")
        << QList<int>{0x0012, 0x8012, 0, 0} << 0 << PON;
    QTest::newRow("*OPT?: no options")
        << QByteArray("*OPT?") << QByteArray("0\n") << QList<int>{} << 0 << PON;
    QTest::newRow("*ESR? reads PON once")
        << QByteArray("*ESR?;*ESR?") << QByteArray("128;0\n") << QList<int>{} << 0 << 0;
    QTest::newRow("*STB?: queue, ESB, MSS, MAV")
        << QByteArray("*ESE 32;*SRE 4;FOO;*STB?;*OPC?;*STB?") << QByteArray("100;1;116\n")
        << QList<int>{} << -113 << (PON | CME);
    QTest::newRow("header path: ERR? under SYSTem, GAIN? not")
        << QByteArray("GAIN 63;SYST:ERR?;ERR?;GAIN?")
        << QByteArray("-222,\"Data out of "
                      "range\";0,\"No error\"\n")
        << QList<int>{} << -113 << (PON | EXE | CME);
    QTest::newRow("a query after *IDN?")
        << QByteArray("*IDN?;*OPC?") << QByteArray("Kestrovia,QuorvexEVM,0,1.0.0\n") << QList<int>{}
        << -440 << (PON | QYE);
    QTest::newRow("STATus: events, conditions, enables rounded, PRESet")
        << QByteArray("STAT:OPER?;:STAT:OPER:COND?;:STAT:OPER:ENAB 1.6;:STAT:OPER:ENAB?;"
                      ":STAT:QUES:EVEN?;:STAT:QUES:COND?;:STAT:QUES:ENAB 32767;:STAT:QUES:ENAB?;"
                      ":STAT:PRES;:STAT:QUES:ENAB?;:STAT:OPER:ENAB?")
        << QByteArray("0;0;2;0;0;32767;0;0\n") << QList<int>{} << 0 << PON;
    QTest::newRow("GAIN MINimum, MAXimum, DEFault, and asked")
        << QByteArray("GAIN MAX;GAIN?;GAIN? MIN;GAIN? maximum;GAIN DEF;GAIN?;GAIN MINIMUM")
        << QByteArray("60;0;60;0\n") << QList<int>{0x0012, 0, 0} << 0 << PON;
    QTest::newRow("GAIN in its unit, DB")
        << QByteArray("GAIN 33 DB;GAIN?;GAIN 36db;GAIN?") << QByteArray("33;36\n")
        << QList<int>{0x0009, 0x000A} << 0 << PON;
    QTest::newRow("GAIN to the nearest step, half way up")
        << QByteArray("GAIN 10;GAIN?;GAIN 32.9999999;GAIN?;GAIN 1E-400;GAIN?;GAIN 10.5;GAIN?")
        << QByteArray("9;33;0;12\n") << QList<int>{0x0001, 0x0009, 0x0000, 0x0002} << 0 << PON;
    QTest::newRow("integers rounded: *ESE, *SRE, WORD")
        << QByteArray("*ESE 1.5;*ESE?;*SRE 32.4;*SRE?;WORD 1.5;WORD?")
        << QByteArray("2;32;#H0002\n") << QList<int>{0x0002} << 0 << PON;
    QTest::newRow("Booleans rounded, any but 0 ON")
        << QByteArray("DCOF 2;DCOF?;DCOF 0.4;DCOF?;DCOF -1;DCOF?") << QByteArray("1;0;1\n")
        << QList<int>{0x8000, 0x0000, 0x8000} << 0 << PON;
    QTest::newRow("line over 4096 bytes at once")
        << "GAIN 33" + QByteArray(5000, ' ') << QByteArray() << QList<int>{} << -223 << (PON | EXE);

    // Refused with a command error (CME) or an execution error (EXE).
    const QList<std::pair<const char *, int>> commandErrors{
        {"FOO", -113},      {"READback", -113}, {"GPO5 ON", -114},
        {"SETUP& 1", -101}, {"GAIN: 33", -102}, {"GAINGAINGAINGAIN 33", -112}};
    const QList<std::pair<const char *, int>> moreCommandErrors{
        {"GAIN", -109},      {"GAIN loud", -104}, {"GAIN 33,36", -108},
        {"WORD? 3", -108},   {"GAIN? 3", -104},   {"GAIN 33 V", -131},
        {"*ESE 1 V", -138},  {"DCOF 1 V", -138},  {"GAIN 33 DECIBELSOFGAIN", -134},
        {"GAIN\"33\"", -101}};
    const QList<std::pair<const char *, int>> executionErrors{
        {"GAIN 61", -222},    {"GAIN -0.1", -222},           {"WORD #H10000", -222},
        {"*ESE 255.5", -222}, {"GAIN? LOUD", -224},          {"DCOF MAYBE", -224},
        {"PORT LPT4", -224},  {"STAT:QUES:ENAB 32768", -222}};
    for (const auto &[errors, event] :
         {std::pair{commandErrors, CME}, {moreCommandErrors, CME}, {executionErrors, EXE}}) {
        for (const auto &[line, error] : errors)
            QTest::newRow(line) << QByteArray(line) << QByteArray() << QList<int>{} << error
                                << (PON | event);
    }
}

void ScpiTest::commands() {
    QFETCH(QByteArray, line);
    QFETCH(QByteArray, answer);
    QFETCH(QList<int>, words);
    QFETCH(int, error);
    QFETCH(int, events);

    Bench bench;
    Client client(bench.server.port());
    client.write(line + "\nSYST:ERR?;*ESR?\n");
    QCOMPARE(client.read(int(answer.count('\n'))), answer);
    const QByteArray status = client.read(1);
    QCOMPARE(errorCode(status), error);
    QCOMPARE(status.mid(status.lastIndexOf(';') + 1).toInt(), events);
    QCOMPARE(bench.words(), words);
    // A port is opened, and claimed, only for a frame.
    QCOMPARE(bench.port.opened().empty(), words.isEmpty());
}

void ScpiTest::errorQueueOverflows() {
    Bench bench;
    Client client(bench.server.port());
    client.write(QByteArray("FOO;").repeated(int(ScpiInstrument::ErrorQueueDepth) + 3) + "\n");
    // The overflow is a device-dependent error (SCPI-99 puts -3xx there).
    QCOMPARE(client.ask("*ESR?"), QByteArray::number(PON | CME | DDE));
    QByteArray errors = client.ask("SYST:ERR?" + QByteArray(";ERR?").repeated(16));
    QCOMPARE(errors, QByteArray("-113,\"Undefined header\";").repeated(15) +
                         "-350,\"Queue overflow\";0,\"No error\"");

    client.write("FOO;*CLS\n");
    QCOMPARE(client.ask("SYST:ERR?;*ESR?"), QByteArray("0,\"No error\";0"));
}

void ScpiTest::portFailureChangesNothing() {
    Bench bench;
    Client client(bench.server.port());
    bench.port.failAt(0);
    client.write("*CLS;GAIN 33\n");
    QCOMPARE(client.ask("GAIN?;WORD?;*ESR?"), "0;#H0000;" + QByteArray::number(DDE));
    const QByteArray error = client.ask("SYST:ERR?");
    QVERIFY2(error.startsWith("100,\"LPT1 (378h) on /dev/parport0: data write failed"), error);

    bench.port.failAt(-1);
    QCOMPARE(client.ask("GAIN 33;GAIN?"), "33");
}

void ScpiTest::damagedInputIsSurvived_data() {
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<QByteArray>("rest"); // after the server has read the first piece
    QTest::addColumn<bool>("disconnects");
    QTest::addColumn<int>("error");
    QTest::newRow("line cut by a disconnect") << QByteArray("GAIN 33") << QByteArray() << true << 0;
    QTest::newRow("line over 4096 bytes, its end skipped")
        << "GAIN 33" + QByteArray(5000, ' ') << QByteArray("GAIN 36\n") << false << -223;
    QTest::newRow("binary junk") << QByteArray::fromHex("00ff80") + "GAIN\x01 33\n\xfe;;\"\n"
                                 << QByteArray() << false << -101;
}

void ScpiTest::damagedInputIsSurvived() {
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, rest);
    QFETCH(bool, disconnects);
    QFETCH(int, error);

    Bench bench;
    QByteArray answer;
    {
        Client client(bench.server.port());
        client.write(first);
        QCOMPARE(Client(bench.server.port()).ask("*OPC?"), "1");
        if (!disconnects) {
            client.write(rest);
            answer = client.ask("GAIN?;SYST:ERR?");
        }
    }
    Client after(bench.server.port());
    if (disconnects)
        answer = after.ask("GAIN?;SYST:ERR?");
    QVERIFY2(answer.startsWith("0;" + QByteArray::number(error) + ","), answer);
    QCOMPARE(bench.words(), QList<int>{});
    QCOMPARE(after.ask("GAIN 33;GAIN?"), "33");
}

void ScpiTest::clientsInterleaveWholeLines() {
    Bench bench;
    Client a(bench.server.port());
    Client b(bench.server.port());
    a.write("GAIN 3");
    QCOMPARE(b.ask("GAIN 60;GAIN?"), "60");
    a.write("3;GAIN?\n");
    QCOMPARE(a.read(1), "33\n");
    QCOMPARE(bench.words(), (QList<int>{0x0012, 0x0009}));
}

void ScpiTest::clientsBeyondTheLimitAreClosed() {
    SimulatedBoard board(0x378);
    PortBoard instrument(board, 0);
    ClientSlots places(2);
    ScpiServer server(instrument, "1.0.0", places);
    server.listen(QHostAddress::LocalHost, 0);
    Client a(server.port());
    Client b(server.port());
    QTcpSocket third;
    third.connectToHost(QHostAddress::LocalHost, server.port());
    QTRY_COMPARE_WITH_TIMEOUT(third.state(), QAbstractSocket::UnconnectedState, 5000);
    QCOMPARE(a.ask("*OPC?"), "1");
    QCOMPARE(b.ask("*OPC?"), "1");
}

void ScpiTest::silentClientsAreProbed() {
    Bench bench;
    Client client(bench.server.port());
    QCOMPARE(client.ask("*OPC?"), "1");
    // The server's side of the connection in /proc/net/tcp (the kernel's
    // Documentation/networking/proc_net_tcp.rst): "tr:tm->when" is timer 2
    // (keepalive) due in clock ticks; without keepalive no timer runs once
    // the exchange is over, and the kernel's default idle time is 2 hours.
    const QByteArray local =
        QByteArray::number(bench.server.port(), 16).toUpper().rightJustified(4, '0');
    QFile table(QStringLiteral("/proc/net/tcp"));
    QVERIFY(table.open(QIODevice::ReadOnly));
    QByteArray timer;
    for (const QByteArray &row : table.readAll().split('\n')) {
        const QList<QByteArray> fields = row.simplified().split(' ');
        if (fields.size() > 5 && fields[1].endsWith(':' + local) && fields[3] == "01")
            timer = fields[5];
    }
    QVERIFY2(timer.startsWith("02:"), timer);
    const qint64 due = timer.mid(3).toLongLong(nullptr, 16);
    QVERIFY2(due > 0 && due <= ClientSlots::KeepIdleSeconds * sysconf(_SC_CLK_TCK), timer);
}

void ScpiTest::clientsThatNeverReadPinLittle() {
    // Each sends far more queries than the server may hold answers for, and
    // reads none of them.
#ifdef __SANITIZE_ADDRESS__
    QSKIP("the address sanitizer keeps freed memory in quarantine: the resident size says "
          "nothing here");
#endif
    ServeProcess server;
    QVERIFY(server.port);
    const qint64 before = server.cpuAndResident().second;
    std::vector<std::unique_ptr<Client>> clients = connected(server.port, 15);
    for (const auto &client : clients)
        client->write(QByteArray("*IDN?\n").repeated(300'000));
    QTest::qWait(2000);
    const qint64 grown = (server.cpuAndResident().second - before) * sysconf(_SC_PAGESIZE);
    QVERIFY2(grown < 4 << 20, qPrintable(QString::number(grown)));
    Client other(server.port);
    QCOMPARE(other.ask("*OPC?"), "1");
}

void ScpiTest::runningOutOfDescriptorsNeitherSpinsNorStops() {
#ifdef __SANITIZE_ADDRESS__
    QSKIP("the sanitizers' own checks need descriptors (a pipe to probe memory), and report "
          "every object as invalid once there are none");
#endif
    ServeProcess server("ulimit -n 64", {"--max-clients", "200"});
    QVERIFY(server.port);
    std::vector<std::unique_ptr<Client>> clients = connected(server.port, 100);
    QTest::qWait(200);
    const qint64 before = server.cpuAndResident().first;
    QTest::qWait(1000);
    const qint64 spent = server.cpuAndResident().first - before;
    QVERIFY2(spent * 1000 / sysconf(_SC_CLK_TCK) < 200, qPrintable(QString::number(spent)));

    clients.clear();
    Client late(server.port);
    QCOMPARE(late.ask("*OPC?"), "1");
}

void ScpiTest::halfClosedClientGetsItsAnswers() {
    Bench bench;
    Client client(bench.server.port());
    client.write("WORD 4660;WORD?\n*OPC?\n");
    client.shutDownSending();
    QCOMPARE(client.read(2), "#H1234\n1\n");
}

void ScpiTest::gainSweepSendsThePanelsWords() {
    // The panel: DC Servo Off and GPO3 checked, then the slider through
    // every position, ending at 0.
    FakeToolkit ui;
    SimulatedBoard panelBoard(0x378);
    RecordingPort panelPort(&panelBoard);
    Module1 module(ui, panelPort);
    PanelBehaviour behaviour(module);
    ui.setEvents(&behaviour);
    behaviour.load();
    ui.setCheckValue(0, Checked);
    ui.setCheckValue(6, Checked);
    panelPort.clear();
    for (int position = 1; position <= 19; ++position)
        ui.setSliderPosition(position % 19);
    QList<int> panelWords;
    for (const SentFrame &frame : framesIn(panelPort.accesses()))
        panelWords << frame.word;

    Bench bench;
    Client client(bench.server.port());
    QByteArray sweep = "DCOF ON;GPO3 ON;GAIN 9";
    for (int dB = 12; dB <= 60; dB += 3)
        sweep += ";GAIN " + QByteArray::number(dB);
    QCOMPARE(client.ask(sweep + ";GAIN 0;*OPC?"), "1");
    QCOMPARE(panelWords.size(), 19);
    QCOMPARE(bench.words().mid(2), panelWords);
}

void ScpiTest::quorvexctlServesUntilSigterm_data() {
    QTest::addColumn<QString>("address");
    QTest::addColumn<bool>("warned");
    QTest::newRow("on loopback, quietly") << "127.0.0.1" << false;
    QTest::newRow("on every interface, with a warning") << "0.0.0.0" << true;
}

void ScpiTest::quorvexctlServesUntilSigterm() {
    QFETCH(QString, address);
    QFETCH(bool, warned);
    QProcess server;
    server.start(QStringLiteral(QUORVEXCTL_BINARY),
                 {"--simulate", "serve", "--listen", address + ":0"});
    server.setReadChannel(QProcess::StandardError);
    QVERIFY(server.waitForReadyRead(10000));
    // Its first line; the warning beyond loopback, then the lines of VXI-11
    // and DNS-SD follow.
    const QByteArray where = server.readLine().trimmed();
    QVERIFY2(where.startsWith("quorvexctl: listening on " + address.toLatin1() + ':'), where);
    if (!server.canReadLine())
        server.waitForReadyRead(warned ? 10000 : 200);
    const QByteArray warning = server.readAllStandardError();
    QCOMPARE(warning.startsWith("warning: listening on " + address.toLatin1() + ':'), warned);

    Client client(quint16(where.split(':').last().toUInt()));
    QCOMPARE(client.ask("GAIN 33;WORD?;*IDN?").left(30), "#H0009;Kestrovia,QuorvexEVM,0,");
    server.terminate();
    QVERIFY(server.waitForFinished(10000));
    QCOMPARE(server.exitStatus(), QProcess::NormalExit);
    QCOMPARE(server.exitCode(), 0);
}

QTEST_GUILESS_MAIN(ScpiTest)
#include "test_scpi.moc"

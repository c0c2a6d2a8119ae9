#include "ctl_command.h"
#include "instrument/scpi_server.h"
#include "link/frame_trace.h"
#include "link/frame_transfer.h"
#include "link/port_access.h"
#include "link/simulated_board.h"
#include "panel/bit_boxes.h"
#include "panel/module1.h"
#include "support/fake_toolkit.h"
#include "support/file_size_limit.h"
#include "support/recording_port.h"
#include "word/control_word.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>

namespace {

CtlCommand parse(const QStringList &arguments) {
    QCommandLineParser parser;
    addCtlOptions(parser);
    return parseCtlCommand(parser, QStringList{"quorvexctl"} + arguments);
}

QByteArray readAll(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Runs the command against a fresh simulated board on LPT1.
struct CtlRun {
    int exitCode;
    QByteArray out;
    QByteArray err;
};

CtlRun run(const QStringList &arguments) {
    SimulatedBoard board(0x378);
    char *outText = nullptr;
    char *errText = nullptr;
    std::size_t outSize = 0;
    std::size_t errSize = 0;
    std::FILE *out = open_memstream(&outText, &outSize);
    std::FILE *err = open_memstream(&errText, &errSize);
    const int code = runCtl(parse(arguments), board, out, err);
    std::fclose(out);
    std::fclose(err);
    CtlRun result{code, QByteArray(outText, qsizetype(outSize)),
                  QByteArray(errText, qsizetype(errSize))};
    std::free(outText);
    std::free(errText);
    return result;
}

// The 16-bit words sigrok-cli's SPI decoder reads on the SDI line of a trace,
// in hexadecimal, with chipSelect choosing the frames. sigrok-cli exits 0 even
// when it decodes nothing: the words are the proof.
QByteArray wordsOnSdi(const QString &sigrok, const QString &trace, const QString &chipSelect) {
    QProcess decoder;
    decoder.start(sigrok, {"-I", "vcd", "-i", trace, "-P",
                           "spi:clk=clock:mosi=sdi:" + chipSelect + ":cpol=0:cpha=0:wordsize=16",
                           "-B", "spi=mosi"});
    decoder.waitForFinished(30000);
    return decoder.readAllStandardOutput().toHex();
}

} // namespace

class TraceAndCtlTest : public QObject {
    Q_OBJECT

private slots:
    void traceMatchesGoldenFile();
    void traceIsFlushedFrameByFrame();
    void traceFileThatCannotBeCreated();
    void traceTellsPortsApart();
    void traceStopsOnceAndFramesGoOn();
    void traceIsCloseOnExec();
    void outputFailures_data();
    void outputFailures();
    void sigrokDecodesTheWordsSent();
    void words_data();
    void words();
    void setBuildsThePanelsWord_data();
    void setBuildsThePanelsWord();
    void refusedCommandLines_data();
    void refusedCommandLines();
    void verify();
    void json();
    void serveListensOnLoopbackUnlessTold();
    void badCommandLineTouchesNoPort();
};

void TraceAndCtlTest::traceMatchesGoldenFile() {
    QTemporaryDir dir;
    const QString path = dir.filePath("two-frames.vcd");
    {
        TracingBackend port(std::make_unique<SimulatedBoard>(0x378), path.toStdString());
        frameOn(port, 0x378, 0x8112);
        frameOn(port, 0x378, 0x0001);
    }
    QCOMPARE(readAll(path), readAll(QStringLiteral(QUORVEX_TEST_DATA "/two-frames.vcd")));
}

void TraceAndCtlTest::traceIsFlushedFrameByFrame() {
    QTemporaryDir dir;
    const QString path = dir.filePath("t.vcd");
    TracingBackend port(std::make_unique<SimulatedBoard>(0x378), path.toStdString());
    frameOn(port, 0x378, 0xFFFF);
    port.open(registersAt(0x378)).writeData(2); // a frame in flight
    const QByteArray written = readAll(path);
    QVERIFY(written.contains("$enddefinitions $end"));
    QVERIFY2(
        written.endsWith(QByteArray("#") + QByteArray::number(116 + FrameTrace::FrameGap) + "\n"),
        written.right(40).constData());
}

void TraceAndCtlTest::traceFileThatCannotBeCreated() {
    PortOptions options;
    options.backend = PortOptions::Backend::Simulated;
    options.traceFile = "/nonexistent-folder/t.vcd";
    try {
        createPortBackend(options);
        QFAIL("the trace cannot be created");
    } catch (const TraceError &error) {
        QVERIFY(QString::fromLocal8Bit(error.what()).contains("/nonexistent-folder/t.vcd"));
    }
}

void TraceAndCtlTest::traceTellsPortsApart() {
    const QString sigrok = QStandardPaths::findExecutable(QStringLiteral("sigrok-cli"));
    if (sigrok.isEmpty())
        QSKIP("sigrok-cli is not installed");
    QTemporaryDir dir;
    const QString path = dir.filePath("t.vcd");
    {
        TracingBackend port(std::make_unique<SimulatedBoard>(0x378), path.toStdString());
        frameOn(port, 0x378, 0x8112);
        frameOn(port, 0x278, 0x1234);
        frameOn(port, 0x378, 0x0001);
    }
    // LPT2's line as the chip select picks out the one frame that went there.
    QCOMPARE(wordsOnSdi(sigrok, path, "cs=lpt2:cs_polarity=active-high"), QByteArray("00001234"));
}

void TraceAndCtlTest::traceStopsOnceAndFramesGoOn() {
    QTemporaryDir dir;
    const QString path = dir.filePath("t.vcd");
    auto owned = std::make_unique<SimulatedBoard>(0x378);
    SimulatedBoard &board = *owned;
    TracingBackend port(std::move(owned), path.toStdString());
    QStringList reports;
    port.trace().onFailure(
        [&reports](const std::string &failure) { reports << QString::fromStdString(failure); });
    {
        const FileSizeLimit diskFull(4096);
        for (std::uint16_t word = 1; word <= 20; ++word)
            frameOn(port, 0x378, word);
    }
    QCOMPARE(reports.size(), 1);
    QVERIFY2(reports.first().contains(path) && reports.first().contains("stopped"),
             qPrintable(reports.first()));
    QCOMPARE(QString::fromStdString(port.trace().failure()), reports.first());
    // The frames never noticed.
    QCOMPARE(board.frames(), 20);
    QCOMPARE(board.controlWord(), 20);
}

void TraceAndCtlTest::traceIsCloseOnExec() {
    QTemporaryDir dir;
    const QString path = dir.filePath("t.vcd");
    TracingBackend port(std::make_unique<SimulatedBoard>(0x378), path.toStdString());
    int descriptors = 0;
    for (const QFileInfo &fd : QDir("/proc/self/fd").entryInfoList(QDir::Files | QDir::System)) {
        if (fd.symLinkTarget() != path)
            continue;
        ++descriptors;
        QVERIFY(fcntl(fd.fileName().toInt(), F_GETFD) & FD_CLOEXEC);
    }
    QCOMPARE(descriptors, 1);
}

void TraceAndCtlTest::outputFailures_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("says");
    QTest::newRow("trace on a full disk")
        << QStringList{"--simulate", "--trace", "/dev/full", "send", "1"} << QString()
        << "cannot write the trace file /dev/full";
    QTest::newRow("output on a full disk") << QStringList{"--simulate", "send", "1"} << "/dev/full"
                                           << "cannot write the output";
    QTest::newRow("JSON on a full disk")
        << QStringList{"--simulate", "--json", "--verify", "send", "1"} << "/dev/full"
        << "No space left on device";
}

void TraceAndCtlTest::outputFailures() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, output);
    QFETCH(QString, says);
    QProcess ctl;
    if (!output.isEmpty())
        ctl.setStandardOutputFile(output);
    ctl.start(QStringLiteral(QUORVEXCTL_BINARY), arguments);
    QVERIFY(ctl.waitForFinished(10000));
    QCOMPARE(ctl.exitCode(), CtlOutputFailed);
    const QString errors = QString::fromLocal8Bit(ctl.readAllStandardError());
    QVERIFY2(errors.contains(says), qPrintable(errors));
}

void TraceAndCtlTest::sigrokDecodesTheWordsSent() {
    const QString sigrok = QStandardPaths::findExecutable(QStringLiteral("sigrok-cli"));
    if (sigrok.isEmpty())
        QSKIP("sigrok-cli is not installed");
    QTemporaryDir dir;
    const QString path = dir.filePath("t.vcd");
    QProcess ctl;
    ctl.start(QStringLiteral(QUORVEXCTL_BINARY), {"--simulate", "--trace", path, "send", "8112"});
    QVERIFY(ctl.waitForFinished(10000));
    QCOMPARE(ctl.exitCode(), 0);

    QCOMPARE(wordsOnSdi(sigrok, path, "cs=select:cs_polarity=active-low"), QByteArray("00008112"));
}

void TraceAndCtlTest::words_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("word");
    QTest::newRow("plain") << "8112" << 0x8112;
    QTest::newRow("h suffix") << "8112h" << 0x8112;
    QTest::newRow("0x prefix") << "0x8112" << 0x8112;
    QTest::newRow("lower case") << "ff3f" << 0xFF3F;
    QTest::newRow("upper-case suffix") << "FFFFH" << 0xFFFF;
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("only a suffix") << "h" << -1;
    QTest::newRow("not hexadecimal") << "81g2" << -1;
    QTest::newRow("too large") << "10000" << -1;
    QTest::newRow("negative") << "-1" << -1;
    QTest::newRow("signed") << "+12" << -1;
}

void TraceAndCtlTest::words() {
    QFETCH(QString, text);
    QFETCH(int, word);
    if (word < 0)
        QVERIFY_THROWS_EXCEPTION(UsageError, parseWord(text));
    else
        QCOMPARE(parseWord(text), word);
}

void TraceAndCtlTest::setBuildsThePanelsWord_data() {
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<int>("position");
    QTest::addColumn<QList<int>>("checked");
    QTest::newRow("nothing") << QStringList{} << 0 << QList<int>{};
    QTest::newRow("60 dB, DC servo off, GPO1")
        << QStringList{"--gain", "60", "--dc-servo-off", "--gpo", "1"} << 18 << QList<int>{0, 4};
    QTest::newRow("9 dB, every mode bit")
        << QStringList{"--gain", "9", "--cm-servo", "--zc", "--over-range", "--dc-servo-off"} << 1
        << QList<int>{0, 1, 2, 3};
    QTest::newRow("33 dB, GPO4 and GPO2")
        << QStringList{"--gain", "33", "--gpo", "4", "--gpo", "2"} << 9 << QList<int>{7, 5};
}

void TraceAndCtlTest::setBuildsThePanelsWord() {
    QFETCH(QStringList, options);
    QFETCH(int, position);
    QFETCH(QList<int>, checked);

    FakeToolkit ui;
    SimulatedBoard board;
    Module1 module(ui, board);
    for (int i : checked)
        ui.setCheckValue(i, Checked);
    SetSDIBoxes(module, GainToBits(std::int16_t(position)));
    BoxTexts texts;
    for (int k = 0; k < 16; ++k)
        texts[std::size_t(k)] = ui.boxText(k);

    QCOMPARE(parse(QStringList{"set"} + options).word, wordFromBoxTexts(texts));
}

void TraceAndCtlTest::refusedCommandLines_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("no command") << QStringList{};
    QTest::newRow("unknown command") << QStringList{"get"};
    QTest::newRow("send without a word") << QStringList{"send"};
    QTest::newRow("send with two words") << QStringList{"send", "1", "2"};
    QTest::newRow("send with a bad word") << QStringList{"send", "xyz"};
    QTest::newRow("gain with send") << QStringList{"--gain", "9", "send", "1"};
    QTest::newRow("gain not on the scale") << QStringList{"set", "--gain", "10"};
    QTest::newRow("gain not a number") << QStringList{"set", "--gain", "loud"};
    QTest::newRow("gpo 5") << QStringList{"set", "--gpo", "5"};
    QTest::newRow("port LPT4") << QStringList{"--port", "LPT4", "send", "1"};
    QTest::newRow("simulate and direct I/O")
        << QStringList{"--simulate", "--direct-io", "send", "1"};
    QTest::newRow("unknown option") << QStringList{"--loud", "send", "1"};
    QTest::newRow("serve with an argument") << QStringList{"serve", "1"};
    QTest::newRow("serve with --verify") << QStringList{"--verify", "serve"};
    QTest::newRow("--listen with send") << QStringList{"--listen", "127.0.0.1:5025", "send", "1"};
    QTest::newRow("listen without a port") << QStringList{"serve", "--listen", "127.0.0.1"};
    QTest::newRow("listen port too large") << QStringList{"serve", "--listen", "127.0.0.1:65536"};
    QTest::newRow("IPv6 without brackets") << QStringList{"serve", "--listen", "::1:5025"};
    QTest::newRow("no clients") << QStringList{"serve", "--max-clients", "0"};
    QTest::newRow("--max-clients with send") << QStringList{"--max-clients", "4", "send", "1"};
}

void TraceAndCtlTest::refusedCommandLines() {
    QFETCH(QStringList, arguments);
    QVERIFY_THROWS_EXCEPTION(UsageError, parse(arguments));
}

void TraceAndCtlTest::verify() {
    // The power-on board reads back zero first, then the word just sent.
    const CtlRun echo = run({"--simulate", "--verify", "set", "--gain", "33"});
    QCOMPARE(echo.exitCode, 0);
    QCOMPARE(echo.out, "sent 0009h  read back 0000h\nsent 0009h  read back 0009h\n");

    // Nothing hangs on LPT2: every bit reads 1.
    const CtlRun none = run({"--simulate", "--port", "LPT2", "--verify", "send", "8112"});
    QCOMPARE(none.exitCode, CtlVerifyFailed);
    QCOMPARE(none.err, "board did not echo: sent 8112h, read back FFFFh\n");
}

void TraceAndCtlTest::json() {
    const CtlRun result =
        run({"--simulate", "--json", "--verify", "set", "--gain", "60", "--zc", "--gpo", "3"});
    QCOMPARE(result.exitCode, 0);
    const QList<QByteArray> lines = result.out.trimmed().split('\n');
    QCOMPARE(lines.size(), 2);
    const QJsonObject second = QJsonDocument::fromJson(lines[1]).object();
    QCOMPARE(second["sent"].toString(), "2412h");
    QCOMPARE(second["readBack"].toString(), "2412h");
    QCOMPARE(second["port"].toString(), "LPT1");
    QCOMPARE(second["gainDb"].toInt(), 60);
    QCOMPARE(second["zc"].toBool(), true);
    QCOMPARE(second["dcServoOff"].toBool(), false);
    QCOMPARE(second["gpo"].toArray().size(), 1);
    QCOMPARE(second["gpo"].toArray().first().toInt(), 3);

    const QJsonObject beyond =
        QJsonDocument::fromJson(run({"--json", "send", "0x3f"}).out).object();
    QVERIFY(beyond["gainDb"].isNull());
}

void TraceAndCtlTest::serveListensOnLoopbackUnlessTold() {
    const CtlCommand plain = parse({"serve"});
    QVERIFY(plain.serve);
    QCOMPARE(plain.listenAddress, QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(plain.listenPort, 5025);
    QCOMPARE(plain.maxClients, ScpiServer::DefaultMaxClients);
    const CtlCommand told = parse({"--port", "LPT2", "serve", "--listen", "[::]:6000"});
    QCOMPARE(told.listenAddress, QHostAddress(QHostAddress::AnyIPv6));
    QCOMPARE(told.listenPort, 6000);
    QCOMPARE(told.port, 1);
}

void TraceAndCtlTest::badCommandLineTouchesNoPort() {
    // Without --simulate a port access would fail with exit code 3; a bad
    // command line stops before that, and before creating the trace.
    QTemporaryDir dir;
    const QString trace = dir.filePath("t.vcd");
    QProcess ctl;
    ctl.start(QStringLiteral(QUORVEXCTL_BINARY), {"--trace", trace, "send", "12345"});
    QVERIFY(ctl.waitForFinished(10000));
    QCOMPARE(ctl.exitCode(), UsageExitCode);
    QVERIFY(ctl.readAllStandardError().contains("16-bit"));
    QVERIFY(!QFile::exists(trace));

    ctl.start(QStringLiteral(QUORVEXCTL_BINARY), {"send", "1"});
    QVERIFY(ctl.waitForFinished(10000));
    QCOMPARE(ctl.exitCode(), CtlPortError);
}

QTEST_APPLESS_MAIN(TraceAndCtlTest)
#include "test_trace_and_ctl.moc"

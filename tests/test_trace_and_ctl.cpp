#include "ctl_command.h"
#include "instrument/scpi_server.h"
#include "link/frame_trace.h"
#include "link/frame_transfer.h"
#include "link/lan_backend.h"
#include "link/parport_backend.h"
#include "link/port_access.h"
#include "link/simulated_board.h"
#include "panel/bit_boxes.h"
#include "panel/module1.h"
#include "support/fake_toolkit.h"
#include "support/file_size_limit.h"
#include "support/recording_port.h"
#include "support/scpi_client.h"
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
#include <QThread>

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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

struct CtlRun {
    int exitCode;
    QByteArray out;
    QByteArray err;
};

// Runs the command against port, or a fresh simulated board on LPT1; decode
// and list against none. A refused command line exits 2 with its reason.
CtlRun run(const QStringList &arguments, PortBackend *port = nullptr) {
    SimulatedBoard board(0x378);
    CtlCommand command;
    try {
        command = parse(arguments);
    } catch (const UsageError &error) {
        return {UsageExitCode, {}, error.what()};
    }
    char *outText = nullptr;
    char *errText = nullptr;
    std::size_t outSize = 0;
    std::size_t errSize = 0;
    std::FILE *out = open_memstream(&outText, &outSize);
    std::FILE *err = open_memstream(&errText, &errSize);
    const int code = ctlUsesPort(command) ? runCtl(command, port ? *port : board, out, err)
                                          : runCtlWithoutPort(command, *makeKernelParportSystem(),
                                                              "/proc/sys/dev/parport", out);
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
    void realTimeSpreadsARunOverItsTime();
    void decoderNamesWordsAndFields();
    void words_data();
    void words();
    void outputs_data();
    void outputs();
    void readLeavesTheWordHeld();
    void setBuildsThePanelsWord_data();
    void setBuildsThePanelsWord();
    void refusedCommandLines_data();
    void refusedCommandLines();
    void verify();
    void json();
    void serveListensOnLoopbackUnlessTold();
    void badCommandLineTouchesNoPort();
    void connectGivesWhatThePortGives_data();
    void connectGivesWhatThePortGives();
    void lanBindingRunsTheFramesThere_data();
    void lanBindingRunsTheFramesThere();
    void lanFailures_data();
    void lanFailures();
    void lanConnectsAgainAfterALostConnection();
};

void TraceAndCtlTest::traceMatchesGoldenFile() {
    QTemporaryDir dir;
    const QString path = dir.filePath("two-frames.vcd");
    {
        TracingBackend port(std::make_unique<SimulatedBoard>(0x378), path.toStdString(),
                            FrameTrace::Time::FixedStep);
        frameOn(port, 0x378, 0x8112);
        frameOn(port, 0x378, 0x0001);
    }
    QCOMPARE(readAll(path), readAll(QStringLiteral(QUORVEX_TEST_DATA "/two-frames.vcd")));
}

void TraceAndCtlTest::traceIsFlushedFrameByFrame() {
    QTemporaryDir dir;
    const QString path = dir.filePath("t.vcd");
    TracingBackend port(std::make_unique<SimulatedBoard>(0x378), path.toStdString(),
                        FrameTrace::Time::FixedStep);
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

void TraceAndCtlTest::realTimeSpreadsARunOverItsTime() {
    // A port that takes 2 ms for each run, as a slow adapter would.
    class SlowPort : public PortBackend, public ParallelPort {
    public:
        ParallelPort &open(PortRegisters) override { return *this; }
        void writeData(std::uint8_t) override {}
        std::uint8_t readStatus() override { return 0x7F; }
        void run(std::span<const PinStep> steps, std::span<std::uint8_t> statuses) override {
            QThread::usleep(2000);
            ParallelPort::run(steps, statuses);
        }
    };
    QTemporaryDir dir;
    const QString path = dir.filePath("t.vcd");
    {
        TracingBackend port(std::make_unique<SlowPort>(), path.toStdString());
        frameOn(port, 0x378, 0x8112);
    }
    const QByteArray trace = readAll(path);
    QVERIFY(trace.contains("$timescale 1 ns $end"));
    QList<long long> times;
    for (const QByteArray &line : trace.split('\n')) {
        if (line.startsWith('#') && line != "#0")
            times << line.mid(1).toLongLong();
    }
    times.removeLast(); // the closing timestamp, after the run
    // The run's 2 ms, shared evenly among its steps.
    const long long span = times.last() - times.first();
    QVERIFY2(span >= 1'900'000, qPrintable(QString::number(span)));
    for (qsizetype n = 1; n < times.size(); ++n)
        QVERIFY2(times[n] > times[n - 1] && times[n] - times[n - 1] < span / 20,
                 qPrintable(QStringLiteral("%1 ns after the last").arg(times[n] - times[n - 1])));
}

void TraceAndCtlTest::decoderNamesWordsAndFields() {
    const QString sigrok = QStandardPaths::findExecutable(QStringLiteral("sigrok-cli"));
    if (sigrok.isEmpty())
        QSKIP("sigrok-cli is not installed");
    QTemporaryDir dir;
    const QString path = dir.filePath("t.vcd");
    {
        TracingBackend port(std::make_unique<SimulatedBoard>(0x378), path.toStdString());
        sendWord(port, registersAt(0x378), 0x8112);
        sendWord(port, registersAt(0x378), 0x283F);
        readHeldWord(port, registersAt(0x378));
    }
    QProcess decoder;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("SIGROKDECODE_DIR", QUORVEX_DECODERS);
    environment.insert("PYTHONDONTWRITEBYTECODE", "1");
    decoder.setProcessEnvironment(environment);
    decoder.start(sigrok,
                  {"-I", "vcd", "-i", path, "-P",
                   "spi:clk=clock:mosi=sdi:miso=sdo:cs=select:cpha=1,quorvex", "-A", "quorvex"});
    QVERIFY(decoder.waitForFinished(30000));
    const QString fields = "DC Servo Off: %1, CM Servo Enable: 0, ZC Enable: %2, Over Range: 0, "
                           "GPO4: %2, GPO3: 0, GPO2: 0, GPO1: %1, %3";
    const QStringList frames{
        "Read back 0000h, Sent 8112h, " + fields.arg("1", "0", "Gain 60 dB (code 12h)"),
        "Read back 8112h, Sent 283Fh, " + fields.arg("0", "1", "Gain code 3Fh, beyond 60 dB"),
        "Read back 283Fh, Sent 283Fh, " + fields.arg("0", "1", "Gain code 3Fh, beyond 60 dB"),
    };
    const QString output = QString::fromUtf8(decoder.readAllStandardOutput())
                               .remove(QStringLiteral("quorvex-1: "))
                               .trimmed()
                               .replace('\n', QStringLiteral(", "));
    QCOMPARE(output.split(QStringLiteral(", Read back")).size(), frames.size());
    QCOMPARE(output, frames.join(QStringLiteral(", ")));
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

void TraceAndCtlTest::outputs_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says");
    QTest::newRow("60 dB is code 12h")
        << QStringList{"decode", "0012"} << 0 << "gain             60 dB (code 12h)";
    QTest::newRow("9 dB is code 01h")
        << QStringList{"decode", "1h"} << 0 << "gain             9 dB (code 01h)";
    QTest::newRow("no dB beyond the slider")
        << QStringList{"decode", "0x13"} << 0 << "code 13h, beyond the slider's top";
    QTest::newRow("Over Range is bit 12")
        << QStringList{"decode", "1000"} << 0 << "Over Range       1  bit 12";
    QTest::newRow("GPO4 is bit 11")
        << QStringList{"decode", "0800"} << 0 << "GPO4             1  bit 11";
    QTest::newRow("bits 7 and 6 when set")
        << QStringList{"decode", "0080"} << 0 << "bits 7 and 6     10";
    QTest::newRow("a sign, taken for an option") << QStringList{"send", "-1"} << 2 << "no sign";
    QTest::newRow("a decimal number, too large as hexadecimal")
        << QStringList{"send", "33042"} << 2 << "decimal 33042 is 8112h";
    QTest::newRow("a decimal fraction") << QStringList{"decode", "1.5"} << 2 << "decimal numbers";
}

void TraceAndCtlTest::outputs() {
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    const CtlRun result = run(arguments);
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2((result.out + result.err).contains(says.toUtf8()),
             (result.out + result.err).constData());
}

void TraceAndCtlTest::readLeavesTheWordHeld() {
    SimulatedBoard board(0x378);
    RecordingPort port(&board);
    frameOn(port, 0x378, 0x8112);
    port.clear();
    const CtlRun held = run({"read"}, &port);
    QCOMPARE(held.exitCode, 0);
    QVERIFY(held.out.startsWith("held 8112h\n  gain             60 dB (code 12h)\n"));
    QCOMPARE(board.controlWord(), 0x8112);
    QCOMPARE(board.frames(), 2);
    QCOMPARE(board.protocolViolations(), 0);
    // One frame in two runs: the write half is the read half.
    bool wellFormed = false;
    const std::vector<SentFrame> frames = framesIn(port.accesses(), &wellFormed);
    QVERIFY(wellFormed && frames.size() == 1);
    QCOMPARE(frames[0].readBack, 0x8112);
    QCOMPARE(frames[0].word, 0x8112);
    QCOMPARE(port.runs(), 1 + 2); // the first send's, then the read's two

    // A port whose transfers cannot leave select low is refused untouched.
    class WholeFramesOnly : public PortBackend, public ParallelPort {
    public:
        ParallelPort &open(PortRegisters) override { return *this; }
        void writeData(std::uint8_t) override { ++accesses; }
        std::uint8_t readStatus() override { return std::uint8_t(++accesses); }
        bool keepsLinesBetweenRuns() const override { return false; }
        int accesses = 0;
    } wholeFrames;
    const CtlRun refused = run({"read"}, &wholeFrames);
    QCOMPARE(refused.exitCode, UsageExitCode);
    QVERIFY2(refused.err.contains("LPT1 (378h)") && refused.err.contains("nothing was sent"),
             refused.err.constData());
    QCOMPARE(wholeFrames.accesses, 0);
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
    QTest::newRow("connect with a port option")
        << QStringList{"--connect", "127.0.0.1:5025", "--simulate", "send", "1"};
    QTest::newRow("connect with serve") << QStringList{"--connect", "127.0.0.1:5025", "serve"};
    QTest::newRow("connect to no address") << QStringList{"--connect", "panel", "send", "1"};
    QTest::newRow("simulate and direct I/O")
        << QStringList{"--simulate", "--direct-io", "send", "1"};
    QTest::newRow("unknown option") << QStringList{"--loud", "send", "1"};
    QTest::newRow("serve with an argument") << QStringList{"serve", "1"};
    QTest::newRow("read with --verify") << QStringList{"--verify", "read"};
    QTest::newRow("decode with --trace, which it would not write")
        << QStringList{"--trace", "t.vcd", "decode", "1"};
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
    QCOMPARE(plain.verb, CtlCommand::Verb::Serve);
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

void TraceAndCtlTest::connectGivesWhatThePortGives_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("send") << QStringList{"send", "8112"};
    QTest::newRow("set, as JSON") << QStringList{"--json", "set", "--gain", "33", "--zc"};
    QTest::newRow("send, verified") << QStringList{"--verify", "send", "8112"};
    QTest::newRow("read") << QStringList{"--json", "read"};
    QTest::newRow("on a port with nothing on it") << QStringList{"--port", "LPT2", "send", "1"};
}

void TraceAndCtlTest::connectGivesWhatThePortGives() {
    QFETCH(QStringList, arguments);

    // A server on a power-on board, as the board of a run on a port.
    auto server = std::make_unique<ServeProcess>();
    const QString where = QStringLiteral("127.0.0.1:%1").arg(server->port);

    QProcess ctl;
    ctl.start(QStringLiteral(QUORVEXCTL_BINARY), QStringList{"--connect", where} + arguments);
    QVERIFY(ctl.waitForFinished(10000));
    const CtlRun onPort = run(arguments);
    QCOMPARE(ctl.readAllStandardOutput(), onPort.out);
    QCOMPARE(ctl.exitCode(), onPort.exitCode);

    server.reset();
    // Nothing listens there any more: a port error, with what to do.
    ctl.start(QStringLiteral(QUORVEXCTL_BINARY), QStringList{"--connect", where} + arguments);
    QVERIFY(ctl.waitForFinished(10000));
    QCOMPARE(ctl.exitCode(), CtlPortError);
    QVERIFY(ctl.readAllStandardError().contains("start the panel with --listen"));
}

void TraceAndCtlTest::lanBindingRunsTheFramesThere_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("send, verified") << QStringList{"--verify", "send", "8112"};
    QTest::newRow("set, as JSON") << QStringList{"--json", "set", "--gain", "33", "--zc"};
    QTest::newRow("read") << QStringList{"read"};
}

void TraceAndCtlTest::lanBindingRunsTheFramesThere() {
    QFETCH(QStringList, arguments);
    QTemporaryDir dir;
    const QStringList traced = {"--trace-fixed-step", "--trace"};
    auto server = std::make_unique<ServeProcess>(QStringLiteral("true"),
                                                 traced + QStringList{dir.filePath("served.vcd")});
    const QString lan = QStringLiteral("LPT1=lan:127.0.0.1:%1").arg(server->port);

    QProcess ctl;
    ctl.start(QStringLiteral(QUORVEXCTL_BINARY), QStringList{"--device", lan} + traced +
                                                     QStringList{dir.filePath("here.vcd")} +
                                                     arguments);
    QVERIFY(ctl.waitForFinished(10000));
    QProcess local;
    local.start(QStringLiteral(QUORVEXCTL_BINARY), QStringList{"--simulate"} + traced +
                                                       QStringList{dir.filePath("local.vcd")} +
                                                       arguments);
    QVERIFY(local.waitForFinished(10000));
    server.reset();

    QCOMPARE(ctl.readAllStandardError(), QByteArray());
    QCOMPARE(ctl.readAllStandardOutput(), local.readAllStandardOutput());
    QCOMPARE(ctl.exitCode(), 0);
    // The remote board saw the frames a local one sees, and the trace here
    // records what the back end gave, as a local port's would.
    const QByteArray frames = readAll(dir.filePath("local.vcd"));
    QVERIFY(frames.count("\n#") > 30);
    QCOMPARE(readAll(dir.filePath("served.vcd")), frames);
    QCOMPARE(readAll(dir.filePath("here.vcd")), frames);
}

void TraceAndCtlTest::lanFailures_data() {
    QTest::addColumn<QStringList>("server");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QString>("message");
    QTest::newRow("no server there")
        << QStringList{} << false << "cannot connect to 127.0.0.1:%1: Connection refused; start";
    // A chip that is missing fails each frame there, as a held port does.
    QTest::newRow("the server's port fails")
        << QStringList{"--device", "LPT1=gpio:nochip@0,1,2,3", "serve"} << false
        << "the board's port at 127.0.0.1:%1 failed there: LPT1 (378h) on gpio:nochip@0,1,2,3: ";
    QTest::newRow("a host that never answers")
        << QStringList{} << true << "127.0.0.1:%1 did not answer within 7000 ms";
}

void TraceAndCtlTest::lanFailures() {
    QFETCH(QStringList, server);
    QFETCH(bool, silent);
    QFETCH(QString, message);

    // A port nothing listens on, or one whose connections the kernel takes
    // into its queue and no one accepts.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), size) == 0);
    QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &size) == 0);
    const quint16 port = ntohs(address.sin_port);
    if (silent)
        QVERIFY(::listen(listener, 4) == 0);
    QProcess remote;
    if (!server.isEmpty()) {
        ::close(listener);
        remote.setReadChannel(QProcess::StandardError);
        remote.start(QStringLiteral(QUORVEXCTL_BINARY),
                     server + QStringList{"--listen", QStringLiteral("127.0.0.1:%1").arg(port)});
        QVERIFY(remote.waitForReadyRead(10000));
    }

    QProcess ctl;
    ctl.start(QStringLiteral(QUORVEXCTL_BINARY),
              {"--device", QStringLiteral("LPT1=lan:127.0.0.1:%1").arg(port), "send", "8112"});
    QVERIFY(ctl.waitForFinished(10000));
    const QString errors = QString::fromLocal8Bit(ctl.readAllStandardError());
    QVERIFY2(errors.startsWith("quorvexctl: LPT1 (378h) on lan:127.0.0.1:") &&
                 errors.contains(message.arg(port)),
             qPrintable(errors));
    QCOMPARE(ctl.readAllStandardOutput(), QByteArray());
    QCOMPARE(ctl.exitCode(), CtlPortError);
    remote.terminate();
    remote.waitForFinished(10000);
    if (server.isEmpty())
        ::close(listener);
}

void TraceAndCtlTest::lanConnectsAgainAfterALostConnection() {
    auto server = std::make_unique<ServeProcess>();
    const QString where = QStringLiteral("127.0.0.1:%1").arg(server->port);
    LanBackend lan("lan:" + where.toStdString());
    QCOMPARE(sendWord(lan, {0x378, 0x379}, 0x8112), 0x0000);
    QCOMPARE(sendWord(lan, {0x378, 0x379}, 0x0009), 0x8112);

    // A new server on the same port, on a power-on board: the next frame
    // reaches it, not the connection that was lost.
    server.reset();
    server = std::make_unique<ServeProcess>(QStringLiteral("true"), QStringList{"--listen", where});
    QCOMPARE(sendWord(lan, {0x378, 0x379}, 0x0012), 0x0000);
    QCOMPARE(readHeldWord(lan, {0x378, 0x379}), 0x0012);

    server.reset();
    try {
        sendWord(lan, {0x378, 0x379}, 1);
        QFAIL("a frame with no server went through");
    } catch (const PortError &error) {
        QVERIFY2(QString(error.what()).contains("Connection refused"), error.what());
    }
}

QTEST_APPLESS_MAIN(TraceAndCtlTest)
#include "test_trace_and_ctl.moc"

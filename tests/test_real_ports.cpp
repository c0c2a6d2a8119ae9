#include "link/parport_backend.h"
#include "panel/window/panel_session.h"
#include "support/fake_ppdev/fake_ppdev_fixture.h"
#include "support/scpi_client.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

// This program runs with the stand-in for the kernel's parport driver
// preloaded (see CMakeLists.txt): the panel here reaches the fake device
// through the real parport back end, and every quorvexctl it starts inherits
// the stand-in, as the programs would meet the kernel on a real machine.

namespace {

QString devicePath() {
    return qEnvironmentVariable("QUORVEX_FAKE_PPDEV");
}

// The port held by someone else, through the same driver.
class Holder {
public:
    Holder()
        : m_fd(::open(qPrintable(devicePath()), O_RDWR | O_CLOEXEC)) {
        QVERIFY(m_fd >= 0 && ::ioctl(m_fd, PPCLAIM) == 0);
    }
    ~Holder() { ::close(m_fd); }

private:
    int m_fd;
};

struct CtlRun {
    QProcess::ExitStatus status;
    int code;
    QString errors;
};

CtlRun runCtl(const QStringList &arguments, const QStringList &settings = {}) {
    QProcess ctl;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString &setting : settings)
        environment.insert(setting.section('=', 0, 0), setting.section('=', 1));
    ctl.setProcessEnvironment(environment);
    ctl.start(QStringLiteral(QUORVEXCTL_BINARY),
              QStringList{"--device", "LPT1=" + devicePath()} + arguments);
    ctl.waitForFinished(30000);
    return {ctl.exitStatus(), ctl.exitCode(), QString::fromLocal8Bit(ctl.readAllStandardError())};
}

// The panel on a real parport back end, every preset bound as given.
struct ParportPanel {
    explicit ParportPanel(
        std::map<std::uint16_t, std::string> devices = {{0x378, devicePath().toStdString()}})
        : backend(makeKernelParportSystem(), std::move(devices))
        , session(backend) {
        session.window.setMessagePresenter([this](const QString &text) { messages << text; });
    }

    ParportBackend backend;
    PanelSession session;
    QStringList messages;
};

// A real X server, so that the panel runs with the toolkit's own threads.
class XServer {
public:
    XServer() {
        m_server.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-nolisten", "tcp"});
        if (m_server.waitForReadyRead(10000))
            m_display = ':' + QString::fromLatin1(m_server.readLine().trimmed());
    }
    ~XServer() {
        m_server.terminate();
        m_server.waitForFinished(5000);
    }
    const QString &display() const { return m_display; }

private:
    QProcess m_server;
    QString m_display;
};

int count(const QStringList &calls, const QString &prefix) {
    return int(std::count_if(calls.begin(), calls.end(),
                             [&prefix](const QString &call) { return call.startsWith(prefix); }));
}

} // namespace

class RealPortsTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(!devicePath().isEmpty()); }
    void init() {
        // Creating the device is itself an open of it: the log starts after.
        m_fake = std::make_unique<FakePpdev>(QFileInfo(devicePath()).path());
        QFile::remove(qEnvironmentVariable("QUORVEX_FAKE_PPDEV_LOG"));
    }

    void panelHoldsThePortFromItsFirstFrame();
    void heldPortEndsInTheMessage();
    void presetsOnOneDeviceBothWork();
    void signalWaitsForTheFrameToEnd();
    void panelEndsAfterTheFrameWhateverThreadTakesTheSignal_data();
    void panelEndsAfterTheFrameWhateverThreadTakesTheSignal();
    void serverAnswersWhileThePortIsHeld();
    void faultAtAnAccessEndsInTheMessage();

private:
    std::unique_ptr<FakePpdev> m_fake;
};

void RealPortsTest::panelHoldsThePortFromItsFirstFrame() {
    {
        ParportPanel panel;
        QVERIFY(m_fake->calls().isEmpty());
        panel.session.start();
        const QStringList calls = m_fake->calls();
        QCOMPARE(calls.mid(0, 2), QStringList({"open", "claim"}));
        QCOMPARE(count(calls, "wdata "), 2 * 100);
        QCOMPARE(count(calls, "rstatus "), 2 * 16);
        QCOMPARE(calls.last(), "wdata 02");
        QVERIFY(panel.messages.isEmpty());
    }
    QCOMPARE(m_fake->calls().mid(m_fake->calls().size() - 2), QStringList({"release", "close"}));
}

void RealPortsTest::heldPortEndsInTheMessage() {
    auto holder = std::make_unique<Holder>();
    const CtlRun held = runCtl({"send", "1"});
    QCOMPARE(held.code, 3);
    QVERIFY2(held.errors.contains("held by another program") && held.errors.contains("fuser"),
             qPrintable(held.errors));

    // The panel says so and goes on; its next action tries again.
    ParportPanel panel;
    panel.session.start();
    QCOMPARE(panel.messages.size(), 1);
    QVERIFY2(panel.messages.first().startsWith("LPT1 (378h) on " + devicePath()),
             qPrintable(panel.messages.first()));
    QVERIFY(panel.messages.first().contains("held by another program"));
    QCOMPARE(count(m_fake->calls(), "wdata "), 0);
    // The claim's timer left the program's handling of its signal as it was.
    struct sigaction wake {};
    sigaction(SIGRTMIN + 1, nullptr, &wake);
    QVERIFY(wake.sa_handler == SIG_DFL);

    holder.reset();
    QTest::mouseClick(panel.session.window.Clear(), Qt::LeftButton);
    QCOMPARE(panel.messages.size(), 1);
    QCOMPARE(count(m_fake->calls(), "wdata "), 2 * 100);
}

void RealPortsTest::presetsOnOneDeviceBothWork() {
    const QString alias = QFileInfo(devicePath()).path() + "/printer-port";
    QFile::remove(alias);
    QVERIFY(QFile::link(devicePath(), alias));
    ParportPanel panel({{0x378, devicePath().toStdString()}, {0x278, alias.toStdString()}});
    panel.session.start();
    panel.session.window.LPT(1)->trigger();
    panel.session.window.setSliderPosition(3);
    panel.session.window.LPT(0)->trigger();
    panel.session.window.setSliderPosition(4);

    QVERIFY2(panel.messages.isEmpty(), qPrintable(panel.messages.join('\n')));
    const QStringList calls = m_fake->calls();
    QCOMPARE(count(calls, "open"), 1);
    QCOMPARE(count(calls, "claim"), 1);
    QCOMPARE(count(calls, "wdata "), 4 * 100);
}

void RealPortsTest::signalWaitsForTheFrameToEnd() {
    QProcess ctl;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QUORVEX_FAKE_PPDEV_DELAY_US", "3000");
    ctl.setProcessEnvironment(environment);
    ctl.start(QStringLiteral(QUORVEXCTL_BINARY),
              {"--device", "LPT1=" + devicePath(), "send", "ffff"});
    QTRY_VERIFY_WITH_TIMEOUT(count(m_fake->calls(), "wdata ") >= 20, 20000);
    ::kill(pid_t(ctl.processId()), SIGTERM);
    QVERIFY(ctl.waitForFinished(30000));
    QCOMPARE(ctl.exitStatus(), QProcess::CrashExit);

    // The whole frame went out, ending with select high.
    const QStringList calls = m_fake->calls();
    QCOMPARE(count(calls, "wdata "), 100);
    QCOMPARE(count(calls, "rstatus "), 16);
    QCOMPARE(calls.last(), "wdata 02");
}

void RealPortsTest::panelEndsAfterTheFrameWhateverThreadTakesTheSignal_data() {
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << SIGTERM;
    QTest::newRow("SIGHUP") << SIGHUP;
    QTest::newRow("SIGINT") << SIGINT;
}

void RealPortsTest::panelEndsAfterTheFrameWhateverThreadTakesTheSignal() {
    // On a real display the toolkit runs threads of its own beside the
    // panel's, and the kernel hands a signal to any thread that lets it
    // through.
    QFETCH(int, signal);
    if (QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty())
        QSKIP("Xvfb is not installed (Debian package xvfb)");
    XServer x;
    QVERIFY(!x.display().isEmpty());
    QProcess panel;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", x.display());
    environment.insert("QT_QPA_PLATFORM", "xcb");
    environment.insert("QUORVEX_FAKE_PPDEV_DELAY_US", "3000");
    panel.setProcessEnvironment(environment);
    panel.start(QStringLiteral(QUORVEX_EVM_BINARY), {"--device", "LPT1=" + devicePath()});
    QTRY_VERIFY_WITH_TIMEOUT(count(m_fake->calls(), "wdata ") >= 20, 20000);
    ::kill(pid_t(panel.processId()), signal);
    QVERIFY(panel.waitForFinished(30000));
    QCOMPARE(panel.exitStatus(), QProcess::CrashExit);
    QCOMPARE(panel.exitCode(), signal);

    // Start-up's two frames went out whole, and the port was let go.
    const QStringList calls = m_fake->calls();
    QCOMPARE(count(calls, "wdata "), 2 * 100);
    QCOMPARE(calls.mid(calls.size() - 3), QStringList({"wdata 02", "release", "close"}));
}

void RealPortsTest::serverAnswersWhileThePortIsHeld() {
    auto holder = std::make_unique<Holder>();
    QProcess server;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QUORVEX_FAKE_PPDEV_DELAY_US", "3000");
    server.setProcessEnvironment(environment);
    server.setReadChannel(QProcess::StandardError);
    server.start(QStringLiteral(QUORVEXCTL_BINARY),
                 {"--device", "LPT1=" + devicePath(), "serve", "--listen", "127.0.0.1:0"});
    QVERIFY(server.waitForReadyRead(10000));
    QTRY_VERIFY(server.canReadLine());
    const quint16 port = quint16(server.readLine().trimmed().split(':').last().toUInt());
    Client sweeper(port);
    Client other(port);
    sweeper.write(QByteArray("GAIN 33\n").repeated(10));

    // Neither the claim nor the sweep's other lines hold the other client up.
    QElapsedTimer answered;
    answered.start();
    QCOMPARE(other.ask("*IDN?").left(22), "Kestrovia,QuorvexEVM,0");
    QVERIFY2(answered.elapsed() < 500, qPrintable(QString::number(answered.elapsed())));
    const QByteArray error = sweeper.ask("SYST:ERR?");
    QVERIFY2(error.startsWith("100,\"LPT1 (378h): nothing was sent"), error);

    // Once the holder lets go, the next frame goes out; a signal then ends
    // the server within that frame's time, not after the lines waiting.
    holder.reset();
    QTRY_COMPARE_WITH_TIMEOUT(sweeper.ask("GAIN 36;GAIN?"), "36", 10000);
    sweeper.write(QByteArray("GAIN 39;GAIN 42;GAIN 45;GAIN 48;GAIN 51\n").repeated(4));
    QTRY_VERIFY_WITH_TIMEOUT(count(m_fake->calls(), "wdata ") % 100 > 20, 10000);
    QElapsedTimer ending;
    ending.start();
    server.terminate();
    QVERIFY(server.waitForFinished(10000));
    QVERIFY2(ending.elapsed() < 1000, qPrintable(QString::number(ending.elapsed())));
    QCOMPARE(server.exitCode(), 0);
    QCOMPARE(count(m_fake->calls(), "wdata ") % 100, 0);
    QCOMPARE(m_fake->calls().last(), "close");
}

void RealPortsTest::faultAtAnAccessEndsInTheMessage() {
    const CtlRun failed = runCtl({"send", "8112"}, {"QUORVEX_FAKE_PPDEV_FAIL_AT=40:EIO"});
    QCOMPARE(failed.code, 3);
    QVERIFY2(failed.errors.contains("LPT1 (378h) on " + devicePath() + ": ") &&
                 failed.errors.contains("failed: Input/output error; check the port and its cable"),
             qPrintable(failed.errors));
    QCOMPARE(count(m_fake->calls(), "wdata ") + count(m_fake->calls(), "rstatus "), 40);
}

QTEST_MAIN(RealPortsTest)
#include "test_real_ports.moc"

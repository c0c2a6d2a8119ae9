#include "link/direct_io_backend.h"
#include "link/frame_transfer.h"
#include "link/parport_backend.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

namespace {

// Stands in for the kernel: logs each call, fails the ones a test names.
class FakeParportSystem : public ParportSystem {
public:
    struct Log {
        QStringList calls;
        std::map<std::string, int> failures; // call name -> errno
    };

    explicit FakeParportSystem(Log &log)
        : m_log(log) {}

    int open(const std::string &path) override {
        return result("open " + path, "open", m_nextFd++);
    }
    int claim(int fd) override { return result("claim " + std::to_string(fd), "claim", 0); }
    int writeData(int fd, unsigned char value) override {
        return result("wdata " + std::to_string(fd) + " " + std::to_string(value), "wdata", 0);
    }
    int readStatus(int fd, unsigned char *value) override {
        *value = 0x7F;
        return result("rstatus " + std::to_string(fd), "rstatus", 0);
    }
    int release(int fd) override { return result("release " + std::to_string(fd), "release", 0); }
    int close(int fd) override { return result("close " + std::to_string(fd), "close", 0); }

private:
    int result(const std::string &call, const std::string &name, int success) {
        m_log.calls << QString::fromStdString(call);
        const auto failure = m_log.failures.find(name);
        if (failure == m_log.failures.end())
            return success;
        errno = failure->second;
        return -1;
    }

    Log &m_log;
    int m_nextFd = 3;
};

class FakeDirectIo : public DirectIoSystem {
public:
    QStringList *calls;
    int permitErrno = 0;

    explicit FakeDirectIo(QStringList *calls)
        : calls(calls) {}

    int permit(std::uint16_t from, unsigned count) override {
        *calls << QStringLiteral("ioperm %1 %2").arg(from, 0, 16).arg(count);
        if (permitErrno) {
            errno = permitErrno;
            return -1;
        }
        return 0;
    }
    void out(std::uint16_t address, std::uint8_t value) override {
        *calls << QStringLiteral("outb %1 %2").arg(address, 0, 16).arg(value);
    }
    std::uint8_t in(std::uint16_t address) override {
        *calls << QStringLiteral("inb %1").arg(address, 0, 16);
        return 0xFF;
    }
};

void writeFile(const QString &path, const QByteArray &content) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

int countPrefix(const QStringList &calls, const QString &prefix) {
    int n = 0;
    for (const QString &call : calls)
        n += call.startsWith(prefix);
    return n;
}

} // namespace

class PortBackendsTest : public QObject {
    Q_OBJECT

private slots:
    void deviceFromBaseAddress_data();
    void deviceFromBaseAddress();
    void deviceLookupFailures();
    void parportFrameIsOneIoctlPerAccess();
    void parportOpensEachBaseOnceAtFirstAccess();
    void parportErrors_data();
    void parportErrors();
    void directIoFrame();
    void directIoRefused();
};

void PortBackendsTest::deviceFromBaseAddress_data() {
    QTest::addColumn<QByteArray>("parport0");
    QTest::addColumn<QByteArray>("parport1");
    QTest::addColumn<int>("base");
    QTest::addColumn<QString>("device");
    QTest::newRow("base and high base")
        << QByteArray("888\t1912\n") << QByteArray("632\t1656\n") << 0x278 << "/dev/parport1";
    QTest::newRow("extra whitespace")
        << QByteArray("  888   1912  \n") << QByteArray("956") << 0x378 << "/dev/parport0";
    QTest::newRow("PCI card at D100h")
        << QByteArray("53504\t53512\n") << QByteArray("888\t-1\n") << 0x378 << "/dev/parport1";
}

void PortBackendsTest::deviceFromBaseAddress() {
    QFETCH(QByteArray, parport0);
    QFETCH(QByteArray, parport1);
    QFETCH(int, base);
    QFETCH(QString, device);

    QTemporaryDir proc;
    QVERIFY(QDir(proc.path()).mkpath("parport0"));
    QVERIFY(QDir(proc.path()).mkpath("parport1"));
    QVERIFY(QDir(proc.path()).mkpath("default"));
    writeFile(proc.filePath("parport0/base-addr"), parport0);
    writeFile(proc.filePath("parport1/base-addr"), parport1);

    QCOMPARE(
        QString::fromStdString(findParportDevice(proc.path().toStdString(), std::uint16_t(base))),
        device);
}

void PortBackendsTest::deviceLookupFailures() {
    QTemporaryDir proc;
    QVERIFY(QDir(proc.path()).mkpath("parport0"));
    writeFile(proc.filePath("parport0/base-addr"), "632\t1656\n");

    try {
        findParportDevice(proc.path().toStdString(), 0x378);
        QFAIL("no port at 378h");
    } catch (const PortError &error) {
        const QString message = QString::fromLocal8Bit(error.what());
        QVERIFY2(message.startsWith("LPT1 (378h)"), qPrintable(message));
        QVERIFY2(message.contains("--device") && message.contains("--simulate"),
                 qPrintable(message));
    }

    try {
        findParportDevice(proc.filePath("missing").toStdString(), 0x3BC);
        QFAIL("no parport tree");
    } catch (const PortError &error) {
        const QString message = QString::fromLocal8Bit(error.what());
        QVERIFY2(message.startsWith("LPT3 (3BCh)"), qPrintable(message));
        QVERIFY2(message.contains("modprobe"), qPrintable(message));
    }
}

void PortBackendsTest::parportFrameIsOneIoctlPerAccess() {
    FakeParportSystem::Log log;
    {
        ParportBackend backend(std::make_unique<FakeParportSystem>(log),
                               {{0x378, "/dev/parport2"}});
        QCOMPARE(transferFrame(backend, 0x378, 0x379, 0x8112), wordToFrameBits(0xFFFF));
        QCOMPARE(log.calls.first(), "open /dev/parport2");
        QCOMPARE(log.calls.at(1), "claim 3");
        QCOMPARE(countPrefix(log.calls, "wdata 3 "), FrameWrites);
        QCOMPARE(countPrefix(log.calls, "rstatus 3"), FrameReads);
        QCOMPARE(log.calls.size(), 2 + FrameWrites + FrameReads);
    }
    QCOMPARE(log.calls.mid(log.calls.size() - 2), QStringList({"release 3", "close 3"}));
}

void PortBackendsTest::parportOpensEachBaseOnceAtFirstAccess() {
    FakeParportSystem::Log log;
    ParportBackend backend(std::make_unique<FakeParportSystem>(log),
                           {{0x378, "/dev/parport0"}, {0x278, "/dev/parport1"}});
    QVERIFY(log.calls.isEmpty());

    transferFrame(backend, 0x378, 0x379, 0);
    transferFrame(backend, 0x278, 0x279, 0);
    transferFrame(backend, 0x378, 0x379, 0);
    QCOMPARE(countPrefix(log.calls, "open "), 2);
    QCOMPARE(countPrefix(log.calls, "claim "), 2);
    QVERIFY(log.calls.contains("open /dev/parport1"));
    QCOMPARE(countPrefix(log.calls, "wdata 4 "), FrameWrites);
}

void PortBackendsTest::parportErrors_data() {
    QTest::addColumn<QString>("failingCall");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("remedy");
    QTest::newRow("device missing") << "open" << ENOENT << "No such file"
                                    << "modprobe ppdev";
    QTest::newRow("permission denied") << "open" << EACCES << "Permission denied"
                                       << "usermod -aG lp";
    QTest::newRow("claim refused") << "claim" << ENXIO << "No such device"
                                   << "--device";
    QTest::newRow("write fails mid-frame") << "wdata" << EIO << "Input/output error"
                                           << "cable";
    QTest::newRow("status read fails") << "rstatus" << ENODEV << "No such device"
                                       << "--device";
}

void PortBackendsTest::parportErrors() {
    QFETCH(QString, failingCall);
    QFETCH(int, error);
    QFETCH(QString, reason);
    QFETCH(QString, remedy);

    FakeParportSystem::Log log;
    log.failures[failingCall.toStdString()] = error;
    ParportBackend backend(std::make_unique<FakeParportSystem>(log), {{0x278, "/dev/parport1"}});
    try {
        transferFrame(backend, 0x278, 0x279, 0);
        QFAIL("the frame should fail");
    } catch (const PortError &failure) {
        const QString message = QString::fromLocal8Bit(failure.what());
        QVERIFY2(message.startsWith("LPT2 (278h) on /dev/parport1"), qPrintable(message));
        QVERIFY2(message.contains(reason), qPrintable(message));
        QVERIFY2(message.contains(remedy), qPrintable(message));
        QVERIFY(!message.contains('\n'));
    }
    // Nothing of the frame is retried.
    QCOMPARE(countPrefix(log.calls, failingCall + " "), 1);
}

void PortBackendsTest::directIoFrame() {
    QStringList calls;
    DirectIoBackend backend(std::make_unique<FakeDirectIo>(&calls));
    QVERIFY(calls.isEmpty());

    QCOMPARE(transferFrame(backend, 0x3BC, 0x3BD, 0xFFFF), wordToFrameBits(0));
    transferFrame(backend, 0x3BC, 0x3BD, 0);
    QCOMPARE(calls.first(), "ioperm 3bc 2");
    QCOMPARE(countPrefix(calls, "ioperm"), 1);
    QCOMPARE(countPrefix(calls, "outb 3bc "), 2 * FrameWrites);
    QCOMPARE(countPrefix(calls, "inb 3bd"), 2 * FrameReads);
    QCOMPARE(calls.size(), 1 + 2 * (FrameWrites + FrameReads));
}

void PortBackendsTest::directIoRefused() {
    QStringList calls;
    auto system = std::make_unique<FakeDirectIo>(&calls);
    system->permitErrno = EPERM;
    DirectIoBackend backend(std::move(system));
    try {
        backend.writeData(0x378, 2);
        QFAIL("ioperm was refused");
    } catch (const PortError &error) {
        const QString message = QString::fromLocal8Bit(error.what());
        QVERIFY2(message.startsWith("LPT1 (378h) by direct I/O"), qPrintable(message));
        QVERIFY2(message.contains("CAP_SYS_RAWIO") && message.contains("Secure Boot"),
                 qPrintable(message));
    }
    QVERIFY(!calls.contains(QStringLiteral("outb 378 2")));
}

QTEST_APPLESS_MAIN(PortBackendsTest)
#include "test_port_backends.moc"

#include "link/direct_io_backend.h"
#include "link/frame_transfer.h"
#include "link/parport_backend.h"
#include "support/recording_port.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <sys/sysmacros.h>

namespace {

// Stands in for the kernel: every path is a parport device (99:0) unless a
// test says otherwise; logs each call and fails the ones a test names.
class FakeParportSystem : public ParportSystem {
public:
    struct Log {
        QStringList calls;
        std::map<std::string, int> failures;      // call name -> errno
        std::map<std::string, int> failTimes;     // call name -> how often (default: always)
        std::map<std::string, struct stat> files; // path -> what stat reports
    };

    explicit FakeParportSystem(Log &log)
        : m_log(log) {}

    int stat(const std::string &path, struct stat &info) override {
        info = fileAt(path);
        return result("stat " + path, "stat", 0);
    }
    int open(const std::string &path) override {
        const int fd = m_nextFd++;
        m_paths[fd] = path;
        return result("open " + path, "open", fd);
    }
    int fstat(int fd, struct stat &info) override {
        info = fileAt(m_paths[fd]);
        return result("fstat " + std::to_string(fd), "fstat", 0);
    }
    int claim(int fd, std::chrono::milliseconds) override {
        return result("claim " + std::to_string(fd), "claim", 0);
    }
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
    struct stat fileAt(const std::string &path) const {
        const auto file = m_log.files.find(path);
        if (file != m_log.files.end())
            return file->second;
        struct stat info {};
        info.st_mode = S_IFCHR | 0660;
        info.st_rdev = makedev(99, 0);
        info.st_gid = 7; // lp, as Debian's udev rules give it
        return info;
    }

    int result(const std::string &call, const std::string &name, int success) {
        m_log.calls << QString::fromStdString(call);
        const auto failure = m_log.failures.find(name);
        if (failure == m_log.failures.end())
            return success;
        const auto times = m_log.failTimes.find(name);
        if (times != m_log.failTimes.end() && times->second-- <= 0)
            return success;
        errno = failure->second;
        return -1;
    }

    Log &m_log;
    std::map<int, std::string> m_paths;
    int m_nextFd = 3;
};

struct stat fileOfKind(mode_t kind, unsigned major = 0, unsigned minor = 0) {
    struct stat info {};
    info.st_mode = kind | 0644;
    info.st_rdev = makedev(major, minor);
    return info;
}

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
    void listingBindsPresetsAndSaysWhoMayOpen();
    void parportFrameIsOneIoctlPerAccess();
    void parportOpensEachBaseOnceAtFirstAccess();
    void presetsOnOneDeviceShareOneClaim();
    void claimCutShortIsRetriedOnAFreshDescriptor();
    void claimCutShortAtItsEndReadsAsHeld();
    void failedDeviceIsClosedAndReopened();
    void parportErrors_data();
    void parportErrors();
    void notAParportDevice_data();
    void notAParportDevice();
    void messages_data();
    void messages();
    void directIoFrame();
    void directIoRefused_data();
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
    QVERIFY(QDir(proc.path()).mkpath("parport12"));
    writeFile(proc.filePath("parport0/base-addr"), "632\t1656\n");
    writeFile(proc.filePath("parport12/base-addr"), "53504\t53512\n");

    try {
        findParportDevice(proc.path().toStdString(), 0x378);
        QFAIL("no port at 378h");
    } catch (const PortError &error) {
        const QString message = QString::fromLocal8Bit(error.what());
        QVERIFY2(message.startsWith("LPT1 (378h)"), qPrintable(message));
        QVERIFY2(message.contains("--device LPT1=") && message.contains("--simulate"),
                 qPrintable(message));
        // The ports there are, so a card at another address can be bound.
        QVERIFY2(message.contains("/dev/parport0 at 278h and /dev/parport12 at D100h"),
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

void PortBackendsTest::listingBindsPresetsAndSaysWhoMayOpen() {
    QTemporaryDir proc;
    const QList<QByteArray> bases{"632\t1656\n", "888\t1912\n", "53504\t53512\n"};
    for (int n = 0; n < 3; ++n) {
        QVERIFY(QDir(proc.path()).mkpath(QStringLiteral("parport%1").arg(n)));
        writeFile(proc.filePath(QStringLiteral("parport%1/base-addr").arg(n)), bases[n]);
    }
    FakeParportSystem::Log log;
    log.failures["open"] = EACCES;
    log.failTimes["open"] = 1; // parport0's
    log.files["/dev/parport2"] = fileOfKind(S_IFREG);
    FakeParportSystem system(log);

    // LPT1 bound to the card at D100h: no longer to the port at its address.
    const std::vector<PortListing> ports =
        listParallelPorts(system, proc.path().toStdString(), {{0x378, "/dev/parport2"}});
    QCOMPARE(ports.size(), 3u);
    QCOMPARE(ports[0].presets, std::vector<int>{1});
    QVERIFY(ports[1].presets.empty());
    QCOMPARE(ports[2].presets, std::vector<int>{0});
    QVERIFY2(ports[0].refusal.find("usermod -aG lp") != std::string::npos,
             ports[0].refusal.c_str());
    QCOMPARE(ports[1].refusal, std::string());
    QVERIFY2(ports[2].refusal.find("regular file") != std::string::npos, ports[2].refusal.c_str());
    // Opened and closed, never claimed: a listing waits for no one.
    QCOMPARE(countPrefix(log.calls, "claim"), 0);
    QCOMPARE(countPrefix(log.calls, "close"), 1);
}

void PortBackendsTest::parportFrameIsOneIoctlPerAccess() {
    FakeParportSystem::Log log;
    {
        ParportBackend backend(std::make_unique<FakeParportSystem>(log),
                               {{0x378, "/dev/parport2"}});
        QCOMPARE(frameOn(backend, 0x378, 0x8112), wordToFrameBits(0xFFFF));
        QCOMPARE(log.calls.mid(0, 4),
                 QStringList({"stat /dev/parport2", "open /dev/parport2", "fstat 3", "claim 3"}));
        QCOMPARE(countPrefix(log.calls, "wdata 3 "), FrameWrites);
        QCOMPARE(countPrefix(log.calls, "rstatus 3"), FrameReads);
        QCOMPARE(log.calls.size(), 4 + FrameWrites + FrameReads);
    }
    QCOMPARE(log.calls.mid(log.calls.size() - 2), QStringList({"release 3", "close 3"}));
}

void PortBackendsTest::parportOpensEachBaseOnceAtFirstAccess() {
    FakeParportSystem::Log log;
    log.files["/dev/parport1"] = fileOfKind(S_IFCHR, 99, 1);
    ParportBackend backend(std::make_unique<FakeParportSystem>(log),
                           {{0x378, "/dev/parport0"}, {0x278, "/dev/parport1"}});
    QVERIFY(log.calls.isEmpty());

    frameOn(backend, 0x378, 0);
    frameOn(backend, 0x278, 0);
    frameOn(backend, 0x378, 0);
    QCOMPARE(countPrefix(log.calls, "open "), 2);
    QCOMPARE(countPrefix(log.calls, "claim "), 2);
    QVERIFY(log.calls.contains("open /dev/parport1"));
    QCOMPARE(countPrefix(log.calls, "wdata 4 "), FrameWrites);
}

void PortBackendsTest::presetsOnOneDeviceShareOneClaim() {
    // Two names for one device: a second claim from this process would wait
    // for the first one for ever.
    FakeParportSystem::Log log;
    log.files["/dev/printer-port"] = fileOfKind(S_IFCHR, 99, 0);
    {
        ParportBackend backend(std::make_unique<FakeParportSystem>(log),
                               {{0x378, "/dev/parport0"}, {0x278, "/dev/printer-port"}});
        frameOn(backend, 0x278, 0);
        frameOn(backend, 0x378, 0);
        frameOn(backend, 0x278, 0);
        QCOMPARE(countPrefix(log.calls, "open "), 1);
        QCOMPARE(countPrefix(log.calls, "claim "), 1);
        QCOMPARE(countPrefix(log.calls, "wdata 3 "), 3 * FrameWrites);
    }
    QCOMPARE(countPrefix(log.calls, "release "), 1);
    QCOMPARE(countPrefix(log.calls, "close "), 1);
}

void PortBackendsTest::claimCutShortIsRetriedOnAFreshDescriptor() {
    // A signal ended the first wait: that descriptor stays queued for the port
    // in the kernel, so it is closed unreleased and a new one claims.
    FakeParportSystem::Log log;
    log.failures["claim"] = EINTR;
    log.failTimes["claim"] = 1;
    ParportBackend backend(std::make_unique<FakeParportSystem>(log), {{0x378, "/dev/parport0"}});
    frameOn(backend, 0x378, 0);
    QCOMPARE(log.calls.mid(0, 8),
             QStringList({"stat /dev/parport0", "open /dev/parport0", "fstat 3", "claim 3",
                          "close 3", "open /dev/parport0", "fstat 4", "claim 4"}));
    QCOMPARE(countPrefix(log.calls, "wdata 4 "), FrameWrites);
}

void PortBackendsTest::claimCutShortAtItsEndReadsAsHeld() {
    // Another signal ends every wait; the last one ends as the bound runs out.
    FakeParportSystem::Log log;
    log.failures["claim"] = EINTR;
    ParportBackend backend(std::make_unique<FakeParportSystem>(log), {{0x378, "/dev/parport0"}},
                           "/nonexistent", std::chrono::milliseconds(5));
    try {
        frameOn(backend, 0x378, 0);
        QFAIL("the port stays held");
    } catch (const PortError &failure) {
        QVERIFY2(QByteArray(failure.what()).contains("held by another program"), failure.what());
    }
}

void PortBackendsTest::failedDeviceIsClosedAndReopened() {
    FakeParportSystem::Log log;
    log.failures["wdata"] = EIO;
    log.failTimes["wdata"] = 1;
    ParportBackend backend(std::make_unique<FakeParportSystem>(log), {{0x378, "/dev/parport0"}});
    QVERIFY_THROWS_EXCEPTION(PortError, frameOn(backend, 0x378, 0));
    QCOMPARE(log.calls.mid(4), QStringList({"wdata 3 2", "release 3", "close 3"}));

    // The next frame starts afresh, with a device that works again.
    frameOn(backend, 0x378, 0);
    QCOMPARE(countPrefix(log.calls, "claim 4"), 1);
    QCOMPARE(countPrefix(log.calls, "wdata 4 "), FrameWrites);
}

void PortBackendsTest::parportErrors_data() {
    QTest::addColumn<QString>("failingCall");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("remedy");
    QTest::newRow("device missing") << "stat" << ENOENT << "no such device"
                                    << "modprobe ppdev";
    QTest::newRow("permission denied") << "open" << EACCES << "Permission denied"
                                       << "usermod -aG lp";
    QTest::newRow("port held by another program")
        << "claim" << ETIMEDOUT << "held by another program"
        << "/proc/sys/dev/parport/parport0/devices/active names the driver holding it and "
           "'fuser -v /dev/parport1'";
    QTest::newRow("claim refused") << "claim" << ENXIO << "No such device or address"
                                   << "--device LPT2=";
    QTest::newRow("write fails mid-frame") << "wdata" << EIO << "Input/output error"
                                           << "cable";
    QTest::newRow("status read fails") << "rstatus" << ENODEV << "No such device"
                                       << "cable";
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
        frameOn(backend, 0x278, 0);
        QFAIL("the frame should fail");
    } catch (const PortError &failure) {
        const QString message = QString::fromLocal8Bit(failure.what());
        QVERIFY2(message.startsWith("LPT2 (278h) on /dev/parport1"), qPrintable(message));
        QVERIFY2(message.contains(reason), qPrintable(message));
        QVERIFY2(message.contains(remedy), qPrintable(message));
        QVERIFY(!message.contains('\n'));
    }
    // Nothing of the frame is retried, and no descriptor is left open.
    QCOMPARE(countPrefix(log.calls, failingCall + " "), 1);
    const int opened = countPrefix(log.calls, "open ") - (failingCall == "open" ? 1 : 0);
    QCOMPARE(countPrefix(log.calls, "close "), opened);
}

void PortBackendsTest::notAParportDevice_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("major");
    QTest::addColumn<QString>("found");
    QTest::newRow("/dev/null") << int(S_IFCHR) << 1 << "a memory device";
    QTest::newRow("/dev/lp0") << int(S_IFCHR) << 6 << "the printer driver's device";
    QTest::newRow("/dev/usb/lp0") << int(S_IFCHR) << 180 << "USB printer adapter";
    QTest::newRow("a serial port") << int(S_IFCHR) << 4 << "serial port";
    QTest::newRow("a regular file") << int(S_IFREG) << 0 << "a regular file";
    QTest::newRow("a folder") << int(S_IFDIR) << 0 << "a folder";
}

void PortBackendsTest::notAParportDevice() {
    QFETCH(int, kind);
    QFETCH(int, major);
    QFETCH(QString, found);

    FakeParportSystem::Log log;
    log.files["/dev/thing"] = fileOfKind(mode_t(kind), unsigned(major));
    ParportBackend backend(std::make_unique<FakeParportSystem>(log), {{0x3BC, "/dev/thing"}});
    try {
        frameOn(backend, 0x3BC, 0);
        QFAIL("the device is no parport device");
    } catch (const PortError &failure) {
        const QString message = QString::fromLocal8Bit(failure.what());
        QVERIFY2(message.startsWith("LPT3 (3BCh) on /dev/thing: not a parallel-port device"),
                 qPrintable(message));
        QVERIFY2(message.contains(found) && message.contains("--device LPT3=/dev/parportN"),
                 qPrintable(message));
    }
    // Refused before it is opened.
    QCOMPARE(log.calls, QStringList{"stat /dev/thing"});
}

void PortBackendsTest::messages_data() {
    using Step = ParportFailure::Step;
    QTest::addColumn<int>("step");
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("device");
    QTest::addColumn<bool>("portsKnown");
    QTest::addColumn<QStringList>("says");
    const QStringList known{"the system knows /dev/parport0 at 378h and /dev/parport3 at D100h"};
    QTest::newRow("lookup: no port at the base")
        << int(Step::Lookup) << 0 << "" << true
        << QStringList{"LPT2 (278h): no parallel port sits at 278h", "--device LPT2=", known[0]};
    QTest::newRow("lookup: no ports at all")
        << int(Step::Lookup) << 0 << "" << false
        << QStringList{"no parallel ports are known", "modprobe parport_pc ppdev"};
    QTest::newRow("check: path missing")
        << int(Step::Check) << ENOENT << "/dev/parport7" << true
        << QStringList{"on /dev/parport7: no such device", "modprobe ppdev", known[0]};
    QTest::newRow("open: not in the group")
        << int(Step::Open) << EACCES << "/dev/parport0" << true
        << QStringList{"Permission denied", "sudo usermod -aG lpadmin $USER"};
    QTest::newRow("open: no port behind the device")
        << int(Step::Open) << ENXIO << "/dev/parport5" << true
        << QStringList{"no port sits behind this device", "--device LPT2=", known[0]};
    QTest::newRow("claim: held for the whole bound")
        << int(Step::Claim) << ETIMEDOUT << "/dev/parport3" << true
        << QStringList{"held by another program", "/proc/sys/dev/parport/parport3/devices/active",
                       "fuser -v /dev/parport3"};
    QTest::newRow("claim: no timer to bound the wait")
        << int(Step::Claim) << EAGAIN << "/dev/parport3" << true
        << QStringList{"cannot time the wait for the port", "ulimit -i"};
    QTest::newRow("claim: another driver has it for itself")
        << int(Step::Claim) << ENXIO << "/dev/parport3" << true
        << QStringList{"another driver holds the port", "--device LPT2=", known[0]};
    QTest::newRow("write fails") << int(Step::Write) << EIO << "/dev/parport3" << true
                                 << QStringList{"data write failed: Input/output error", "cable"};
}

void PortBackendsTest::messages() {
    QFETCH(int, step);
    QFETCH(int, error);
    QFETCH(QString, device);
    QFETCH(bool, portsKnown);
    QFETCH(QStringList, says);

    ParportFailure failure(ParportFailure::Step(step), error, 0x278, device.toStdString());
    failure.portNumber = 3;
    failure.group = "lpadmin";
    if (portsKnown)
        failure.known = {{0, 0x378}, {3, 0xD100}};
    const QString message = QString::fromStdString(parportMessage(failure));
    for (const QString &part : says)
        QVERIFY2(message.contains(part), qPrintable(message + "\n  lacks: " + part));
    QVERIFY2(!message.contains("LPT1="), qPrintable(message));
}

void PortBackendsTest::directIoFrame() {
    QStringList calls;
    DirectIoBackend backend(std::make_unique<FakeDirectIo>(&calls));
    QVERIFY(calls.isEmpty());

    QCOMPARE(frameOn(backend, 0x3BC, 0xFFFF), wordToFrameBits(0));
    frameOn(backend, 0x3BC, 0);
    QCOMPARE(calls.first(), "ioperm 3bc 2");
    QCOMPARE(countPrefix(calls, "ioperm"), 1);
    QCOMPARE(countPrefix(calls, "outb 3bc "), 2 * FrameWrites);
    QCOMPARE(countPrefix(calls, "inb 3bd"), 2 * FrameReads);
    QCOMPARE(calls.size(), 1 + 2 * (FrameWrites + FrameReads));
}

void PortBackendsTest::directIoRefused_data() {
    QTest::addColumn<int>("error");
    QTest::addColumn<QString>("remedy");
    QTest::newRow("not privileged or locked down") << EPERM << "CAP_SYS_RAWIO";
    QTest::newRow("kernel without ioperm") << ENOSYS << "use the parport driver";
}

void PortBackendsTest::directIoRefused() {
    QFETCH(int, error);
    QFETCH(QString, remedy);
    QStringList calls;
    auto system = std::make_unique<FakeDirectIo>(&calls);
    system->permitErrno = error;
    DirectIoBackend backend(std::move(system));
    try {
        backend.open(registersAt(0x378));
        QFAIL("ioperm was refused");
    } catch (const PortError &failure) {
        const QString message = QString::fromLocal8Bit(failure.what());
        QVERIFY2(message.startsWith("LPT1 (378h) by direct I/O"), qPrintable(message));
        QVERIFY2(message.contains(remedy), qPrintable(message));
        QVERIFY2((error == EPERM) == message.contains("root"), qPrintable(message));
    }
    QCOMPARE(calls.size(), 1);
}

QTEST_APPLESS_MAIN(PortBackendsTest)
#include "test_port_backends.moc"

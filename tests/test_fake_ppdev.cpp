#include "support/fake_ppdev/fake_ppdev_fixture.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <chrono>
#include <thread>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>

namespace {

// A frame as the log shows it, written out from the wiring (select 02, SDI 04,
// clock 08) rather than from the code that sends it: select falls, sixteen
// read clocks each with one status read, sixteen write clocks MSB first,
// select rises. A fresh board shifts out zeros, and BUSY reads inverted.
QStringList frameCalls(std::uint16_t word) {
    const auto wdata = [](int value) {
        return QStringLiteral("wdata %1").arg(value, 2, 16, QLatin1Char('0'));
    };
    QStringList calls{wdata(0x02), wdata(0x00)};
    for (int n = 0; n < 16; ++n)
        calls << wdata(0x00) << wdata(0x08) << QStringLiteral("rstatus ff") << wdata(0x00);
    for (int bit = 15; bit >= 0; --bit) {
        const int sdi = (word >> bit) & 1 ? 0x04 : 0x00;
        calls << wdata(sdi) << wdata(sdi | 0x08) << wdata(sdi);
    }
    return calls << wdata(0x00) << wdata(0x02);
}

// The library's own open, ioctl and close, loaded into this process: what a
// program running with it preloaded reaches.
class Driver {
public:
    Driver()
        : m_library(dlopen(QUORVEX_FAKE_PPDEV_LIBRARY, RTLD_NOW | RTLD_LOCAL))
        , m_open(reinterpret_cast<int (*)(const char *, int, ...)>(dlsym(m_library, "open")))
        , m_ioctl(reinterpret_cast<int (*)(int, unsigned long, ...)>(dlsym(m_library, "ioctl")))
        , m_close(reinterpret_cast<int (*)(int)>(dlsym(m_library, "close"))) {}
    ~Driver() { dlclose(m_library); }
    Driver(const Driver &) = delete;
    Driver &operator=(const Driver &) = delete;

    int open(const QString &path) { return m_open(qPrintable(path), O_RDWR | O_CLOEXEC); }
    // 0, or the errno the request failed with.
    int ioctl(int fd, unsigned long request, unsigned char *value = nullptr) {
        return m_ioctl(fd, request, value) == 0 ? 0 : errno;
    }
    void close(int fd) { m_close(fd); }

private:
    void *m_library;
    int (*m_open)(const char *, int, ...);
    int (*m_ioctl)(int, unsigned long, ...);
    int (*m_close)(int);
};

// Runs a SIGALRM handler installed with SA_RESTART in this thread, again and
// again, until destroyed: a signal arriving before a wait begins must not
// leave the wait without one.
class Interrupter {
private:
    static bool installHandler() {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        action.sa_flags = SA_RESTART;
        return sigaction(SIGALRM, &action, nullptr) == 0;
    }

    bool m_installed = installHandler();
    std::jthread m_sender{[target = pthread_self()](std::stop_token stop) {
        while (!stop.stop_requested()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            if (!stop.stop_requested())
                pthread_kill(target, SIGALRM);
        }
    }};
};

} // namespace

class FakePpdevTest : public QObject {
    Q_OBJECT

private slots:
    void realQuorvexctlSendsExactlyOneFrame();
    void claimRulesOfTheKernel();
};

void FakePpdevTest::realQuorvexctlSendsExactlyOneFrame() {
    QTemporaryDir folder;
    const FakePpdev fake(folder.path());
    QProcess ctl;
    ctl.setProcessEnvironment(fake.environment());
    ctl.start(QStringLiteral(QUORVEXCTL_BINARY),
              {QStringLiteral("--device"), QStringLiteral("LPT1=") + fake.device(),
               QStringLiteral("send"), QStringLiteral("8112")});
    QVERIFY(ctl.waitForFinished(60000));
    QCOMPARE(ctl.exitCode(), 0);
    QCOMPARE(fake.calls(), QStringList({"open", "claim"}) + frameCalls(0x8112) +
                               QStringList({"release", "close"}));
}

void FakePpdevTest::claimRulesOfTheKernel() {
    QTemporaryDir folder;
    const FakePpdev fake(folder.path());
    qputenv("QUORVEX_FAKE_PPDEV", fake.device().toLocal8Bit());
    Driver driver;
    const int first = driver.open(fake.device());
    const int second = driver.open(fake.device());
    QVERIFY(first >= 0 && second >= 0);
    unsigned char value = 0x02;

    QCOMPARE(driver.ioctl(first, PPWDATA, &value), EINVAL);
    QCOMPARE(driver.ioctl(first, PPRSTATUS, &value), EINVAL);
    QCOMPARE(driver.ioctl(first, PPRELEASE), EINVAL);
    QCOMPARE(driver.ioctl(first, PPCLAIM), 0);
    QCOMPARE(driver.ioctl(first, PPCLAIM), EINVAL);
    QCOMPARE(driver.ioctl(first, PPWDATA, &value), 0);

    // Another open of the same process waits for the port like any other.
    {
        const Interrupter interrupter;
        QCOMPARE(driver.ioctl(second, PPCLAIM), EINTR);
    }

    // The interrupted claim stays on the wait list: the released port passes
    // to it, and it owns the port without having claimed it.
    QCOMPARE(driver.ioctl(first, PPRELEASE), 0);
    const int third = driver.open(fake.device());
    {
        const Interrupter interrupter;
        QCOMPARE(driver.ioctl(third, PPCLAIM), EINTR);
    }
    driver.close(third);
    // From here on every claim must succeed at once: a wait fails with EINTR.
    const Interrupter interrupter;
    QCOMPARE(driver.ioctl(second, PPWDATA, &value), EINVAL);
    QCOMPARE(driver.ioctl(second, PPCLAIM), 0);

    // Closing the holder releases the port.
    driver.close(second);
    QCOMPARE(driver.ioctl(first, PPCLAIM), 0);
    driver.close(first);
}

QTEST_GUILESS_MAIN(FakePpdevTest)
#include "test_fake_ppdev.moc"

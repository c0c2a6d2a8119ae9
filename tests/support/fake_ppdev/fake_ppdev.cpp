// A stand-in for the kernel's parallel-port driver for user programs (ppdev,
// with the parport core's claim rules), preloaded into the real programs so
// that they drive a simulated board through one fake /dev/parportN. Only the
// file named by QUORVEX_FAKE_PPDEV (a regular file, matched by device and
// inode, so a symlink to it is the same device) is served; every other call
// passes through to the C library.
//
// Environment:
//   QUORVEX_FAKE_PPDEV              the backing file; nothing is faked without it
//   QUORVEX_FAKE_PPDEV_MINOR        the minor number stat reports (default 0)
//   QUORVEX_FAKE_PPDEV_BASE         the port base, decimal, the board hangs on (888)
//   QUORVEX_FAKE_PPDEV_DENY=1       open fails with EACCES (the user is not in lp)
//   QUORVEX_FAKE_PPDEV_EXCLUSIVE=1  PPCLAIM fails with ENXIO (another driver
//                                   registered the port exclusively)
//   QUORVEX_FAKE_PPDEV_DELAY_US=n   each PPWDATA and PPRSTATUS takes n µs
//   QUORVEX_FAKE_PPDEV_FAIL_AT=n[:errno]  the n-th PPWDATA or PPRSTATUS of the
//                                   process (from 1, claimed ones only) fails with
//                                   errno, a number or a name (default EIO)
//   QUORVEX_FAKE_PPDEV_LOG=path     one line appended per call on the device:
//                                   "PID OP [HEX] [ERRNO]", e.g. "812 open",
//                                   "812 claim EINTR", "812 wdata 0a",
//                                   "812 rstatus ff", "812 wdata 02 EIO".
//       OP is open, close, stat, claim, release, wdata, rstatus, rdata,
//       handover (the port passed to a claim that was interrupted) or ioctl
//       (a request not modelled, HEX its number).
#include "link/simulated_board.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/ppdev.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))
#define FAKE_ALIAS(target) __attribute__((visibility("default"), alias(target)))

// The C library's own function, looked up at its first use.
#define REAL(function)                                                                             \
    ([] {                                                                                          \
        static const auto found =                                                                  \
            reinterpret_cast<decltype(&::function)>(dlsym(RTLD_NEXT, #function));                  \
        return found;                                                                              \
    }())

static_assert(sizeof(struct stat) == sizeof(struct stat64), "one stat layout, as on x86-64");

namespace {

constexpr unsigned PpMajor = 99;    // PP_MAJOR
constexpr unsigned ParportMax = 16; // PARPORT_MAX: pp_open refuses higher minors with ENXIO
constexpr int MaxOpens = 16;
constexpr timespec PollInterval{0, 1'000'000};

struct Config {
    char device[PATH_MAX] = {};
    char log[PATH_MAX] = {};
    unsigned minor = 0;
    std::uint16_t base = 888;
    bool deny = false;
    bool exclusive = false;
    long delayUs = 0;
    long failAt = 0;
    int failErrno = EIO;
};

long numberFrom(const char *name, long fallback) {
    const char *text = std::getenv(name);
    return text && *text ? std::strtol(text, nullptr, 10) : fallback;
}

void copyFrom(const char *name, char (&target)[PATH_MAX]) {
    if (const char *text = std::getenv(name))
        std::strncpy(target, text, PATH_MAX - 1);
}

int errnoFrom(const char *text) {
    for (int error = 1; *text == 'E' && error < 256; ++error) {
        if (const char *name = strerrorname_np(error); name && std::strcmp(name, text) == 0)
            return error;
    }
    return *text == 'E' ? EIO : int(std::strtol(text, nullptr, 10));
}

const Config &config() {
    static const Config parsed = [] {
        Config c;
        copyFrom("QUORVEX_FAKE_PPDEV", c.device);
        copyFrom("QUORVEX_FAKE_PPDEV_LOG", c.log);
        c.minor = unsigned(numberFrom("QUORVEX_FAKE_PPDEV_MINOR", 0));
        c.base = std::uint16_t(numberFrom("QUORVEX_FAKE_PPDEV_BASE", 888));
        c.deny = numberFrom("QUORVEX_FAKE_PPDEV_DENY", 0) == 1;
        c.exclusive = numberFrom("QUORVEX_FAKE_PPDEV_EXCLUSIVE", 0) == 1;
        c.delayUs = numberFrom("QUORVEX_FAKE_PPDEV_DELAY_US", 0);
        if (const char *failAt = std::getenv("QUORVEX_FAKE_PPDEV_FAIL_AT")) {
            c.failAt = std::strtol(failAt, nullptr, 10);
            if (const char *colon = std::strchr(failAt, ':'))
                c.failErrno = errnoFrom(colon + 1);
        }
        return c;
    }();
    return parsed;
}

// One O_APPEND write per line, so that the lines of several processes never
// interleave. Integer formats only: snprintf allocates nothing for them.
void log(const char *op, long value = -1, int error = 0) {
    if (!config().log[0])
        return;
    char line[96];
    int n = std::snprintf(line, sizeof line, "%d %s", int(getpid()), op);
    if (value >= 0)
        n += std::snprintf(line + n, sizeof line - std::size_t(n), " %02lx", value);
    if (error)
        n += std::snprintf(line + n, sizeof line - std::size_t(n), " %s", strerrorname_np(error));
    line[n++] = '\n';
    const int fd =
        REAL(openat)(AT_FDCWD, config().log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        [[maybe_unused]] const ssize_t written = write(fd, line, std::size_t(n));
        REAL(close)(fd);
    }
}

bool isFakeFile(dev_t dev, ino_t ino) {
    struct stat device;
    return config().device[0] && REAL(fstatat)(AT_FDCWD, config().device, &device, 0) == 0 &&
           device.st_dev == dev && device.st_ino == ino;
}

// The board behind the port. The only code that knows SimulatedBoard's
// interface, so that a change to it touches nothing else here.
class Board {
public:
    explicit Board(std::uint16_t base)
        : m_board(base) {}
    void writeData(std::uint8_t value) { m_board.writeData(value); }
    std::uint8_t readStatus() { return m_board.readStatus(); }

private:
    SimulatedBoard m_board;
};

Board &board() {
    static Board simulated(config().base);
    return simulated;
}

// Who holds the port is an flock(2) on the backing file. flock belongs to the
// open file description, as ppdev's pardevice belongs to one open, so two
// opens in one process exclude each other as they do in the kernel, and the
// lock goes with the description's last close, as pp_release runs at the last
// fput (after dup or fork, the last of the copies).
enum Hold { Free, Queued, Held };

// One open of the device, its own parport device: ppdev's pp_struct.
struct Device {
    std::atomic<int> fd{-1};
    bool claimed = false; // PP_CLAIMED
    std::atomic<int> hold{Free};
    // While on the wait list: the thread that waits for the port on the
    // device's behalf, the eventfd it rings when done, and its ticket.
    bool queued = false;
    pthread_t waiter{};
    int wakeup = -1;
    off_t ticket = 0;
    std::atomic<bool> stopWaiting{false};
    std::atomic<bool> interrupted{false};
};

Device g_devices[MaxOpens];
std::atomic<long> g_accesses{0};
std::uint8_t g_dataRegister = 0;

Device *find(int fd) {
    for (Device &device : g_devices) {
        if (fd >= 0 && device.fd.load() == fd)
            return &device;
    }
    return nullptr;
}

// A descriptor closed behind the library's back (dup2 onto it, say) leaves
// its entry behind; a new open with the same number takes it over.
Device *track(int fd) {
    Device *device = find(fd);
    for (Device &entry : g_devices) {
        int unused = -1;
        if (!device && entry.fd.compare_exchange_strong(unused, fd))
            device = &entry;
    }
    if (device) {
        device->claimed = false;
        device->hold = Free;
        device->queued = false;
    }
    return device;
}

// OFD byte-range locks on the backing file, seen by every process: byte 0
// stands for ppdev's one driver-wide mutex; from byte 1 on, each waiting device
// holds the byte of its ticket (the time it began to wait), so that the port
// goes to the longest waiter, as parport_release gives it.
constexpr off_t MutexByte = 0;
constexpr off_t FirstTicket = 1;

int rangeLock(int fd, short type, off_t start, off_t length, int command) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = start;
    lock.l_len = length;
    int result;
    while ((result = fcntl(fd, command, &lock)) != 0 && errno == EINTR) {
    }
    return command == F_OFD_GETLK && result == 0 ? lock.l_type : result;
}

// Whether another device began to wait before ticket (0: at any time).
bool waitersBefore(int fd, off_t ticket) {
    const off_t length = ticket ? ticket - FirstTicket : 0;
    const int found = rangeLock(fd, F_WRLCK, FirstTicket, length, F_OFD_GETLK);
    return found == F_RDLCK || found == F_WRLCK;
}

// pp_ioctl runs every request under one driver-wide mutex, a sleeping PPCLAIM
// included: while a claim waits, every other ppdev ioctl on the machine (the
// holder's PPRELEASE and data accesses too) waits, uninterruptibly, until the
// claim ends; close does not take it. The process-local mutex serialises
// threads; being an error-checking one, it also lets through a signal handler
// that re-enters the driver, which the kernel never sees (its handlers run
// after the ioctl has returned).
pthread_mutex_t g_driverMutex = PTHREAD_ERRORCHECK_MUTEX_INITIALIZER_NP;

class DriverMutex {
public:
    explicit DriverMutex(int fd)
        : m_fd(fd)
        , m_owned(pthread_mutex_lock(&g_driverMutex) == 0) {
        if (m_owned)
            rangeLock(m_fd, F_WRLCK, MutexByte, 1, F_OFD_SETLKW);
    }
    ~DriverMutex() {
        if (!m_owned)
            return;
        rangeLock(m_fd, F_UNLCK, MutexByte, 1, F_OFD_SETLK);
        pthread_mutex_unlock(&g_driverMutex);
    }
    DriverMutex(const DriverMutex &) = delete;
    DriverMutex &operator=(const DriverMutex &) = delete;

private:
    int m_fd;
    bool m_owned;
};

// Waits for the port on a device's behalf with every signal blocked, so that
// the claiming thread can sleep in a single poll(2) that only the port or a
// signal handler ends: polling from the claiming thread itself would miss a
// handler that ran between two polls.
void *waitForPort(void *argument) {
    Device &device = *static_cast<Device *>(argument);
    while (!device.stopWaiting) {
        if (!waitersBefore(device.fd, device.ticket) && flock(device.fd, LOCK_EX | LOCK_NB) == 0) {
            device.hold = Held;
            if (device.interrupted)
                log("handover");
            break;
        }
        nanosleep(&PollInterval, nullptr);
    }
    rangeLock(device.fd, F_UNLCK, device.ticket, 1, F_OFD_SETLK);
    const std::uint64_t ring = 1;
    [[maybe_unused]] const ssize_t written = write(device.wakeup, &ring, sizeof ring);
    return nullptr;
}

void leaveWaitList(Device &device) {
    if (!device.queued)
        return;
    device.stopWaiting = true;
    pthread_join(device.waiter, nullptr);
    REAL(close)(device.wakeup);
    device.queued = false;
    int queued = Queued;
    device.hold.compare_exchange_strong(queued, Free);
}

// A forked child has none of its parent's threads.
void forgetWaitersInChild() {
    for (Device &device : g_devices) {
        if (device.queued) {
            REAL(close)(device.wakeup);
            device.queued = false;
            device.hold = Free;
        }
    }
}

bool joinWaitList(Device &device) {
    static pthread_once_t once = PTHREAD_ONCE_INIT;
    pthread_once(&once, [] { pthread_atfork(nullptr, nullptr, forgetWaitersInChild); });
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    device.ticket = FirstTicket + off_t(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
    if ((device.wakeup = eventfd(0, EFD_CLOEXEC)) < 0)
        return false;
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    device.stopWaiting = false;
    device.hold = Queued;
    device.queued = rangeLock(device.fd, F_RDLCK, device.ticket, 1, F_OFD_SETLK) == 0 &&
                    pthread_create(&device.waiter, nullptr, waitForPort, &device) == 0;
    const int error = errno;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (!device.queued) {
        device.hold = Free;
        REAL(close)(device.wakeup);
        errno = error;
    }
    return device.queued;
}

// parport_claim_or_block: sleeps interruptibly while another pardevice holds
// the port. A signal whose handler runs ends the wait with -EINTR, which is
// never restarted, SA_RESTART or not; poll behaves the same way.
//
// An interrupted claim stays on the wait list: parport_claim_or_block returns
// without taking the pardevice off it, and ppdev leaves PP_CLAIMED clear. So
// when the holder releases, parport_release hands the port to it all the
// same, and the descriptor owns the port without having claimed it: its data
// ioctls fail with EINVAL, its next PPCLAIM succeeds at once (parport_claim:
// "already owner"), and everyone else waits until it claims and releases or
// is closed (parport_unregister_device releases for it). Here its waiting
// thread simply goes on waiting.
int claim(Device &device) {
    if (device.claimed)
        return EINVAL; // "you've already got it"
    if (config().exclusive)
        return ENXIO; // register_device: parport_register_dev_model refused
    if (device.hold == Free) {
        if (!waitersBefore(device.fd, 0)) {
            if (flock(device.fd, LOCK_EX | LOCK_NB) == 0)
                device.hold = Held;
            else if (errno != EWOULDBLOCK)
                return errno;
        }
        if (device.hold == Free && !joinWaitList(device))
            return errno;
    }
    device.interrupted = false;
    pollfd wakeup{device.wakeup, POLLIN, 0};
    if (device.hold != Held && poll(&wakeup, 1, -1) < 0) {
        device.interrupted = errno == EINTR;
        return errno;
    }
    leaveWaitList(device);
    if (device.hold != Held)
        return EBADF; // closed by another thread while it waited
    device.claimed = true;
    return 0;
}

int release(Device &device) {
    if (!device.claimed)
        return EINVAL;
    flock(device.fd, LOCK_UN);
    device.hold = Free;
    device.claimed = false;
    return 0;
}

// PPWDATA, PPRSTATUS and PPRDATA: one register access each. Like the port's
// own, a slowed access is not cut short by a signal.
int portAccess(Device &device, unsigned long request, unsigned char *value) {
    const char *name = request == PPWDATA ? "wdata" : request == PPRSTATUS ? "rstatus" : "rdata";
    if (!device.claimed || !value) {
        const int error = device.claimed ? EFAULT : EINVAL;
        log(name, -1, error);
        return error;
    }
    if (request != PPRDATA) {
        timespec left{config().delayUs / 1'000'000, config().delayUs % 1'000'000 * 1000};
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
        if (++g_accesses == config().failAt) {
            log(name, request == PPWDATA ? *value : -1, config().failErrno);
            return config().failErrno;
        }
    }
    if (request == PPWDATA) {
        board().writeData(*value);
        g_dataRegister = *value;
    } else {
        *value = request == PPRSTATUS ? board().readStatus() : g_dataRegister;
    }
    log(name, *value);
    return 0;
}

int driverIoctl(Device &device, unsigned long request, void *arg) {
    int error = EINVAL;
    switch (request) {
    case PPCLAIM:
        error = claim(device);
        log("claim", -1, error);
        return error;
    case PPRELEASE:
        error = release(device);
        log("release", -1, error);
        return error;
    case PPWDATA:
    case PPRSTATUS:
    case PPRDATA:
        return portAccess(device, request, static_cast<unsigned char *>(arg));
    }
    // The kernel answers EINVAL to a request it does not know. Its other
    // ppdev requests are not modelled: refuse them visibly, never pretend.
    if (_IOC_TYPE(request) == PP_IOCTL && _IOC_NR(request) >= 0x80)
        error = ENOTTY;
    log("ioctl", long(request & 0xFFFFFFFF), error);
    return error;
}

int openDevice(int dirfd, const char *path, int flags, mode_t mode) {
    const int fd = REAL(openat)(dirfd, path, flags, mode);
    struct stat st;
    // O_PATH reaches neither the permission check nor the driver.
    if (fd < 0 || (flags & O_PATH) || !config().device[0] ||
        REAL(fstatat)(fd, "", &st, AT_EMPTY_PATH) != 0 || !isFakeFile(st.st_dev, st.st_ino))
        return fd;
    // The permission check comes before the driver's open; pp_open checks
    // the minor and registers nothing yet (that waits for the first claim).
    int error = config().deny ? EACCES : config().minor >= ParportMax ? ENXIO : 0;
    if (!error && !track(fd))
        error = EMFILE;
    log("open", -1, error);
    if (!error)
        return fd;
    REAL(close)(fd);
    errno = error;
    return -1;
}

mode_t modeArgument(int flags, va_list args) {
    return (flags & (O_CREAT | O_TMPFILE)) ? mode_t(va_arg(args, int)) : 0;
}

} // namespace

FAKE_EXPORT int openat(int dirfd, const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return openDevice(dirfd, path, flags, mode);
}

FAKE_EXPORT int open(const char *path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = modeArgument(flags, args);
    va_end(args);
    return openDevice(AT_FDCWD, path, flags, mode);
}

// The fortified entry points, for programs built with _FORTIFY_SOURCE.
FAKE_EXPORT int __open_2(const char *path, int flags) {
    return openDevice(AT_FDCWD, path, flags, 0);
}

FAKE_EXPORT int __openat_2(int dirfd, const char *path, int flags) {
    return openDevice(dirfd, path, flags, 0);
}

FAKE_EXPORT int open64(const char *, int, ...) FAKE_ALIAS("open");
FAKE_EXPORT int openat64(int, const char *, int, ...) FAKE_ALIAS("openat");
FAKE_EXPORT int __open64_2(const char *, int) FAKE_ALIAS("__open_2");
FAKE_EXPORT int __openat64_2(int, const char *, int) FAKE_ALIAS("__openat_2");

FAKE_EXPORT int ioctl(int fd, unsigned long request, ...) noexcept {
    va_list args;
    va_start(args, request);
    void *arg = va_arg(args, void *);
    va_end(args);
    Device *device = find(fd);
    // The VFS answers these itself, before any driver sees them.
    if (!device || request == FIOCLEX || request == FIONCLEX || request == FIONBIO ||
        request == FIOASYNC)
        return REAL(ioctl)(fd, request, arg);
    const DriverMutex mutex(fd);
    if (const int error = driverIoctl(*device, request, arg)) {
        errno = error;
        return -1;
    }
    return 0;
}

// pp_release: a claimed device is released, a waiting one leaves the wait
// list. The locks themselves go with the open file description's last close.
FAKE_EXPORT int close(int fd) {
    if (Device *device = find(fd)) {
        leaveWaitList(*device);
        log("close");
        device->fd = -1;
    }
    return REAL(close)(fd);
}

// What a character device of the parport driver looks like to stat.
FAKE_EXPORT int fstatat(int dirfd, const char *path, struct stat *st, int flags) noexcept {
    const int result = REAL(fstatat)(dirfd, path, st, flags);
    if (result == 0 && isFakeFile(st->st_dev, st->st_ino)) {
        st->st_mode = S_IFCHR | 0660;
        st->st_rdev = makedev(PpMajor, config().minor);
        st->st_size = 0;
        st->st_blocks = 0;
        log("stat");
    }
    return result;
}

FAKE_EXPORT int stat(const char *path, struct stat *st) noexcept {
    return fstatat(AT_FDCWD, path, st, 0);
}

FAKE_EXPORT int lstat(const char *path, struct stat *st) noexcept {
    return fstatat(AT_FDCWD, path, st, AT_SYMLINK_NOFOLLOW);
}

FAKE_EXPORT int fstat(int fd, struct stat *st) noexcept {
    return fstatat(fd, "", st, AT_EMPTY_PATH);
}

FAKE_EXPORT int fstatat64(int, const char *, struct stat64 *, int) noexcept FAKE_ALIAS("fstatat");
FAKE_EXPORT int stat64(const char *, struct stat64 *) noexcept FAKE_ALIAS("stat");
FAKE_EXPORT int lstat64(const char *, struct stat64 *) noexcept FAKE_ALIAS("lstat");
FAKE_EXPORT int fstat64(int, struct stat64 *) noexcept FAKE_ALIAS("fstat");

// Qt's file engine asks statx.
FAKE_EXPORT int statx(int dirfd, const char *path, int flags, unsigned mask,
                      struct statx *stx) noexcept {
    const int result = REAL(statx)(dirfd, path, flags, mask, stx);
    if (result == 0 && (stx->stx_mask & STATX_INO) &&
        isFakeFile(makedev(stx->stx_dev_major, stx->stx_dev_minor), stx->stx_ino)) {
        stx->stx_mode = S_IFCHR | 0660;
        stx->stx_rdev_major = PpMajor;
        stx->stx_rdev_minor = config().minor;
        stx->stx_size = 0;
        stx->stx_blocks = 0;
        log("stat");
    }
    return result;
}

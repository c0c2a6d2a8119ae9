#include "link/parport_backend.h"

#include "link/port_access.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <grp.h>
#include <linux/major.h>
#include <linux/ppdev.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

using Step = ParportFailure::Step;
using Clock = std::chrono::steady_clock;

// PPCLAIM sleeps, interruptibly, as long as another device holds the port.
// A timer aimed at this thread interrupts it once the bound has passed, and
// goes on firing so that a signal landing just before the sleep begins cannot
// leave the call waiting for good. The timer's signal has a handler of ours
// only for the claim: the program's own disposition of it is put back, with
// any wake that fired late taken first.
int claimWithin(int fd, std::chrono::milliseconds bound) {
    const int wakeSignal = SIGRTMIN + 1;
    sigset_t wake;
    sigset_t before;
    sigemptyset(&wake);
    sigaddset(&wake, wakeSignal);
    pthread_sigmask(SIG_BLOCK, &wake, &before);
    struct sigaction ours {};
    struct sigaction previous {};
    ours.sa_handler = [](int) {};
    sigemptyset(&ours.sa_mask);
    sigaction(wakeSignal, &ours, &previous); // no SA_RESTART: the wait must end
    const auto restore = [&] {
        const timespec now{};
        while (sigtimedwait(&wake, nullptr, &now) > 0) {
        }
        sigaction(wakeSignal, &previous, nullptr);
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
    };

    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = wakeSignal;
    event._sigev_un._tid = ::gettid();
    timer_t timer;
    if (timer_create(CLOCK_MONOTONIC, &event, &timer) < 0) {
        const int error = errno;
        restore();
        errno = error;
        return -1;
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(bound);
    const auto rest = std::chrono::duration_cast<std::chrono::nanoseconds>(bound - seconds);
    itimerspec firing{};
    firing.it_value = {time_t(seconds.count()), long(rest.count())};
    firing.it_interval = {0, 50'000'000};
    if (firing.it_value.tv_sec == 0 && firing.it_value.tv_nsec == 0)
        firing.it_value.tv_nsec = 1;

    const Clock::time_point deadline = Clock::now() + bound;
    timer_settime(timer, 0, &firing, nullptr);
    pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);
    const int result = ::ioctl(fd, PPCLAIM);
    int error = errno;
    pthread_sigmask(SIG_BLOCK, &wake, nullptr);
    timer_delete(timer);
    restore();

    if (result < 0 && error == EINTR && Clock::now() >= deadline)
        error = ETIMEDOUT;
    errno = error;
    return result;
}

class KernelParportSystem : public ParportSystem {
public:
    int stat(const std::string &path, struct stat &info) override {
        return ::stat(path.c_str(), &info);
    }
    int open(const std::string &path) override { return ::open(path.c_str(), O_RDWR | O_CLOEXEC); }
    int fstat(int fd, struct stat &info) override { return ::fstat(fd, &info); }
    int claim(int fd, std::chrono::milliseconds bound) override { return claimWithin(fd, bound); }
    int writeData(int fd, unsigned char value) override { return ::ioctl(fd, PPWDATA, &value); }
    int readStatus(int fd, unsigned char *value) override { return ::ioctl(fd, PPRSTATUS, value); }
    int release(int fd) override { return ::ioctl(fd, PPRELEASE); }
    int close(int fd) override { return ::close(fd); }
};

std::string hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%Xh", value);
    return text;
}

std::string characterDevice(const struct stat &info) {
    return "character device " + std::to_string(major(info.st_rdev)) + ":" +
           std::to_string(minor(info.st_rdev));
}

std::string knownPortsHint(const std::vector<KnownPort> &known) {
    if (known.empty())
        return "; the system knows no parallel ports (load the driver with 'sudo modprobe "
               "parport_pc ppdev')";
    std::string hint = "; the system knows ";
    for (std::size_t i = 0; i < known.size(); ++i) {
        if (i > 0)
            hint += i + 1 == known.size() ? " and " : ", ";
        hint += "/dev/parport" + std::to_string(known[i].number) + " at " + hex(known[i].base);
    }
    return hint;
}

std::string groupOf(gid_t gid) {
    group entry{};
    group *found = nullptr;
    char buffer[1024];
    if (getgrgid_r(gid, &entry, buffer, sizeof buffer, &found) == 0 && found)
        return found->gr_name;
    return "lp";
}

} // namespace

std::unique_ptr<ParportSystem> makeKernelParportSystem() {
    return std::make_unique<KernelParportSystem>();
}

std::vector<KnownPort> knownParallelPorts(const std::string &procRoot) {
    namespace fs = std::filesystem;
    std::vector<KnownPort> known;
    std::error_code error;
    for (fs::directory_iterator it(procRoot, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = it->path().filename().string();
        int number = -1;
        char rest = 0;
        if (std::sscanf(name.c_str(), "parport%d%c", &number, &rest) != 1 || number < 0)
            continue;
        std::ifstream file(it->path() / "base-addr");
        long base = -1;
        if (file >> base && base >= 0 && base <= 0xFFFF)
            known.push_back({number, std::uint16_t(base)});
    }
    std::sort(known.begin(), known.end(),
              [](const KnownPort &a, const KnownPort &b) { return a.number < b.number; });
    return known;
}

std::string describeNonParportDevice(const struct stat &info) {
    if (S_ISDIR(info.st_mode))
        return "a folder";
    if (S_ISREG(info.st_mode))
        return "a regular file";
    if (S_ISFIFO(info.st_mode))
        return "a pipe";
    if (S_ISSOCK(info.st_mode))
        return "a socket";
    if (S_ISBLK(info.st_mode))
        return "a block device";
    if (!S_ISCHR(info.st_mode))
        return "not a device";
    switch (major(info.st_rdev)) {
    case PP_MAJOR:
        return {};
    case MEM_MAJOR:
        return "a memory device such as /dev/null or /dev/zero, " + characterDevice(info);
    case LP_MAJOR:
        return "the printer driver's device, " + characterDevice(info) +
               ", which runs the printer handshake and cannot bit-bang";
    case USB_CHAR_MAJOR:
        return "a USB device such as a USB printer adapter, " + characterDevice(info) +
               ", which has no parport device and cannot bit-bang";
    case TTY_MAJOR:
    case TTYAUX_MAJOR:
        return "a terminal or serial port, " + characterDevice(info);
    default:
        return "another driver's device, " + characterDevice(info);
    }
}

std::string parportMessage(const ParportFailure &failure) {
    const std::string where =
        portName(failure.base) + (failure.device.empty() ? "" : " on " + failure.device) + ": ";
    const std::string rebind = "--device " + presetItem(failure.base) + "=/dev/parportN";
    const std::string reason = failure.error ? std::string(std::strerror(failure.error)) : "";
    const std::string known = knownPortsHint(failure.known);
    const std::string holders =
        "/proc/sys/dev/parport/parport" +
        (failure.portNumber >= 0 ? std::to_string(failure.portNumber) : std::string("N")) +
        "/devices/";

    switch (failure.step) {
    case Step::Lookup:
        if (failure.known.empty())
            return where + "no parallel ports are known to the system; load the driver with "
                           "'sudo modprobe parport_pc ppdev', or use --simulate to work without "
                           "a board";
        return where + "no parallel port sits at " + hex(failure.base) +
               "; bind the port's device with " + rebind +
               ", or use --simulate to work without a board" + known;
    case Step::Check:
        if (failure.error == ENOENT)
            return where +
                   "no such device; load the parport driver with 'sudo modprobe ppdev', "
                   "or bind an existing device with " +
                   rebind + known;
        if (failure.error)
            return where + "cannot look at the device: " + reason + "; bind the port with " +
                   rebind + known;
        return where + "not a parallel-port device (it is " + failure.found +
               "); bind the port's parport device with " + rebind + known;
    case Step::Open:
        if ((failure.error == EACCES || failure.error == EPERM) && failure.group == "root")
            return where + "open failed: " + reason +
                   "; only root may use this device: give it to group lp (as Debian's udev "
                   "rules do) and join that group, or run as root";
        if (failure.error == EACCES || failure.error == EPERM)
            return where + "open failed: " + reason + "; add yourself to group " + failure.group +
                   " with 'sudo usermod -aG " + failure.group + " $USER' and log in again";
        if (failure.error == ENXIO || failure.error == ENODEV)
            return where + "open failed: " + reason +
                   "; no port sits behind this device: bind another with " + rebind + known;
        return where + "open failed: " + reason + "; bind the port with " + rebind + known;
    case Step::Claim:
        if (failure.error == ETIMEDOUT)
            return where + "the port is held by another program; " + holders +
                   "active names the driver holding it and 'fuser -v " + failure.device +
                   "' the programs that have it open: close the one holding it, and try again";
        if (failure.error == ENXIO)
            return where + "claim failed: " + reason +
                   "; another driver holds the port for itself (see " + holders +
                   "), or no port sits behind this device: unload that driver, or bind "
                   "another port with " +
                   rebind + known;
        if (failure.error == EAGAIN)
            return where + "cannot time the wait for the port: " + reason +
                   "; the system has run out of timers or queued signals for you (see 'ulimit "
                   "-i'): close some programs, or raise that limit, and try again";
        return where + "claim failed: " + reason + "; bind the port with " + rebind + known;
    case Step::Write:
    case Step::Read:
        return where + (failure.step == Step::Write ? "data write" : "status read") +
               " failed: " + reason + "; check the port and its cable, then try again";
    }
    return where + reason;
}

std::string findParportDevice(const std::string &procRoot, std::uint16_t base) {
    const std::vector<KnownPort> known = knownParallelPorts(procRoot);
    for (const KnownPort &port : known) {
        if (port.base == base)
            return "/dev/parport" + std::to_string(port.number);
    }
    ParportFailure failure(Step::Lookup, 0, base);
    failure.known = known;
    throw PortError(parportMessage(failure));
}

std::vector<PortListing>
listParallelPorts(ParportSystem &system, const std::string &procRoot,
                  const std::map<std::uint16_t, std::string> &boundDevices) {
    const std::vector<KnownPort> known = knownParallelPorts(procRoot);
    std::vector<PortListing> listing;
    for (const KnownPort &port : known) {
        PortListing &entry =
            listing.emplace_back(port, "/dev/parport" + std::to_string(port.number));
        for (std::size_t preset = 0; preset < PortPresets.size(); ++preset) {
            const auto base = std::uint16_t(PortPresets[preset].base);
            const auto bound = boundDevices.find(base);
            if (bound != boundDevices.end() ? bound->second == entry.device : base == port.base)
                entry.presets.push_back(int(preset));
        }

        ParportFailure failure(Step::Check, 0, port.base, entry.device);
        failure.known = known;
        struct stat info {};
        if (system.stat(entry.device, info) < 0)
            failure.error = errno;
        else
            failure.found = describeNonParportDevice(info);
        if (!failure.error && failure.found.empty()) {
            failure.step = Step::Open;
            failure.portNumber = port.number;
            failure.group = groupOf(info.st_gid);
            const int fd = system.open(entry.device);
            if (fd >= 0) {
                system.close(fd);
                continue;
            }
            failure.error = errno;
        }
        entry.refusal = parportMessage(failure);
    }
    return listing;
}

// One open, claimed parport device; the ports bound to it share it.
struct ParportBackend::Device {
    Device(ParportSystem &system, int fd, std::string path)
        : system(system)
        , fd(fd)
        , path(std::move(path)) {}
    ~Device() { close(); }

    void close() {
        if (fd < 0)
            return;
        if (claimed)
            system.release(fd);
        system.close(fd);
        fd = -1;
    }

    ParportSystem &system;
    int fd;
    std::string path;
    dev_t number = 0;
    bool claimed = false;
};

class ParportBackend::Port final : public ParallelPort {
public:
    Port(const ParportBackend &backend, std::uint16_t base, std::shared_ptr<Device> device)
        : m_backend(backend)
        , m_base(base)
        , m_device(std::move(device)) {}

    const std::shared_ptr<Device> &device() const { return m_device; }

    void writeData(std::uint8_t value) override {
        if (m_device->system.writeData(m_device->fd, value) < 0)
            failAccess(Step::Write);
    }

    std::uint8_t readStatus() override {
        unsigned char value = 0;
        if (m_device->system.readStatus(m_device->fd, &value) < 0)
            failAccess(Step::Read);
        return value;
    }

private:
    [[noreturn]] void failAccess(Step step) {
        ParportFailure failure(step, errno, m_base, m_device->path);
        m_device->close();
        m_backend.fail(std::move(failure));
    }

    const ParportBackend &m_backend;
    std::uint16_t m_base;
    std::shared_ptr<Device> m_device;
};

ParportBackend::ParportBackend(std::unique_ptr<ParportSystem> system,
                               std::map<std::uint16_t, std::string> boundDevices,
                               std::string procRoot, std::chrono::milliseconds claimBound)
    : m_system(std::move(system))
    , m_boundDevices(std::move(boundDevices))
    , m_procRoot(std::move(procRoot))
    , m_claimBound(claimBound) {}

ParportBackend::~ParportBackend() = default;

ParallelPort &ParportBackend::open(PortRegisters registers) {
    const auto open = m_ports.find(registers.data);
    if (open != m_ports.end() && open->second->device()->fd >= 0)
        return *open->second;
    auto port = std::make_unique<Port>(*this, registers.data, openDevice(registers.data));
    return *(m_ports[registers.data] = std::move(port));
}

void ParportBackend::fail(ParportFailure failure) const {
    if (failure.step != Step::Write && failure.step != Step::Read && failure.known.empty())
        failure.known = knownParallelPorts(m_procRoot);
    throw PortError(parportMessage(failure));
}

std::shared_ptr<ParportBackend::Device> ParportBackend::openDevice(std::uint16_t base) {
    const auto bound = m_boundDevices.find(base);
    const std::string path =
        bound != m_boundDevices.end() ? bound->second : findParportDevice(m_procRoot, base);

    // Look before opening: a path that is no parport device would only fail
    // at the claim, with a reason that points nowhere.
    struct stat info {};
    ParportFailure failure(Step::Check, 0, base, path);
    if (m_system->stat(path, info) < 0) {
        failure.error = errno;
        fail(failure);
    }
    failure.found = describeNonParportDevice(info);
    if (!failure.found.empty())
        fail(failure);

    // One descriptor and one claim per device: a second claim on the same
    // port from this process would wait for the first for ever.
    for (const auto &[otherBase, port] : m_ports) {
        const std::shared_ptr<Device> &device = port->device();
        if (device->fd >= 0 && device->number == info.st_rdev)
            return device;
    }

    failure.step = Step::Open;
    failure.portNumber = int(minor(info.st_rdev));
    failure.group = groupOf(info.st_gid);
    const Clock::time_point deadline = Clock::now() + m_claimBound;
    for (;;) {
        const int fd = m_system->open(path);
        if (fd < 0) {
            failure.error = errno;
            fail(failure);
        }
        auto device = std::make_shared<Device>(*m_system, fd, path);
        struct stat opened {};
        if (m_system->fstat(fd, opened) < 0 || !S_ISCHR(opened.st_mode) ||
            opened.st_rdev != info.st_rdev) {
            failure.step = Step::Check;
            failure.error = 0;
            failure.found = "a file that changed while it was opened";
            device->close();
            fail(failure);
        }
        device->number = opened.st_rdev;

        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (m_system->claim(fd, std::max(left, std::chrono::milliseconds(1))) == 0) {
            device->claimed = true;
            return device;
        }
        failure.step = Step::Claim;
        failure.error = errno;
        // A descriptor whose claim was cut short stays queued for the port in
        // the kernel: it is closed, never claimed again.
        device->close();
        // Another signal that cut the wait short at its end leaves the port
        // as the bound would have: still held.
        if (failure.error == EINTR && Clock::now() >= deadline)
            failure.error = ETIMEDOUT;
        if (failure.error != EINTR)
            fail(failure);
    }
}

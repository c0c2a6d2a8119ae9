#include "link/parport_backend.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <linux/ppdev.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

class KernelParportSystem : public ParportSystem {
public:
    int open(const std::string &path) override { return ::open(path.c_str(), O_RDWR | O_CLOEXEC); }
    int claim(int fd) override { return ::ioctl(fd, PPCLAIM); }
    int writeData(int fd, unsigned char value) override { return ::ioctl(fd, PPWDATA, &value); }
    int readStatus(int fd, unsigned char *value) override { return ::ioctl(fd, PPRSTATUS, value); }
    int release(int fd) override { return ::ioctl(fd, PPRELEASE); }
    int close(int fd) override { return ::close(fd); }
};

std::string remedyFor(int error) {
    switch (error) {
    case ENOENT:
        return "load the parport driver with 'sudo modprobe ppdev', bind the port with "
               "--device, or use --simulate to work without a board";
    case EACCES:
    case EPERM:
        return "add yourself to group lp with 'sudo usermod -aG lp $USER' and log in again";
    case ENXIO:
    case ENODEV:
        return "check that the port exists, or bind the right device with --device "
               "LPT1=/dev/parportN";
    case EBUSY:
        return "close the program that holds the port";
    default:
        return "check the port and its cable, or use --simulate to work without a board";
    }
}

[[noreturn]] void fail(std::uint16_t base, const std::string &device, const char *step, int error) {
    throw PortError(portName(base) + " on " + device + ": " + step +
                    " failed: " + std::strerror(error) + "; " + remedyFor(error));
}

} // namespace

std::unique_ptr<ParportSystem> makeKernelParportSystem() {
    return std::make_unique<KernelParportSystem>();
}

std::string findParportDevice(const std::string &procRoot, std::uint16_t base) {
    namespace fs = std::filesystem;
    std::error_code error;
    fs::directory_iterator it(procRoot, error);
    if (error) {
        throw PortError(portName(base) + ": no parallel ports are known to the system (" +
                        procRoot + ": " + error.message() +
                        "); load the driver with 'sudo modprobe parport_pc ppdev', "
                        "or use --simulate to work without a board");
    }
    for (const fs::directory_entry &entry : it) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("parport", 0) != 0)
            continue;
        std::ifstream file(entry.path() / "base-addr");
        long first = -1;
        if (file >> first && first == long(base))
            return "/dev/" + name;
    }
    throw PortError(portName(base) + ": no parallel port sits at this address (none listed in " +
                    procRoot +
                    "); bind the port's device with --device LPT1=/dev/parportN, "
                    "or use --simulate to work without a board");
}

ParportBackend::ParportBackend(std::unique_ptr<ParportSystem> system,
                               std::map<std::uint16_t, std::string> boundDevices,
                               std::string procRoot)
    : m_system(std::move(system))
    , m_boundDevices(std::move(boundDevices))
    , m_procRoot(std::move(procRoot)) {}

ParportBackend::~ParportBackend() {
    for (const auto &[base, port] : m_open) {
        m_system->release(port.fd);
        m_system->close(port.fd);
    }
}

std::string ParportBackend::deviceFor(std::uint16_t base) const {
    const auto bound = m_boundDevices.find(base);
    if (bound != m_boundDevices.end())
        return bound->second;
    return findParportDevice(m_procRoot, base);
}

const ParportBackend::OpenPort &ParportBackend::portAt(std::uint16_t base) {
    const auto open = m_open.find(base);
    if (open != m_open.end())
        return open->second;

    const std::string device = deviceFor(base);
    const int fd = m_system->open(device);
    if (fd < 0)
        fail(base, device, "open", errno);
    if (m_system->claim(fd) < 0) {
        const int error = errno;
        m_system->close(fd);
        fail(base, device, "claim", error);
    }
    return m_open.emplace(base, OpenPort{fd, device}).first->second;
}

void ParportBackend::writeData(std::uint16_t base, std::uint8_t value) {
    const OpenPort &port = portAt(base);
    if (m_system->writeData(port.fd, value) < 0)
        fail(base, port.device, "data write", errno);
}

std::uint8_t ParportBackend::readStatus(std::uint16_t base) {
    const OpenPort &port = portAt(base);
    unsigned char value = 0;
    if (m_system->readStatus(port.fd, &value) < 0)
        fail(base, port.device, "status read", errno);
    return value;
}

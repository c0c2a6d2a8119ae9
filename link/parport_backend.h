#pragma once

#include "link/port_backend.h"

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <sys/stat.h>

// The system calls the parport back end makes, so tests can stand in for the
// kernel. Each returns what the system call returns: -1 with errno set on
// failure.
class ParportSystem {
public:
    virtual ~ParportSystem() = default;

    virtual int stat(const std::string &path, struct stat &info) = 0;
    virtual int open(const std::string &path) = 0; // read-write, close-on-exec
    virtual int fstat(int fd, struct stat &info) = 0;
    // PPCLAIM, which sleeps while another device holds the port: waits at most
    // bound, then fails with ETIMEDOUT. EINTR means another signal ended the
    // wait early; either way the descriptor must not claim again. EAGAIN: no
    // timer could bound the wait, and nothing was claimed.
    virtual int claim(int fd, std::chrono::milliseconds bound) = 0;
    virtual int writeData(int fd, unsigned char value) = 0;
    virtual int readStatus(int fd, unsigned char *value) = 0;
    virtual int release(int fd) = 0;
    virtual int close(int fd) = 0;
};

// The kernel's ppdev driver through stat/open/ioctl/close.
std::unique_ptr<ParportSystem> makeKernelParportSystem();

// A parallel port the system knows: /dev/parportN at an I/O base.
struct KnownPort {
    int number;
    std::uint16_t base;
};

// The ports listed under procRoot (normally /proc/sys/dev/parport), by number.
std::vector<KnownPort> knownParallelPorts(const std::string &procRoot);

// What the file at a path is when it is not the parport driver's character
// device (major 99); empty when it is.
std::string describeNonParportDevice(const struct stat &info);

// A step of reaching a port through the parport driver that failed, with what
// the message needs to say why and what to do.
struct ParportFailure {
    enum class Step { Lookup, Check, Open, Claim, Write, Read };

    ParportFailure(Step step, int error, std::uint16_t base, std::string device = {})
        : step(step)
        , error(error)
        , base(base)
        , device(std::move(device)) {}

    Step step;
    int error; // errno; ETIMEDOUT at Claim when the bound passed
    std::uint16_t base;
    std::string device;           // empty at Lookup
    std::string found;            // at Check: what the path is instead
    int portNumber = -1;          // N of /dev/parportN, for the holders' list
    std::string group = "lp";     // the device's group, for the permission remedy
    std::vector<KnownPort> known; // for the hints that point at another device
};

// One line: the port and device, the system's reason, and the remedy.
std::string parportMessage(const ParportFailure &failure);

// How long a claim waits for another program to let go of the port.
inline constexpr std::chrono::milliseconds ClaimBound{2000};

// Finds the /dev/parportN at base among the known ports. Throws PortError.
std::string findParportDevice(const std::string &procRoot, std::uint16_t base);

// A parallel port the system knows, as someone choosing a port needs to see it.
struct PortListing {
    KnownPort port;
    std::string device;       // /dev/parportN
    std::vector<int> presets; // the presets the lookup binds to it (indices into PortPresets)
    std::string refusal;      // why this user cannot open it, and the remedy; empty when they can
};

// The ports under procRoot, each with the presets bound to it (by
// boundDevices, as --device binds them, or else by its address) and whether
// its device opens through system. A device is opened and closed at once,
// never claimed, so a port another program holds lists as one that opens.
std::vector<PortListing>
listParallelPorts(ParportSystem &system, const std::string &procRoot,
                  const std::map<std::uint16_t, std::string> &boundDevices);

// Reaches ports through the Linux parport driver. A port's device is checked,
// opened and claimed when the port is opened, and stays claimed for the run;
// ports bound to one device (the same device number) share its descriptor and
// its claim. Each data write is one PPWDATA, each status read one PPRSTATUS.
// A failed access closes the device, so the next open tries afresh.
class ParportBackend : public PortBackend {
public:
    explicit ParportBackend(std::unique_ptr<ParportSystem> system,
                            std::map<std::uint16_t, std::string> boundDevices = {},
                            std::string procRoot = "/proc/sys/dev/parport",
                            std::chrono::milliseconds claimBound = ClaimBound);
    ~ParportBackend() override;

    ParportBackend(const ParportBackend &) = delete;
    ParportBackend &operator=(const ParportBackend &) = delete;

    ParallelPort &open(PortRegisters registers) override;
    bool openMayWait(PortRegisters) const override { return true; }

private:
    struct Device;
    class Port;

    std::shared_ptr<Device> openDevice(std::uint16_t base);
    [[noreturn]] void fail(ParportFailure failure) const;

    std::unique_ptr<ParportSystem> m_system;
    std::map<std::uint16_t, std::string> m_boundDevices;
    std::string m_procRoot;
    std::chrono::milliseconds m_claimBound;
    std::map<std::uint16_t, std::unique_ptr<Port>> m_ports; // by data register
};

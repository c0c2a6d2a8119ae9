#pragma once

#include "link/port_backend.h"

#include <map>
#include <memory>
#include <string>

// The system calls the parport back end makes, so tests can stand in for the
// kernel. Each returns what the system call returns: -1 with errno set on
// failure.
class ParportSystem {
public:
    virtual ~ParportSystem() = default;

    virtual int open(const std::string &path) = 0;
    virtual int claim(int fd) = 0;
    virtual int writeData(int fd, unsigned char value) = 0;
    virtual int readStatus(int fd, unsigned char *value) = 0;
    virtual int release(int fd) = 0;
    virtual int close(int fd) = 0;
};

// The kernel's ppdev driver through open/ioctl/close.
std::unique_ptr<ParportSystem> makeKernelParportSystem();

// Finds the /dev/parportN whose base-addr under procRoot (normally
// /proc/sys/dev/parport) starts with base in decimal. Throws PortError when
// the tree is missing or no port sits at base.
std::string findParportDevice(const std::string &procRoot, std::uint16_t base);

// Reaches each port base through the Linux parport driver. A device is opened
// and claimed at the first access to its base and stays claimed for the run;
// each data write is one PPWDATA, each status read one PPRSTATUS.
class ParportBackend : public PortBackend {
public:
    explicit ParportBackend(std::unique_ptr<ParportSystem> system,
                            std::map<std::uint16_t, std::string> boundDevices = {},
                            std::string procRoot = "/proc/sys/dev/parport");
    ~ParportBackend() override;

    ParportBackend(const ParportBackend &) = delete;
    ParportBackend &operator=(const ParportBackend &) = delete;

    void writeData(std::uint16_t base, std::uint8_t value) override;
    std::uint8_t readStatus(std::uint16_t base) override;

private:
    struct OpenPort {
        int fd;
        std::string device;
    };

    const OpenPort &portAt(std::uint16_t base);
    std::string deviceFor(std::uint16_t base) const;

    std::unique_ptr<ParportSystem> m_system;
    std::map<std::uint16_t, std::string> m_boundDevices;
    std::string m_procRoot;
    std::map<std::uint16_t, OpenPort> m_open;
};

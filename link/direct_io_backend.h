#pragma once

#include "link/port_backend.h"

#include <memory>
#include <set>

// The processor's I/O instructions, behind a seam so tests can count them.
class DirectIoSystem {
public:
    virtual ~DirectIoSystem() = default;

    // ioperm(from, count, 1): 0 or -1 with errno set.
    virtual int permit(std::uint16_t from, unsigned count) = 0;
    virtual void out(std::uint16_t address, std::uint8_t value) = 0;
    virtual std::uint8_t in(std::uint16_t address) = 0;
};

// True where the program was built for an x86 processor.
bool directIoAvailable();

// outb/inb after ioperm. Throws PortError on processors without port I/O.
std::unique_ptr<DirectIoSystem> makeKernelDirectIoSystem();

// Direct port I/O: the first access to a base asks for base and base + 1
// only, then each access is one instruction.
class DirectIoBackend : public PortBackend {
public:
    explicit DirectIoBackend(std::unique_ptr<DirectIoSystem> system);

    void writeData(std::uint16_t base, std::uint8_t value) override;
    std::uint8_t readStatus(std::uint16_t base) override;

private:
    void permit(std::uint16_t base);

    std::unique_ptr<DirectIoSystem> m_system;
    std::set<std::uint16_t> m_permitted;
};

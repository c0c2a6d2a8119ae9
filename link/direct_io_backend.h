#pragma once

#include "link/port_backend.h"

#include <map>
#include <memory>

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

// Gives up every I/O port this process was permitted, so a program started
// from it inherits none (permissions survive fork and exec). Safe to call
// between fork and exec.
void dropPortAccess() noexcept;

// Direct port I/O: opening a port asks for its two registers only, then each
// access is one instruction.
class DirectIoBackend : public PortBackend {
public:
    explicit DirectIoBackend(std::unique_ptr<DirectIoSystem> system);

    ParallelPort &open(PortRegisters registers) override;

private:
    class Port final : public ParallelPort {
    public:
        Port(DirectIoSystem &system, PortRegisters registers)
            : m_system(system)
            , m_registers(registers) {}

        void writeData(std::uint8_t value) override { m_system.out(m_registers.data, value); }
        std::uint8_t readStatus() override { return m_system.in(m_registers.status); }

    private:
        DirectIoSystem &m_system;
        PortRegisters m_registers;
    };

    std::unique_ptr<DirectIoSystem> m_system;
    std::map<std::uint16_t, Port> m_ports; // by data register
};

#include "link/direct_io_backend.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <sys/io.h>
#define QUORVEX_HAVE_PORT_IO 1
#endif

namespace {

#ifdef QUORVEX_HAVE_PORT_IO
class KernelDirectIoSystem : public DirectIoSystem {
public:
    int permit(std::uint16_t from, unsigned count) override { return ::ioperm(from, count, 1); }
    void out(std::uint16_t address, std::uint8_t value) override { ::outb(value, address); }
    std::uint8_t in(std::uint16_t address) override { return ::inb(address); }
};
#endif

std::string remedyFor(int error) {
    switch (error) {
    case ENOSYS:
        return "this kernel gives programs no I/O port instructions; use the parport driver "
               "(leave out --direct-io)";
    case EPERM:
    case EACCES:
        return "run as root or give the program CAP_SYS_RAWIO (kernel lockdown under Secure "
               "Boot refuses it to everyone: then use the parport driver, leaving out "
               "--direct-io)";
    default:
        return "use the parport driver instead (leave out --direct-io)";
    }
}

} // namespace

bool directIoAvailable() {
#ifdef QUORVEX_HAVE_PORT_IO
    return true;
#else
    return false;
#endif
}

std::unique_ptr<DirectIoSystem> makeKernelDirectIoSystem() {
#ifdef QUORVEX_HAVE_PORT_IO
    return std::make_unique<KernelDirectIoSystem>();
#else
    throw PortError("--direct-io: this processor has no I/O port instructions; use the "
                    "parport driver (the default) instead");
#endif
}

void dropPortAccess() noexcept {
#ifdef QUORVEX_HAVE_PORT_IO
    // Turning permissions off needs no privilege and covers every port.
    ::ioperm(0, 0x10000, 0);
#endif
}

DirectIoBackend::DirectIoBackend(std::unique_ptr<DirectIoSystem> system)
    : m_system(std::move(system)) {}

ParallelPort &DirectIoBackend::open(PortRegisters registers) {
    const auto open = m_ports.find(registers.data);
    if (open != m_ports.end())
        return open->second;

    // The two registers and nothing between or beyond them.
    const std::uint16_t from = std::min(registers.data, registers.status);
    const unsigned count = unsigned(std::max(registers.data, registers.status) - from) + 1;
    if (m_system->permit(from, count) < 0) {
        const int error = errno;
        throw PortError(portName(registers.data) + " by direct I/O: ioperm failed: " +
                        std::strerror(error) + "; " + remedyFor(error));
    }
    return m_ports.try_emplace(registers.data, *m_system, registers).first->second;
}

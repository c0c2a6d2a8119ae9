#include "link/direct_io_backend.h"

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

DirectIoBackend::DirectIoBackend(std::unique_ptr<DirectIoSystem> system)
    : m_system(std::move(system)) {}

void DirectIoBackend::permit(std::uint16_t base) {
    if (m_permitted.count(base))
        return;
    if (m_system->permit(base, 2) < 0) {
        const int error = errno;
        std::string remedy = "run as root or give the program CAP_SYS_RAWIO";
        if (error == EPERM)
            remedy += " (kernel lockdown under Secure Boot refuses it to everyone: use the "
                      "parport driver, the default, instead)";
        throw PortError(portName(base) + " by direct I/O: ioperm failed: " + std::strerror(error) +
                        "; " + remedy);
    }
    m_permitted.insert(base);
}

void DirectIoBackend::writeData(std::uint16_t base, std::uint8_t value) {
    permit(base);
    m_system->out(base, value);
}

std::uint8_t DirectIoBackend::readStatus(std::uint16_t base) {
    permit(base);
    return m_system->in(std::uint16_t(base + 1));
}

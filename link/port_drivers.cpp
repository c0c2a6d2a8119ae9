#include "link/port_drivers.h"

#include "link/direct_io_backend.h"
#include "link/frame_trace.h"
#include "link/parport_backend.h"
#include "link/port_access.h"
#include "link/simulated_board.h"

#include <array>

namespace {

std::unique_ptr<PortBackend> createParport(const PortOptions &options) {
    return std::make_unique<ParportBackend>(makeKernelParportSystem(), options.devices);
}

std::unique_ptr<PortBackend> createDirectIo(const PortOptions &) {
    return std::make_unique<DirectIoBackend>(makeKernelDirectIoSystem());
}

std::unique_ptr<PortBackend> createSimulated(const PortOptions &options) {
    return std::make_unique<SimulatedBoard>(
        std::uint16_t(PortPresets.at(std::size_t(options.simulatedPreset)).base));
}

constexpr std::array<PortDriver, 3> Drivers{{
    {PortOptions::Backend::Parport, createParport},
    {PortOptions::Backend::DirectIo, createDirectIo},
    {PortOptions::Backend::Simulated, createSimulated},
}};

} // namespace

PortSetup createPortBackend(const PortOptions &options) {
    PortSetup setup;
    for (const PortDriver &driver : Drivers) {
        if (driver.backend == options.backend)
            setup.backend = driver.create(options);
    }
    if (!options.traceFile.empty()) {
        auto tracing =
            std::make_unique<TracingBackend>(std::move(setup.backend), options.traceFile);
        setup.trace = &tracing->trace();
        setup.backend = std::move(tracing);
    }
    return setup;
}

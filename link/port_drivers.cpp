#include "link/port_drivers.h"

#include "link/direct_io_backend.h"
#include "link/frame_trace.h"
#include "link/ftdi_backend.h"
#include "link/gpio_backend.h"
#include "link/lan_backend.h"
#include "link/parport_backend.h"
#include "link/port_access.h"
#include "link/simulated_board.h"

#include <array>
#include <span>
#include <string_view>

namespace {

void checkFtdi(const std::string &binding) {
    parseFtdiBinding(binding);
}

std::unique_ptr<PortBackend> createFtdi(const std::string &binding, const PortOptions &options) {
    return std::make_unique<FtdiBackend>(makeLibftdiSystem(), binding, options.clockHz);
}

// "ftdi-bitbang": an FTDI binding that keeps the H chips on bit-bang.
void checkFtdiBitbang(const std::string &binding) {
    parseFtdiBinding("ftdi" + binding.substr(std::string_view("ftdi-bitbang").size()));
}

std::vector<PresentAdapter> presentFtdi() {
    std::vector<PresentAdapter> present;
    const std::vector<UsbDevice> devices = listFtdiDevices();
    for (const UsbDevice &device : devices)
        present.push_back({ftdiBindingFor(device, devices), device.describe()});
    return present;
}

void checkGpio(const std::string &binding) {
    checkGpioBinding(binding, *makeKernelGpioSystem());
}

std::unique_ptr<PortBackend> createGpio(const std::string &binding, const PortOptions &options) {
    return std::make_unique<GpioBackend>(makeKernelGpioSystem(), binding, options.clockHz);
}

std::vector<PresentAdapter> presentGpio() {
    std::vector<PresentAdapter> present;
    for (const GpioChip &chip : listGpioChips())
        present.push_back({"gpio:" + chip.name + "@SELECT,CLOCK,SDI,SDO", chip.describe()});
    return present;
}

void checkLan(const std::string &binding) {
    parseLanBinding(binding);
}

std::unique_ptr<PortBackend> createLan(const std::string &binding, const PortOptions &) {
    return std::make_unique<LanBackend>(binding);
}

// The adapters a preset can be bound to; an instrument on another host is one.
constexpr std::array<AdapterDriver, 4> Adapters{{
    {"ftdi", checkFtdi, createFtdi, presentFtdi},
    {"ftdi-bitbang", checkFtdiBitbang, createFtdi, [] { return std::vector<PresentAdapter>(); }},
    {"gpio", checkGpio, createGpio, presentGpio},
    {"lan", checkLan, createLan, presentLanInstruments},
}};

// Sends each preset bound to an adapter to that adapter's back end, and every
// other port to the parport driver.
class PresetRoutes final : public PortBackend {
public:
    explicit PresetRoutes(std::unique_ptr<PortBackend> parport)
        : m_parport(std::move(parport)) {}

    void route(std::uint16_t base, std::unique_ptr<PortBackend> backend) {
        m_routes[base] = std::move(backend);
    }

    ParallelPort &open(PortRegisters registers) override {
        return backendOf(registers).open(registers);
    }
    bool openMayWait(PortRegisters registers) const override {
        return backendOf(registers).openMayWait(registers);
    }

private:
    PortBackend &backendOf(PortRegisters registers) const {
        const auto route = m_routes.find(registers.data);
        return route != m_routes.end() ? *route->second : *m_parport;
    }

    std::unique_ptr<PortBackend> m_parport;
    std::map<std::uint16_t, std::unique_ptr<PortBackend>> m_routes;
};

std::unique_ptr<PortBackend> createParport(const PortOptions &options) {
    std::map<std::uint16_t, std::string> parportDevices;
    std::map<std::uint16_t, std::unique_ptr<PortBackend>> adapters;
    for (const auto &[base, binding] : options.devices) {
        if (const AdapterDriver *adapter = adapterFor(binding))
            adapters[base] = adapter->create(binding, options);
        else
            parportDevices[base] = binding;
    }
    auto parport = std::make_unique<ParportBackend>(makeKernelParportSystem(), parportDevices);
    if (adapters.empty())
        return parport;
    auto routes = std::make_unique<PresetRoutes>(std::move(parport));
    for (auto &[base, adapter] : adapters)
        routes->route(base, std::move(adapter));
    return routes;
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

const AdapterDriver *adapterFor(const std::string &binding) {
    for (const AdapterDriver &adapter : std::span(Adapters)) {
        const std::string name = adapter.name;
        if (binding.compare(0, name.size(), name) == 0 &&
            (binding.size() == name.size() || binding[name.size()] == ':' ||
             binding[name.size()] == '@'))
            return &adapter;
    }
    return nullptr;
}

std::vector<PresentAdapter> presentAdapters() {
    std::vector<PresentAdapter> present;
    for (const AdapterDriver &adapter : std::span(Adapters)) {
        for (PresentAdapter &found : adapter.present())
            present.push_back(std::move(found));
    }
    return present;
}

PortSetup createPortBackend(const PortOptions &options) {
    PortSetup setup;
    for (const PortDriver &driver : Drivers) {
        if (driver.backend == options.backend)
            setup.backend = driver.create(options);
    }
    if (!options.traceFile.empty()) {
        auto tracing = std::make_unique<TracingBackend>(
            std::move(setup.backend), options.traceFile,
            options.traceFixedStep ? FrameTrace::Time::FixedStep : FrameTrace::Time::Real);
        setup.trace = &tracing->trace();
        setup.backend = std::move(tracing);
    }
    return setup;
}

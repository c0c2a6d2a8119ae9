#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class FrameTrace;
class PortBackend;

// How the program reaches the port, as its command line chose.
struct PortOptions {
    enum class Backend { Parport, DirectIo, Simulated };

    Backend backend = Backend::Parport;
    int simulatedPreset = 0; // index into PortPresets
    // Preset base -> what --device bound it to: a parport device such as
    // /dev/parport1, or an adapter's binding (AdapterDriver).
    std::map<std::uint16_t, std::string> devices;
    std::string traceFile;       // empty: no trace
    bool traceFixedStep = false; // one step of 1 us per access, not the real time
};

// An adapter a preset can be bound to instead of a parport device, told by
// the binding's first word: "NAME", or "NAME" followed by ':' or '@' and its
// own syntax.
struct AdapterDriver {
    const char *name;
    // Throws std::invalid_argument, saying what is wrong, for a binding the
    // adapter cannot act on; touches no device.
    void (*check)(const std::string &binding);
    // The back end of the preset bound to it; opens nothing before the
    // preset's first frame.
    std::unique_ptr<PortBackend> (*create)(const std::string &binding, const PortOptions &options);
};

// The adapter a binding names, or none for a parport device.
const AdapterDriver *adapterFor(const std::string &binding);

// An adapter found on this machine, as quorvexctl list shows it.
struct PresentAdapter {
    std::string binding;     // what --device LPTn= takes to choose it
    std::string description; // what it is and where it sits
};

// The adapters present, as their drivers find them.
std::vector<PresentAdapter> presentAdapters();

// The registered back ends, the simulated board among them, each created the
// same way. Creating one touches no port: ports are opened at their first
// frame. On the parport back end, a preset bound to an adapter goes to the
// adapter's back end instead.
struct PortDriver {
    PortOptions::Backend backend;
    std::unique_ptr<PortBackend> (*create)(const PortOptions &options);
};

// The back end the options chose, and the trace that records it when they ask
// for one (owned by the back end, which wraps the chosen one in a
// TracingBackend).
struct PortSetup {
    std::unique_ptr<PortBackend> backend;
    FrameTrace *trace = nullptr;
};

// Throws TraceError when the trace file cannot be written.
PortSetup createPortBackend(const PortOptions &options);

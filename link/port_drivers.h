#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

class FrameTrace;
class PortBackend;

// How the program reaches the port, as its command line chose.
struct PortOptions {
    enum class Backend { Parport, DirectIo, Simulated };

    Backend backend = Backend::Parport;
    int simulatedPreset = 0;                      // index into PortPresets
    std::map<std::uint16_t, std::string> devices; // preset base -> /dev/parportN
    std::string traceFile;                        // empty: no trace
};

// The registered back ends, the simulated board among them, each created the
// same way. Creating one touches no port: ports are opened at their first
// frame.
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

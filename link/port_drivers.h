#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

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
// frame. With a trace file the back end is wrapped in a TracingBackend; a
// file that cannot be written throws TraceError.
struct PortDriver {
    PortOptions::Backend backend;
    std::unique_ptr<PortBackend> (*create)(const PortOptions &options);
};

std::unique_ptr<PortBackend> createPortBackend(const PortOptions &options);

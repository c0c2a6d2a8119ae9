#include "link/frame_trace.h"
#include "link/port_access.h"
#include "link/simulated_board.h"

#include <cstddef>
#include <cstdint>

// Any access sequence, two bytes an access (kind, value), through the trace
// writer into the simulated board: neither may crash, whatever the order.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    TracingBackend backend(std::make_unique<SimulatedBoard>(0x378), "/dev/null");
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        ParallelPort &port = backend.open(registersAt((data[i] & 0x80) ? 0x278 : 0x378));
        if (data[i] & 1)
            port.readStatus();
        else
            port.writeData(data[i + 1]);
    }
    return 0;
}

#include "sysinfo/registry.h"

#include <cstddef>
#include <cstdint>
#include <string>

// Any bytes as a store file: the parser must answer, never crash or hang.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    if (const auto keys = parseRegistryText(text)) {
        for (const auto &[key, values] : *keys) {
            for (const auto &[name, value] : values)
                (void)value.data.size();
        }
    }
    return 0;
}

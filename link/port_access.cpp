#include "link/port_access.h"

#include "link/checked.h"
#include "link/module1.h"
#include "link/port_backend.h"
#include "panel/toolkit_services.h"

#include <cstdio>
#include <strings.h>

std::string portName(std::uint16_t base) {
    char text[32];
    for (const PortPreset &preset : PortPresets) {
        if (preset.base == base) {
            std::snprintf(text, sizeof text, "%s (%Xh)", preset.item, unsigned(base));
            return text;
        }
    }
    std::snprintf(text, sizeof text, "port %Xh", unsigned(base));
    return text;
}

int presetIndex(const char *name) {
    for (std::size_t i = 0; i < PortPresets.size(); ++i) {
        if (strcasecmp(name, PortPresets[i].item) == 0)
            return int(i);
    }
    return -1;
}

void SetPortBase(Module1 &module, std::int32_t base) {
    const std::int16_t dataPort = checkedNarrow<std::int16_t>(base, "port base");
    const std::int64_t statusSum = std::int64_t(base) + 1;
    const std::int32_t status = checkedNarrow<std::int32_t>(statusSum, "status port");
    module.StatusPort = checkedNarrow<std::int16_t>(status, "status port");
    module.DataPort = dataPort;
}

void choosePortPreset(Module1 &module, int preset) {
    const PortPreset &chosen = PortPresets.at(std::size_t(preset));
    module.ui.setTitle(QString::fromLatin1(chosen.title));
    SetPortBase(module, chosen.base);
}

// The program only ever writes 0, 2, 4, 8 and 12 and reads a byte, so the
// 16-bit arguments narrow to the register's eight lines without loss.
void Out32(PortBackend &port, std::int16_t portAddress, std::int16_t value) {
    port.writeData(std::uint16_t(portAddress), std::uint8_t(value));
}

std::int16_t Inp32(PortBackend &port, std::int16_t portAddress) {
    return std::int16_t(port.readStatus(std::uint16_t(portAddress - 1)));
}

#include "link/port_access.h"

#include "link/checked.h"
#include "link/serial_link.h"

#include <cstdio>
#include <strings.h>

std::string portName(std::uint16_t base) {
    char text[32];
    if (const int preset = presetAt(base); preset >= 0) {
        std::snprintf(text, sizeof text, "%s (%Xh)", PortPresets[std::size_t(preset)].item,
                      unsigned(base));
        return text;
    }
    std::snprintf(text, sizeof text, "port %Xh", unsigned(base));
    return text;
}

int presetAt(std::uint16_t base) {
    for (std::size_t i = 0; i < PortPresets.size(); ++i) {
        if (PortPresets[i].base == base)
            return int(i);
    }
    return -1;
}

std::string presetItem(std::uint16_t base) {
    const int preset = presetAt(base);
    return preset >= 0 ? PortPresets[std::size_t(preset)].item : "LPTn";
}

int presetIndex(const char *name) {
    for (std::size_t i = 0; i < PortPresets.size(); ++i) {
        if (strcasecmp(name, PortPresets[i].item) == 0)
            return int(i);
    }
    return -1;
}

PortRegisters registersAt(std::int32_t base) {
    const std::int16_t data = checkedNarrow<std::int16_t>(base, "port base");
    const std::int32_t sum = checkedNarrow<std::int32_t>(std::int64_t(base) + 1, "status port");
    const std::int16_t status = checkedNarrow<std::int16_t>(sum, "status port");
    return {std::uint16_t(data), std::uint16_t(status)};
}

PortRegisters presetRegisters(int preset) {
    return registersAt(PortPresets.at(std::size_t(preset)).base);
}

void SetPortBase(SerialLink &link, std::int32_t base) {
    const PortRegisters registers = registersAt(base);
    link.DataPort = std::int16_t(registers.data);
    link.StatusPort = std::int16_t(registers.status);
}

// The program only ever writes 0, 2, 4, 8 and 12 and reads a byte, so the
// 16-bit values narrow to the register's eight lines without loss.
void Out32(ParallelPort &port, std::int16_t value) {
    port.writeData(std::uint8_t(value));
}

std::int16_t Inp32(ParallelPort &port) {
    return std::int16_t(port.readStatus());
}

void TransferPort::writeData(std::uint8_t value) {
    const PinStep step{PinStep::Kind::Write, value};
    run({&step, 1}, {});
}

std::uint8_t TransferPort::readStatus() {
    const PinStep step{PinStep::Kind::Read};
    std::uint8_t status = 0;
    run({&step, 1}, {&status, 1});
    return status;
}

void ParallelPort::run(std::span<const PinStep> steps, std::span<std::uint8_t> statuses) {
    std::size_t read = 0;
    for (const PinStep &step : steps) {
        if (step.kind == PinStep::Kind::Write)
            Out32(*this, step.data);
        else
            statuses[read++] = std::uint8_t(Inp32(*this));
    }
}

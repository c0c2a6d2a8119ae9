#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// The narrow pin-level interface every way of reaching a parallel port
// implements: write the data register of a port base, read its status
// register. Each call is one access, performed at once, unbuffered and in call
// order; a frame's timing is nothing but this sequence.
class PortBackend {
public:
    virtual ~PortBackend() = default;

    virtual void writeData(std::uint16_t base, std::uint8_t value) = 0;
    virtual std::uint8_t readStatus(std::uint16_t base) = 0;
};

// A port access that could not be made. The message is one line naming the
// port, the device, the system's reason and the remedy.
class PortError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "LPT1 (378h)" for the preset bases, "port 2BCh" for any other.
std::string portName(std::uint16_t base);

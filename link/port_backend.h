#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>

// One step of a frame at the pins: a write of the data register, or a read of
// the status register.
struct PinStep {
    enum class Kind : std::uint8_t { Write, Read };

    Kind kind;
    std::uint8_t data = 0; // the value written; 0 for a read

    bool operator==(const PinStep &) const = default;
};

// The narrow pin-level interface of one parallel port: write its data
// register, read its status register. Each call is one access, performed at
// once, unbuffered and in call order; a frame's timing is nothing but this
// sequence. The port's control register is never used.
class ParallelPort {
public:
    virtual ~ParallelPort() = default;

    virtual void writeData(std::uint8_t value) = 0;
    virtual std::uint8_t readStatus() = 0;

    // Runs steps in order, the status byte of the n-th read into statuses[n]
    // (statuses holds one byte per read). This one does it access by access;
    // a back end that can send the steps in one transfer overrides it, and
    // must keep their order and their effect on the lines.
    virtual void run(std::span<const PinStep> steps, std::span<std::uint8_t> statuses);

    // Whether the lines stay as a run's last step left them until the next
    // run, so that one frame may span two runs with select low in between.
    // True access by access; a back end whose transfers cannot end with
    // select low, or that lets the lines idle between them, says false.
    virtual bool keepsLinesBetweenRuns() const { return true; }

    // Whether a chip outside this program sees the accesses: half a frame
    // would leave it holding a partly shifted word.
    virtual bool isHardware() const { return true; }
};

// A port whose accesses go out in transfers of its own (an adapter's): one
// access is a run of one step.
class TransferPort : public ParallelPort {
public:
    void writeData(std::uint8_t value) final;
    std::uint8_t readStatus() final;
};

// The I/O addresses of a port's two registers in use.
struct PortRegisters {
    std::uint16_t data;
    std::uint16_t status;

    bool operator==(const PortRegisters &) const = default;
};

// A way of reaching parallel ports: the parport driver, direct I/O, the
// simulated board. open() looks the port up, claims it where the system asks
// for that, and returns a handle whose accesses look nothing up. The handle
// stays valid until the back end is destroyed; opening the same registers
// again returns the same handle, or a fresh one after an access failed.
class PortBackend {
public:
    virtual ~PortBackend() = default;

    virtual ParallelPort &open(PortRegisters registers) = 0;

    // Whether opening the port at registers may wait for another program to
    // let it go (the parport driver's claim), rather than end at once either
    // way.
    virtual bool openMayWait(PortRegisters) const { return false; }
};

// A port that could not be reached. The message is one line naming the port,
// the device, the system's reason and the remedy.
class PortError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "LPT1 (378h)" for the preset bases, "port 2BCh" for any other.
std::string portName(std::uint16_t base);

#pragma once

#include "link/adapter_pins.h"
#include "link/port_backend.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <linux/gpio.h>

// The kernel's GPIO character device (uAPI v2) behind a seam, so tests can
// stand in for the ioctls. Each call returns what the system call returns:
// -1 with errno set on failure.
class GpioSystem {
public:
    virtual ~GpioSystem() = default;

    // The chip devices present (/dev/gpiochipN), by number.
    virtual std::vector<std::string> chipPaths() = 0;
    virtual int open(const std::string &path) = 0; // read-write, close-on-exec
    virtual int chipInfo(int fd, gpiochip_info &info) = 0;
    virtual int lineInfo(int fd, gpio_v2_line_info &info) = 0; // info.offset given
    virtual int requestLines(int fd, gpio_v2_line_request &request) = 0;
    virtual int setValues(int fd, gpio_v2_line_values &values) = 0;
    virtual int getValues(int fd, gpio_v2_line_values &values) = 0;
    virtual int close(int fd) = 0;
    // Returns once the steady clock has reached time: the pacing of pin changes.
    virtual void waitUntil(std::chrono::steady_clock::time_point time) = 0;
};

std::unique_ptr<GpioSystem> makeKernelGpioSystem();

// A GPIO chip present.
struct GpioChip {
    std::string path;  // /dev/gpiochip0
    std::string name;  // gpiochip0
    std::string label; // what its driver calls it: pinctrl-bcm2711, ftdi-cbus
    unsigned lines = 0;
    int openError = 0; // errno when it could not be opened

    // "/dev/gpiochip0 [pinctrl-bcm2711] (58 lines)"
    std::string describe() const;
};

// The chips this user can see; a chip that cannot be opened is listed with
// its name only (label and line count need the device).
std::vector<GpioChip> listGpioChips(GpioSystem &system);
std::vector<GpioChip> listGpioChips();

// What "gpio:CHIP@SELECT,CLOCK,SDI,SDO" names, before any chip is looked at.
struct GpioBinding {
    std::string chip; // a path, a name (gpiochip0) or a label
    PinList lines;    // offsets or line names
};

// Throws std::invalid_argument saying what is wrong.
GpioBinding parseGpioBinding(const std::string &binding);

// Checks a binding on the command line: its syntax, and where the chip can be
// opened, that each line exists and is named once. A chip that is missing or
// not to be opened now is left to the first frame, which says why. Touches no
// line. Throws std::invalid_argument.
void checkGpioBinding(const std::string &binding, GpioSystem &system);

// A step of reaching a GPIO chip that failed, with what the message needs.
struct GpioFailure {
    enum class Step { Find, Ambiguous, Open, Busy, Request, Transfer, Unplugged };

    GpioFailure(Step step, std::uint16_t base, std::string binding, int error = 0,
                std::string chip = {})
        : step(step)
        , base(base)
        , binding(std::move(binding))
        , error(error)
        , chip(std::move(chip)) {}

    Step step;
    std::uint16_t base;
    std::string binding;         // as given after --device LPTn=
    int error = 0;               // errno
    std::string chip;            // the chip's path once found
    std::string line;            // at Busy: the line in use ("17" or its name)
    std::string consumer;        // at Busy: who uses it; empty when the chip reserves it
    std::vector<GpioChip> chips; // at Find and Ambiguous
    bool cutShort = false;       // a frame was under way: the chip may hold neither word
};

// One line: the port and chip, the system's reason and the remedy.
std::string gpioMessage(const GpioFailure &failure);

// Reaches the board through four lines of a GPIO chip, requested together
// at the port's first frame (outputs already at idle, select high) and held
// until the back end is destroyed; a failed access releases them, so the next
// frame requests them afresh, and so does a frame that finds the chip gone
// before it has changed a line (unplugged and plugged in again while idle).
// SDO has a pull-up where the chip can give it one. Each pin change is one
// set-values call, paced at half a clock period; each read one get-values call.
class GpioBackend : public PortBackend {
public:
    GpioBackend(std::unique_ptr<GpioSystem> system, std::string binding, long clockHz);
    ~GpioBackend() override;

    GpioBackend(const GpioBackend &) = delete;
    GpioBackend &operator=(const GpioBackend &) = delete;

    ParallelPort &open(PortRegisters registers) override;

private:
    class Port;

    [[noreturn]] void fail(GpioFailure failure);
    void release();
    // Finds the chip and requests the lines; after a loss, a chip not to be
    // found again is reported as gone.
    void acquire(std::uint16_t base, bool lost);

    std::unique_ptr<GpioSystem> m_system;
    std::string m_text;
    GpioBinding m_binding;
    std::chrono::nanoseconds m_halfPeriod;
    std::unique_ptr<Port> m_port;
    int m_lines = -1; // the request's descriptor
};

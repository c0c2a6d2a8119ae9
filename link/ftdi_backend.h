#pragma once

#include "link/adapter_pins.h"
#include "link/port_backend.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

// A USB device as sysfs shows it, readable without any permission on the
// device itself.
struct UsbDevice {
    std::uint16_t vendor = 0;
    std::uint16_t product = 0;
    std::uint16_t release = 0; // bcdDevice: tells FTDI's chips apart
    std::string serial;        // empty when the device reports none
    std::string description;   // the product string
    int bus = 0;
    int address = 0;
    std::string interfaceName;  // sysfs name of interface 0, e.g. 1-1:1.0
    std::string driver;         // the driver holding interface 0: ftdi_sio, usbfs, or none
    std::string manufacturer{}; // the manufacturer string
    std::string tty{};          // the serial port ftdi_sio made of interface 0 (ttyUSB0), if any

    // /dev/bus/usb/BBB/DDD
    std::string node() const;
    // Where it is plugged in, as sysfs names it: 1-1.2 (bus 1, port 2 of the
    // hub on port 1). Unlike the address, it stays the same when the device
    // is plugged in again there.
    std::string port() const;
    // "0403:6001 serial A10K1B2C (FTDI FT232R USB UART) at /dev/bus/usb/001/004",
    // the device's own strings escaped.
    std::string describe() const;
};

// The programs that have a device node open (or as their controlling
// terminal), as "minicom (pid 812)". Programs of other users are seen only
// through their controlling terminal unless this one may look into them.
std::vector<std::string> programsUsing(const std::string &node,
                                       const std::string &procRoot = "/proc");

inline constexpr std::uint16_t FtdiVendor = 0x0403;

// The USB devices under sysRoot (normally /sys/bus/usb/devices), hubs
// included, by bus and address.
std::vector<UsbDevice> listUsbDevices(const std::string &sysRoot = "/sys/bus/usb/devices");

// The FTDI devices present (FTDI's vendor ID), by bus and address.
std::vector<UsbDevice> listFtdiDevices(const std::string &sysRoot = "/sys/bus/usb/devices");

// The binding that picks just that device among those present:
// "ftdi:0403:6001:A10K1B2C" by its serial, or "ftdi:1-1.2" by its port where
// the serial is missing, shared with another device present, or not one to
// type into a shell.
std::string ftdiBindingFor(const UsbDevice &device, const std::vector<UsbDevice> &present);

// What a binding "ftdi[:VID:PID[:SERIAL]|:PORT][@SELECT,CLOCK,SDI,SDO]" asks for.
struct FtdiBinding {
    std::optional<std::uint16_t> vendor; // none: any of FTDI's own product IDs
    std::optional<std::uint16_t> product;
    std::string serial; // empty: any
    std::string port;   // the sysfs port path (1-1.2); empty: any
    PinMap pins;        // bits of the chip's pin byte D0..D7 (ADBUS0..7)

    // Whether it names one device (by serial or port) rather than any of a kind.
    bool namesOne() const { return !serial.empty() || !port.empty(); }
};

// Default pins: D3 select, D0 clock, D1 SDI, D2 SDO (the FT232H's SPI pins).
// Throws std::invalid_argument saying what is wrong.
FtdiBinding parseFtdiBinding(const std::string &binding);

// Whether the binding takes this device.
bool ftdiBindingMatches(const FtdiBinding &binding, const UsbDevice &device);

// A run of pin steps as synchronous bit-bang sends it: each data write as
// repeat bytes, and for each read the index of the byte whose sample answers
// it. The chip samples its pins just before it applies each byte, so a read
// is answered by the byte after it; a run that ends in reads (or holds
// nothing else) gets one more byte that repeats the levels held.
struct BitbangRun {
    std::vector<std::uint8_t> bytes;
    std::vector<std::size_t> samples;
};

BitbangRun bitbangRun(std::span<const PinStep> steps, const PinMap &pins, std::uint8_t held,
                      int repeat = 1);

// A run of pin steps as the H chips' serial engine (MPSSE) sends it: one
// command buffer, ending in send-immediate when it reads, the number of bytes
// it answers, and for each read where its sample is in the answer.
struct MpsseRun {
    struct Sample {
        std::size_t byte;
        int bit; // -1: the whole byte is the pins (a GPIO read)
    };
    std::vector<std::uint8_t> commands;
    std::size_t answerLength = 0;
    std::vector<Sample> samples;
    std::uint8_t held = 0; // the pin levels after the run
};

// Each clock pulse of the steps (clock rises, reads, clock falls, with SDI
// changed at most just before the rise) becomes a bit of a clocked command:
// out on the falling edge where nothing is read, in on the falling edge,
// where the frame reads SDO, otherwise. Every other change of the pins is a
// GPIO command (80h), every other read a pin read (81h). pins must be the
// engine's (clock on D0, SDI on D1, SDO on D2, the clock not inverted).
MpsseRun mpsseRun(std::span<const PinStep> steps, const PinMap &pins, std::uint8_t held);

// The status byte for a read of an MPSSE run's answer.
std::uint8_t mpsseStatus(const MpsseRun &run, std::size_t read,
                         std::span<const std::uint8_t> answer, const PinMap &pins);

// libftdi (and sysfs) behind a seam, so tests can stand in for the chip. Each
// call returns what libftdi returns: 0 or a count on success, a negative code
// with errorText() saying why on failure.
class FtdiSystem {
public:
    virtual ~FtdiSystem() = default;

    virtual std::vector<UsbDevice> devices() = 0;
    // access(2) for reading and writing: 0, or -1 with errno set.
    virtual int access(const std::string &node) = 0;
    // Opens interface A of the device at bus and address (detaching the
    // kernel's serial driver, as libftdi does).
    virtual int open(int bus, int address) = 0;
    virtual int setBitmode(std::uint8_t outputs, std::uint8_t mode) = 0;
    // SET_BAUDRATE (request 03h) with the divisor's value and index as
    // ftdiDivisorFor gives them: libftdi's ftdi_set_baudrate would multiply
    // a bit-bang rate by four and round to the nearest divisor.
    virtual int setDivisor(std::uint16_t value, std::uint16_t index) = 0;
    virtual int setLatencyTimer(int milliseconds) = 0;
    // The size of each USB read, status bytes included: a read ends early
    // only at a short packet, which a chip sends when its latency timer runs
    // out.
    virtual int setReadChunk(int bytes) = 0;
    virtual int flush() = 0;
    virtual int write(const std::uint8_t *bytes, int count) = 0;
    // The samples that have arrived, up to count: 0 when none has yet.
    virtual int read(std::uint8_t *bytes, int count) = 0;
    virtual std::string errorText() = 0;
    virtual void close() = 0;
    // Whether the device opened is still plugged in with the address it had,
    // checked before every frame; a system that cannot tell says true, and a
    // stale device then fails the frame.
    virtual bool stillPlugged(const UsbDevice &) { return true; }
    // The programs that have the serial port /dev/TTY open.
    virtual std::vector<std::string> serialPortUsers(const std::string &) { return {}; }
};

std::unique_ptr<FtdiSystem> makeLibftdiSystem();

// libftdi's bit modes used here.
inline constexpr std::uint8_t FtdiReset = 0x00;
inline constexpr std::uint8_t FtdiMpsse = 0x02;
inline constexpr std::uint8_t FtdiSyncBitbang = 0x04;

// A step of reaching an FTDI adapter that failed, with what the message needs.
struct FtdiFailure {
    enum class Step {
        Find,
        Choose,
        Console,
        Permission,
        Busy,
        Open,
        Setup,
        Engine, // an H chip's serial engine did not start
        Transfer,
        Unplugged
    };

    Step step;
    std::uint16_t base;
    std::string binding; // as given after --device LPTn=
    std::string reason;  // libftdi's text or strerror; empty if none
    std::optional<UsbDevice> device;
    std::vector<UsbDevice> present;   // at Find and Choose
    std::vector<std::string> users{}; // at Console: the programs using its serial port
    bool cutShort = false;            // a frame was under way: the chip may hold neither word
};

// One line: the port and adapter, the reason, and the remedy.
std::string ftdiMessage(const FtdiFailure &failure);

// The chip's FIFO: how many bytes one write may carry before their samples
// must be read (the smaller of its two buffers).
std::size_t ftdiChunkFor(std::uint16_t release);

// What SET_BAUDRATE programs for a clock rate in bit-bang: the divisor whose
// pin byte rate is the fastest not above twice clockHz (each pin step at
// least half a period), capped at the chip's top rate. Below the slowest
// divisor's rate, each pin step is sent as repeat pin bytes.
struct FtdiDivisor {
    std::uint16_t value;
    std::uint16_t index;
    int repeat;
    double stepRate; // pin steps a second: pin bytes a second / repeat
};

FtdiDivisor ftdiDivisorFor(long clockHz, std::uint16_t release);

// The serial engine's clock divisor (86h) for a clock rate, and whether it
// divides the 60 MHz master clock by five first (8Bh, else 8Ah): the fastest
// clock not above clockHz.
struct MpsseClock {
    bool divideBy5;
    std::uint16_t divisor;
};

MpsseClock mpsseClockFor(long clockHz);

// Reaches the board through an FTDI chip: through the H chips' serial engine
// where the board is on its pins (the default ones, clock not inverted), in
// synchronous bit-bang otherwise, or on every chip for a binding that starts
// "ftdi-bitbang". The adapter is found and opened at the port's first frame
// and held until the back end is destroyed; a failed transfer closes it, so
// the next frame looks for it afresh, and so does a frame that finds it
// unplugged since the last one ended. Closing leaves the pins as the last
// frame left them.
class FtdiBackend : public PortBackend {
public:
    FtdiBackend(std::unique_ptr<FtdiSystem> system, std::string binding, long clockHz);
    ~FtdiBackend() override;

    FtdiBackend(const FtdiBackend &) = delete;
    FtdiBackend &operator=(const FtdiBackend &) = delete;

    ParallelPort &open(PortRegisters registers) override;

private:
    class Port;
    class Frames;

    [[noreturn]] void fail(FtdiFailure failure);
    void openAt(std::uint16_t base);
    UsbDevice choose(std::uint16_t base, const UsbDevice *lost);
    void setUp(const UsbDevice &device, std::uint16_t base);
    void setUpMpsse(const UsbDevice &device, std::uint16_t base);

    std::unique_ptr<FtdiSystem> m_system;
    std::string m_text;
    bool m_bitbangOnly; // "ftdi-bitbang"
    FtdiBinding m_binding;
    long m_clockHz;
    std::unique_ptr<Port> m_port;
    std::unique_ptr<Frames> m_frames; // the handle open() gives, whichever device is open
    bool m_open = false;
};

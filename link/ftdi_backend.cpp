#include "link/ftdi_backend.h"

#include "link/port_access.h"
#include "link/printable_text.h"

#include "link/wiring.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string_view>
#include <strings.h>

#include <libftdi1/ftdi.h>
#include <libusb.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

using Step = FtdiFailure::Step;
namespace fs = std::filesystem;

// A chip that has sent nothing for this long after a write is taken to be gone.
constexpr std::chrono::milliseconds SampleBound{1000};

// How each family clocks its pins in bit-bang. The baud rate generator
// divides a reference by a divisor of 14 integer bits and 3 fraction bits
// (FTDI's AN232B-05, AN_120; Linux's ftdi_sio.c and libftdi's
// ftdi_to_clkbits encode it alike), and bit-bang clocks one pin byte per
// baud-rate tick times a multiple of the baud rate:
//   - FT232R/FT245R: 16 x the baud rate of the 3 MHz reference, so 48 MHz /
//     divisor (FTDI's AN232R-01 on bit-bang modes; openschemes.com measured
//     it on a scope: baud 25000 gives 400 k pin bytes a second);
//   - FT2232C/D and FT232BM: the same 16 x (FTDI's AN232B-01; measured on an
//     FT2232D on the libftdi list, June 2010);
//   - the H chips (FT2232H, FT4232H, FT232H), with the 120 MHz / 10 switch
//     (divisor bit 17) set as libftdi and ftdi_sio set it: 5 x the baud rate
//     of the 12 MHz reference, so 60 MHz / divisor (pyftdi's bit-bang ratio;
//     on an FT4232H its rates below 60 MHz / 16383 fail, where the divisor
//     overflows: pyftdi issue 353).
// The top rates are pyftdi's bit-bang bus clocks (6 MHz, 30 MHz).
struct FtdiClock {
    const char *family;
    long pinClockHz;            // pin bytes a second at a divisor of 1
    long topRate;               // the fastest pin byte rate used
    std::uint32_t divisorFlags; // bits above the 17-bit divisor
};

constexpr FtdiClock Clocks[] = {
    {"FT232R/FT245R", 48'000'000, 6'000'000, 0},
    {"FT2232C/D, FT232BM", 48'000'000, 6'000'000, 0},
    {"FT2232H, FT4232H, FT232H", 60'000'000, 30'000'000, 0x20000},
};

// FTDI's chips, told apart by bcdDevice: FIFO sizes from their data sheets;
// whether SET_BAUDRATE's index carries the divisor's top bits in its high
// byte and the channel (A = 1) in its low one, as ftdi_sio sends it to these
// (FTDI's advice for the FT-X, Linux commit of 2021); the serial engine.
struct FtdiChip {
    std::uint16_t release;
    const char *name;
    std::size_t fifo; // the smaller of its transmit and receive buffers
    bool highSpeed;   // 512-byte packets
    const FtdiClock *clock;
    bool channelIndex;
    bool mpsse; // the H chips' engine, with its 60 MHz clock
};

constexpr FtdiChip Chips[] = {
    {0x0400, "FT232B", 128, false, &Clocks[1], false, false},
    {0x0500, "FT2232C", 128, false, &Clocks[1], true, false},
    {0x0600, "FT232R", 128, false, &Clocks[0], false, false},
    {0x0700, "FT2232H", 4096, true, &Clocks[2], true, true},
    {0x0800, "FT4232H", 2048, true, &Clocks[2], true, true},
    {0x0900, "FT232H", 1024, true, &Clocks[2], true, true},
    // Its generator is the FT232R's; no source gives its bit-bang multiple.
    {0x1000, "FT-X", 512, false, &Clocks[0], true, false},
};

const FtdiChip *chipFor(std::uint16_t release) {
    for (const FtdiChip &chip : Chips) {
        if (chip.release == release)
            return &chip;
    }
    return nullptr;
}

// A chip not in the table is taken for an FT232R, the commonest.
const FtdiChip &chipOrR(std::uint16_t release) {
    const FtdiChip *chip = chipFor(release);
    return chip ? *chip : Chips[2];
}

// The minimum latency timer, in ms: a packet that is not full waits for it.
constexpr int LatencyMs = 1;

// The data bytes of a packet: two modem-status bytes head each.
std::size_t packetData(const FtdiChip &chip) {
    return (chip.highSpeed ? 512 : 64) - 2;
}

std::string readLine(const fs::path &file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// A string attribute as the device reported it: sysfs adds one newline, and
// the string itself may hold more.
std::string readString(const fs::path &file) {
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

long readNumber(const fs::path &file, int base) {
    const std::string text = readLine(file);
    char *end = nullptr;
    const long value = std::strtol(text.c_str(), &end, base);
    return end != text.c_str() ? value : -1;
}

std::string hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value & 0xFFFF);
    return text;
}

std::uint16_t parseId(const std::string &text, const char *what) {
    const bool hex = !text.empty() && text.size() <= 4 &&
                     std::all_of(text.begin(), text.end(),
                                 [](unsigned char c) { return std::isxdigit(c) != 0; });
    if (!hex)
        throw std::invalid_argument("'" + text + "' is not a USB " + what +
                                    " ID: give four hexadecimal digits, e.g. ftdi:0403:6014");
    return std::uint16_t(std::stoul(text, nullptr, 16));
}

// D0..D7, ADBUS0..7 or 0..7: a bit of the pin byte.
unsigned ftdiPin(const std::string &name) {
    std::string number = name;
    for (const char *prefix : {"ADBUS", "D"}) {
        if (strncasecmp(name.c_str(), prefix, std::strlen(prefix)) == 0) {
            number = name.substr(std::strlen(prefix));
            break;
        }
    }
    if (number.size() != 1 || number[0] < '0' || number[0] > '7')
        throw std::invalid_argument("'" + name +
                                    "' is not a pin of the chip's bit-bang port: name D0 to D7 "
                                    "(ADBUS0 to ADBUS7 on the H chips)");
    return unsigned(number[0] - '0');
}

// Each device with the binding that picks it.
std::string deviceList(const std::vector<UsbDevice> &devices) {
    std::string list;
    for (std::size_t i = 0; i < devices.size(); ++i)
        list += (i == 0                    ? ""
                 : i + 1 == devices.size() ? " and "
                                           : ", ") +
                devices[i].describe() + " [" + ftdiBindingFor(devices[i], devices) + "]";
    return list;
}

std::string joined(const std::vector<std::string> &items) {
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i)
        text += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
    return text;
}

// A serial number that a binding can carry and a shell passes on unquoted.
bool isPlainSerial(const std::string &serial) {
    return !serial.empty() && std::all_of(serial.begin(), serial.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '+';
    });
}

// "1-1.2": a bus number, a dash and port numbers joined by dots.
bool isPortPath(const std::string &text) {
    const std::size_t dash = text.find('-');
    if (dash == 0 || dash == std::string::npos || dash + 1 == text.size() || text.back() == '.')
        return false;
    for (std::size_t n = 0; n < text.size(); ++n) {
        const bool separator = n == dash || (n > dash && text[n] == '.');
        if (separator ? text[n - 1] == '.' : !std::isdigit((unsigned char)text[n]))
            return false;
    }
    return true;
}

class LibftdiSystem final : public FtdiSystem {
public:
    ~LibftdiSystem() override { close(); }

    std::vector<UsbDevice> devices() override { return listUsbDevices(); }
    int access(const std::string &node) override { return ::access(node.c_str(), R_OK | W_OK); }

    int open(int bus, int address) override {
        close();
        m_ftdi = ftdi_new();
        if (!m_ftdi) {
            m_error = "libftdi could not start (out of memory, or libusb failed)";
            return -1;
        }
        ftdi_set_interface(m_ftdi, INTERFACE_A);
        const int result = ftdi_usb_open_bus_addr(m_ftdi, std::uint8_t(bus), std::uint8_t(address));
        if (result < 0) {
            m_error = ftdi_get_error_string(m_ftdi);
            ftdi_free(m_ftdi);
            m_ftdi = nullptr;
        }
        return result;
    }
    int setBitmode(std::uint8_t outputs, std::uint8_t mode) override {
        return ftdi_set_bitmode(m_ftdi, outputs, mode);
    }
    int setDivisor(std::uint16_t value, std::uint16_t index) override {
        const int result = libusb_control_transfer(m_ftdi->usb_dev, FTDI_DEVICE_OUT_REQTYPE,
                                                   SIO_SET_BAUDRATE_REQUEST, value, index, nullptr,
                                                   0, m_ftdi->usb_write_timeout);
        if (result < 0)
            m_ftdi->error_str = libusb_error_name(result);
        return result;
    }
    int setLatencyTimer(int milliseconds) override {
        return ftdi_set_latency_timer(m_ftdi, std::uint8_t(milliseconds));
    }
    int setReadChunk(int bytes) override {
        return ftdi_read_data_set_chunksize(m_ftdi, unsigned(bytes));
    }
    int flush() override { return ftdi_tcioflush(m_ftdi); }
    int write(const std::uint8_t *bytes, int count) override {
        // As ftdi_write_data, which drops libusb's reason for a failure.
        int sent = 0;
        while (sent < count) {
            int moved = 0;
            const int result =
                libusb_bulk_transfer(m_ftdi->usb_dev, std::uint8_t(m_ftdi->in_ep),
                                     const_cast<std::uint8_t *>(bytes) + sent,
                                     std::min(count - sent, int(m_ftdi->writebuffer_chunksize)),
                                     &moved, unsigned(m_ftdi->usb_write_timeout));
            if (result < 0) {
                m_usbError = std::string("usb bulk write failed: ") + libusb_error_name(result);
                return -1;
            }
            sent += moved;
        }
        return sent;
    }
    int read(std::uint8_t *bytes, int count) override {
        // ftdi_read_data passes libusb's code on, and -666 for no device.
        const int result = ftdi_read_data(m_ftdi, bytes, count);
        if (result < 0 && result != -666)
            m_usbError = std::string("usb bulk read failed: ") + libusb_error_name(result);
        return result;
    }
    std::string errorText() override {
        return !m_usbError.empty() ? m_usbError : m_ftdi ? ftdi_get_error_string(m_ftdi) : m_error;
    }
    bool stillPlugged(const UsbDevice &device) override {
        // Its node goes with it, and a device plugged in again takes the bus's
        // next address: one system call a frame, where reading sysfs costs ten.
        return ::access(device.node().c_str(), F_OK) == 0;
    }
    std::vector<std::string> serialPortUsers(const std::string &tty) override {
        return programsUsing("/dev/" + tty);
    }
    void close() override {
        m_usbError.clear();
        if (m_ftdi) {
            ftdi_usb_close(m_ftdi);
            ftdi_free(m_ftdi);
            m_ftdi = nullptr;
        }
    }

private:
    ftdi_context *m_ftdi = nullptr;
    std::string m_error;
    std::string m_usbError; // libusb's reason for the last failed transfer
};

} // namespace

std::unique_ptr<FtdiSystem> makeLibftdiSystem() {
    return std::make_unique<LibftdiSystem>();
}

std::string UsbDevice::node() const {
    char path[32];
    std::snprintf(path, sizeof path, "/dev/bus/usb/%03d/%03d", bus, address);
    return path;
}

std::string UsbDevice::port() const {
    return interfaceName.substr(0, interfaceName.find(':'));
}

std::string ftdiBindingFor(const UsbDevice &device, const std::vector<UsbDevice> &present) {
    const std::string ids = "ftdi:" + hex4(device.vendor) + ":" + hex4(device.product);
    const bool shared = std::any_of(present.begin(), present.end(), [&](const UsbDevice &other) {
        return other.serial == device.serial && other.vendor == device.vendor &&
               other.product == device.product &&
               (other.bus != device.bus || other.address != device.address);
    });
    if (isPlainSerial(device.serial) && !shared)
        return ids + ":" + device.serial;
    return device.port().empty() ? ids : "ftdi:" + device.port();
}

std::string UsbDevice::describe() const {
    std::string strings = printableText(manufacturer);
    if (!description.empty())
        strings += (strings.empty() ? "" : " ") + printableText(description);
    return hex4(vendor) + ":" + hex4(product) +
           (serial.empty() ? "" : " serial " + printableText(serial)) +
           (strings.empty() ? "" : " (" + strings + ")") + " at " + node();
}

std::vector<std::string> programsUsing(const std::string &node, const std::string &procRoot) {
    struct stat device {};
    if (::stat(node.c_str(), &device) != 0 || !S_ISCHR(device.st_mode))
        return {};
    std::vector<std::string> users;
    std::error_code error;
    for (fs::directory_iterator it(procRoot, error), end; !error && it != end;
         it.increment(error)) {
        const std::string pid = it->path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        // Field 7 of stat, the controlling terminal, is readable for every
        // process; the name in field 2 may hold spaces and parentheses.
        const std::string status = readLine(it->path() / "stat");
        unsigned long terminal = 0;
        const std::size_t nameEnd = status.rfind(')');
        bool uses =
            nameEnd != std::string::npos &&
            std::sscanf(status.c_str() + nameEnd + 1, " %*c %*d %*d %*d %lu", &terminal) == 1 &&
            terminal != 0 && major(device.st_rdev) == ((terminal >> 8) & 0xFFF) &&
            minor(device.st_rdev) == ((terminal & 0xFF) | ((terminal >> 12) & 0xFFF00));
        std::error_code fdError;
        for (fs::directory_iterator fd(it->path() / "fd", fdError), last;
             !uses && !fdError && fd != last; fd.increment(fdError)) {
            struct stat opened {};
            uses = ::stat(fd->path().c_str(), &opened) == 0 && S_ISCHR(opened.st_mode) &&
                   opened.st_rdev == device.st_rdev;
        }
        if (uses)
            users.push_back(printableText(readLine(it->path() / "comm")) + " (pid " + pid + ")");
    }
    return users;
}

std::vector<UsbDevice> listUsbDevices(const std::string &sysRoot) {
    std::vector<UsbDevice> devices;
    std::error_code error;
    for (fs::directory_iterator it(sysRoot, error), end; !error && it != end; it.increment(error)) {
        const fs::path dir = it->path();
        const long vendor = readNumber(dir / "idVendor", 16);
        if (vendor < 0)
            continue; // an interface, not a device
        UsbDevice device;
        device.vendor = std::uint16_t(vendor);
        device.product = std::uint16_t(readNumber(dir / "idProduct", 16));
        device.release = std::uint16_t(readNumber(dir / "bcdDevice", 16));
        device.serial = readString(dir / "serial");
        device.description = readString(dir / "product");
        device.manufacturer = readString(dir / "manufacturer");
        device.bus = int(readNumber(dir / "busnum", 10));
        device.address = int(readNumber(dir / "devnum", 10));
        const long configuration = readNumber(dir / "bConfigurationValue", 10);
        device.interfaceName = dir.filename().string() + ":" +
                               std::to_string(configuration < 0 ? 1 : configuration) + ".0";
        const fs::path driver = fs::read_symlink(dir / device.interfaceName / "driver", error);
        device.driver = error ? "" : driver.filename().string();
        error.clear();
        // ftdi_sio's serial port sits under the interface as ttyUSBn.
        for (fs::directory_iterator port(dir / device.interfaceName, error), last;
             !error && port != last; port.increment(error)) {
            if (port->path().filename().string().rfind("ttyUSB", 0) == 0)
                device.tty = port->path().filename().string();
        }
        error.clear();
        devices.push_back(device);
    }
    std::sort(devices.begin(), devices.end(), [](const UsbDevice &a, const UsbDevice &b) {
        return std::pair(a.bus, a.address) < std::pair(b.bus, b.address);
    });
    return devices;
}

std::vector<UsbDevice> listFtdiDevices(const std::string &sysRoot) {
    std::vector<UsbDevice> devices = listUsbDevices(sysRoot);
    std::erase_if(devices, [](const UsbDevice &device) { return device.vendor != FtdiVendor; });
    return devices;
}

FtdiBinding parseFtdiBinding(const std::string &binding) {
    const std::string rest = binding.substr(std::min<std::size_t>(4, binding.size()));
    const std::size_t at = rest.find('@');
    const std::string ids = rest.substr(0, at);
    FtdiBinding result;

    if (ids.size() > 1 && ids[0] == ':' && ids.find(':', 1) == std::string::npos &&
        ids.find('-') != std::string::npos) {
        // ":1-1.2", the port as sysfs names it
        result.port = ids.substr(1);
        if (!isPortPath(result.port))
            throw std::invalid_argument("'" + result.port +
                                        "' is not a USB port: give it as sysfs names it, e.g. "
                                        "ftdi:1-1.2 (quorvexctl list shows each adapter's)");
    } else if (!ids.empty()) {
        // ":VID:PID" or ":VID:PID:SERIAL"
        const std::size_t second = ids.find(':', 1);
        if (ids[0] != ':' || second == std::string::npos)
            throw std::invalid_argument(
                "expected ftdi:VID:PID[:SERIAL] or ftdi:PORT, e.g. ftdi:0403:6014 or ftdi:1-1.2");
        const std::size_t third = ids.find(':', second + 1);
        result.vendor = parseId(ids.substr(1, second - 1), "vendor");
        result.product = parseId(ids.substr(second + 1, third - second - 1), "product");
        if (third != std::string::npos) {
            result.serial = ids.substr(third + 1);
            if (result.serial.empty())
                throw std::invalid_argument("the serial number after ftdi:VID:PID: is empty");
        }
    }

    const PinList names = at == std::string::npos ? PinList{{{"D3"}, {"D0"}, {"D1"}, {"D2"}}}
                                                  : parsePinList(rest.substr(at + 1));
    std::array<unsigned, BoardLineCount> pins{};
    for (std::size_t n = 0; n < BoardLineCount; ++n)
        pins[n] = ftdiPin(names[n].name);
    result.pins = pinMapFrom(pins, names);
    return result;
}

bool ftdiBindingMatches(const FtdiBinding &binding, const UsbDevice &device) {
    // By port, any of FTDI's chips: never a keyboard plugged in where the
    // adapter was, whose driver opening would take away.
    if (!binding.port.empty())
        return device.port() == binding.port && device.vendor == FtdiVendor;
    if (binding.vendor) {
        if (device.vendor != *binding.vendor || device.product != *binding.product)
            return false;
    } else {
        // FTDI's own product IDs, those libftdi looks for by default.
        constexpr std::uint16_t Products[] = {0x6001, 0x6010, 0x6011, 0x6014, 0x6015};
        if (device.vendor != FtdiVendor || std::find(std::begin(Products), std::end(Products),
                                                     device.product) == std::end(Products))
            return false;
    }
    return binding.serial.empty() || binding.serial == device.serial;
}

BitbangRun bitbangRun(std::span<const PinStep> steps, const PinMap &pins, std::uint8_t held,
                      int repeat) {
    BitbangRun run;
    run.bytes.reserve(steps.size() * std::size_t(repeat) + 1);
    std::uint8_t levels = held;
    for (const PinStep &step : steps) {
        if (step.kind == PinStep::Kind::Write) {
            levels = std::uint8_t(pins.levelsFor(step.data));
            run.bytes.insert(run.bytes.end(), std::size_t(repeat), levels);
        } else {
            run.samples.push_back(run.bytes.size());
        }
    }
    if (!run.samples.empty() && run.samples.back() == run.bytes.size())
        run.bytes.push_back(levels);
    return run;
}

namespace {

// The serial engine's commands used here (FTDI's AN_108), MSB first.
constexpr std::uint8_t BytesOutFalling = 0x11, BitsOutFalling = 0x13;
constexpr std::uint8_t BytesInFalling = 0x24, BitsInFalling = 0x26;
constexpr std::uint8_t SetLowPins = 0x80, ReadLowPins = 0x81, SendImmediate = 0x87;
constexpr std::uint8_t LoopbackOff = 0x85, ClockDivisor = 0x86;
constexpr std::uint8_t DivideBy5Off = 0x8A, DivideBy5On = 0x8B, ThreePhaseOff = 0x8D;
// Its answer to a command it does not know: BadCommand, then the command.
constexpr std::uint8_t BadCommand = 0xFA, SyncProbe = 0xAA;

constexpr std::uint8_t MpsseClockPin = 0x01, MpsseSdiPin = 0x02;

// Clock pulses in a row, each one bit, that one command clocks.
struct PulseGroup {
    bool in = false;
    std::vector<bool> bits;                      // out: SDI for each pulse
    std::vector<std::vector<std::size_t>> reads; // in: the reads each pulse answers
};

void emitGroup(MpsseRun &run, PulseGroup &group) {
    const std::size_t count = group.in ? group.reads.size() : group.bits.size();
    if (count == 0)
        return;
    const std::size_t bytes = count / 8, rest = count % 8;
    const auto length = [&](std::size_t value) {
        run.commands.push_back(std::uint8_t(value - 1));
        run.commands.push_back(std::uint8_t((value - 1) >> 8));
    };
    if (group.in) {
        // Bytes come back MSB first; a bits command shifts its bits in from
        // bit 0, so the first is the highest of them.
        for (std::size_t n = 0; n < count; ++n) {
            const bool inBytes = n < bytes * 8;
            const std::size_t byte = run.answerLength + n / 8;
            const int bit = inBytes ? 7 - int(n % 8) : int(rest - 1 - (n - bytes * 8));
            for (const std::size_t read : group.reads[n])
                run.samples[read] = {byte, bit};
        }
        if (bytes) {
            run.commands.push_back(BytesInFalling);
            length(bytes);
        }
        if (rest) {
            run.commands.push_back(BitsInFalling);
            run.commands.push_back(std::uint8_t(rest - 1));
        }
        run.answerLength += bytes + (rest ? 1 : 0);
    } else {
        const auto byteOf = [&](std::size_t first, std::size_t bits) {
            std::uint8_t byte = 0;
            for (std::size_t n = 0; n < bits; ++n)
                byte |= std::uint8_t(group.bits[first + n] << (7 - n));
            return byte;
        };
        if (bytes) {
            run.commands.push_back(BytesOutFalling);
            length(bytes);
            for (std::size_t n = 0; n < bytes; ++n)
                run.commands.push_back(byteOf(n * 8, 8));
        }
        if (rest) {
            run.commands.push_back(BitsOutFalling);
            run.commands.push_back(std::uint8_t(rest - 1));
            run.commands.push_back(byteOf(bytes * 8, rest));
        }
    }
    group = {};
}

} // namespace

MpsseRun mpsseRun(std::span<const PinStep> steps, const PinMap &pins, std::uint8_t held) {
    MpsseRun run;
    std::size_t reads = 0;
    for (const PinStep &step : steps)
        reads += step.kind == PinStep::Kind::Read;
    run.samples.resize(reads);
    const std::uint8_t directions = std::uint8_t(pins.outputs());
    const auto levels = [&](std::size_t n) { return std::uint8_t(pins.levelsFor(steps[n].data)); };
    const auto isWrite = [&](std::size_t n) {
        return n < steps.size() && steps[n].kind == PinStep::Kind::Write;
    };

    std::uint8_t pinsNow = held;
    PulseGroup group;
    std::size_t read = 0;
    for (std::size_t n = 0; n < steps.size();) {
        if (!isWrite(n)) {
            emitGroup(run, group);
            run.commands.push_back(ReadLowPins);
            run.samples[read++] = {run.answerLength++, -1};
            ++n;
            continue;
        }
        // A pulse: SDI changed (or not) with the clock low, the clock rises,
        // reads, the clock falls with nothing else changed.
        std::size_t rise = n;
        if ((levels(n) ^ pinsNow) == MpsseSdiPin && isWrite(n + 1) &&
            levels(n + 1) == (levels(n) | MpsseClockPin))
            rise = n + 1;
        const std::uint8_t high = levels(rise), before = std::uint8_t(high & ~MpsseClockPin);
        std::size_t fall = rise + 1;
        while (fall < steps.size() && !isWrite(fall))
            ++fall;
        const bool pulse = !(pinsNow & MpsseClockPin) && (high & MpsseClockPin) &&
                           ((before ^ pinsNow) & ~MpsseSdiPin) == 0 && isWrite(fall) &&
                           levels(fall) == before;
        if (!pulse) {
            if (levels(n) != pinsNow) {
                emitGroup(run, group);
                pinsNow = levels(n);
                run.commands.insert(run.commands.end(), {SetLowPins, pinsNow, directions});
            }
            ++n;
            continue;
        }
        const bool sdi = (high & MpsseSdiPin) != 0;
        const bool in = fall > rise + 1;
        // A read command leaves SDI as it is: a pulse that reads and changes
        // SDI sets it first.
        if (in && sdi != bool(pinsNow & MpsseSdiPin)) {
            emitGroup(run, group);
            run.commands.insert(run.commands.end(), {SetLowPins, before, directions});
        }
        if (group.in != in)
            emitGroup(run, group);
        group.in = in;
        if (in) {
            group.reads.emplace_back();
            for (std::size_t r = rise + 1; r < fall; ++r)
                group.reads.back().push_back(read++);
        } else {
            group.bits.push_back(sdi);
        }
        pinsNow = before;
        n = fall + 1;
    }
    emitGroup(run, group);
    if (run.answerLength > 0)
        run.commands.push_back(SendImmediate);
    run.held = pinsNow;
    return run;
}

std::uint8_t mpsseStatus(const MpsseRun &run, std::size_t read,
                         std::span<const std::uint8_t> answer, const PinMap &pins) {
    const MpsseRun::Sample &sample = run.samples.at(read);
    const std::uint8_t byte = answer[sample.byte];
    if (sample.bit < 0)
        return pins.statusFor(byte);
    return pins.statusFor(((byte >> sample.bit) & 1u) << pins.pinOf(BoardLine::Sdo));
}

std::size_t ftdiChunkFor(std::uint16_t release) {
    const FtdiChip *chip = chipFor(release);
    return chip ? chip->fifo : 128;
}

FtdiDivisor ftdiDivisorFor(long clockHz, std::uint16_t release) {
    const FtdiChip &chip = chipOrR(release);
    const FtdiClock &clock = *chip.clock;
    constexpr long long MaxEighths = 0x3FFF * 8 + 7;
    const long long target = std::clamp<long long>(2LL * clockHz, 1, clock.topRate);
    const long long eighthsHz = 8LL * clock.pinClockHz;
    // The smallest divisor, in eighths, whose rate is not above the target;
    // past the slowest, the fewest repeats that bring it within reach.
    long long eighths = (eighthsHz + target - 1) / target;
    long long repeat = 1;
    if (eighths > MaxEighths) {
        repeat = (eighths + MaxEighths - 1) / MaxEighths;
        eighths = (eighthsHz + target * repeat - 1) / (target * repeat);
    }
    // The fraction's code: eighths 0..7 as the chips read bits 14 to 16.
    constexpr std::uint32_t FractionCode[8] = {0, 3, 2, 4, 1, 5, 6, 7};
    const std::uint32_t encoded =
        std::uint32_t(eighths >> 3) | FractionCode[eighths & 7] << 14 | clock.divisorFlags;
    const std::uint16_t high = std::uint16_t(encoded >> 16);
    return {std::uint16_t(encoded), chip.channelIndex ? std::uint16_t(high << 8 | 1) : high,
            int(repeat), double(eighthsHz) / double(eighths) / double(repeat)};
}

MpsseClock mpsseClockFor(long clockHz) {
    // The engine's clock is master / ((1 + divisor) * 2) (AN_108, 86h).
    const auto divisorFor = [&](long long master) {
        return (master + 2LL * clockHz - 1) / (2LL * std::max(clockHz, 1L)) - 1;
    };
    const long long fast = std::max(0LL, divisorFor(60'000'000));
    if (fast <= 0xFFFF)
        return {false, std::uint16_t(fast)};
    return {true, std::uint16_t(std::min(0xFFFFLL, divisorFor(12'000'000)))};
}

namespace {

// The binding a remedy suggests for a device: the device part named as
// suggested, with what the user's binding asked beside it (ftdi-bitbang, and
// the pins after '@') kept, so that following the advice changes nothing else.
std::string keepingAsked(const std::string &asked, const std::string &device,
                         const char *prefix = nullptr) {
    const std::string bitbang = "ftdi-bitbang";
    const std::string head =
        prefix ? prefix : (asked.compare(0, bitbang.size(), bitbang) == 0 ? bitbang : "ftdi");
    const std::size_t pins = asked.find('@');
    return head + device.substr(std::string("ftdi").size()) +
           (pins == std::string::npos ? "" : asked.substr(pins));
}

} // namespace

std::string ftdiMessage(const FtdiFailure &failure) {
    const std::string item = presetItem(failure.base);
    const std::string where = portName(failure.base) + " on " + failure.binding + ": ";
    const std::string node = failure.device ? failure.device->node() : "/dev/bus/usb/BBB/DDD";
    const std::string what = failure.device ? failure.device->describe() : "the adapter";
    const std::string reason = failure.reason.empty() ? "" : " (" + failure.reason + ")";
    const std::string cutShort =
        failure.cutShort ? ", cutting the frame short: the chip may hold neither the word it held "
                           "nor the one sent. Send the word again, or see what the chip holds "
                           "with 'quorvexctl read'"
                         : "";

    switch (failure.step) {
    case Step::Find:
        if (failure.present.empty())
            return where +
                   "no FTDI adapter is plugged in; plug it in (lsusb lists FTDI's chips as "
                   "0403:6001, 6010, 6011, 6014 or 6015), or bind a parallel port with --device " +
                   item + "=/dev/parportN";
        return where + "no adapter that this binding takes is plugged in; the system has " +
               deviceList(failure.present) + "; bind one with --device " + item + "=" +
               keepingAsked(failure.binding,
                            ftdiBindingFor(failure.present.front(), failure.present));
    case Step::Choose:
        return where + std::to_string(failure.present.size()) +
               " FTDI adapters are plugged in: " + deviceList(failure.present) +
               "; choose one with --device " + item + "=" +
               keepingAsked(failure.binding,
                            ftdiBindingFor(failure.present.front(), failure.present));
    case Step::Console:
        return where + what + " looks like a serial console cable, not the board's adapter: " +
               "its serial port /dev/" + failure.device->tty + " is open in " +
               joined(failure.users) +
               ", so a binding that does not name it leaves it alone. To drive the board "
               "through it, taking it from that program, bind it by serial or port: --device " +
               item + "=" +
               keepingAsked(failure.binding, failure.device->port().empty()
                                                 ? ftdiBindingFor(*failure.device, {})
                                                 : "ftdi:" + failure.device->port());
    case Step::Permission:
        return where + "cannot open " + what + reason + "; install the package's udev rule (" +
               UdevRulesFile +
               ", which gives FTDI adapters to group plugdev), join that group with 'sudo usermod "
               "-aG plugdev $USER', log in again and replug the adapter";
    case Step::Busy:
        if (failure.device && failure.device->driver == "usbfs")
            return where + "another program has " + what + " open; 'fuser -v " + node +
                   "' names it: close it, and try again";
        return where + "the kernel's driver " +
               (failure.device && !failure.device->driver.empty() ? failure.device->driver
                                                                  : std::string("ftdi_sio")) +
               " holds " + what + " and would not let go" + reason +
               "; close the programs using its /dev/ttyUSB port, or unbind the driver with 'echo " +
               (failure.device ? failure.device->interfaceName : std::string("B-P:1.0")) +
               " | sudo tee /sys/bus/usb/drivers/" +
               (failure.device && !failure.device->driver.empty() ? failure.device->driver
                                                                  : std::string("ftdi_sio")) +
               "/unbind'";
    case Step::Open:
        return where + "cannot open " + what + reason +
               "; unplug the adapter and plug it in again, then try again";
    case Step::Setup:
        return where + what + " refused synchronous bit-bang" + reason +
               "; use an FTDI chip that has it (FT232R, FT232H, or channel A of an FT2232H or "
               "FT4232H), or replug the adapter and try again";
    case Step::Engine:
        return where + what + " did not start its serial engine (MPSSE)" + reason +
               "; replug the adapter and try again, or drive its pins in synchronous bit-bang "
               "with --device " +
               item + "=" +
               keepingAsked(failure.binding,
                            failure.device ? ftdiBindingFor(*failure.device, {}) : "ftdi",
                            "ftdi-bitbang");
    case Step::Transfer:
        if (failure.cutShort)
            return where + "the pin transfer failed" + reason + cutShort +
                   "; check the adapter and its cable first";
        return where + "the pin transfer failed" + reason +
               "; check the adapter and its cable, then try again";
    case Step::Unplugged:
        if (failure.cutShort)
            return where + what + " was unplugged" + reason + cutShort +
                   ", once it is plugged in again (the next frame finds it)";
        return where + what + " was unplugged" + reason +
               "; plug it in again, and the next frame finds it";
    }
    return where + failure.reason;
}

class FtdiBackend::Port final : public TransferPort {
public:
    Port(FtdiBackend &backend, UsbDevice device, std::uint16_t base, bool mpsse)
        : m_backend(backend)
        , m_device(std::move(device))
        , m_base(base)
        , m_chip(chipOrR(m_device.release))
        , m_divisor(ftdiDivisorFor(backend.m_clockHz, m_device.release))
        , m_mpsse(mpsse)
        // Whole packets only, so that no chunk but a run's last waits for
        // the latency timer.
        , m_chunk(ftdiChunkFor(m_device.release) / packetData(m_chip) * packetData(m_chip))
        , m_held(std::uint8_t(backend.m_binding.pins.levelsFor(SelectLine))) {}

    const UsbDevice &device() const { return m_device; }
    std::uint16_t base() const { return m_base; }
    const FtdiDivisor &divisor() const { return m_divisor; }
    // The size of a read of one chunk's packets.
    int readChunk() const { return int(m_chunk / packetData(m_chip) * (packetData(m_chip) + 2)); }

    void run(std::span<const PinStep> steps, std::span<std::uint8_t> statuses) override {
        const PinMap &pins = m_backend.m_binding.pins;
        if (m_mpsse) {
            const MpsseRun run = mpsseRun(steps, pins, m_held);
            std::vector<std::uint8_t> answer(run.answerLength);
            transfer(run.commands.data(), int(run.commands.size()), answer.data(),
                     int(answer.size()));
            for (std::size_t n = 0; n < run.samples.size(); ++n)
                statuses[n] = mpsseStatus(run, n, answer, pins);
            m_held = run.held;
            return;
        }
        BitbangRun run = bitbangRun(steps, pins, m_held, m_divisor.repeat);
        if (!run.bytes.empty())
            m_held = run.bytes.back();
        // The last packet filled with the levels held, where that takes less
        // than the latency timer would: a full packet goes at once.
        const std::size_t part = run.bytes.size() % packetData(m_chip);
        const std::size_t padding = part ? packetData(m_chip) - part : 0;
        if (double(padding) < m_divisor.stepRate * m_divisor.repeat * LatencyMs / 1000)
            run.bytes.insert(run.bytes.end(), padding, m_held);
        std::vector<std::uint8_t> samples(run.bytes.size());
        for (std::size_t offset = 0; offset < run.bytes.size(); offset += m_chunk) {
            const int count = int(std::min(m_chunk, run.bytes.size() - offset));
            transfer(run.bytes.data() + offset, count, samples.data() + offset, count);
        }
        for (std::size_t n = 0; n < run.samples.size(); ++n)
            statuses[n] = pins.statusFor(samples.at(run.samples[n]));
    }

    // Writes count bytes and reads answerCount back: the samples of
    // bit-bang, or the serial engine's answer.
    void transfer(const std::uint8_t *bytes, int count, std::uint8_t *answer, int answerCount) {
        FtdiSystem &system = *m_backend.m_system;
        if (system.write(bytes, count) != count)
            failTransfer();
        int got = 0;
        auto deadline = std::chrono::steady_clock::now() + SampleBound;
        while (got < answerCount) {
            const int read = system.read(answer + got, answerCount - got);
            if (read < 0)
                failTransfer();
            if (read > 0)
                deadline = std::chrono::steady_clock::now() + SampleBound;
            else if (std::chrono::steady_clock::now() > deadline)
                failTransfer("the adapter sent back no pin samples");
            got += read;
        }
    }

private:
    [[noreturn]] void failTransfer(std::string reason = {}) {
        FtdiSystem &system = *m_backend.m_system;
        FtdiFailure failure{Step::Transfer,   m_base,
                            m_backend.m_text, reason.empty() ? system.errorText() : reason,
                            m_device,         {}};
        // Set up, the port has sent frames: the failed transfer carried one.
        failure.cutShort = m_backend.m_open;
        const std::vector<UsbDevice> present = system.devices();
        const bool stillThere = std::any_of(present.begin(), present.end(), [&](auto &device) {
            return device.bus == m_device.bus && device.address == m_device.address;
        });
        if (!stillThere)
            failure.step = Step::Unplugged;
        m_backend.fail(failure);
    }

    FtdiBackend &m_backend;
    UsbDevice m_device;
    std::uint16_t m_base;
    const FtdiChip &m_chip;
    FtdiDivisor m_divisor;
    bool m_mpsse;
    std::size_t m_chunk;
    std::uint8_t m_held; // the levels the last byte left on the pins
};

namespace {

constexpr std::string_view BitbangPrefix = "ftdi-bitbang";

bool startsBitbang(const std::string &binding) {
    return binding.starts_with(BitbangPrefix);
}

// The engine's pins, and a clock it can drive: it idles low, so an inverted
// clock line stays on bit-bang.
bool mpssePins(const PinMap &pins) {
    return pins.pinOf(BoardLine::Clock) == 0 && pins.pinOf(BoardLine::Sdi) == 1 &&
           pins.pinOf(BoardLine::Sdo) == 2 && !pins.inverted[std::size_t(BoardLine::Clock)];
}

} // namespace

FtdiBackend::FtdiBackend(std::unique_ptr<FtdiSystem> system, std::string binding, long clockHz)
    : m_system(std::move(system))
    , m_text(std::move(binding))
    , m_bitbangOnly(startsBitbang(m_text))
    , m_binding(
          parseFtdiBinding(m_bitbangOnly ? "ftdi" + m_text.substr(BitbangPrefix.size()) : m_text))
    , m_clockHz(clockHz) {}

FtdiBackend::~FtdiBackend() {
    m_system->close();
}

void FtdiBackend::fail(FtdiFailure failure) {
    // The port may be the caller: it is replaced at the next open, not here.
    m_open = false;
    m_system->close();
    throw PortError(ftdiMessage(failure));
}

UsbDevice FtdiBackend::choose(std::uint16_t base, const UsbDevice *lost) {
    const std::vector<UsbDevice> present = m_system->devices();
    std::vector<UsbDevice> matching;
    for (const UsbDevice &device : present) {
        if (ftdiBindingMatches(m_binding, device))
            matching.push_back(device);
    }
    if (matching.size() == 1) {
        // A console cable's serial port in use: only a binding that names
        // the device means to take it from its program.
        const UsbDevice &device = matching.front();
        std::vector<std::string> users;
        if (!m_binding.namesOne() && !device.tty.empty())
            users = m_system->serialPortUsers(device.tty);
        if (!users.empty()) {
            FtdiFailure failure{Step::Console, base, m_text, {}, device, {}};
            failure.users = users;
            fail(failure);
        }
        return device;
    }
    if (matching.empty() && lost)
        fail({Step::Unplugged, base, m_text, {}, *lost, {}});
    if (matching.empty()) {
        std::vector<UsbDevice> ftdi;
        for (const UsbDevice &device : present) {
            if (device.vendor == FtdiVendor ||
                (m_binding.vendor && device.vendor == *m_binding.vendor))
                ftdi.push_back(device);
        }
        fail({Step::Find, base, m_text, {}, {}, ftdi});
    }
    fail({Step::Choose, base, m_text, {}, {}, matching});
}

void FtdiBackend::setUp(const UsbDevice &device, std::uint16_t base) {
    if (m_system->access(device.node()) < 0 && (errno == EACCES || errno == EPERM))
        fail({Step::Permission, base, m_text, std::strerror(errno), device, {}});
    if (m_system->open(device.bus, device.address) < 0) {
        FtdiFailure failure{Step::Open, base, m_text, m_system->errorText(), device, {}};
        // Who holds it shows in sysfs after the attempt: the kernel's serial
        // driver that would not be detached, or usbfs for another program.
        for (const UsbDevice &now : m_system->devices()) {
            if (now.bus == device.bus && now.address == device.address && !now.driver.empty()) {
                failure.step = Step::Busy;
                failure.device = now;
            }
        }
        fail(failure);
    }

    if (!m_bitbangOnly && chipOrR(device.release).mpsse && mpssePins(m_binding.pins)) {
        setUpMpsse(device, base);
        return;
    }
    auto port = std::make_unique<Port>(*this, device, base, false);
    const FtdiDivisor divisor = port->divisor();
    // The output latch takes the idle levels while every pin is still an
    // input; enabling the outputs then drives select high from the start.
    const std::uint8_t idle = std::uint8_t(m_binding.pins.levelsFor(SelectLine));
    const auto setupFailed = [&] {
        fail({Step::Setup, base, m_text, m_system->errorText(), device, {}});
    };
    if (m_system->setLatencyTimer(LatencyMs) < 0 || m_system->setBitmode(0, FtdiSyncBitbang) < 0 ||
        m_system->setDivisor(divisor.value, divisor.index) < 0 ||
        m_system->setReadChunk(port->readChunk()) < 0 || m_system->flush() < 0)
        setupFailed();
    m_port = std::move(port);
    std::uint8_t sample = 0;
    m_port->transfer(&idle, 1, &sample, 1);
    if (m_system->setBitmode(std::uint8_t(m_binding.pins.outputs()), FtdiSyncBitbang) < 0)
        setupFailed();
}

void FtdiBackend::setUpMpsse(const UsbDevice &device, std::uint16_t base) {
    const auto setupFailed = [&](std::string reason) {
        fail({Step::Engine,
              base,
              m_text,
              reason.empty() ? m_system->errorText() : reason,
              device,
              {}});
    };
    // FTDI's AN_135: reset the mode, then the engine; every pin is an input
    // until the first 80h sets the idle levels and the directions at once,
    // so select never falls.
    if (m_system->setLatencyTimer(LatencyMs) < 0 || m_system->setBitmode(0, FtdiReset) < 0 ||
        m_system->setBitmode(0, FtdiMpsse) < 0 || m_system->flush() < 0)
        setupFailed({});
    m_port = std::make_unique<Port>(*this, device, base, true);
    // A command it does not know comes back as FAh and the command: the
    // engine is listening, and nothing stale is left in its answer.
    const std::uint8_t probe[] = {SyncProbe, SendImmediate};
    std::uint8_t answer[2] = {};
    m_port->transfer(probe, 2, answer, 2);
    if (answer[0] != BadCommand || answer[1] != SyncProbe)
        setupFailed("its serial engine did not answer");
    const MpsseClock clock = mpsseClockFor(m_clockHz);
    const std::uint8_t idle = std::uint8_t(m_binding.pins.levelsFor(SelectLine));
    const std::uint8_t setup[] = {clock.divideBy5 ? DivideBy5On : DivideBy5Off,
                                  ThreePhaseOff,
                                  LoopbackOff,
                                  ClockDivisor,
                                  std::uint8_t(clock.divisor),
                                  std::uint8_t(clock.divisor >> 8),
                                  SetLowPins,
                                  idle,
                                  std::uint8_t(m_binding.pins.outputs())};
    m_port->transfer(setup, int(sizeof setup), nullptr, 0);
}

// The port's handle: the adapter's, looked for afresh at the start of a run
// that finds it unplugged since the lines were left idle. Callers keep the
// handle across frames (serve does), so this is where a replug is seen.
class FtdiBackend::Frames final : public TransferPort {
public:
    Frames(FtdiBackend &backend, std::uint16_t base)
        : m_backend(backend)
        , m_base(base) {}

    void run(std::span<const PinStep> steps, std::span<std::uint8_t> statuses) override {
        // A handle kept past a failure, which closed the adapter: opened anew,
        // as open() would.
        if (!m_backend.m_open)
            m_backend.openAt(m_base);
        if (m_idle && !m_backend.m_system->stillPlugged(m_backend.m_port->device())) {
            // Unplugged between two frames, and perhaps plugged in again: no
            // frame was under way, so look for it afresh rather than fail one.
            const UsbDevice lost = m_backend.m_port->device();
            m_backend.m_open = false;
            m_backend.m_system->close();
            m_backend.setUp(m_backend.choose(m_base, &lost), m_base);
            m_backend.m_open = true;
        }
        m_backend.m_port->run(steps, statuses);
        for (const PinStep &step : steps) {
            if (step.kind == PinStep::Kind::Write)
                m_idle = (step.data & SelectLine) != 0;
        }
    }
    bool keepsLinesBetweenRuns() const override {
        return m_backend.m_port->keepsLinesBetweenRuns();
    }
    bool isHardware() const override { return m_backend.m_port->isHardware(); }

private:
    FtdiBackend &m_backend;
    std::uint16_t m_base;
    bool m_idle = true; // the last run left select high
};

void FtdiBackend::openAt(std::uint16_t base) {
    setUp(choose(base, nullptr), base);
    m_open = true;
    if (!m_frames)
        m_frames = std::make_unique<Frames>(*this, base);
}

ParallelPort &FtdiBackend::open(PortRegisters registers) {
    if (!m_open)
        openAt(registers.data);
    return *m_frames;
}

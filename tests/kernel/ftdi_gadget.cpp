// An FT232R, or an FT232H, emulated in userspace for the kernel tests: a
// FunctionFS gadget on dummy_hcd (the init script sets up 0403:6001,
// bcdDevice 0600h at full speed, or 0403:6014, 0900h at high speed) that
// answers the vendor requests libftdi and ftdi_sio send, and runs the
// simulated board behind the chip's pins. What it models, from FTDI's
// documents (AN232R-01, the FT232R data sheet) and the request codes both
// drivers use:
//   - synchronous bit-bang (SET_BITMODE mode 04h): each byte written drives
//     the output pins, and the pins are sampled just before that byte takes
//     effect;
//   - CBUS bit-bang (mode 20h, value = directions << 4 | levels) and
//     READ_PINS, which ftdi_sio's GPIO chip uses; READ_EEPROM answers the
//     CBUS configuration (word 0Ah);
//   - the programmed rate: SET_BAUDRATE's divisor (14 integer bits, the
//     fraction coded in value bits 14-15 and index bit 0: AN232B-05, Linux's
//     ftdi_sio.c) clocks a pin byte every divisor / 48 MHz, 16 per baud tick
//     (AN232R-01; scope measurements on openschemes.com), and no byte takes
//     effect sooner than that after the one before;
//   - the samples go back in 64-byte packets, each headed by two modem-status
//     bytes: a full one (62 samples) at once, one that is not full when the
//     latency timer runs out (the data sheet; the status-only packets the
//     chip sends with nothing to say are left out, as libftdi discards them);
//   - an output latch apart from the directions: pins that are inputs float
//     to their pull-ups (high);
//   - the FT232H: 512-byte packets at high speed, bit-bang at 60 MHz /
//     divisor with the 120 MHz / 10 switch (index bit 9; pyftdi's ratio of 5
//     to the 12 MHz reference), and its serial engine (SET_BITMODE 02h) with
//     the commands the back end uses (tests/support/mpsse_engine.h), clocked
//     at the engine's rate; an answer goes at send-immediate (87h).
//
// ftdi_gadget FFS_DIR adbus|cbus|ft232h SELECT,CLOCK,SDI,SDO [gpio]
//   The board hangs on those pins of the chosen bank (ft232h: the FT232H's
//   ADBUS), '~' before a pin for a line through an inverter; "gpio" makes the
//   EEPROM give CBUS0..3 to GPIO.
//   Prints one line per frame the board latches and per mode change.
#include "link/simulated_board.h"
#include "link/wiring.h"
#include "support/mpsse_engine.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <endian.h>
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <unistd.h>

namespace {

int Packet = 64; // full speed; 512 for the FT232H
bool ft232h = false;
constexpr std::uint8_t ModemStatus[2] = {0x01, 0x60};

struct Wiring {
    bool cbus = false;
    int pin[4] = {};
    bool inverted[4] = {};
};

struct Chip {
    std::mutex lock;
    std::condition_variable samplesWaiting;
    SimulatedBoard board;
    Wiring wiring;
    std::uint16_t cbusConfig = 0;
    std::uint8_t mode = 0, latch = 0, directions = 0, cbus = 0;
    int latency = 16;
    double rate = 48e6 / 312.5; // pin bytes a second: 9600 baud at reset
    std::chrono::steady_clock::time_point busyUntil, lastPacket;
    std::deque<std::uint8_t> samples;
    long framesSeen = 0;
    bool selected = false;
    long selectFalls = 0;
    long purges = 0; // samples in flight to the host before a purge are dropped
    long sdiChangesSeen = 0;
    long latencyWaits = 0; // packets sent only when the latency timer ran out
    MpsseEngine engine;
    long engineBits = 0, sendImmediatesSeen = 0;
    double engineClock = 0;

    // The level of pin n of a bank as the chip reads it.
    bool level(bool cbusBank, int n) {
        const std::uint8_t dirs = cbusBank ? std::uint8_t(cbus >> 4) : directions;
        const std::uint8_t levels = cbusBank ? std::uint8_t(cbus & 0x0F) : latch;
        if (dirs & (1 << n))
            return levels & (1 << n);
        if (cbusBank == wiring.cbus && n == wiring.pin[3])
            return board.sdo() != wiring.inverted[3];
        return true; // pull-up
    }
    std::uint8_t pins(bool cbusBank) {
        std::uint8_t byte = 0;
        for (int n = 0; n < (cbusBank ? 4 : 8); ++n)
            byte |= std::uint8_t(level(cbusBank, n) << n);
        return byte;
    }
    // Hands the driven levels to the board's select, clock and SDI inputs.
    void drive() {
        const std::uint8_t lines[3] = {SelectLine, ClockLine, SdiLine};
        std::uint8_t data = 0;
        for (int n = 0; n < 3; ++n) {
            if (level(wiring.cbus, wiring.pin[n]) != wiring.inverted[n])
                data |= lines[n];
        }
        selectFalls += !(data & SelectLine) && !selected;
        selected = !(data & SelectLine);
        board.writeData(data);
        if (board.frames() != framesSeen) {
            // What a real chip minds inside the frame just latched.
            std::printf("frame %ld: word %04X; select has fallen %ld times; SDI changes at a "
                        "rising clock: %ld; packets that waited for the latency timer: %ld\n",
                        board.frames(), board.controlWord(), selectFalls,
                        board.sdiChangesAtRisingClock() - sdiChangesSeen, latencyWaits);
            latencyWaits = 0;
            framesSeen = board.frames();
            sdiChangesSeen = board.sdiChangesAtRisingClock();
        }
    }
};

Chip chip;
int ep0 = -1, epIn = -1, epOut = -1;

void answer(const usb_ctrlrequest &setup) {
    const unsigned value = le16toh(setup.wValue), index = le16toh(setup.wIndex);
    const unsigned length = le16toh(setup.wLength);
    std::uint8_t reply[64] = {};
    {
        std::lock_guard guard(chip.lock);
        switch (setup.bRequest) {
        case 0x00: // reset; 1 and 2 purge the buffers
            if (value != 0) {
                chip.samples.clear();
                ++chip.purges;
            }
            break;
        case 0x03: {                                             // set baud rate
            constexpr int Eighths[8] = {0, 4, 2, 1, 3, 5, 6, 7}; // by fraction code
            // The FT232H takes the divisor's top bits in the index's high byte.
            const unsigned top = ft232h ? index >> 8 : index;
            const unsigned code = (value >> 14) | (top & 1) << 2;
            double divisor = (value & 0x3FFF) + Eighths[code] / 8.0;
            divisor = divisor == 0 ? 1 : divisor == 1 ? 1.5 : divisor;
            chip.rate = (top & 2 ? 60e6 : 48e6) / divisor;
            std::printf("baud divisor %04X %04X: %.0f pin bytes a second\n", value, index,
                        chip.rate);
            break;
        }
        case 0x05: // poll modem status
            std::memcpy(reply, ModemStatus, 2);
            break;
        case 0x09: // set latency timer
            chip.latency = int(value & 0xFF);
            std::printf("latency timer %d ms\n", chip.latency);
            break;
        case 0x0A: // get latency timer
            reply[0] = std::uint8_t(chip.latency);
            break;
        case 0x0B: // set bit mode
            chip.mode = std::uint8_t(value >> 8);
            if (chip.mode == 0x02)
                chip.engine.directions = 0; // every pin an input until 80h
            if (chip.mode == 0x20)
                chip.cbus = std::uint8_t(value);
            else
                chip.directions = chip.mode == 0 ? 0 : std::uint8_t(value);
            std::printf("bit mode %02X, pins %02X\n", chip.mode, value & 0xFF);
            chip.drive();
            break;
        case 0x0C: // read pins
            reply[0] = chip.pins(chip.mode == 0x20);
            break;
        case 0x90: // read EEPROM word
            if (index == 0x0A) {
                reply[0] = std::uint8_t(chip.cbusConfig);
                reply[1] = std::uint8_t(chip.cbusConfig >> 8);
            }
            break;
        default:
            break;
        }
    }
    if (setup.bRequestType & USB_DIR_IN)
        (void)!write(ep0, reply, std::min<unsigned>(length, sizeof reply));
    else
        (void)!read(ep0, reply, std::min<unsigned>(length, sizeof reply));
}

// Host to chip: each byte in synchronous bit-bang is sampled, then applied.
void takeBytes() {
    std::uint8_t buffer[512];
    for (;;) {
        const ssize_t count = read(epOut, buffer, sizeof buffer);
        if (count <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        std::vector<std::uint8_t> sampled;
        std::chrono::steady_clock::time_point done;
        {
            std::lock_guard guard(chip.lock);
            double seconds = double(count) / chip.rate;
            if (chip.mode == 0x02 && ft232h) {
                chip.engineBits = 0;
                const long refused = chip.engine.refused;
                sampled = chip.engine.take(buffer, std::size_t(count));
                if (chip.engine.refused != refused)
                    std::printf("the engine refused a command: %02X\n", sampled.back());
                if (chip.engine.clockHz() != chip.engineClock)
                    std::printf("engine clock %.0f Hz\n", chip.engineClock = chip.engine.clockHz());
                seconds = double(chip.engineBits) / chip.engine.clockHz();
            }
            for (ssize_t n = 0; n < count && chip.mode != 0x02; ++n) {
                if (chip.mode == 0x04)
                    sampled.push_back(chip.pins(false));
                if (chip.mode == 0x01 || chip.mode == 0x04) {
                    chip.latch = buffer[n];
                    chip.drive();
                }
            }
            // The bytes take effect one per period of the programmed rate,
            // the engine's bits one per period of its clock.
            done = std::max(chip.busyUntil, std::chrono::steady_clock::now()) +
                   std::chrono::nanoseconds(long(1e9 * seconds));
            chip.busyUntil = done;
        }
        std::this_thread::sleep_until(done);
        std::lock_guard guard(chip.lock);
        chip.samples.insert(chip.samples.end(), sampled.begin(), sampled.end());
        chip.samplesWaiting.notify_all();
    }
}

// Chip to host: the full packets as soon as they are, or the samples there
// are once the latency timer has run out since the last packet.
void sendSamples() {
    for (;;) {
        std::string packets;
        long purges = 0;
        {
            std::unique_lock guard(chip.lock);
            chip.samplesWaiting.wait(guard, [] { return !chip.samples.empty(); });
            const auto sendNow = [] {
                return chip.samples.size() >= std::size_t(Packet - 2) ||
                       chip.engine.sendImmediates != chip.sendImmediatesSeen;
            };
            chip.samplesWaiting.wait_until(
                guard, chip.lastPacket + std::chrono::milliseconds(chip.latency), sendNow);
            std::size_t take = chip.samples.size();
            if (take >= std::size_t(Packet - 2))
                take -= take % std::size_t(Packet - 2);
            else if (!sendNow())
                ++chip.latencyWaits;
            chip.sendImmediatesSeen = chip.engine.sendImmediates;
            while (take > 0) {
                const std::size_t part = std::min<std::size_t>(take, std::size_t(Packet - 2));
                packets.append(reinterpret_cast<const char *>(ModemStatus), 2);
                packets.append(chip.samples.begin(), chip.samples.begin() + long(part));
                chip.samples.erase(chip.samples.begin(), chip.samples.begin() + long(part));
                take -= part;
            }
            purges = chip.purges;
        }
        while (!packets.empty() && write(epIn, packets.data(), packets.size()) < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            std::lock_guard guard(chip.lock);
            if (chip.purges != purges)
                break;
        }
        std::lock_guard guard(chip.lock);
        chip.lastPacket = std::chrono::steady_clock::now();
    }
}

bool parseWiring(const char *bank, const char *text, Wiring &wiring) {
    wiring.cbus = std::strcmp(bank, "cbus") == 0;
    ft232h = std::strcmp(bank, "ft232h") == 0;
    for (int n = 0; n < 4; ++n) {
        wiring.inverted[n] = *text == '~';
        text += wiring.inverted[n];
        char *end = nullptr;
        wiring.pin[n] = int(std::strtol(text, &end, 10));
        if (end == text || *end != (n == 3 ? '\0' : ','))
            return false;
        text = end + 1;
    }
    return true;
}

struct Endpoints {
    usb_interface_descriptor interface;
    usb_endpoint_descriptor_no_audio in, out;
} __attribute__((packed));

// Full-speed and high-speed descriptors; the gadget's max_speed (set by
// usb_gadget.sh) keeps the FT232R at full speed.
struct Descriptors {
    usb_functionfs_descs_head_v2 head;
    __le32 fsCount, hsCount;
    Endpoints fs, hs;
} __attribute__((packed));

struct Strings {
    usb_functionfs_strings_head head;
    __le16 language;
    char text[sizeof "FT232R USB UART"];
} __attribute__((packed));

Endpoints endpoints(int packet) {
    return {{USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 2, 0xFF, 0xFF, 0xFF, 1},
            {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, 1 | USB_DIR_IN, USB_ENDPOINT_XFER_BULK,
             htole16(std::uint16_t(packet)), 0},
            {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, 2 | USB_DIR_OUT, USB_ENDPOINT_XFER_BULK,
             htole16(std::uint16_t(packet)), 0}};
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 4 || !parseWiring(argv[2], argv[3], chip.wiring)) {
        std::fprintf(stderr, "usage: %s FFS_DIR adbus|cbus|ft232h SELECT,CLOCK,SDI,SDO [gpio]\n",
                     argv[0]);
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    chip.cbusConfig = argc > 4 && std::strcmp(argv[4], "gpio") == 0 ? 0xAAAA : 0x0000;
    const std::string dir = argv[1];
    ep0 = open((dir + "/ep0").c_str(), O_RDWR);
    if (ep0 < 0) {
        std::perror("ep0");
        return 1;
    }

    const Descriptors descriptors{
        {htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2), htole32(sizeof(Descriptors)),
         htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC | FUNCTIONFS_ALL_CTRL_RECIP)},
        htole32(3),
        htole32(3),
        endpoints(64),
        endpoints(512)};
    if (ft232h) {
        Packet = 512;
        chip.engine.drive = [](std::uint8_t) {
            chip.latch = chip.engine.levels;
            chip.directions = chip.engine.directions;
            chip.drive();
        };
        chip.engine.sample = [] { return chip.pins(false); };
        chip.engine.tick = [] { ++chip.engineBits; };
    }
    Strings strings{
        {htole32(FUNCTIONFS_STRINGS_MAGIC), htole32(sizeof strings), htole32(1), htole32(1)},
        htole16(0x0409),
        "FT232R USB UART"};
    if (write(ep0, &descriptors, sizeof descriptors) < 0 ||
        write(ep0, &strings, sizeof strings) < 0) {
        std::perror("descriptors");
        return 1;
    }
    epIn = open((dir + "/ep1").c_str(), O_RDWR);
    epOut = open((dir + "/ep2").c_str(), O_RDWR);
    if (epIn < 0 || epOut < 0) {
        std::perror("endpoints");
        return 1;
    }
    // Plugged in, the chip's pins float to their pull-ups: the board's
    // inputs start there, and its counts from there.
    chip.drive();
    chip.framesSeen = chip.board.frames();
    chip.selectFalls = 0;
    chip.sdiChangesSeen = chip.board.sdiChangesAtRisingClock();
    std::printf("ready: board on %s\n", argv[3]);
    std::thread(takeBytes).detach();
    std::thread(sendSamples).detach();

    usb_functionfs_event events[4];
    for (;;) {
        const ssize_t got = read(ep0, events, sizeof events);
        if (got < 0)
            continue;
        for (ssize_t n = 0; n < got / ssize_t(sizeof events[0]); ++n) {
            if (events[n].type == FUNCTIONFS_SETUP)
                answer(events[n].u.setup);
            if (events[n].type == FUNCTIONFS_DISABLE) {
                // Unplugged: the chip loses power and its pins float.
                std::lock_guard guard(chip.lock);
                chip.mode = chip.directions = chip.cbus = 0;
                chip.samples.clear();
                ++chip.purges;
                chip.drive();
            }
        }
    }
}

#include "link/frame_trace.h"
#include "link/frame_transfer.h"
#include "link/ftdi_backend.h"
#include "link/gpio_backend.h"
#include "link/lan_backend.h"
#include "link/simulated_board.h"
#include "support/mpsse_engine.h"

#include <QTemporaryDir>
#include <QTest>

#include <QStandardPaths>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>

namespace {

// The simulated board wired to four pins of an adapter (select, clock, SDI,
// SDO), select through an inverter where asked; counts the falls of select,
// which a frame has one of and opening an adapter none.
struct WiredBoard {
    explicit WiredBoard(std::array<unsigned, 4> pins, bool inverted = false)
        : pin(pins)
        , invertedSelect(inverted) {}

    std::array<unsigned, 4> pin;
    bool invertedSelect;
    SimulatedBoard board;
    bool selected = false;
    long selectFalls = 0;
    FrameTrace *trace = nullptr; // records the lines as the board sees them

    void drive(std::uint32_t levels) {
        const auto at = [&](int line) { return ((levels >> pin[std::size_t(line)]) & 1) != 0; };
        const bool select = at(0) != invertedSelect;
        selectFalls += !select && !selected;
        selected = !select;
        const std::uint8_t data = std::uint8_t((select ? SelectLine : 0) | (at(1) ? ClockLine : 0) |
                                               (at(2) ? SdiLine : 0));
        if (trace)
            trace->dataWritten(0, data);
        board.writeData(data);
    }
};

// The 16-bit words sigrok-cli's SPI decoder reads on the SDI line of a
// trace, in hexadecimal; empty without sigrok-cli.
std::string wordsOnSdi(const QString &trace) {
    const std::string command = "sigrok-cli -I vcd -i '" + trace.toStdString() +
                                "' -P spi:clk=clock:mosi=sdi:cs=select:cs_polarity=active-low:"
                                "cpol=0:cpha=0:wordsize=16 -B spi=mosi 2>/dev/null";
    std::string words;
    if (std::FILE *decoder = popen(command.c_str(), "r")) {
        for (int byte; (byte = std::fgetc(decoder)) != EOF;) {
            words += "0123456789abcdef"[(byte >> 4) & 0xF];
            words += "0123456789abcdef"[byte & 0xF];
        }
        pclose(decoder);
    }
    return words;
}

// An FT232R as FTDI documents synchronous bit-bang: each byte written is
// sampled (the pins just before it takes effect), then drives the output
// pins; inputs float high; the samples come back in pieces; a write beyond
// the 128-byte FIFO before its samples are read stalls, and so does one to a
// device that has left its address (unplugged, perhaps plugged in again). In
// MPSSE mode (an H chip) the bytes go to the serial engine instead, and its
// answers come back.
class FakeFtdi : public FtdiSystem {
public:
    WiredBoard wired{{3, 0, 1, 2}};
    std::vector<UsbDevice> present{
        {FtdiVendor, 0x6001, 0x0600, "A1", "FT232R", 1, 4, "1-1:1.0", ""}};
    int accessErrno = 0, openResult = 0, opened = 0;
    bool stalled = false;
    std::string driverAfterOpen;
    std::vector<std::string> ttyUsers; // of every serial port
    std::uint8_t latch = 0, outputs = 0, mode = 0;
    std::deque<std::uint8_t> samples;
    std::uint16_t divisorValue = 0, divisorIndex = 0;
    std::vector<int> writes; // the size of each write
    MpsseEngine engine;

    FakeFtdi() {
        engine.drive = [this](std::uint8_t levels) {
            latch = levels;
            outputs = engine.directions;
            wired.drive(pins());
        };
        engine.sample = [this] { return pins(); };
    }

    std::uint8_t pins() const {
        const std::uint8_t sdo = wired.board.sdo() ? 0xFF : std::uint8_t(~(1u << wired.pin[3]));
        return std::uint8_t((latch & outputs) | (~outputs & sdo));
    }
    std::vector<UsbDevice> devices() override { return present; }
    int access(const std::string &) override { return (errno = accessErrno) ? -1 : 0; }
    int open(int, int address) override {
        for (UsbDevice &device : present)
            device.driver = driverAfterOpen;
        opened = address;
        return openResult;
    }
    bool stillPlugged(const UsbDevice &device) override { return at(device.address); }
    std::vector<std::string> serialPortUsers(const std::string &) override { return ttyUsers; }
    const UsbDevice *at(int address) const {
        const auto device = std::find_if(present.begin(), present.end(),
                                         [&](const UsbDevice &d) { return d.address == address; });
        return device == present.end() ? nullptr : &*device;
    }
    int setBitmode(std::uint8_t mask, std::uint8_t bitMode) override {
        mode = bitMode;
        outputs = bitMode == FtdiMpsse ? 0 : mask;
        wired.drive(pins());
        return 0;
    }
    int setDivisor(std::uint16_t value, std::uint16_t index) override {
        divisorValue = value;
        divisorIndex = index;
        return 0;
    }
    int setLatencyTimer(int) override { return 0; }
    int setReadChunk(int) override { return 0; }
    int flush() override { return 0; }
    int write(const std::uint8_t *bytes, int count) override {
        writes.push_back(count);
        if (!at(opened) || stalled)
            return -1;
        if (mode == FtdiMpsse) {
            const std::vector<std::uint8_t> answer = engine.take(bytes, std::size_t(count));
            samples.insert(samples.end(), answer.begin(), answer.end());
            return count;
        }
        if (samples.size() + std::size_t(count) > ftdiChunkFor(at(opened)->release))
            return -1;
        for (int n = 0; n < count; ++n) {
            samples.push_back(pins());
            latch = bytes[n];
            wired.drive(pins());
        }
        return count;
    }
    int read(std::uint8_t *bytes, int count) override {
        const int got = std::min({count, 5, int(samples.size())});
        std::copy_n(samples.begin(), got, bytes);
        samples.erase(samples.begin(), samples.begin() + got);
        return got;
    }
    std::string errorText() override { return "usb bulk write failed"; }
    void close() override {}
};

// The kernel's GPIO character device with one 4-line chip, modelled on
// gpiolib's uAPI v2: a line with a consumer is busy; a request's lines take
// the config's flags unless an attribute's mask names them, and its outputs
// the values asked; values go by the request's line order. A pull-up asks the
// driver, whose ENOTSUPP gpiolib passes over and whose other errors fail the
// request (gpio_set_bias, drivers/gpio/gpiolib.c); an input left floating
// reads noise.
class FakeGpio : public GpioSystem {
public:
    WiredBoard wired{{0, 1, 2, 3}};
    std::array<std::string, 4> names{"CS", "SCK", "MOSI", "MISO"}, consumers;
    int openErrno = 0, biasErrno = 0, failChange = -1;
    bool gone = false, boardAttached = true, pulledUp = false, noise = false; // floating: noise
    std::array<unsigned, 4> requested{};
    std::uint64_t outputs = 0, levels = 0;      // by request order
    std::vector<std::chrono::nanoseconds> gaps; // from each pin change to the wait after it
    std::chrono::steady_clock::time_point changed;
    int changes = 0;

    std::vector<std::string> chipPaths() override {
        return gone ? std::vector<std::string>{} : std::vector<std::string>{"/dev/gpiochip0"};
    }
    int open(const std::string &) override { return (errno = openErrno) ? -1 : 3; }
    int chipInfo(int, gpiochip_info &info) override {
        info = {"gpiochip0", "ftdi-cbus", 4};
        return 0;
    }
    int lineInfo(int, gpio_v2_line_info &info) override {
        std::strcpy(info.name, names.at(info.offset).c_str());
        std::strcpy(info.consumer, consumers.at(info.offset).c_str());
        info.flags = consumers[info.offset].empty() ? 0 : GPIO_V2_LINE_FLAG_USED;
        return 0;
    }
    int requestLines(int, gpio_v2_line_request &request) override {
        for (unsigned n = 0; n < request.num_lines; ++n) {
            if (!consumers.at(request.offsets[n]).empty())
                return (errno = EBUSY), -1;
            requested[n] = request.offsets[n];
        }
        outputs = request.config.flags & GPIO_V2_LINE_FLAG_OUTPUT ? 0xF : 0;
        pulledUp = false;
        for (unsigned n = 0; n < request.config.num_attrs; ++n) {
            const gpio_v2_line_config_attribute &attribute = request.config.attrs[n];
            const bool pullUp = attribute.attr.flags & GPIO_V2_LINE_FLAG_BIAS_PULL_UP;
            if (pullUp && biasErrno != 0 && biasErrno != 524)
                return (errno = biasErrno), -1;
            pulledUp = pulledUp || (pullUp && biasErrno == 0);
            if (attribute.attr.id == GPIO_V2_LINE_ATTR_ID_FLAGS)
                outputs = attribute.attr.flags & GPIO_V2_LINE_FLAG_OUTPUT
                              ? outputs | attribute.mask
                              : outputs & ~attribute.mask;
            if (attribute.attr.id == GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES)
                set(attribute.attr.values, attribute.mask);
        }
        request.fd = 4;
        return 0;
    }
    int setValues(int, gpio_v2_line_values &values) override {
        if (gone)
            return (errno = ENODEV), -1;
        if (changes == failChange)
            return (errno = EIO), -1;
        set(values.bits, values.mask);
        ++changes;
        changed = std::chrono::steady_clock::now();
        return 0;
    }
    int getValues(int, gpio_v2_line_values &values) override {
        values.bits = levels & outputs;
        for (unsigned n = 0; n < 4; ++n) {
            const bool floating = requested[n] != wired.pin[3] || !boardAttached;
            if (!(outputs >> n & 1) &&
                (floating ? pulledUp || (noise = !noise) : wired.board.sdo()))
                values.bits |= 1u << n;
        }
        return 0;
    }
    int close(int) override { return 0; }
    void waitUntil(std::chrono::steady_clock::time_point time) override {
        if (changes > 0)
            gaps.push_back(time - changed);
    }

private:
    void set(std::uint64_t bits, std::uint64_t mask) {
        levels = (levels & ~mask) | (bits & mask & outputs);
        std::uint32_t pins = 0;
        for (unsigned n = 0; n < 4; ++n)
            pins |= std::uint32_t((levels >> n) & 1) << requested[n];
        wired.drive(pins);
    }
};

// Frames of 8112h and 1234h in one run (more than an FT232R's FIFO), then
// one of 5678h in three runs, its first read alone, as a command that stops
// inside the select window does, then a run that ends with a read just
// after a falling clock (which shifts 5678h to ACF0h); returns the three
// words read back and that sample, as a status byte.
std::array<std::uint16_t, 4> runFrames(ParallelPort &port) {
    const Frame first = frameFor(0x8112), second = frameFor(0x1234), third = frameFor(0x5678);
    std::vector<PinStep> steps(first.begin(), first.end());
    steps.insert(steps.end(), second.begin(), second.end());
    std::array<std::uint8_t, 32> statuses{};
    port.run(steps, statuses);
    FrameStatuses split{};
    port.run(std::span(third).first(4), {});
    port.run(std::span(third).subspan(4, 1), std::span(split).first(1));
    port.run(std::span(third).subspan(5), std::span(split).subspan(1));
    FrameStatuses one{}, two{};
    std::copy_n(statuses.begin(), 16, one.begin());
    std::copy_n(statuses.begin() + 16, 16, two.begin());
    const PinStep shift[] = {{PinStep::Kind::Write, 0},
                             {PinStep::Kind::Write, ClockLine},
                             {PinStep::Kind::Write, 0},
                             {PinStep::Kind::Read}};
    std::uint8_t afterFall = 0;
    port.run(shift, {&afterFall, 1});
    return {readBackOf(one), readBackOf(two), readBackOf(split), afterFall};
}

// What frames on a binding come to: "opened PORT" for the device the last
// one went to, or the port error's message. between runs after the first.
QString ftdiOutcome(const char *binding, const std::function<void(FakeFtdi &)> &setUp,
                    const std::function<void(FakeFtdi &)> &between = {}) {
    auto owned = std::make_unique<FakeFtdi>();
    FakeFtdi &chip = *owned;
    setUp(chip);
    FtdiBackend backend(std::move(owned), binding, 100'000);
    try {
        sendWord(backend, {0x378, 0x379}, 1);
        if (between) {
            between(chip);
            sendWord(backend, {0x378, 0x379}, 2);
        }
    } catch (const PortError &error) {
        return QString::fromStdString(error.what());
    }
    return "opened " + QString::fromStdString(chip.at(chip.opened)->port());
}

QString portErrorOf(PortBackend &backend) {
    try {
        sendWord(backend, {0x378, 0x379}, 1);
    } catch (const PortError &error) {
        return QString::fromStdString(error.what());
    }
    return {};
}

} // namespace

class AdaptersTest : public QObject {
    Q_OBJECT

private slots:
    void ftdiFramesEcho_data();
    void ftdiFramesEcho();
    void ftdiDivisor_data();
    void ftdiDivisor();
    void gpioFramesEcho_data();
    void gpioFramesEcho();
    void ftdiSelection_data();
    void ftdiSelection();
    void usbDevicesFromSysfs();
    void remedies_data();
    void remedies();
    void lanInstrumentsAnnounced();
};

void AdaptersTest::ftdiFramesEcho_data() {
    QTest::addColumn<QString>("binding");
    QTest::addColumn<std::uint16_t>("release");
    QTest::addColumn<bool>("invertedSelect");
    QTest::addColumn<long>("fallsAtOpening");
    QTest::addColumn<bool>("engine");
    QTest::newRow("FT232R, default pins")
        << "ftdi" << std::uint16_t(0x0600) << false << 0L << false;
    // Floating, the select pin selects the chip through the inverter until
    // the outputs are enabled.
    QTest::newRow("FT232R, other pins, select inverted")
        << "ftdi@~D7,D4,ADBUS5,6" << std::uint16_t(0x0600) << true << 1L << false;
    QTest::newRow("FT232H, its engine") << "ftdi" << std::uint16_t(0x0900) << false << 0L << true;
    QTest::newRow("FT2232H, its engine, select inverted")
        << "ftdi@~D3,D0,D1,D2" << std::uint16_t(0x0700) << true << 1L << true;
    QTest::newRow("FT232H, bit-bang asked for")
        << "ftdi-bitbang" << std::uint16_t(0x0900) << false << 0L << false;
    QTest::newRow("FT232H, other pins: bit-bang")
        << "ftdi@D3,D0,D1,D4" << std::uint16_t(0x0900) << false << 0L << false;
}

void AdaptersTest::ftdiFramesEcho() {
    QFETCH(QString, binding);
    QFETCH(std::uint16_t, release);
    QFETCH(bool, invertedSelect);
    QFETCH(long, fallsAtOpening);
    QFETCH(bool, engine);
    auto owned = std::make_unique<FakeFtdi>();
    FakeFtdi &chip = *owned;
    chip.present[0].release = release;
    // FTDI's own example of synchronous bit-bang: pins at FFh, 55h and AAh
    // written, FFh and 55h read.
    chip.open(1, 4);
    chip.outputs = chip.latch = 0xFF;
    const std::uint8_t example[] = {0x55, 0xAA};
    std::uint8_t sampled[2] = {};
    chip.write(example, 2);
    QCOMPARE(chip.read(sampled, 2), 2);
    QVERIFY(sampled[0] == 0xFF && sampled[1] == 0x55);
    chip.outputs = chip.latch = 0;
    const std::array<unsigned, 4> pins = binding.contains("D7")   ? std::array{7u, 4u, 5u, 6u}
                                         : binding.contains("D4") ? std::array{3u, 0u, 1u, 4u}
                                                                  : std::array{3u, 0u, 1u, 2u};
    chip.wired = WiredBoard(pins, invertedSelect);
    const QTemporaryDir dir;
    const QString tracePath = dir.filePath("lines.vcd");
    std::optional<FrameTrace> trace(std::in_place, tracePath.toStdString(),
                                    FrameTrace::Time::FixedStep);
    chip.wired.trace = &*trace;

    FtdiBackend backend(std::move(owned), binding.toStdString(), 100'000);
    ParallelPort &port = backend.open({0x378, 0x379});
    QCOMPARE(chip.mode, engine ? FtdiMpsse : FtdiSyncBitbang);
    QCOMPARE(chip.wired.selectFalls, fallsAtOpening);
    chip.writes.clear();
    const auto readBack = runFrames(port);
    QCOMPARE(readBack, (std::array<std::uint16_t, 4>{0x0000, 0x8112, 0x1234, statusForSdo(1)}));
    QCOMPARE(chip.wired.board.controlWord(), 0x5678);
    QCOMPARE(chip.wired.selectFalls, fallsAtOpening + 4);
    QCOMPARE(chip.engine.refused, engine ? 1L : 0L); // the probe at opening, no other
    // The lines the board saw decode, as a frame trace does, to each frame's
    // read phase (SDI low) and its word, whichever way the chip clocked them.
    chip.wired.trace = nullptr;
    trace.reset();
    if (QStandardPaths::findExecutable("sigrok-cli").isEmpty())
        QSKIP("sigrok-cli is not installed (scripts/common.sh installs it)");
    QCOMPARE(wordsOnSdi(tracePath), std::string("000081120000123400005678"));
    if (engine) {
        // A frame is one command buffer; the engine runs the clock asked.
        QCOMPARE(chip.writes.size(), std::size_t(5));
        QCOMPARE(chip.engine.clockHz(), 100'000.0);
    } else if (release == 0x0600) {
        // Whole packets of 62 samples: none waits for the latency timer.
        for (const int size : chip.writes)
            QVERIFY2(size % 62 == 0, qPrintable(QString::number(size)));
    }
}

void AdaptersTest::ftdiDivisor_data() {
    QTest::addColumn<std::uint16_t>("release");
    QTest::addColumn<long>("clockHz");
    QTest::addColumn<std::uint16_t>("value");
    QTest::addColumn<std::uint16_t>("index");
    QTest::addColumn<int>("repeat");
    // Pin bytes at 48 MHz / divisor (FT232R, FT2232C/D, BM) or 60 MHz /
    // divisor (the H chips, the 120 MHz / 10 switch in index bit 9); three
    // fraction bits coded 0, 3, 2, 4, 1, 5, 6, 7 for eighths 0 to 7 in bits 14
    // to 16; the channel in the index's low byte on the FT2232C and H chips.
    const auto row = [](const char *name, std::uint16_t release, long hz, int value, int index,
                        int repeat) {
        QTest::newRow(name) << release << hz << std::uint16_t(value) << std::uint16_t(index)
                            << repeat;
    };
    row("FT232R 100 Hz: 16000, 15 times each", 0x0600, 100, 0x3E80, 0x0000, 15);
    row("FT232R 7 kHz: 3428.625, fraction bit in index", 0x0600, 7'000, 0x4D64, 0x0001, 1);
    row("FT232R 10 kHz: 2400", 0x0600, 10'000, 0x0960, 0x0000, 1);
    row("FT232R 100 kHz: 240", 0x0600, 100'000, 0x00F0, 0x0000, 1);
    row("FT232R top, 3 MHz: 8", 0x0600, 3'000'000, 0x0008, 0x0000, 1);
    row("FT232R above the top: 8", 0x0600, 10'000'000, 0x0008, 0x0000, 1);
    row("FT2232C 100 Hz: 16000, 15 times each", 0x0500, 100, 0x3E80, 0x0001, 15);
    row("FT2232C 7 kHz: fraction bit in index's high byte", 0x0500, 7'000, 0x4D64, 0x0101, 1);
    row("FT2232C 10 kHz: 2400", 0x0500, 10'000, 0x0960, 0x0001, 1);
    row("FT2232C 100 kHz: 240", 0x0500, 100'000, 0x00F0, 0x0001, 1);
    row("FT2232C top, 3 MHz: 8", 0x0500, 3'000'000, 0x0008, 0x0001, 1);
    row("FT232H 100 Hz: 15789.5, 19 times each", 0x0900, 100, 0x7DAD, 0x0201, 19);
    row("FT232H 10 kHz: 3000", 0x0900, 10'000, 0x0BB8, 0x0201, 1);
    row("FT232H 100 kHz: 300", 0x0900, 100'000, 0x012C, 0x0201, 1);
    row("FT2232H top, 15 MHz: 2", 0x0700, 15'000'000, 0x0002, 0x0201, 1);
}

void AdaptersTest::ftdiDivisor() {
    QFETCH(std::uint16_t, release);
    QFETCH(long, clockHz);
    QFETCH(std::uint16_t, value);
    QFETCH(std::uint16_t, index);
    QFETCH(int, repeat);
    auto owned = std::make_unique<FakeFtdi>();
    FakeFtdi &chip = *owned;
    chip.present[0].release = release;
    FtdiBackend backend(std::move(owned), "ftdi-bitbang", clockHz);
    ParallelPort &port = backend.open({0x378, 0x379});
    QCOMPARE(chip.divisorValue, value);
    QCOMPARE(chip.divisorIndex, index);
    // Each step of a frame goes out repeat times (then padding to a packet).
    chip.writes.clear();
    sendWord(backend, {0x378, 0x379}, 0x8112);
    QCOMPARE(sendWord(backend, {0x378, 0x379}, 0x1234), 0x8112); // read where the steps are
    int bytes = 0;
    for (const int size : chip.writes)
        bytes += size;
    QVERIFY2(bytes >= 2 * FrameWrites * repeat && bytes < 2 * (FrameWrites * repeat + 510),
             qPrintable(QString::number(bytes)));
    (void)port;
}

void AdaptersTest::gpioFramesEcho_data() {
    QTest::addColumn<QString>("binding");
    QTest::addColumn<bool>("invertedSelect");
    QTest::addColumn<int>("biasErrno"); // the chip driver's answer to a pull-up
    QTest::newRow("by name, offsets") << "gpio:gpiochip0@0,1,2,3" << false << 0;
    QTest::newRow("by label, line names, select inverted")
        << "gpio:ftdi-cbus@~CS,SCK,MOSI,MISO" << true << 0;
    QTest::newRow("a chip whose driver refuses bias")
        << "gpio:gpiochip0@0,1,2,3" << false << int(EOPNOTSUPP);
}

void AdaptersTest::gpioFramesEcho() {
    QFETCH(QString, binding);
    QFETCH(bool, invertedSelect);
    QFETCH(int, biasErrno);
    auto owned = std::make_unique<FakeGpio>();
    FakeGpio &chip = *owned;
    chip.wired.invertedSelect = invertedSelect;
    chip.biasErrno = biasErrno;
    GpioBackend backend(std::move(owned), binding.toStdString(), 100);
    ParallelPort &port = backend.open({0x378, 0x379});
    QCOMPARE(chip.wired.selectFalls, 0L); // the request glitched no select
    const auto readBack = runFrames(port);
    QCOMPARE(readBack, (std::array<std::uint16_t, 4>{0x0000, 0x8112, 0x1234, statusForSdo(1)}));
    QCOMPARE(chip.wired.board.controlWord(), 0x5678);
    QCOMPARE(chip.wired.selectFalls, 4L);
    // One call per pin change, each half a period of 100 Hz after the last.
    int changes = 0;
    std::uint8_t data = SelectLine;
    for (const std::uint16_t word : {0x8112, 0x1234, 0x5678}) {
        for (const PinStep &step : frameFor(word)) {
            changes += step.kind == PinStep::Kind::Write && step.data != data;
            data = step.kind == PinStep::Kind::Write ? step.data : data;
        }
    }
    changes += 3; // the run after the frames
    QCOMPARE(chip.changes, changes);
    QCOMPARE(int(chip.gaps.size()), changes - 1);
    for (const std::chrono::nanoseconds gap : chip.gaps)
        QVERIFY2(gap >= std::chrono::milliseconds(5) && gap < std::chrono::milliseconds(6),
                 qPrintable(QString::number(gap.count())));
    // With the pull-up, no board reads FFFFh, not noise.
    QCOMPARE(chip.pulledUp, biasErrno == 0);
    chip.boardAttached = false;
    if (chip.pulledUp)
        QCOMPARE(sendWord(backend, {0x378, 0x379}, 1), 0xFFFF);
}

void AdaptersTest::ftdiSelection_data() {
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("expected");
    const UsbDevice second{FtdiVendor, 0x6001, 0x0600, "", "FT232R", 1, 5, "1-2:1.0", ""};
    const auto twoWithoutSerials = [=](FakeFtdi &c) {
        c.present = {c.present[0], second};
        c.present[0].serial.clear();
    };
    const auto console = [](FakeFtdi &c) {
        c.present[0].tty = "ttyUSB0";
        c.ttyUsers = {"minicom (pid 812)"};
    };
    QTest::newRow("two without serials: the remedy binds a port")
        << ftdiOutcome("ftdi", twoWithoutSerials) << "choose one with --device LPT1=ftdi:1-1";
    QTest::newRow("by port, among two")
        << ftdiOutcome("ftdi:1-2", twoWithoutSerials) << "opened 1-2";
    QTest::newRow("a console cable, by IDs: refused, naming its program")
        << ftdiOutcome("ftdi:0403:6001", console)
        << "its serial port /dev/ttyUSB0 is open in minicom (pid 812)";
    QTest::newRow("a console cable, by port: taken")
        << ftdiOutcome("ftdi:1-1", console) << "opened 1-1";
    QTest::newRow("a serial port no program has open: taken")
        << ftdiOutcome("ftdi", [](FakeFtdi &c) { c.present[0].tty = "ttyUSB0"; }) << "opened 1-1";
    QTest::newRow("replugged while idle: found again, no frame failed")
        << ftdiOutcome(
               "ftdi", [](FakeFtdi &) {}, [](FakeFtdi &c) { c.present[0].address = 9; })
        << "opened 1-1";
    QTest::newRow("a transfer failing mid-frame: the chip may hold neither word")
        << ftdiOutcome(
               "ftdi", [](FakeFtdi &) {}, [](FakeFtdi &c) { c.stalled = true; })
        << "may hold neither the word it held nor the one sent. Send the word again, or see "
           "what the chip holds with 'quorvexctl read'";
}

void AdaptersTest::ftdiSelection() {
    QFETCH(QString, outcome);
    QFETCH(QString, expected);
    QVERIFY2(outcome.contains(expected), qPrintable(outcome));
}

void AdaptersTest::usbDevicesFromSysfs() {
    // Port 2 of a hub on bus 1's port 1, ftdi_sio's serial port under its
    // interface, and strings holding a newline, ESC, C1's CSI, a bidirectional
    // override, bytes that are not UTF-8, and UTF-8.
    QTemporaryDir root;
    const std::string device = root.filePath("1-1.2").toStdString();
    std::filesystem::create_directories(device + "/1-1.2:1.0/ttyUSB3/tty/ttyUSB3");
    std::filesystem::create_directory(root.filePath("1-1.2:1.0").toStdString());
    for (const char *attribute :
         {"idVendor=0403", "idProduct=6001", "bcdDevice=0600", "serial=A1\nB\x1b[31m",
          "manufacturer=\xc2\x9b"
          "2J\\",
          "product=\xe2\x80\xae\xff\xc0\xaf Gr\xc3\xbc\xc3\x9f", "busnum=1", "devnum=7",
          "bConfigurationValue=1"}) {
        const std::string text = attribute;
        std::ofstream(device + "/" + text.substr(0, text.find('=')))
            << text.substr(text.find('=') + 1) << "\n";
    }
    const std::vector<UsbDevice> found = listFtdiDevices(root.path().toStdString());
    QCOMPARE(found.size(), 1u);
    QCOMPARE(found[0].port(), "1-1.2");
    QCOMPARE(found[0].tty, "ttyUSB3");
    QCOMPARE(found[0].describe(),
             "0403:6001 serial A1\\x0aB\\x1b[31m (\\u009b2J\\\\ \\u202e\\xff\\xc0\\xaf "
             "Gr\xc3\xbc\xc3\x9f) at /dev/bus/usb/001/007");
    // That serial number is no binding to suggest: the port is.
    QCOMPARE(ftdiBindingFor(found[0], found), "ftdi:1-1.2");
}

void AdaptersTest::remedies_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("remedy");
    const auto ftdi = [](const char *binding, auto &&setUp) {
        auto chip = std::make_unique<FakeFtdi>();
        setUp(*chip);
        FtdiBackend backend(std::move(chip), binding, 100'000);
        return portErrorOf(backend);
    };
    const UsbDevice other{FtdiVendor, 0x6014, 0x0900, "B2", "", 1, 5, "1-2:1.0", ""};
    QTest::newRow("ftdi: none plugged in")
        << ftdi("ftdi", [](FakeFtdi &c) { c.present.clear(); }) << "no FTDI adapter is plugged in";
    QTest::newRow("ftdi: two") << ftdi("ftdi", [&](FakeFtdi &c) { c.present.push_back(other); })
                               << "2 FTDI adapters are plugged in: 0403:6001 serial A1 (FT232R) "
                                  "at /dev/bus/usb/001/004 [ftdi:0403:6001:A1] and 0403:6014 "
                                  "serial B2";
    QTest::newRow("ftdi: two, for bit-bang on other pins: the remedy keeps both")
        << ftdi("ftdi-bitbang@~D7,D4,D5,D6", [&](FakeFtdi &c) { c.present.push_back(other); })
        << "choose one with --device LPT1=ftdi-bitbang:0403:6001:A1@~D7,D4,D5,D6";
    QTest::newRow("ftdi: another serial")
        << ftdi("ftdi:0403:6001:C3", [](FakeFtdi &) {}) << "--device LPT1=ftdi:0403:6001:A1";
    QTest::newRow("ftdi: no permission")
        << ftdi("ftdi", [](FakeFtdi &c) { c.accessErrno = EACCES; })
        << "70-quorvex-evm.rules, which gives FTDI adapters to group plugdev";
    QTest::newRow("ftdi: another program")
        << ftdi("ftdi",
                [](FakeFtdi &c) {
                    c.openResult = -5;
                    c.driverAfterOpen = "usbfs";
                })
        << "another program has 0403:6001 serial A1 (FT232R) at /dev/bus/usb/001/004 open; "
           "'fuser -v /dev/bus/usb/001/004'";
    QTest::newRow("ftdi: the serial driver") << ftdi("ftdi", [](FakeFtdi &c) {
        c.openResult = -5;
        c.driverAfterOpen = "ftdi_sio";
    }) << "echo 1-1:1.0 | sudo tee /sys/bus/usb/drivers/ftdi_sio/unbind";
    QTest::newRow("ftdi: unplugged while idle") << [] {
        auto chip = std::make_unique<FakeFtdi>();
        FakeFtdi &unplugged = *chip;
        FtdiBackend backend(std::move(chip), "ftdi", 100'000);
        sendWord(backend, {0x378, 0x379}, 1);
        unplugged.present.clear();
        return portErrorOf(backend);
    }() << "was unplugged; plug it in again";

    const auto gpio = [](const char *binding, auto &&setUp) {
        auto chip = std::make_unique<FakeGpio>();
        setUp(*chip);
        GpioBackend backend(std::move(chip), binding, 100'000);
        return portErrorOf(backend);
    };
    QTest::newRow("gpio: no such chip") << gpio("gpio:pinctrl-bcm2711@0,1,2,3", [](FakeGpio &) {})
                                        << "the system has /dev/gpiochip0 [ftdi-cbus] (4 lines)";
    QTest::newRow("gpio: no permission")
        << gpio("gpio:gpiochip0@0,1,2,3", [](FakeGpio &c) { c.openErrno = EACCES; })
        << "which gives GPIO chips to group plugdev";
    QTest::newRow("gpio: no permission, by label")
        << gpio("gpio:ftdi-cbus@0,1,2,3", [](FakeGpio &c) { c.openErrno = EACCES; })
        << "cannot open /dev/gpiochip0: Permission denied; install the package's udev rule";
    QTest::newRow("gpio: a change failing mid-frame")
        << gpio("gpio:gpiochip0@0,1,2,3", [](FakeGpio &c) { c.failChange = 3; })
        << "cutting the frame short: the chip may hold neither the word it held nor the one sent";
    QTest::newRow("gpio: a line in use")
        << gpio("gpio:gpiochip0@0,1,2,3", [](FakeGpio &c) { c.consumers[2] = "spi0 CS0"; })
        << "line 2 of /dev/gpiochip0 is used by 'spi0 CS0'";
    QTest::newRow("gpio: a line's user named with a terminal escape, printed escaped")
        << gpio("gpio:gpiochip0@0,1,2,3", [](FakeGpio &c) { c.consumers[2] = "x\x1b]0;owned\x07"; })
        << "is used by 'x\\x1b]0;owned\\x07'";
    QTest::newRow("gpio: unplugged while idle") << [] {
        auto chip = std::make_unique<FakeGpio>();
        FakeGpio &unplugged = *chip;
        GpioBackend backend(std::move(chip), "gpio:ftdi-cbus@0,1,2,3", 100'000);
        sendWord(backend, {0x378, 0x379}, 1);
        unplugged.gone = true;
        return portErrorOf(backend);
    }() << "/dev/gpiochip0 is gone (No such device)";

    // The name is looked up at the first frame, not on the command line.
    LanBackend unknownHost("lan:nosuchhost.invalid");
    QTest::newRow("lan: no such host")
        << portErrorOf(unknownHost) << "cannot find host 'nosuchhost.invalid': ";
}

void AdaptersTest::remedies() {
    QFETCH(QString, message);
    QFETCH(QString, remedy);
    QVERIFY2(message.startsWith("LPT1 (378h) on ") && message.contains(remedy),
             qPrintable(message));
}

void AdaptersTest::lanInstrumentsAnnounced() {
    // As 'avahi-browse -rpt' prints them: one found, then resolved on both
    // protocols, once again on IPv4 (another interface's cache).
    const std::vector<PresentAdapter> found = lanInstrumentsIn(
        "+;eth0;IPv4;Quorvex\\032bench\\0591;_scpi-raw._tcp;local\n"
        "=;eth0;IPv4;Quorvex\\032bench\\0591;_scpi-raw._tcp;local;bench-pi.local;192.168.1.20;"
        "5025;\"Model=QuorvexEVM\"\n"
        "=;eth0;IPv6;Quorvex\\032bench\\0591;_scpi-raw._tcp;local;bench-pi.local;fe80::1;5025;\n"
        "=;wlan0;IPv4;Quorvex\\032bench\\0591;_scpi-raw._tcp;local;bench-pi.local;192.168.1.20;"
        "5025;\n");
    QCOMPARE(found.size(), 2u);
    QCOMPARE(found[0].binding, "lan:192.168.1.20:5025");
    QCOMPARE(found[0].description, "'Quorvex bench;1' on bench-pi.local, announced on the network");
    QCOMPARE(found[1].binding, "lan:[fe80::1%eth0]:5025");
    QCOMPARE(parseLanBinding(found[1].binding).where(), "[fe80::1%eth0]:5025");
}

QTEST_APPLESS_MAIN(AdaptersTest)
#include "test_adapters.moc"

#include "link/gpio_backend.h"

#include "link/port_access.h"
#include "link/printable_text.h"

#include "link/wiring.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

using Step = GpioFailure::Step;
using Clock = std::chrono::steady_clock;

// The request's lines in order: select, clock, SDI, SDO.
constexpr std::uint64_t OutputLines = 0b0111;
constexpr std::uint64_t SdoLine = 0b1000;
constexpr const char *Consumer = "quorvex-evm";
// The kernel's own "not supported" (ENOTSUPP, include/linux/errno.h), which
// some drivers let through to user space.
constexpr int NotSupported = 524;

// Whether the device is a GPIO chip: a character device of the kernel's gpio
// bus, as sysfs says.
bool isGpioChip(const struct stat &info) {
    if (!S_ISCHR(info.st_mode))
        return false;
    std::error_code error;
    const std::filesystem::path subsystem =
        std::filesystem::read_symlink("/sys/dev/char/" + std::to_string(major(info.st_rdev)) + ":" +
                                          std::to_string(minor(info.st_rdev)) + "/subsystem",
                                      error);
    return !error && subsystem.filename() == "gpio";
}

class KernelGpioSystem final : public GpioSystem {
public:
    std::vector<std::string> chipPaths() override {
        std::vector<std::pair<unsigned, std::string>> chips;
        std::error_code error;
        for (std::filesystem::directory_iterator it("/dev", error), end; !error && it != end;
             it.increment(error)) {
            const std::string name = it->path().filename().string();
            unsigned number = 0;
            char rest = 0;
            if (std::sscanf(name.c_str(), "gpiochip%u%c", &number, &rest) == 1)
                chips.emplace_back(number, it->path().string());
        }
        std::sort(chips.begin(), chips.end());
        std::vector<std::string> paths;
        for (auto &chip : chips)
            paths.push_back(chip.second);
        return paths;
    }
    int open(const std::string &path) override {
        // A binding may name any path, and opening some devices does
        // something (a watchdog starts counting): only a GPIO chip's
        // character device is opened, and without waiting on it.
        struct stat info {};
        if (::stat(path.c_str(), &info) == 0 && !isGpioChip(info)) {
            errno = ENODEV;
            return -1;
        }
        return ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    }
    int chipInfo(int fd, gpiochip_info &info) override {
        return ::ioctl(fd, GPIO_GET_CHIPINFO_IOCTL, &info);
    }
    int lineInfo(int fd, gpio_v2_line_info &info) override {
        return ::ioctl(fd, GPIO_V2_GET_LINEINFO_IOCTL, &info);
    }
    int requestLines(int fd, gpio_v2_line_request &request) override {
        return ::ioctl(fd, GPIO_V2_GET_LINE_IOCTL, &request);
    }
    int setValues(int fd, gpio_v2_line_values &values) override {
        return ::ioctl(fd, GPIO_V2_LINE_SET_VALUES_IOCTL, &values);
    }
    int getValues(int fd, gpio_v2_line_values &values) override {
        return ::ioctl(fd, GPIO_V2_LINE_GET_VALUES_IOCTL, &values);
    }
    int close(int fd) override { return ::close(fd); }
    void waitUntil(Clock::time_point time) override {
        // A sleep overshoots by tens of microseconds: the last stretch spins.
        const auto spin = std::chrono::microseconds(200);
        if (time - Clock::now() > spin)
            std::this_thread::sleep_until(time - spin);
        while (Clock::now() < time) {
        }
    }
};

bool isNumber(const std::string &text) {
    return !text.empty() && text.size() <= 9 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

std::string chipList(const std::vector<GpioChip> &chips) {
    std::string list;
    for (std::size_t i = 0; i < chips.size(); ++i)
        list += (i == 0 ? "" : i + 1 == chips.size() ? " and " : ", ") + chips[i].describe();
    return list;
}

// The path of the chip a binding names: a path, gpiochipN, or a label. Empty
// when it is not to be found, with failure saying why.
std::string findChip(GpioSystem &system, const std::string &chip, GpioFailure &failure) {
    const bool name = chip.rfind("gpiochip", 0) == 0 && isNumber(chip.substr(8));
    if (chip.front() == '/' || name) {
        const std::string path = name ? "/dev/" + chip : chip;
        const std::vector<std::string> paths = system.chipPaths();
        if (chip.front() == '/' || std::find(paths.begin(), paths.end(), path) != paths.end())
            return path;
    }
    failure.chips = listGpioChips(system);
    std::vector<GpioChip> labelled;
    for (const GpioChip &known : failure.chips) {
        if (known.label == chip)
            labelled.push_back(known);
    }
    if (labelled.size() == 1)
        return labelled.front().path;
    // A label is read from the chip: chips this user may not open may hold it.
    std::vector<std::string> denied;
    for (const GpioChip &known : failure.chips) {
        if (known.openError == EACCES || known.openError == EPERM) {
            denied.push_back(known.path);
            failure.error = known.openError;
        }
    }
    if (labelled.empty() && !denied.empty()) {
        failure.step = Step::Open;
        failure.chip.clear();
        for (std::size_t i = 0; i < denied.size(); ++i)
            failure.chip += (i == 0 ? "" : i + 1 == denied.size() ? " and " : ", ") + denied[i];
        return {};
    }
    failure.step = labelled.empty() ? Step::Find : Step::Ambiguous;
    if (!labelled.empty())
        failure.chips = labelled;
    return {};
}

struct ResolvedLines {
    std::array<unsigned, BoardLineCount> offsets{};
    PinMap pins;
};

// The offsets of the binding's lines on the open chip. Throws
// std::invalid_argument for a line the chip lacks or a line named twice.
ResolvedLines resolveLines(GpioSystem &system, int fd, const std::string &path,
                           const PinList &lines) {
    gpiochip_info chip{};
    if (system.chipInfo(fd, chip) < 0)
        throw std::invalid_argument(path + " is not a GPIO chip (" + std::strerror(errno) +
                                    "); ls /dev/gpiochip* lists them");
    ResolvedLines resolved;
    for (std::size_t n = 0; n < BoardLineCount; ++n) {
        const std::string &name = lines[n].name;
        if (isNumber(name)) {
            resolved.offsets[n] = unsigned(std::stoul(name));
            if (resolved.offsets[n] >= chip.lines)
                throw std::invalid_argument("line " + name + ": " + path + " has lines 0 to " +
                                            std::to_string(int(chip.lines) - 1));
            continue;
        }
        bool found = false;
        for (unsigned offset = 0; offset < chip.lines && !found; ++offset) {
            gpio_v2_line_info info{};
            info.offset = offset;
            if (system.lineInfo(fd, info) == 0 && name == info.name) {
                resolved.offsets[n] = offset;
                found = true;
            }
        }
        if (!found)
            throw std::invalid_argument("no line of " + path + " is named '" + name +
                                        "'; give its offset instead ('gpioinfo' from package "
                                        "gpiod lists the lines)");
    }
    pinMapFrom(resolved.offsets, lines);
    resolved.pins = pinMapFrom({0, 1, 2, 3}, lines);
    return resolved;
}

} // namespace

std::unique_ptr<GpioSystem> makeKernelGpioSystem() {
    return std::make_unique<KernelGpioSystem>();
}

std::string GpioChip::describe() const {
    if (label.empty())
        return path + " (cannot be opened)";
    return path + " [" + printableText(label) + "] (" + std::to_string(lines) + " lines)";
}

std::vector<GpioChip> listGpioChips(GpioSystem &system) {
    std::vector<GpioChip> chips;
    for (const std::string &path : system.chipPaths()) {
        GpioChip chip{path, std::filesystem::path(path).filename().string(), {}, 0};
        const int fd = system.open(path);
        chip.openError = fd < 0 ? errno : 0;
        gpiochip_info info{};
        if (fd >= 0 && system.chipInfo(fd, info) == 0) {
            chip.label = info.label;
            chip.lines = info.lines;
        }
        if (fd >= 0)
            system.close(fd);
        chips.push_back(chip);
    }
    return chips;
}

std::vector<GpioChip> listGpioChips() {
    return listGpioChips(*makeKernelGpioSystem());
}

GpioBinding parseGpioBinding(const std::string &binding) {
    const std::size_t at = binding.find('@');
    if (binding.compare(0, 5, "gpio:") != 0 || at == std::string::npos || at == 5)
        throw std::invalid_argument("expected gpio:CHIP@SELECT,CLOCK,SDI,SDO, e.g. "
                                    "gpio:gpiochip0@8,11,10,9");
    GpioBinding result{binding.substr(5, at - 5), parsePinList(binding.substr(at + 1))};
    for (std::size_t n = 0; n < BoardLineCount; ++n) {
        for (std::size_t before = 0; before < n; ++before) {
            if (result.lines[before].name == result.lines[n].name)
                throw std::invalid_argument("line " + result.lines[n].name +
                                            " is named twice; give each line a pin of its own");
        }
    }
    return result;
}

void checkGpioBinding(const std::string &binding, GpioSystem &system) {
    const GpioBinding parsed = parseGpioBinding(binding);
    GpioFailure unused(Step::Find, 0, binding);
    const std::string path = findChip(system, parsed.chip, unused);
    const int fd = path.empty() ? -1 : system.open(path);
    if (fd < 0)
        return;
    try {
        resolveLines(system, fd, path, parsed.lines);
    } catch (...) {
        system.close(fd);
        throw;
    }
    system.close(fd);
}

std::string gpioMessage(const GpioFailure &failure) {
    const std::string item = presetItem(failure.base);
    const std::string where = portName(failure.base) + " on " + failure.binding + ": ";
    const std::string reason = failure.error ? std::string(std::strerror(failure.error)) : "";
    const std::string chip = failure.chip.empty() ? "the chip" : failure.chip;
    const std::string cutShort =
        failure.cutShort ? ", cutting the frame short: the chip may hold neither the word it held "
                           "nor the one sent. Send the word again, or see what the chip holds "
                           "with 'quorvexctl read'"
                         : "";

    switch (failure.step) {
    case Step::Find:
        if (failure.chips.empty())
            return where +
                   "the system has no GPIO chips; plug in the GPIO adapter or load its driver, or "
                   "bind a parallel port with --device " +
                   item + "=/dev/parportN";
        return where + "no such GPIO chip; the system has " + chipList(failure.chips) +
               "; bind one by path, name or label, e.g. --device " + item +
               "=gpio:" + failure.chips.front().name + "@SELECT,CLOCK,SDI,SDO";
    case Step::Ambiguous:
        return where + std::to_string(failure.chips.size()) +
               " GPIO chips have that label: " + chipList(failure.chips) +
               "; bind one by its path, e.g. --device " + item +
               "=gpio:" + failure.chips.front().path + "@SELECT,CLOCK,SDI,SDO";
    case Step::Open:
        if (failure.error == EACCES || failure.error == EPERM)
            return where + "cannot open " + chip + ": " + reason +
                   "; install the package's udev rule (" + UdevRulesFile +
                   ", which gives GPIO chips to group plugdev), join that group with 'sudo usermod "
                   "-aG plugdev $USER' and log in again";
        return where + "cannot open " + chip + ": " + reason +
               "; check that it is a GPIO chip (ls /dev/gpiochip*), and try again";
    case Step::Busy:
        if (!failure.consumer.empty())
            return where + "line " + failure.line + " of " + chip + " is used by '" +
                   printableText(failure.consumer) +
                   "'; stop the program or driver using it ('gpioinfo' from package gpiod "
                   "lists every line's user), or bind other lines";
        return where + "line " + failure.line + " of " + chip +
               " is not free for use (its driver or the chip's configuration reserves it); "
               "bind other lines";
    case Step::Request:
        if (failure.error == ENOTTY || failure.error == EINVAL)
            return where + "requesting the lines of " + chip + " failed: " + reason +
                   "; this needs the GPIO character device's version 2 (Linux 5.10 or later)";
        return where + "requesting the lines of " + chip + " failed: " + reason +
               "; check the chip, and try again";
    case Step::Transfer:
        if (failure.cutShort)
            return where + "setting or reading the lines of " + chip + " failed: " + reason +
                   cutShort + "; check the adapter and its cable first";
        return where + "setting or reading the lines of " + chip + " failed: " + reason +
               "; check the adapter and its cable, then try again";
    case Step::Unplugged:
        if (failure.cutShort)
            return where + chip + " is gone (" + reason +
                   "): its adapter was unplugged or its driver unloaded" + cutShort +
                   ", once it is back (the next frame requests the lines afresh)";
        return where + chip + " is gone (" + reason +
               "): its adapter was unplugged or its driver unloaded; plug it in again, and the "
               "next frame requests the lines afresh";
    }
    return where + reason;
}

class GpioBackend::Port final : public TransferPort {
public:
    Port(GpioBackend &backend, std::string chip, PinMap pins, std::uint16_t base)
        : m_backend(backend)
        , m_chip(std::move(chip))
        , m_pins(pins)
        , m_base(base)
        , m_held(pins.levelsFor(SelectLine)) {}

    // The lines requested afresh, perhaps of a chip plugged in again under
    // another path: at idle, as a request leaves them.
    const std::string &chip() const { return m_chip; }

    void rebind(std::string chip, PinMap pins) {
        m_chip = std::move(chip);
        m_pins = pins;
        m_held = pins.levelsFor(SelectLine);
    }

    void run(std::span<const PinStep> steps, std::span<std::uint8_t> statuses) override {
        GpioSystem &system = *m_backend.m_system;
        std::size_t read = 0;
        m_changed = false;
        for (const PinStep &step : steps) {
            if (step.kind == PinStep::Kind::Read) {
                gpio_v2_line_values values{0, SdoLine};
                if (system.getValues(m_backend.m_lines, values) < 0 &&
                    !(reacquired() && system.getValues(m_backend.m_lines, values) == 0))
                    failAccess();
                statuses[read++] = m_pins.statusFor(std::uint32_t(values.bits));
                continue;
            }
            const std::uint32_t levels = m_pins.levelsFor(step.data);
            if (levels == m_held)
                continue;
            system.waitUntil(m_next);
            gpio_v2_line_values values{levels, OutputLines};
            if (system.setValues(m_backend.m_lines, values) < 0 &&
                !(reacquired() && system.setValues(m_backend.m_lines, values) == 0))
                failAccess();
            m_held = levels;
            m_changed = true;
            m_next = Clock::now() + m_backend.m_halfPeriod;
        }
    }

private:
    // A chip gone before this run changed a line, while the lines idled:
    // no frame was under way, so its lines are requested afresh.
    bool reacquired() {
        if (errno != ENODEV || m_changed || m_held != m_pins.levelsFor(SelectLine))
            return false;
        m_changed = true; // once a run
        m_backend.release();
        m_backend.acquire(m_base, true);
        return true;
    }

    [[noreturn]] void failAccess() {
        const int error = errno;
        GpioFailure failure(error == ENODEV ? Step::Unplugged : Step::Transfer, m_base,
                            m_backend.m_text, error, m_chip);
        failure.cutShort = m_held != m_pins.levelsFor(SelectLine);
        m_backend.fail(failure);
    }

    GpioBackend &m_backend;
    std::string m_chip;
    PinMap m_pins;
    std::uint16_t m_base;
    std::uint32_t m_held;
    bool m_changed = false; // a line changed in this run
    Clock::time_point m_next{};
};

GpioBackend::GpioBackend(std::unique_ptr<GpioSystem> system, std::string binding, long clockHz)
    : m_system(std::move(system))
    , m_text(std::move(binding))
    , m_binding(parseGpioBinding(m_text))
    , m_halfPeriod(std::chrono::nanoseconds(500'000'000 / std::max(clockHz, 1L))) {}

GpioBackend::~GpioBackend() {
    release();
}

void GpioBackend::release() {
    if (m_lines >= 0)
        m_system->close(m_lines);
    m_lines = -1;
}

void GpioBackend::fail(GpioFailure failure) {
    // The port may be the caller: it is replaced at the next open, not here.
    release();
    throw PortError(gpioMessage(failure));
}

ParallelPort &GpioBackend::open(PortRegisters registers) {
    if (m_lines < 0)
        acquire(registers.data, false);
    return *m_port;
}

void GpioBackend::acquire(std::uint16_t base, bool lost) {
    GpioFailure failure(Step::Find, base, m_text);
    const std::string path = findChip(*m_system, m_binding.chip, failure);
    // Lost, and not to be found again: it is gone, whatever the binding.
    const auto failFinding = [&] {
        if (lost && failure.step == Step::Find)
            fail(GpioFailure(Step::Unplugged, base, m_text, ENODEV, m_port->chip()));
        fail(failure);
    };
    if (path.empty())
        failFinding();
    failure.chip = path;
    const int fd = m_system->open(path);
    if (fd < 0) {
        failure.error = errno;
        failure.step = failure.error == ENOENT ? Step::Find : Step::Open;
        if (failure.step == Step::Find)
            failure.chips = listGpioChips(*m_system);
        failFinding();
    }

    ResolvedLines lines;
    try {
        lines = resolveLines(*m_system, fd, path, m_binding.lines);
    } catch (const std::invalid_argument &error) {
        m_system->close(fd);
        throw PortError(portName(base) + " on " + m_text + ": " + error.what());
    }

    gpio_v2_line_request request{};
    for (std::size_t n = 0; n < BoardLineCount; ++n)
        request.offsets[n] = lines.offsets[n];
    std::strncpy(request.consumer, Consumer, sizeof request.consumer - 1);
    request.num_lines = BoardLineCount;
    request.config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
    request.config.num_attrs = 2;
    request.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_FLAGS;
    request.config.attrs[0].attr.flags = GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_BIAS_PULL_UP;
    request.config.attrs[0].mask = SdoLine;
    // The outputs start at idle: the request itself never lowers select.
    request.config.attrs[1].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
    request.config.attrs[1].attr.values = lines.pins.levelsFor(SelectLine);
    request.config.attrs[1].mask = OutputLines;
    // SDO pulled up reads FFFFh with no board, as a parallel port and an FTDI
    // chip do, rather than noise. gpiolib passes over a chip without bias
    // (ENOTSUPP from its driver), but some drivers refuse it instead.
    int result = m_system->requestLines(fd, request);
    if (result < 0 && (errno == EINVAL || errno == EOPNOTSUPP || errno == NotSupported)) {
        request.config.attrs[0].attr.flags = GPIO_V2_LINE_FLAG_INPUT;
        result = m_system->requestLines(fd, request);
    }
    if (result < 0) {
        failure.error = errno;
        failure.step = Step::Request;
        for (std::size_t n = 0; n < BoardLineCount && failure.step == Step::Request; ++n) {
            gpio_v2_line_info info{};
            info.offset = lines.offsets[n];
            if (m_system->lineInfo(fd, info) == 0 && (info.flags & GPIO_V2_LINE_FLAG_USED)) {
                failure.step = Step::Busy;
                failure.line = m_binding.lines[n].name;
                failure.consumer = info.consumer;
            }
        }
        m_system->close(fd);
        fail(failure);
    }
    m_system->close(fd);
    m_lines = request.fd;
    if (m_port)
        m_port->rebind(path, lines.pins);
    else
        m_port = std::make_unique<Port>(*this, path, lines.pins, base);
}

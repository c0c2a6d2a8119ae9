#include "link/frame_trace.h"

#include "link/port_access.h"
#include "link/wiring.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace {

constexpr char SelectId = 'S';
constexpr char ClockId = 'C';
constexpr char SdiId = 'I';
constexpr char SdoId = 'O';
constexpr char DataBit0Id = 'a';   // data0..data7: a..h
constexpr char StatusBit0Id = 'p'; // status0..status7: p..w
constexpr char PortId0 = 'L';      // lpt1..lpt3: L..N

std::string failureText(const std::string &path, int error) {
    return "the trace " + path + " stopped: write failed: " + std::strerror(error) +
           "; free some space or trace to another file";
}

} // namespace

FrameTrace::FrameTrace(const std::string &path, Time time)
    : m_path(path)
    , m_timing(time)
    , m_start(Clock::now())
    , m_data(SelectLine)
    , m_status(IdleStatus)
    , m_select(true) {
    m_file = std::fopen(path.c_str(), "we");
    if (!m_file)
        throw TraceError("cannot create the trace file " + path + ": " + std::strerror(errno) +
                         "; choose a folder you can write to");

    // The raw registers are recorded bit by bit: the libsigrok of Debian 12,
    // behind sigrok-cli and PulseView, stops reading a dump at its first
    // vector value. GTKWave groups the bits back into a bus.
    std::string header = "$version quorvex-evm frame trace $end\n$timescale ";
    header += time == Time::Real ? "1 ns" : "1 us";
    header += " $end\n"
              "$scope module lpt $end\n"
              "$var wire 1 S select $end\n"
              "$var wire 1 C clock $end\n"
              "$var wire 1 I sdi $end\n"
              "$var wire 1 O sdo $end\n"
              "$scope module registers $end\n";
    for (int bit = 0; bit < 8; ++bit)
        header += "$var wire 1 " + std::string(1, char(DataBit0Id + bit)) + " data" +
                  std::to_string(bit) + " $end\n";
    for (int bit = 0; bit < 8; ++bit)
        header += "$var wire 1 " + std::string(1, char(StatusBit0Id + bit)) + " status" +
                  std::to_string(bit) + " $end\n";
    header += "$upscope $end\n$scope module ports $end\n";
    for (std::size_t port = 0; port < PortPresets.size(); ++port)
        header += "$var wire 1 " + std::string(1, char(PortId0 + port)) + " lpt" +
                  std::to_string(port + 1) + " $end\n";
    header += "$upscope $end\n$upscope $end\n$enddefinitions $end\n$dumpvars\n1S\n0C\n0I\n0O\n";
    for (int bit = 0; bit < 8; ++bit) {
        header += (m_data >> bit) & 1 ? '1' : '0';
        header += char(DataBit0Id + bit);
        header += '\n';
    }
    for (int bit = 0; bit < 8; ++bit) {
        header += (m_status >> bit) & 1 ? '1' : '0';
        header += char(StatusBit0Id + bit);
        header += '\n';
    }
    for (std::size_t port = 0; port < PortPresets.size(); ++port)
        header += std::string("0") + char(PortId0 + port) + '\n';
    header += "$end\n#0\n";
    write(header.data(), header.size());
    flush();
    if (m_error)
        throw TraceError("cannot write the trace file " + path + ": " + std::strerror(m_error) +
                         "; free some space or trace to another file");
}

FrameTrace::~FrameTrace() {
    // The closing timestamp keeps the last change's values in the dump.
    if (m_file && m_time > m_closed) {
        advance(Clock::now(), 1);
        stamp();
    }
    drain();
    if (m_file)
        std::fclose(m_file);
}

void FrameTrace::write(const char *data, std::size_t size) {
    if (m_file && std::fwrite(data, 1, size, m_file) != size)
        stop(errno);
}

void FrameTrace::flush() {
    if (m_file && std::fflush(m_file) != 0)
        stop(errno);
}

void FrameTrace::stop(int error) {
    std::fclose(m_file);
    m_file = nullptr;
    m_error = error;
    m_failure = failureText(m_path, error);
    if (m_report)
        m_report(m_failure);
}

void FrameTrace::drain() {
    write(m_buffer.data(), m_used);
    m_used = 0;
}

void FrameTrace::stamp() {
    if (m_stamped == m_time)
        return;
    char *out = m_buffer.data() + m_used;
    *out++ = '#';
    out = std::to_chars(out, out + 20, m_time).ptr;
    *out++ = '\n';
    m_used = std::size_t(out - m_buffer.data());
    m_stamped = m_time;
}

void FrameTrace::line(bool bit, char id) {
    char *out = m_buffer.data() + m_used;
    out[0] = bit ? '1' : '0';
    out[1] = id;
    out[2] = '\n';
    m_used += 3;
}

void FrameTrace::change(char id, bool bit, bool &current) {
    if (bit == current)
        return;
    stamp();
    line(bit, id);
    current = bit;
}

void FrameTrace::changeBits(char firstId, std::uint8_t value, std::uint8_t &current) {
    const unsigned changed = unsigned(value ^ current);
    if (!changed)
        return;
    stamp();
    for (int bit = 0; bit < 8; ++bit) {
        if ((changed >> bit) & 1)
            line((value >> bit) & 1, char(firstId + bit));
    }
    current = value;
}

void FrameTrace::advance(Clock::time_point at, long steps) {
    if (m_timing == Time::FixedStep) {
        m_time += steps;
        return;
    }
    const long real = long(std::chrono::nanoseconds(at - m_start).count());
    m_time = std::max(m_time + 1, real);
}

void FrameTrace::access(int port, Clock::time_point at) {
    // Room for one access's timestamp and fourteen value changes.
    if (m_buffer.size() - m_used < 64)
        drain();
    advance(at, 1);
    if (port != m_port) {
        if (m_port >= 0) {
            stamp();
            line(false, char(PortId0 + m_port));
        }
        if (port >= 0) {
            stamp();
            line(true, char(PortId0 + port));
        }
        m_port = port;
    }
}

void FrameTrace::dataWritten(int port, std::uint8_t value, Clock::time_point at) {
    if (!m_file)
        return;
    access(port, at);
    const bool selectRises = !m_select && (value & SelectLine);
    change(SelectId, value & SelectLine, m_select);
    change(ClockId, value & ClockLine, m_clock);
    change(SdiId, value & SdiLine, m_sdi);
    changeBits(DataBit0Id, value, m_data);
    if (selectRises)
        endFrame();
}

void FrameTrace::statusRead(int port, std::uint8_t value, Clock::time_point at) {
    if (!m_file)
        return;
    access(port, at);
    change(SdoId, decodeStatus(value) == 1, m_sdo);
    changeBits(StatusBit0Id, value, m_status);
}

void FrameTrace::endFrame() {
    if (m_port >= 0)
        line(false, char(PortId0 + m_port));
    m_port = -1;
    // The lines are known to stay as they are until now: the closing
    // timestamp keeps the frame's last values in the dump.
    advance(Clock::now(), FrameGap);
    stamp();
    m_closed = m_time;
    drain();
    flush();
}

TracingBackend::TracingBackend(std::unique_ptr<PortBackend> inner, const std::string &tracePath,
                               FrameTrace::Time time)
    : m_inner(std::move(inner))
    , m_trace(tracePath, time) {}

ParallelPort &TracingBackend::open(PortRegisters registers) {
    ParallelPort &inner = m_inner->open(registers);
    Port &port =
        m_ports.try_emplace(registers.data, m_trace, presetAt(registers.data), inner).first->second;
    port.m_inner = &inner;
    return port;
}

void TracingBackend::Port::writeData(std::uint8_t value) {
    m_inner->writeData(value);
    m_trace.dataWritten(m_preset, value);
}

std::uint8_t TracingBackend::Port::readStatus() {
    const std::uint8_t value = m_inner->readStatus();
    m_trace.statusRead(m_preset, value);
    return value;
}

void TracingBackend::Port::run(std::span<const PinStep> steps, std::span<std::uint8_t> statuses) {
    using Clock = FrameTrace::Clock;
    const Clock::time_point start = Clock::now();
    m_inner->run(steps, statuses);
    if (steps.empty())
        return;
    // The run's time shared evenly: each step at the end of its share, the
    // last at the moment the run returned. Integer steps, the remainder
    // carried, so no step costs a division.
    const auto n = Clock::rep(steps.size());
    const Clock::rep span = (Clock::now() - start).count();
    const Clock::duration share(span / n);
    Clock::rep carried = 0;
    Clock::time_point at = start;
    std::size_t read = 0;
    for (const PinStep &step : steps) {
        at += share;
        carried += span % n;
        if (carried >= n) {
            carried -= n;
            at += Clock::duration(1);
        }
        if (step.kind == PinStep::Kind::Write)
            m_trace.dataWritten(m_preset, step.data, at);
        else
            m_trace.statusRead(m_preset, statuses[read++], at);
    }
}

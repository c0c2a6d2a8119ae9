#include "link/frame_trace.h"

#include "link/frame_transfer.h"

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
constexpr std::uint8_t IdleStatus = 0x7F;

} // namespace

FrameTrace::FrameTrace(const std::string &path)
    : m_data(SelectLine)
    , m_status(IdleStatus)
    , m_select(true) {
    m_file = std::fopen(path.c_str(), "w");
    if (!m_file)
        throw TraceError("cannot create the trace file " + path + ": " + std::strerror(errno) +
                         "; choose a folder you can write to");

    // The raw registers are recorded bit by bit: the libsigrok of Debian 12,
    // behind sigrok-cli and PulseView, stops reading a dump at its first
    // vector value. GTKWave groups the bits back into a bus.
    std::string header = "$version quorvex-evm frame trace $end\n"
                         "$timescale 1 us $end\n"
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
    header += "$end\n#0\n";
    std::fputs(header.c_str(), m_file);
    std::fflush(m_file);
}

FrameTrace::~FrameTrace() {
    // The closing timestamp keeps the last change's values in the dump.
    if (m_time > m_closed) {
        ++m_time;
        stamp();
    }
    drain();
    std::fclose(m_file);
}

void FrameTrace::drain() {
    std::fwrite(m_buffer.data(), 1, m_used, m_file);
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

void FrameTrace::access() {
    // Room for one access's timestamp and twelve value changes.
    if (m_buffer.size() - m_used < 64)
        drain();
    ++m_time;
}

void FrameTrace::dataWritten(std::uint8_t value) {
    access();
    const bool selectRises = !m_select && (value & SelectLine);
    change(SelectId, value & SelectLine, m_select);
    change(ClockId, value & ClockLine, m_clock);
    change(SdiId, value & SdiLine, m_sdi);
    changeBits(DataBit0Id, value, m_data);
    if (selectRises)
        endFrame();
}

void FrameTrace::statusRead(std::uint8_t value) {
    access();
    change(SdoId, decodeStatus(value) == 1, m_sdo);
    changeBits(StatusBit0Id, value, m_status);
}

void FrameTrace::endFrame() {
    m_time += FrameGap;
    stamp();
    m_closed = m_time;
    drain();
    std::fflush(m_file);
}

TracingPort::TracingPort(std::unique_ptr<PortBackend> inner, const std::string &tracePath)
    : m_inner(std::move(inner))
    , m_trace(tracePath) {}

void TracingPort::writeData(std::uint16_t base, std::uint8_t value) {
    m_inner->writeData(base, value);
    m_trace.dataWritten(value);
}

std::uint8_t TracingPort::readStatus(std::uint16_t base) {
    const std::uint8_t value = m_inner->readStatus(base);
    m_trace.statusRead(value);
    return value;
}

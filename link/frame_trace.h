#pragma once

#include "link/port_backend.h"

#include <array>
#include <cstdio>
#include <memory>
#include <string>

// Records every port access into a Value Change Dump that GTKWave, PulseView
// and sigrok-cli open: the select, clock and SDI lines, the decoded SDO
// sample, and the raw data and status registers bit by bit, one time step per
// access.
// Each frame is flushed as it ends, so a crash loses at most the frame in
// flight.
class FrameTrace {
public:
    // Creates the file; throws TraceError when it cannot.
    explicit FrameTrace(const std::string &path);
    ~FrameTrace();

    FrameTrace(const FrameTrace &) = delete;
    FrameTrace &operator=(const FrameTrace &) = delete;

    void dataWritten(std::uint8_t value);
    void statusRead(std::uint8_t value);

    // Steps left empty between two frames.
    static constexpr int FrameGap = 4;

private:
    void access();
    void stamp();
    void line(bool bit, char id);
    void drain();
    void change(char id, bool bit, bool &current);
    void changeBits(char firstId, std::uint8_t value, std::uint8_t &current);
    void endFrame();

    std::FILE *m_file = nullptr;
    std::array<char, 8192> m_buffer;
    std::size_t m_used = 0;
    long m_time = 0;
    long m_stamped = 0; // time of the last timestamp written
    long m_closed = 0;  // time of the bare timestamp after the last frame
    std::uint8_t m_data;
    std::uint8_t m_status;
    bool m_select;
    bool m_clock = false;
    bool m_sdi = false;
    bool m_sdo = false;
};

class TraceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A port that passes every access on and records it in a trace.
class TracingPort : public PortBackend {
public:
    TracingPort(std::unique_ptr<PortBackend> inner, const std::string &tracePath);

    void writeData(std::uint16_t base, std::uint8_t value) override;
    std::uint8_t readStatus(std::uint16_t base) override;

    PortBackend &inner() { return *m_inner; }

private:
    std::unique_ptr<PortBackend> m_inner;
    FrameTrace m_trace;
};

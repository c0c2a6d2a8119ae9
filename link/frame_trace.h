#pragma once

#include "link/port_backend.h"

#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>

// Records every port access into a Value Change Dump that GTKWave, PulseView
// and sigrok-cli open: the select, clock and SDI lines, the decoded SDO
// sample, the raw data and status registers bit by bit, and one line per port
// preset that is high while a frame goes to that port. Each frame is flushed
// as it ends, so a crash loses at most the frame in flight.
//
// A write that fails (a full disk, /dev/full) never disturbs the frames: the
// trace stops, and the failure is reported once, after the access in flight.
class FrameTrace {
public:
    using Clock = std::chrono::steady_clock;

    // When each access is recorded: at its real time, in nanoseconds from the
    // monotonic clock since the trace was created; or one step of 1 us per
    // access, with FrameGap steps between frames, whatever the time.
    enum class Time { Real, FixedStep };

    // Creates the file, close-on-exec, and writes the header; throws
    // TraceError when it cannot.
    explicit FrameTrace(const std::string &path, Time time = Time::Real);
    ~FrameTrace();

    FrameTrace(const FrameTrace &) = delete;
    FrameTrace &operator=(const FrameTrace &) = delete;

    // port: the index of the preset the access goes to, or -1. at: when the
    // access took effect; times go forward, each at least 1 ns after the last.
    void dataWritten(int port, std::uint8_t value, Clock::time_point at = Clock::now());
    void statusRead(int port, std::uint8_t value, Clock::time_point at = Clock::now());

    // Called once, with a message naming the file, the reason and what to do,
    // when the trace stops for a failed write.
    void onFailure(std::function<void(const std::string &)> report) {
        m_report = std::move(report);
    }
    // The failure that stopped the trace, or empty.
    const std::string &failure() const { return m_failure; }

    // Steps left empty between two frames.
    static constexpr int FrameGap = 4;

private:
    // Moves the time on to at, or by steps when the time is fixed.
    void advance(Clock::time_point at, long steps);
    void access(int port, Clock::time_point at);
    void stamp();
    void line(bool bit, char id);
    void drain();
    void write(const char *data, std::size_t size);
    void flush();
    void stop(int error);
    void change(char id, bool bit, bool &current);
    void changeBits(char firstId, std::uint8_t value, std::uint8_t &current);
    void endFrame();

    std::string m_path;
    std::FILE *m_file = nullptr;
    std::function<void(const std::string &)> m_report;
    std::string m_failure;
    int m_error = 0;
    std::array<char, 8192> m_buffer;
    std::size_t m_used = 0;
    Time m_timing;
    Clock::time_point m_start;
    long m_time = 0;
    long m_stamped = 0; // time of the last timestamp written
    long m_closed = 0;  // time of the bare timestamp after the last frame
    std::uint8_t m_data;
    std::uint8_t m_status;
    int m_port = -1; // the preset whose line is high
    bool m_select;
    bool m_clock = false;
    bool m_sdi = false;
    bool m_sdo = false;
};

class TraceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A back end that passes every access on to another and records it. A run of
// steps reaches the inner port as one call, so tracing never breaks a back
// end that sends a frame in one transfer; in real time, its steps share the
// run's time evenly, each at the end of its share.
class TracingBackend : public PortBackend {
public:
    TracingBackend(std::unique_ptr<PortBackend> inner, const std::string &tracePath,
                   FrameTrace::Time time = FrameTrace::Time::Real);

    ParallelPort &open(PortRegisters registers) override;
    bool openMayWait(PortRegisters registers) const override {
        return m_inner->openMayWait(registers);
    }

    FrameTrace &trace() { return m_trace; }

private:
    class Port final : public ParallelPort {
    public:
        Port(FrameTrace &trace, int preset, ParallelPort &inner)
            : m_trace(trace)
            , m_preset(preset)
            , m_inner(&inner) {}

        void writeData(std::uint8_t value) override;
        std::uint8_t readStatus() override;
        // Hands the inner port the steps in one call, then records them.
        void run(std::span<const PinStep> steps, std::span<std::uint8_t> statuses) override;
        bool keepsLinesBetweenRuns() const override { return m_inner->keepsLinesBetweenRuns(); }
        bool isHardware() const override { return m_inner->isHardware(); }

    private:
        friend class TracingBackend;
        FrameTrace &m_trace;
        int m_preset;
        ParallelPort *m_inner;
    };

    std::unique_ptr<PortBackend> m_inner;
    FrameTrace m_trace;
    std::map<std::uint16_t, Port> m_ports; // by data register
};

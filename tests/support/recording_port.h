#pragma once

#include "link/frame_transfer.h"
#include "link/port_access.h"
#include "link/port_backend.h"

#include <functional>
#include <map>
#include <vector>

// Records every access, answers status reads from a function and can fail at
// a chosen access, as a port whose cable was pulled mid-frame. Counts the runs
// of steps its ports are handed.
class RecordingPort : public PortBackend {
public:
    struct Access {
        bool write;
        std::uint16_t base;
        std::uint8_t value;

        bool operator==(const Access &) const = default;
    };

    explicit RecordingPort(PortBackend *forwardTo = nullptr)
        : m_forward(forwardTo) {}

    ParallelPort &open(PortRegisters registers) override {
        m_opened.push_back(registers);
        ParallelPort *inner = m_forward ? &m_forward->open(registers) : nullptr;
        return m_ports.insert_or_assign(registers.data, Port(*this, registers.data, inner))
            .first->second;
    }

    const std::vector<Access> &accesses() const { return m_accesses; }
    // The registers of every port opened, in order.
    const std::vector<PortRegisters> &opened() const { return m_opened; }
    void clear() {
        m_accesses.clear();
        m_opened.clear();
    }
    void failAt(long access) { m_failAt = access; }
    void answerStatus(std::function<std::uint8_t(int)> status) { m_status = std::move(status); }

    long writes() const { return count(true); }
    long reads() const { return count(false); }
    long runs() const { return m_runs; }

private:
    class Port : public ParallelPort {
    public:
        Port(RecordingPort &owner, std::uint16_t base, ParallelPort *inner)
            : m_owner(&owner)
            , m_base(base)
            , m_inner(inner) {}

        void writeData(std::uint8_t value) override {
            m_owner->failIfDue(m_base);
            m_owner->m_accesses.push_back({true, m_base, value});
            if (m_inner)
                m_inner->writeData(value);
        }

        std::uint8_t readStatus() override {
            m_owner->failIfDue(m_base);
            std::uint8_t value = 0x7F;
            if (m_inner)
                value = m_inner->readStatus();
            else if (m_owner->m_status)
                value = m_owner->m_status(int(m_owner->m_accesses.size()));
            m_owner->m_accesses.push_back({false, m_base, value});
            return value;
        }

        void run(std::span<const PinStep> steps, std::span<std::uint8_t> statuses) override {
            ++m_owner->m_runs;
            ParallelPort::run(steps, statuses);
        }

        bool isHardware() const override { return !m_inner || m_inner->isHardware(); }

    private:
        RecordingPort *m_owner;
        std::uint16_t m_base;
        ParallelPort *m_inner;
    };

    long count(bool write) const {
        long n = 0;
        for (const Access &access : m_accesses)
            n += access.write == write;
        return n;
    }

    void failIfDue(std::uint16_t base) {
        if (m_failAt >= 0 && long(m_accesses.size()) == m_failAt)
            throw PortError(portName(base) + " on /dev/parport0: data write failed: No such "
                                             "device; check the port and its cable");
    }

    PortBackend *m_forward;
    std::map<std::uint16_t, Port> m_ports;
    std::vector<Access> m_accesses;
    std::vector<PortRegisters> m_opened;
    std::function<std::uint8_t(int)> m_status;
    long m_failAt = -1;
    long m_runs = 0;
};

// One frame of word on base as its accesses, written out step by step from
// the wiring's line table rather than from the code under test; each status
// read answers status.
inline std::vector<RecordingPort::Access> expectedFrame(std::uint16_t base, std::uint16_t word,
                                                        std::uint8_t status = 0x7F) {
    std::vector<RecordingPort::Access> frame;
    const auto write = [&](int value) { frame.push_back({true, base, std::uint8_t(value)}); };
    write(2);
    write(0);
    for (int n = 0; n < 16; ++n) {
        write(0);
        write(8);
        frame.push_back({false, base, status});
        write(0);
    }
    for (int bit = 15; bit >= 0; --bit) {
        const int sdi = (word >> bit) & 1 ? 4 : 0;
        write(sdi);
        write(sdi + 8);
        write(sdi);
    }
    write(0);
    write(2);
    return frame;
}

// One frame of word on the port at base, opened through backend.
inline FrameBits frameOn(PortBackend &backend, std::uint16_t base, std::uint16_t word) {
    return transferFrame(backend.open(registersAt(base)), word);
}

// The frames in a recorded access sequence, read back from the line values.
struct SentFrame {
    std::uint16_t base;
    std::uint16_t word;     // clocked in during the write phase
    std::uint16_t readBack; // sampled during the read phase
};

// Splits the accesses into frames of 100 writes and 16 reads; ok is false
// when any access falls outside that shape.
inline std::vector<SentFrame> framesIn(const std::vector<RecordingPort::Access> &accesses,
                                       bool *ok = nullptr) {
    constexpr std::size_t FrameLength = 116;
    std::vector<SentFrame> frames;
    bool wellFormed = accesses.size() % FrameLength == 0;
    for (std::size_t start = 0; wellFormed && start < accesses.size(); start += FrameLength) {
        SentFrame frame{accesses[start].base, 0, 0};
        int reads = 0;
        for (std::size_t i = start; i < start + FrameLength; ++i) {
            const RecordingPort::Access &access = accesses[i];
            wellFormed &= access.base == frame.base;
            if (!access.write) {
                frame.readBack =
                    std::uint16_t((frame.readBack << 1) | ((access.value & 0x80) ? 0 : 1));
                ++reads;
            }
        }
        // Write phase: the rising-edge write of bit n sits 3 * n + 1 after its start.
        const std::size_t writePhase = start + 2 + 16 * 4;
        for (int n = 0; n < 16; ++n) {
            const std::uint8_t rising = accesses[writePhase + std::size_t(3 * n + 1)].value;
            wellFormed &= (rising & 0x08) != 0;
            frame.word = std::uint16_t((frame.word << 1) | ((rising & 0x04) ? 1 : 0));
        }
        wellFormed &= reads == 16 && accesses[start].value == 2 &&
                      accesses[start + FrameLength - 1].value == 2;
        frames.push_back(frame);
    }
    if (ok)
        *ok = wellFormed;
    return frames;
}

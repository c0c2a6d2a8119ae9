#pragma once

#include "link/port_backend.h"

#include <functional>
#include <vector>

// Records every access, answers status reads from a function and can fail at
// a chosen access, as a port whose cable was pulled mid-frame.
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

    void writeData(std::uint16_t base, std::uint8_t value) override {
        failIfDue(base);
        m_accesses.push_back({true, base, value});
        if (m_forward)
            m_forward->writeData(base, value);
    }

    std::uint8_t readStatus(std::uint16_t base) override {
        failIfDue(base);
        std::uint8_t value = 0x7F;
        if (m_forward)
            value = m_forward->readStatus(base);
        else if (m_status)
            value = m_status(int(m_accesses.size()));
        m_accesses.push_back({false, base, value});
        return value;
    }

    const std::vector<Access> &accesses() const { return m_accesses; }
    void clear() { m_accesses.clear(); }
    void failAt(long access) { m_failAt = access; }
    void answerStatus(std::function<std::uint8_t(int)> status) { m_status = std::move(status); }

    long writes() const { return count(true); }
    long reads() const { return count(false); }

private:
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
    std::vector<Access> m_accesses;
    std::function<std::uint8_t(int)> m_status;
    long m_failAt = -1;
};

#pragma once

// The H chips' serial engine (MPSSE), the commands the FTDI back end uses, as
// FTDI's AN_108 (command processor for MPSSE) and AN_135 (MPSSE basics)
// describe them, on the low byte's pins: AD0 clock, AD1 data out, AD2 data
// in. Clocked commands run MSB first with the clock idling low: data out
// changes on the falling edge (the first bit is on the pin before the first
// rising edge), data in is sampled just before the falling edge. A bits read
// shifts in from bit 0. Any other command is refused as the chip refuses it:
// FAh, then the command. Shared by the host tests' stand-in and the emulated
// FT232H of the kernel tests.
#include <cstdint>
#include <functional>
#include <vector>

class MpsseEngine {
public:
    // drive(levels): the pins the engine drives changed; sample(): the pins.
    std::function<void(std::uint8_t)> drive;
    std::function<std::uint8_t()> sample;
    // Called once per clock period, for a model that keeps time.
    std::function<void()> tick = [] {};

    std::uint16_t divisor = 0xFFFF;
    bool divideBy5 = true;
    std::uint8_t levels = 0, directions = 0;
    long refused = 0;
    long sendImmediates = 0;

    // The engine's clock in Hz (AN_108, 86h).
    double clockHz() const { return (divideBy5 ? 12e6 : 60e6) / ((1.0 + divisor) * 2); }

    // Takes bytes from the host; returns what the engine answers. A command
    // cut short waits for the rest.
    std::vector<std::uint8_t> take(const std::uint8_t *bytes, std::size_t count) {
        m_pending.insert(m_pending.end(), bytes, bytes + count);
        std::vector<std::uint8_t> answer;
        std::size_t used;
        while (!m_pending.empty() && (used = command(answer)) > 0)
            m_pending.erase(m_pending.begin(), m_pending.begin() + long(used));
        return answer;
    }

private:
    void set(std::uint8_t value, std::uint8_t mask) {
        levels = std::uint8_t((levels & ~mask) | (value & mask));
        drive(std::uint8_t(levels & directions));
    }
    bool in() { return (sample() & 0x04) != 0; }
    void pulseOut(bool bit) {
        set(bit ? 0x02 : 0, 0x03); // with the clock low
        set(0x01, 0x01);
        tick();
        set(0, 0x01);
    }
    bool pulseIn() {
        set(0x01, 0x01);
        tick();
        const bool bit = in();
        set(0, 0x01);
        return bit;
    }

    // Runs the command at the head of m_pending: the bytes it took, or 0
    // when it is not all there yet.
    std::size_t command(std::vector<std::uint8_t> &answer) {
        const std::vector<std::uint8_t> &p = m_pending;
        const auto have = [&](std::size_t n) { return p.size() >= n; };
        const std::size_t bytes = have(3) ? std::size_t(p[1] | p[2] << 8) + 1 : 0;
        switch (p[0]) {
        case 0x80:
            if (!have(3))
                return 0;
            directions = p[2];
            set(p[1], 0xFF);
            return 3;
        case 0x81:
            answer.push_back(sample());
            return 1;
        case 0x87:
            ++sendImmediates;
            return 1;
        case 0x85: // loopback off
        case 0x8D: // three-phase clocking off
            return 1;
        case 0x8A:
        case 0x8B:
            divideBy5 = p[0] == 0x8B;
            return 1;
        case 0x86:
            if (!have(3))
                return 0;
            divisor = std::uint16_t(p[1] | p[2] << 8);
            return 3;
        case 0x11:
            if (!have(3) || !have(3 + bytes))
                return 0;
            for (std::size_t n = 0; n < bytes * 8; ++n)
                pulseOut((p[3 + n / 8] >> (7 - n % 8)) & 1);
            return 3 + bytes;
        case 0x13:
            if (!have(3))
                return 0;
            for (int n = 0; n <= p[1]; ++n)
                pulseOut((p[2] >> (7 - n)) & 1);
            return 3;
        case 0x24:
            if (!have(3))
                return 0;
            for (std::size_t n = 0; n < bytes; ++n) {
                std::uint8_t byte = 0;
                for (int bit = 0; bit < 8; ++bit)
                    byte = std::uint8_t(byte << 1 | pulseIn());
                answer.push_back(byte);
            }
            return 3;
        case 0x26: {
            if (!have(2))
                return 0;
            std::uint8_t byte = 0;
            for (int n = 0; n <= p[1]; ++n)
                byte = std::uint8_t(byte << 1 | pulseIn());
            answer.push_back(byte);
            return 2;
        }
        default:
            ++refused;
            answer.insert(answer.end(), {0xFA, p[0]});
            return 1;
        }
    }

    std::vector<std::uint8_t> m_pending;
};

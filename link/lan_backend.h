#pragma once

#include "link/port_backend.h"
#include "link/port_drivers.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The SCPI port an instrument listens on unless the binding names another.
inline constexpr std::uint16_t DefaultLanPort = 5025;

// How long connecting may take before the frame fails: about the parport
// driver's bound on waiting for a claim.
inline constexpr std::chrono::milliseconds LanTimeout{2000};
// How long an answer may take: longer than a panel there holds a setting
// while a message box is open on it (5 s) before it fails it, so that a
// frame sent there late is never one reported here as not sent.
inline constexpr std::chrono::milliseconds LanAnswerTimeout{7000};

// What "lan:HOST[:PORT]" names; an IPv6 address in brackets, "lan:[::1]:5025".
struct LanBinding {
    std::string host; // without the brackets
    std::uint16_t port = DefaultLanPort;

    // "HOST:PORT", an IPv6 address in brackets: as messages name the instrument.
    std::string where() const;
};

// Throws std::invalid_argument saying what is wrong; looks no name up.
LanBinding parseLanBinding(const std::string &binding);

// Reaches the board through a QuorvexEVM instrument on another host
// (quorvexctl serve, or the panel with --listen): each frame is one SCPI line,
// WORD:XCHange? with the word the frame sends, answered with the word the
// board read back in that frame, followed by SYSTem:ERRor? so that a line the
// instrument refused fails the frame. The frame's SDO samples are given from
// that word, so everything above the port sees what a local port gives. The
// read phase of a held-word read is WORD:HELD?, which writes the word back
// there; the write phase of that word that follows is then already done.
// Nothing else is run: every frame reaches the remote board whole or not at
// all. Connects at the first frame, and again at the frame after a lost
// connection; no call waits longer than its timeout for the network, apart
// from the system's own name lookup.
class LanBackend : public PortBackend {
public:
    explicit LanBackend(std::string binding, std::chrono::milliseconds timeout = LanTimeout,
                        std::chrono::milliseconds answerTimeout = LanAnswerTimeout);
    ~LanBackend() override;

    LanBackend(const LanBackend &) = delete;
    LanBackend &operator=(const LanBackend &) = delete;

    ParallelPort &open(PortRegisters registers) override;

private:
    class Port;

    std::string m_text;
    LanBinding m_binding;
    std::chrono::milliseconds m_timeout;       // to connect
    std::chrono::milliseconds m_answerTimeout; // for each answer
    std::unique_ptr<Port> m_port;
};

// The instruments announced on the network (DNS-SD, _scpi-raw._tcp), as
// avahi-browse finds them, each with its binding; none where that program or
// the Avahi daemon is missing. Waits for it LanTimeout at most.
std::vector<PresentAdapter> presentLanInstruments();
// The same, from the output of 'avahi-browse -rpt _scpi-raw._tcp'.
std::vector<PresentAdapter> lanInstrumentsIn(const std::string &avahiOutput);

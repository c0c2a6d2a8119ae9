#pragma once

#include "link/port_backend.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

// Opens the ports of another back end on a thread of its own, so that a port
// another program holds never keeps the caller waiting for the claim's whole
// bound (a port whose opening cannot wait for another program is opened at
// once, on the caller's thread): open() waits for an opening a moment at most (the grace), then
// fails at once with a PortError, and goes on failing at once while that opening runs; once it has
// ended, its port is the caller's for good, or the next open() starts another. Ports it has opened
// are used from the caller's thread, and never while an opening runs, so the back end behind it is
// only ever used from one thread at a time.
class PromptPorts : public PortBackend {
public:
    static constexpr std::chrono::milliseconds DefaultGrace{20};

    explicit PromptPorts(PortBackend &inner, std::chrono::milliseconds grace = DefaultGrace);
    // Waits for an opening still running (see opening()).
    ~PromptPorts() override;

    PromptPorts(const PromptPorts &) = delete;
    PromptPorts &operator=(const PromptPorts &) = delete;

    ParallelPort &open(PortRegisters registers) override;

    // Whether an opening is still waiting for its port: a program that must
    // end at once leaves it to the kernel, which drops the claim with it.
    bool opening();

private:
    class Port;
    struct Opening {
        PortRegisters registers;
        bool done = false;
        ParallelPort *port = nullptr;
        std::string failure;
    };

    // Ends the opening once it is done: its port joins the open ones.
    void collect();
    [[noreturn]] void failFast(PortRegisters registers);

    PortBackend &m_inner;
    std::chrono::milliseconds m_grace;
    std::map<std::uint16_t, std::unique_ptr<Port>> m_ports; // by data register
    std::mutex m_lock;
    std::condition_variable m_ended;
    std::optional<Opening> m_opening; // under m_lock while m_thread runs
    std::thread m_thread;
    std::string m_lastFailure; // what the last opening that failed said
};

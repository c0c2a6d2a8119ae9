#include "instrument/prompt_ports.h"

#include <utility>

// A port the inner back end opened. A failed access leaves the inner handle
// spent (its back end opens a fresh one next time), so the next open()
// starts an opening again.
class PromptPorts::Port final : public ParallelPort {
public:
    explicit Port(ParallelPort &inner)
        : m_inner(inner) {}

    bool spent() const { return m_spent; }

    void writeData(std::uint8_t value) override {
        guard([&] { m_inner.writeData(value); });
    }
    std::uint8_t readStatus() override {
        std::uint8_t value = 0;
        guard([&] { value = m_inner.readStatus(); });
        return value;
    }
    void run(std::span<const PinStep> steps, std::span<std::uint8_t> statuses) override {
        guard([&] { m_inner.run(steps, statuses); });
    }
    bool keepsLinesBetweenRuns() const override { return m_inner.keepsLinesBetweenRuns(); }
    bool isHardware() const override { return m_inner.isHardware(); }

private:
    template <typename Access> void guard(Access access) {
        try {
            access();
        } catch (const PortError &) {
            m_spent = true;
            throw;
        }
    }

    ParallelPort &m_inner;
    bool m_spent = false;
};

PromptPorts::PromptPorts(PortBackend &inner, std::chrono::milliseconds grace)
    : m_inner(inner)
    , m_grace(grace) {}

PromptPorts::~PromptPorts() {
    if (m_thread.joinable())
        m_thread.join();
}

bool PromptPorts::opening() {
    std::lock_guard lock(m_lock);
    return m_opening && !m_opening->done;
}

void PromptPorts::collect() {
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard lock(m_lock);
        if (!m_opening->done)
            return;
    }
    m_thread.join();
    if (m_opening->port) {
        m_ports[m_opening->registers.data] = std::make_unique<Port>(*m_opening->port);
        m_lastFailure.clear();
    } else {
        m_lastFailure = m_opening->failure;
    }
    m_opening.reset();
}

ParallelPort &PromptPorts::open(PortRegisters registers) {
    collect();
    if (m_thread.joinable())
        failFast(registers);
    const auto found = m_ports.find(registers.data);
    if (found != m_ports.end() && !found->second->spent())
        return *found->second;
    m_ports.erase(registers.data);
    if (!m_inner.openMayWait(registers)) {
        // Nothing to wait for (an adapter, direct I/O): opened here and now,
        // however long its device takes to answer.
        m_ports[registers.data] = std::make_unique<Port>(m_inner.open(registers));
        return *m_ports[registers.data];
    }

    m_opening = Opening{registers, false, nullptr, {}};
    m_thread = std::thread([this, registers] {
        ParallelPort *port = nullptr;
        std::string failure;
        try {
            port = &m_inner.open(registers);
        } catch (const PortError &error) {
            failure = error.what();
        } catch (const std::exception &error) {
            failure = portName(registers.data) + ": " + error.what();
        }
        std::lock_guard lock(m_lock);
        m_opening->port = port;
        m_opening->failure = std::move(failure);
        m_opening->done = true;
        m_ended.notify_all();
    });
    {
        std::unique_lock lock(m_lock);
        m_ended.wait_for(lock, m_grace, [this] { return m_opening->done; });
    }
    collect();
    if (m_thread.joinable())
        failFast(registers);
    const auto opened = m_ports.find(registers.data);
    if (opened == m_ports.end())
        throw PortError(std::exchange(m_lastFailure, {}));
    return *opened->second;
}

void PromptPorts::failFast(PortRegisters registers) {
    const std::string waitingFor = portName(m_opening->registers.data);
    std::string message = portName(registers.data) + ": nothing was sent: ";
    message += registers == m_opening->registers
                   ? "the port is still being claimed"
                   : "the port waits while " + waitingFor + " is being claimed";
    message += m_lastFailure.empty()
                   ? ", which another program seems to hold; try again in a moment"
                   : "; the last try said: " + m_lastFailure;
    throw PortError(message);
}

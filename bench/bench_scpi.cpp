#include "link/frame_transfer.h"
#include "link/lan_backend.h"

#include <QProcess>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The real 'quorvexctl --simulate serve' as a child process on a free
// loopback port, and one connection to it with Nagle's delay off, as
// PyVISA holds one.
class ScpiSession {
public:
    ScpiSession() {
        m_server.setReadChannel(QProcess::StandardError);
        m_server.start(QStringLiteral(QUORVEXCTL_BINARY),
                       {"--simulate", "serve", "--listen", "127.0.0.1:0"});
        if (!m_server.waitForReadyRead(10000))
            throw std::runtime_error("quorvexctl serve did not start");
        const QByteArray where = m_server.readAllStandardError().trimmed();
        m_port = where.split(':').last().toUShort();
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(m_port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_socket = socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        setsockopt(m_socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (connect(m_socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot connect to quorvexctl serve: " + where.toStdString());
    }
    ~ScpiSession() {
        close(m_socket);
        m_server.terminate();
        m_server.waitForFinished();
    }

    std::uint16_t port() const { return m_port; }

    ScpiSession(const ScpiSession &) = delete;
    ScpiSession &operator=(const ScpiSession &) = delete;

    void send(const std::string &text) {
        for (std::size_t sent = 0; sent < text.size();) {
            const ssize_t n = ::send(m_socket, text.data() + sent, text.size() - sent, 0);
            if (n <= 0)
                throw std::runtime_error("quorvexctl serve hung up");
            sent += std::size_t(n);
        }
    }

    // Waits for the "1\n" of the *OPC? that ends each exchange here.
    void awaitOperationComplete() {
        char answer[2];
        std::size_t received = 0;
        while (received < sizeof answer) {
            const ssize_t n = recv(m_socket, answer + received, sizeof answer - received, 0);
            if (n <= 0)
                throw std::runtime_error("quorvexctl serve hung up");
            received += std::size_t(n);
        }
    }

private:
    QProcess m_server;
    int m_socket = -1;
    std::uint16_t m_port = 0;
};

double medianOf(std::vector<double> &values) {
    std::nth_element(values.begin(), values.begin() + long(values.size() / 2), values.end());
    return values[values.size() / 2];
}

} // namespace

// A script's step: write "GAIN 33", then query "*OPC?" and wait for its
// answer. Each round trip is timed on its own; median_us is their median.
static void BM_ScpiRoundTrip(benchmark::State &state) {
    ScpiSession session;
    std::vector<double> roundTrips;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        session.send("GAIN 33\n");
        session.send("*OPC?\n");
        session.awaitOperationComplete();
        roundTrips.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    state.counters["median_us"] = medianOf(roundTrips);
}
BENCHMARK(BM_ScpiRoundTrip)->Iterations(5000)->UseRealTime();

// One frame through a lan: binding to the same server: the panel's frame as
// one exchange there. Timed as the round trip above; median_us likewise.
static void BM_FrameThroughLan(benchmark::State &state) {
    ScpiSession session;
    LanBackend lan("lan:127.0.0.1:" + std::to_string(session.port()));
    std::vector<double> frames;
    std::uint16_t word = 0;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        benchmark::DoNotOptimize(sendWord(lan, {0x378, 0x379}, word++));
        frames.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    state.counters["median_us"] = medianOf(frames);
}
BENCHMARK(BM_FrameThroughLan)->Iterations(5000)->UseRealTime();

// A sweep written without waiting: state.range(0) gain commands, each one
// frame, then *OPC? to learn that all of them have run.
static void BM_ScpiPipelined(benchmark::State &state) {
    ScpiSession session;
    std::string batch;
    for (int i = 0; i < state.range(0); ++i)
        batch += "GAIN " + std::to_string(12 + 3 * (i % 17)) + "\n";
    batch += "*OPC?\n";
    for (auto _ : state) {
        session.send(batch);
        session.awaitOperationComplete();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ScpiPipelined)->Arg(1000)->UseRealTime();

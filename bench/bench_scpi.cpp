#include "link/frame_transfer.h"
#include "link/lan_backend.h"

#include <QProcess>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
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
        while (!m_server.canReadLine() && m_server.waitForReadyRead(10000)) {
        }
        const QByteArray where = m_server.readLine().trimmed();
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
namespace {

// The same server's VXI-11 core channel, as a VISA drives TCPIP::HOST::INSTR:
// one link, a device_write per message with END set and a device_read for
// the answer, each an ONC RPC call in one record.
class Vxi11Session {
public:
    Vxi11Session() {
        m_server.setReadChannel(QProcess::StandardError);
        m_server.start(QStringLiteral(QUORVEXCTL_BINARY),
                       {"--simulate", "serve", "--listen", "127.0.0.1:0", "--no-dns-sd"});
        QByteArray line;
        while (!line.contains("VXI-11 on port")) {
            if (!m_server.canReadLine() && !m_server.waitForReadyRead(10000))
                throw std::runtime_error("quorvexctl serve did not offer VXI-11");
            line = m_server.readLine();
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(line.split(' ').at(4).toUShort());
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_socket = socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        setsockopt(m_socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        if (connect(m_socket, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot connect to VXI-11");
        // create_link: client id, no lock, lock_timeout, "inst0".
        const std::vector<std::uint32_t> reply = call(10, {0, 0, 0, 5, 0x696e7374, 0x30000000});
        m_link = reply.at(1);
    }
    ~Vxi11Session() {
        close(m_socket);
        m_server.terminate();
        m_server.waitForFinished();
    }
    Vxi11Session(const Vxi11Session &) = delete;
    Vxi11Session &operator=(const Vxi11Session &) = delete;

    // device_write with END: link, io_timeout, lock_timeout, flags, data.
    void write(const std::string &message) {
        std::vector<std::uint32_t> args{m_link, 1000, 0, 8, std::uint32_t(message.size())};
        for (std::size_t k = 0; k < message.size(); k += 4) {
            std::uint32_t word = 0;
            for (std::size_t b = 0; b < 4; ++b)
                word = word << 8 | (k + b < message.size() ? std::uint8_t(message[k + b]) : 0);
            args.push_back(word);
        }
        call(11, args);
    }
    // device_read: link, requestSize, io_timeout, lock_timeout, flags, termChar.
    void read() { call(12, {m_link, 1024, 1000, 0, 0, 0}); }

private:
    // The results of a call, the words after accept_stat.
    std::vector<std::uint32_t> call(std::uint32_t procedure,
                                    const std::vector<std::uint32_t> &args) {
        std::vector<std::uint32_t> words{0, ++m_xid, 0, 2, 0x0607AF, 1, procedure, 0, 0, 0, 0};
        words.insert(words.end(), args.begin(), args.end());
        words[0] = 0x80000000u | std::uint32_t(4 * (words.size() - 1));
        for (std::uint32_t &word : words)
            word = htonl(word);
        if (::send(m_socket, words.data(), 4 * words.size(), 0) != ssize_t(4 * words.size()))
            throw std::runtime_error("VXI-11 hung up");
        std::uint32_t mark = 0;
        receive(&mark, 4);
        std::vector<std::uint32_t> reply((ntohl(mark) & 0x7fffffff) / 4);
        receive(reply.data(), 4 * reply.size());
        for (std::uint32_t &word : reply)
            word = ntohl(word);
        return {reply.begin() + 6, reply.end()};
    }
    void receive(void *into, std::size_t size) {
        for (std::size_t got = 0; got < size;) {
            const ssize_t n = recv(m_socket, static_cast<char *>(into) + got, size - got, 0);
            if (n <= 0)
                throw std::runtime_error("VXI-11 hung up");
            got += std::size_t(n);
        }
    }

    QProcess m_server;
    int m_socket = -1;
    std::uint32_t m_xid = 0;
    std::uint32_t m_link = 0;
};

} // namespace

// The raw socket's round trip through VXI-11: GAIN 33, then *OPC? and its
// answer, as three calls.
static void BM_Vxi11RoundTrip(benchmark::State &state) {
    Vxi11Session session;
    std::vector<double> roundTrips;
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        session.write("GAIN 33\n");
        session.write("*OPC?\n");
        session.read();
        roundTrips.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start)
                .count());
    }
    state.counters["median_us"] = medianOf(roundTrips);
}
BENCHMARK(BM_Vxi11RoundTrip)->Iterations(5000)->UseRealTime();

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

#include "link/lan_backend.h"

#include "link/frame_transfer.h"
#include "link/port_access.h"
#include "link/port_drivers.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

// An answer longer than this is no answer of ours (ours are about 30 bytes; a
// port error's text a few hundred).
constexpr std::size_t MaxAnswerLength = 16384;

// The device-specific error the instrument queues for a frame its port could
// not send.
constexpr int RemotePortError = 100;

bool isHostCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

std::uint16_t lanPortIn(const std::string &text) {
    if (text.empty() || text.size() > 5 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
        std::stoi(text) < 1 || std::stoi(text) > 65535)
        throw std::invalid_argument("'" + text + "' is not a TCP port: give 1 to 65535");
    return std::uint16_t(std::stoi(text));
}

std::string hexWord(std::uint16_t word) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", unsigned(word));
    return text;
}

// Milliseconds left until deadline, for poll: 0 once it has passed.
int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return int(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// Waits for events on fd until deadline: false when it passed first.
bool waitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        pollfd poller{fd, events, 0};
        const int ready = ::poll(&poller, 1, millisecondsUntil(deadline));
        if (ready > 0)
            return true;
        if (ready == 0)
            return false;
        if (errno != EINTR)
            return true; // the call that follows says what is wrong
    }
}

// The text of a queued error, '100,"text"': its code and its text with the
// doubled quotes undone; nothing when it is not one.
bool parseError(const std::string &entry, int &code, std::string &text) {
    const std::size_t comma = entry.find(',');
    if (comma == std::string::npos || comma == 0 || entry.size() < comma + 3 ||
        entry[comma + 1] != '"' || entry.back() != '"')
        return false;
    try {
        std::size_t used = 0;
        code = std::stoi(entry.substr(0, comma), &used);
        if (used != comma)
            return false;
    } catch (const std::logic_error &) {
        return false;
    }
    text.clear();
    for (std::size_t i = comma + 2; i + 1 < entry.size(); ++i) {
        text += entry[i];
        if (entry[i] == '"' && entry[i + 1] == '"')
            ++i;
    }
    return true;
}

} // namespace

std::string LanBinding::where() const {
    const std::string name = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return name + ":" + std::to_string(port);
}

LanBinding parseLanBinding(const std::string &binding) {
    const std::string syntax = "expected lan:HOST[:PORT], e.g. lan:bench-pi, lan:192.168.1.20:5025 "
                               "or lan:[fe80::1%eth0]";
    if (binding.rfind("lan:", 0) != 0 || binding.size() == 4)
        throw std::invalid_argument(syntax);
    const std::string rest = binding.substr(4);
    LanBinding parsed;
    if (rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos || close == 1)
            throw std::invalid_argument("an IPv6 address goes between '[' and ']'; " + syntax);
        parsed.host = rest.substr(1, close - 1);
        const bool address = std::all_of(parsed.host.begin(), parsed.host.end(), [](char c) {
            return isHostCharacter(c) || c == ':' || c == '%';
        });
        if (!address || parsed.host.find(':') == std::string::npos)
            throw std::invalid_argument("'" + parsed.host + "' is not an IPv6 address; " + syntax);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':')
                throw std::invalid_argument(syntax);
            parsed.port = lanPortIn(rest.substr(close + 2));
        }
        return parsed;
    }
    const std::size_t colon = rest.find(':');
    if (colon != std::string::npos && rest.find(':', colon + 1) != std::string::npos)
        throw std::invalid_argument("an IPv6 address goes in brackets: lan:[" + rest + "]");
    parsed.host = rest.substr(0, colon);
    if (parsed.host.empty() ||
        !std::all_of(parsed.host.begin(), parsed.host.end(), isHostCharacter))
        throw std::invalid_argument("'" + parsed.host + "' is not a host name or address; " +
                                    syntax);
    if (colon != std::string::npos)
        parsed.port = lanPortIn(rest.substr(colon + 1));
    return parsed;
}

class LanBackend::Port final : public TransferPort {
public:
    Port(const LanBackend &backend, std::uint16_t base)
        : m_backend(backend)
        , m_where(portName(base) + " on " + backend.m_text + ": ") {}
    ~Port() override { disconnect(); }

    Port(const Port &) = delete;
    Port &operator=(const Port &) = delete;

    void run(std::span<const PinStep> steps, std::span<std::uint8_t> statuses) override {
        static constexpr ReadPhase ReadOnly = readPhase();
        const bool writeBack = m_heldWrittenBack;
        m_heldWrittenBack = false;
        if (steps.size() == ReadOnly.size() &&
            std::equal(steps.begin(), steps.end(), ReadOnly.begin())) {
            m_held = exchange("WORD:HELD?");
            giveSamples(m_held, statuses);
            m_heldWrittenBack = true;
            return;
        }
        if (writeBack && steps.size() == WritePhase().size()) {
            const WritePhase expected = writePhase(m_held);
            if (std::equal(steps.begin(), steps.end(), expected.begin()))
                return;
        }
        if (steps.size() == FrameLength) {
            // The write phase puts the word on SDI three steps a bit, MSB first.
            std::uint16_t word = 0;
            for (int bit = 0; bit < 16; ++bit) {
                const PinStep &step = steps[std::size_t(ReadPhaseLength + 3 * bit)];
                word = std::uint16_t((word << 1) | ((step.data & SdiLine) ? 1 : 0));
            }
            const Frame frame = frameFor(word);
            if (std::equal(steps.begin(), steps.end(), frame.begin())) {
                giveSamples(exchange("WORD:XCHange? #H" + hexWord(word)), statuses);
                return;
            }
        }
        throw PortError(m_where + "only whole frames can be run on another host, and these " +
                        std::to_string(steps.size()) +
                        " steps are none; nothing was sent. Bind a local port for other access");
    }

private:
    static void giveSamples(std::uint16_t word, std::span<std::uint8_t> statuses) {
        for (std::size_t n = 0; n < statuses.size() && n < 16; ++n)
            statuses[n] = statusForSdo((word >> (15 - n)) & 1);
    }

    // Runs query and the error check as one line; returns the word answered.
    std::uint16_t exchange(const std::string &query) {
        const std::string where = m_backend.m_binding.where();
        if (m_socket >= 0 && !idle())
            disconnect();
        if (m_socket < 0)
            connect(Clock::now() + m_backend.m_timeout);
        const auto deadline = Clock::now() + m_backend.m_answerTimeout;
        const std::string line = query + ";:SYSTem:ERRor?\n";
        std::size_t sent = 0;
        while (sent < line.size()) {
            const ssize_t n =
                ::send(m_socket, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            // A line half sent never runs there: the connection goes with it.
            if (n < 0 && errno == EAGAIN) {
                if (!waitFor(m_socket, POLLOUT, deadline))
                    lose("it took nothing in within the time");
                continue;
            }
            if (n < 0)
                lose(std::strerror(errno));
            sent += std::size_t(n);
        }
        std::string answer;
        char buffer[512];
        while (answer.find('\n') == std::string::npos) {
            if (!waitFor(m_socket, POLLIN, deadline)) {
                disconnect();
                throw PortError(m_where + where + " did not answer within " +
                                std::to_string(m_backend.m_answerTimeout.count()) +
                                " ms; the frame is not counted as sent, though it may have "
                                "reached the board there ('quorvexctl read' there shows what "
                                "it holds), and the next frame connects again. Check that "
                                "the host is up and that the instrument there is not busy");
            }
            const ssize_t n = ::recv(m_socket, buffer, sizeof buffer, 0);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0)
                lose(n == 0 ? "it closed the connection" : std::strerror(errno));
            answer.append(buffer, std::size_t(n));
            if (answer.size() > MaxAnswerLength)
                garbled(answer.substr(0, 80) + "...");
        }
        answer.resize(answer.find('\n'));
        if (!answer.empty() && answer.back() == '\r')
            answer.pop_back();
        return parseAnswer(answer);
    }

    // "#H8112;0,\"No error\"": the word, then the line's error check. A query
    // that failed gives no answer of its own, only its error.
    std::uint16_t parseAnswer(const std::string &answer) {
        const std::string where = m_backend.m_binding.where();
        std::string error = answer;
        bool answered = false;
        if (answer.size() >= 7 && (answer.compare(0, 2, "#H") == 0) && answer[6] == ';') {
            const std::string digits = answer.substr(2, 4);
            if (std::all_of(digits.begin(), digits.end(),
                            [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); })) {
                m_lastAnswer = std::uint16_t(std::stoul(digits, nullptr, 16));
                error = answer.substr(7);
                answered = true;
            }
        }
        int code = 0;
        std::string text;
        if (!parseError(error, code, text))
            garbled(answer);
        if (code == 0 && answered)
            return m_lastAnswer;
        if (code == RemotePortError)
            throw PortError(m_where + "the board's port at " + where + " failed there: " + text);
        if (code == 0)
            garbled(answer);
        const std::string remedy =
            code == -221 ? "the person at that panel is editing its bits (Update or Clear there "
                           "ends it), or another session holds the instrument's lock"
                         : "check that the instrument there is a QuorvexEVM of this version "
                           "(quorvexctl serve, or the panel with --listen)";
        throw PortError(m_where + where + " refused the frame's line (" + std::to_string(code) +
                        " \"" + text + "\"); the frame is not counted as sent; " + remedy);
    }

    [[noreturn]] void garbled(const std::string &answer) {
        disconnect();
        throw PortError(m_where + m_backend.m_binding.where() + " answered '" + answer +
                        "', which no QuorvexEVM instrument answers; the frame is not counted as "
                        "sent. Check that quorvexctl serve (or the panel with --listen) listens "
                        "there");
    }

    [[noreturn]] void lose(const std::string &reason) {
        disconnect();
        throw PortError(m_where + "the connection to " + m_backend.m_binding.where() +
                        " was lost (" + reason +
                        "); the frame is not counted as sent, and the next frame connects again");
    }

    // Whether the connection is still up with nothing unasked waiting: a
    // server that went away, or bytes no line of ours asked for, mean the
    // next line goes on a fresh one.
    bool idle() const {
        char byte = 0;
        const ssize_t n = ::recv(m_socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }

    void connect(Clock::time_point deadline) {
        const LanBinding &binding = m_backend.m_binding;
        const std::string remedy =
            "; start 'quorvexctl serve --listen 0.0.0.0:" + std::to_string(binding.port) +
            "' (or the panel with --listen) on " + binding.host + ", and check the host and port";
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo *found = nullptr;
        const std::string service = std::to_string(binding.port);
        const int lookup = ::getaddrinfo(binding.host.c_str(), service.c_str(), &hints, &found);
        if (lookup != 0)
            throw PortError(m_where + "cannot find host '" + binding.host + "': " +
                            (lookup == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(lookup)) +
                            "; check the name, or give its address");
        std::string reason = "no address";
        for (const addrinfo *address = found; address && m_socket < 0; address = address->ai_next) {
            const int fd = ::socket(address->ai_family,
                                    address->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
            if (fd < 0) {
                reason = std::strerror(errno);
                continue;
            }
            int error = 0;
            if (::connect(fd, address->ai_addr, address->ai_addrlen) < 0) {
                error = errno;
                if (error == EINPROGRESS) {
                    socklen_t size = sizeof error;
                    error =
                        waitFor(fd, POLLOUT, deadline)
                            ? (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) < 0 ? errno
                                                                                         : error)
                            : ETIMEDOUT;
                }
            }
            if (error) {
                reason =
                    error == ETIMEDOUT
                        ? "no answer within " + std::to_string(m_backend.m_timeout.count()) + " ms"
                        : std::strerror(error);
                ::close(fd);
                continue;
            }
            // One short line each way per frame: send it at once.
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            m_socket = fd;
        }
        ::freeaddrinfo(found);
        if (m_socket < 0)
            throw PortError(m_where + "cannot connect to " + binding.where() + ": " + reason +
                            remedy);
    }

    void disconnect() {
        if (m_socket >= 0)
            ::close(m_socket);
        m_socket = -1;
    }

    const LanBackend &m_backend;
    std::string m_where; // "LPT1 (378h) on lan:HOST: "
    int m_socket = -1;
    std::uint16_t m_lastAnswer = 0;
    std::uint16_t m_held = 0;
    bool m_heldWrittenBack = false;
};

LanBackend::LanBackend(std::string binding, std::chrono::milliseconds timeout,
                       std::chrono::milliseconds answerTimeout)
    : m_text(std::move(binding))
    , m_binding(parseLanBinding(m_text))
    , m_timeout(timeout)
    , m_answerTimeout(answerTimeout) {}

LanBackend::~LanBackend() = default;

ParallelPort &LanBackend::open(PortRegisters registers) {
    if (!m_port)
        m_port = std::make_unique<Port>(*this, registers.data);
    return *m_port;
}

std::vector<PresentAdapter> lanInstrumentsIn(const std::string &avahiOutput) {
    // avahi-browse --parsable puts a backslash before a name's dots,
    // backslashes and semicolons, and gives other characters as \DDD
    // (decimal), a space as \032.
    const auto unescaped = [](const std::string &text) {
        std::string plain;
        for (std::size_t i = 0; i < text.size(); ++i) {
            if (text[i] != '\\' || i + 1 == text.size()) {
                plain += text[i];
            } else if (i + 3 < text.size() &&
                       std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
                plain += char(std::stoi(text.substr(i + 1, 3)));
                i += 3;
            } else {
                plain += text[++i];
            }
        }
        return plain;
    };
    std::vector<PresentAdapter> found;
    std::size_t start = 0;
    while (start < avahiOutput.size()) {
        std::size_t end = avahiOutput.find('\n', start);
        if (end == std::string::npos)
            end = avahiOutput.size();
        // "=;IFACE;IPv4;NAME;_scpi-raw._tcp;local;HOST.local;ADDRESS;PORT;TXT": one resolved.
        std::vector<std::string> fields;
        for (std::size_t at = start; fields.size() < 10;) {
            const std::size_t semicolon = avahiOutput.find(';', at);
            const std::size_t stop = std::min(semicolon, end);
            fields.push_back(avahiOutput.substr(at, stop - at));
            if (stop == end)
                break;
            at = stop + 1;
        }
        start = end + 1;
        if (fields.size() < 9 || fields[0] != "=" || fields[8].empty())
            continue;
        std::string address = fields[7];
        if (address.find(':') != std::string::npos)
            address = "[" + address + (address.rfind("fe80:", 0) == 0 ? "%" + fields[1] : "") + "]";
        PresentAdapter instrument{"lan:" + address + ":" + fields[8],
                                  "'" + unescaped(fields[3]) + "' on " + fields[6] +
                                      ", announced on the network"};
        if (std::none_of(found.begin(), found.end(), [&](const PresentAdapter &seen) {
                return seen.binding == instrument.binding;
            }))
            found.push_back(std::move(instrument));
    }
    return found;
}

std::vector<PresentAdapter> presentLanInstruments() {
    // What the Avahi daemon has seen announced, resolved; without the program
    // or the daemon, nothing.
    int output[2];
    if (::pipe2(output, O_CLOEXEC) < 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // The signals this program holds back are the child's to take.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
    char *arguments[] = {const_cast<char *>("avahi-browse"), const_cast<char *>("-rpt"),
                         const_cast<char *>("_scpi-raw._tcp"), nullptr};
    pid_t child = -1;
    const int spawned =
        ::posix_spawnp(&child, "avahi-browse", &actions, &attributes, arguments, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(output[1]);
    std::string text;
    if (spawned == 0) {
        const auto deadline = Clock::now() + LanTimeout;
        char buffer[4096];
        for (;;) {
            if (!waitFor(output[0], POLLIN, deadline)) {
                ::kill(child, SIGKILL);
                break;
            }
            const ssize_t n = ::read(output[0], buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            text.append(buffer, std::size_t(n));
        }
        while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    ::close(output[0]);
    return lanInstrumentsIn(text);
}

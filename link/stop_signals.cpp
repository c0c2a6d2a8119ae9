#include "link/stop_signals.h"

#include <cerrno>
#include <system_error>

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

const sigset_t &stopSignalSet() {
    static const sigset_t set = [] {
        sigset_t signals;
        sigemptyset(&signals);
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
            sigaddset(&signals, signal);
        return signals;
    }();
    return set;
}

StopSignals::StopSignals() {
    pthread_sigmask(SIG_BLOCK, &stopSignalSet(), nullptr);
    m_descriptor = signalfd(-1, &stopSignalSet(), SFD_CLOEXEC | SFD_NONBLOCK);
    if (m_descriptor < 0)
        throw std::system_error(errno, std::generic_category(),
                                "cannot watch for SIGINT, SIGTERM, SIGHUP and SIGQUIT (signalfd)");
}

StopSignals::~StopSignals() {
    ::close(m_descriptor);
}

int StopSignals::take() {
    signalfd_siginfo info{};
    ssize_t got;
    do
        got = ::read(m_descriptor, &info, sizeof info);
    while (got < 0 && errno == EINTR);
    return got == ssize_t(sizeof info) ? int(info.ssi_signo) : 0;
}

bool stopSignalPending() {
    sigset_t pending;
    if (sigpending(&pending) < 0)
        return false;
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        if (sigismember(&pending, signal))
            return true;
    }
    return false;
}

void endAsSignalled(int signal) {
    if (signal <= 0)
        return;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    // To this thread alone, the only one that lets it through.
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal);
    pthread_kill(pthread_self(), signal);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
}

void releaseStopSignals() noexcept {
    // Built here, without the lazily made set: only async-signal-safe calls.
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigaddset(&signals, signal);
    sigprocmask(SIG_UNBLOCK, &signals, nullptr);
}

#pragma once

#include <csignal>

// The signals that end a program: SIGINT, SIGTERM, SIGHUP and SIGQUIT.
const sigset_t &stopSignalSet();

// Holds the signals that end a program back in every thread and hands them to
// an event loop through one descriptor, so that they act only between
// frames. Create it first thing in main, before the toolkit or anything else
// starts a thread: the mask it sets in the calling thread is the one every
// later thread inherits, and a thread started before it would take the
// signal's default action in the middle of a frame.
class StopSignals {
public:
    // Throws std::system_error when the descriptor cannot be had.
    StopSignals();
    ~StopSignals();

    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;

    // Readable while one of the signals is pending; non-blocking, close-on-exec.
    int descriptor() const { return m_descriptor; }

    // Takes the pending signal: its number, or 0 when none is pending.
    int take();

private:
    int m_descriptor;
};

// Whether one of the signals is pending for the process or this thread, while
// they are held back: a cheap look between two frames.
bool stopSignalPending();

// Ends the process as the signal asks, by its default action, once the
// program has let go of what it holds. Returns only for a signal whose
// default action does not end a program.
void endAsSignalled(int signal);

// Lets the signals through again in a child about to start another program,
// which expects to start with none held. Async-signal-safe.
void releaseStopSignals() noexcept;

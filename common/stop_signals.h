// The signals that ask a run to stop, which both programs that write a file
// (twopass and vnt-host) answer alike: the file written so far is completed
// and the run ends, never killed half-written. Where the system has them.
#pragma once

#include <csignal>

inline constexpr int kStopSignals[] = {
    SIGINT,
    SIGTERM,
#ifdef SIGHUP
    SIGHUP,
#endif
#ifdef SIGQUIT
    SIGQUIT,
#endif
#ifdef SIGUSR1
    SIGUSR1,
    SIGUSR2,
#endif
};

// A reader of our messages that goes away (standard error into a pipe that
// is closed) is no reason to lose the file: the write fails, the run goes on.
inline void stop_signals_ignore_broken_pipe() {
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
}

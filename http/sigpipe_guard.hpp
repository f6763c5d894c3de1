// A peer that closed the connection must not kill the process with SIGPIPE, whatever the rest
// of the program does with that signal. POSIX only.
#pragma once

#include <signal.h>

namespace velora {

// Blocks SIGPIPE on this thread while it lives, and swallows one that became pending meanwhile.
class TSigPipeGuard {
public:
    TSigPipeGuard();
    ~TSigPipeGuard();
    TSigPipeGuard(const TSigPipeGuard&) = delete;
    TSigPipeGuard& operator=(const TSigPipeGuard&) = delete;

private:
    sigset_t FPipe{};
    sigset_t FOld{};
    bool FWasPending = false;
};

} // namespace velora

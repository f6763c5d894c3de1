#include "http/sigpipe_guard.hpp"

#include <pthread.h>
#include <time.h>

namespace velora {

TSigPipeGuard::TSigPipeGuard() {
    sigemptyset(&FPipe);
    sigaddset(&FPipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &FPipe, &FOld);
    sigset_t pending;
    sigpending(&pending);
    FWasPending = sigismember(&pending, SIGPIPE) == 1;
}

TSigPipeGuard::~TSigPipeGuard() {
    if (!FWasPending) {
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) == 1) {
            const timespec zero{};
            sigtimedwait(&FPipe, nullptr, &zero);
        }
    }
    pthread_sigmask(SIG_SETMASK, &FOld, nullptr);
}

} // namespace velora

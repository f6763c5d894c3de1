#include "http/winhttp_watchdog.hpp"

namespace velora::winhttp {

TWatchdog::TWatchdog(ITarget& target, TMinimumRate rate) : FTarget(target), FRate(rate) {
    FTimer = ::CreateThreadpoolTimer(&TWatchdog::OnTimer, this, nullptr);
    if (FTimer == nullptr)
        return;
    // Four looks a second are fine enough for limits of a second and more.
    constexpr DWORD kPeriodMs = 250;
    ULARGE_INTEGER due;
    due.QuadPart = static_cast<ULONGLONG>(-static_cast<LONGLONG>(kPeriodMs) * 10000);
    FILETIME start{due.LowPart, due.HighPart};
    ::SetThreadpoolTimer(FTimer, &start, kPeriodMs, 0);
}

TWatchdog::~TWatchdog() {
    if (FTimer == nullptr)
        return;
    ::SetThreadpoolTimer(FTimer, nullptr, 0, 0);
    ::WaitForThreadpoolTimerCallbacks(FTimer, TRUE);
    ::CloseThreadpoolTimer(FTimer);
}

void TWatchdog::Sending() {
    std::lock_guard guard(FLock);
    FRate.Start(TRateWindow::Clock::now(), FBytesArrived.load());
}

void CALLBACK TWatchdog::OnTimer(PTP_CALLBACK_INSTANCE, PVOID self, PTP_TIMER) {
    auto& watchdog = *static_cast<TWatchdog*>(self);
    const auto now = TRateWindow::Clock::now();
    if (!watchdog.FExpired) {
        std::lock_guard guard(watchdog.FLock);
        const auto deadline = watchdog.FTarget.WatchedDeadline();
        watchdog.FExpired = (deadline && now >= *deadline) ||
                            watchdog.FRate.TooSlow(now, watchdog.FBytesArrived.load());
    }
    if (watchdog.FExpired)
        watchdog.FTarget.Expire();
}

} // namespace velora::winhttp

// Ends a WinHTTP transfer that runs out of the exchange's time, or whose peer trickles under the
// minimum rate: WinHTTP's synchronous calls would otherwise wait for as long as the peer keeps
// sending something. A thread-pool timer looks four times a second. Windows only.
#pragma once

#include "http/rate_window.hpp"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

namespace velora::winhttp {

class TWatchdog {
public:
    // The request whose handle the watchdog closes.
    class ITarget {
    public:
        // Called on the timer's thread at each look once the limit was passed: a handle the
        // request opened since is closed too.
        virtual void Expire() = 0;
        // When the exchange must be over, read at each look: the exchange may shorten it once
        // the response's headers are in. Safe to call from the timer's thread.
        virtual std::optional<std::chrono::steady_clock::time_point> WatchedDeadline() const = 0;

    protected:
        ~ITarget() = default;
    };

    TWatchdog(ITarget& target, TMinimumRate rate);
    ~TWatchdog();
    TWatchdog(const TWatchdog&) = delete;
    TWatchdog& operator=(const TWatchdog&) = delete;

    // A request goes out: the minimum rate is judged from now.
    void Sending();
    void BytesArrived(std::uint64_t bytes) { FBytesArrived += bytes; }

private:
    static void CALLBACK OnTimer(PTP_CALLBACK_INSTANCE, PVOID self, PTP_TIMER);

    ITarget& FTarget;
    PTP_TIMER FTimer = nullptr;
    std::mutex FLock;
    TRateWindow FRate;
    std::atomic<std::uint64_t> FBytesArrived{0};
    std::atomic<bool> FExpired{false};
};

} // namespace velora::winhttp

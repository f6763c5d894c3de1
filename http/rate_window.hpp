// The minimum-rate rule over a running count of received bytes: too few bytes in the last
// window counts as silence.
#pragma once

#include "http/net_types.hpp"

#include <chrono>
#include <cstdint>
#include <deque>

namespace velora {

class TRateWindow {
public:
    using Clock = std::chrono::steady_clock;

    explicit TRateWindow(TMinimumRate rate) : FRate(rate) {}

    // The count starts (again) now; nothing is judged before a whole window has passed.
    void Start(Clock::time_point now, std::uint64_t received);
    // Whether fewer than the rule's bytes came in the last window (or a little more), given the
    // count now. Always false for an inactive rule or before Start.
    bool TooSlow(Clock::time_point now, std::uint64_t received);

private:
    struct TSample {
        Clock::time_point At;
        std::uint64_t Received;
    };
    TMinimumRate FRate;
    // A few samples of the count, the oldest at or before the window's start once it has one.
    std::deque<TSample> FSamples;
};

} // namespace velora

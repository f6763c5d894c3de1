#include "http/rate_window.hpp"

namespace velora {

void TRateWindow::Start(Clock::time_point now, std::uint64_t received) {
    FSamples = {{now, received}};
}

bool TRateWindow::TooSlow(Clock::time_point now, std::uint64_t received) {
    if (!FRate.Active() || FSamples.empty())
        return false;
    const auto window = std::chrono::milliseconds(FRate.WindowMs);
    // A sample every 1/32 of the window is enough to see a window's worth of bytes.
    if (now - FSamples.back().At >= window / 32)
        FSamples.push_back({now, received});
    const auto windowStart = now - window;
    while (FSamples.size() >= 2 && FSamples[1].At <= windowStart)
        FSamples.pop_front();
    return FSamples.front().At <= windowStart &&
           received - FSamples.front().Received < static_cast<std::uint64_t>(FRate.Bytes);
}

} // namespace velora

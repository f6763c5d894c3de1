// The words and pace of the download's progress window, the same on every platform.
#pragma once

#include "rtl/ustring.hpp"

#include <chrono>
#include <cstdint>
#include <string_view>

namespace velora {

inline constexpr std::u16string_view kProgressTitle = u"Velora Player";
inline constexpr std::u16string_view kProgressText = u"Downloading the update\u2026";
inline constexpr std::u16string_view kProgressCancel = u"Cancel";

// "12.3 MB of 48.0 MB", or "12.3 MB" when total is negative (not known).
UnicodeString DownloadProgressText(std::int64_t received, std::int64_t total);

// Lets a window be redrawn at most 20 times a second, so a fast download is not slowed by it.
class TRedrawPace {
public:
    bool Due() {
        const auto now = std::chrono::steady_clock::now();
        if (FDrawn && now - FLast < std::chrono::milliseconds(50)) {
            return false;
        }
        FDrawn = true;
        FLast = now;
        return true;
    }

private:
    bool FDrawn = false;
    std::chrono::steady_clock::time_point FLast;
};

} // namespace velora

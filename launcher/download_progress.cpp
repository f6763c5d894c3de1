#include "launcher/download_progress.hpp"

#include <cstdio>

namespace velora {

namespace {

std::string Megabytes(std::int64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1048576.0);
    return text;
}

} // namespace

UnicodeString DownloadProgressText(std::int64_t received, std::int64_t total) {
    std::string text = Megabytes(received);
    if (total >= 0) {
        text += " of " + Megabytes(total);
    }
    return U16(text);
}

} // namespace velora

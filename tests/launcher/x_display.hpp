// One connection to an X display for the end-to-end tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velora::test {

class XDisplayConnection {
public:
    // Not connected when the display cannot be opened.
    explicit XDisplayConnection(const std::string& name);
    ~XDisplayConnection();
    XDisplayConnection(const XDisplayConnection&) = delete;
    XDisplayConnection& operator=(const XDisplayConnection&) = delete;

    bool Connected() const noexcept { return FDisplay != nullptr; }
    // The first viewable top-level window with exactly this title; 0 when there is none.
    unsigned long FindWindow(const std::string& title);
    // The window's pixels, empty when it cannot be read; width and height set when it can.
    std::vector<std::uint32_t> Capture(unsigned long window, int& width, int& height);

private:
    void* FDisplay = nullptr;
};

} // namespace velora::test

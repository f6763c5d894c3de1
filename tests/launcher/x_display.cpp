#include "x_display.hpp"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace velora::test {

namespace {
// The window may go while it is looked at; that is no failure of the test.
int IgnoreErrors(::Display*, XErrorEvent*) {
    return 0;
}
} // namespace

XDisplayConnection::XDisplayConnection(const std::string& name) {
    FDisplay = ::XOpenDisplay(name.c_str());
    if (FDisplay != nullptr) {
        ::XSetErrorHandler(IgnoreErrors);
    }
}

XDisplayConnection::~XDisplayConnection() {
    if (FDisplay != nullptr) {
        ::XCloseDisplay(static_cast<::Display*>(FDisplay));
    }
}

unsigned long XDisplayConnection::FindWindow(const std::string& title) {
    auto* display = static_cast<::Display*>(FDisplay);
    if (display == nullptr) {
        return 0;
    }
    ::Window root = 0;
    ::Window parent = 0;
    ::Window* children = nullptr;
    unsigned int count = 0;
    if (::XQueryTree(display, ::XDefaultRootWindow(display), &root, &parent, &children, &count) ==
        0) {
        return 0;
    }
    unsigned long found = 0;
    for (unsigned int i = 0; i < count && found == 0; ++i) {
        XWindowAttributes attributes{};
        if (::XGetWindowAttributes(display, children[i], &attributes) == 0 ||
            attributes.map_state != IsViewable) {
            continue;
        }
        char* name = nullptr;
        if (::XFetchName(display, children[i], &name) != 0 && name != nullptr) {
            if (title == name) {
                found = children[i];
            }
            ::XFree(name);
        }
    }
    if (children != nullptr) {
        ::XFree(children);
    }
    return found;
}

std::vector<std::uint32_t> XDisplayConnection::Capture(unsigned long window, int& width,
                                                       int& height) {
    auto* display = static_cast<::Display*>(FDisplay);
    std::vector<std::uint32_t> pixels;
    XWindowAttributes attributes{};
    if (display == nullptr || ::XGetWindowAttributes(display, window, &attributes) == 0) {
        return pixels;
    }
    XImage* image = ::XGetImage(display, window, 0, 0, static_cast<unsigned>(attributes.width),
                                static_cast<unsigned>(attributes.height), AllPlanes, ZPixmap);
    if (image == nullptr) {
        return pixels;
    }
    width = attributes.width;
    height = attributes.height;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            pixels.push_back(static_cast<std::uint32_t>(XGetPixel(image, x, y)));
        }
    }
    XDestroyImage(image);
    return pixels;
}

} // namespace velora::test

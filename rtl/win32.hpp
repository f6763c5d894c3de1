// Small helpers shared by the Windows platform layers. Windows only.
#pragma once

#include "rtl/ustring.hpp"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <utility>

namespace velora::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 text is passed to the platform as is");

// NUL-terminated wide text for the platform; valid while the text lives unchanged.
inline const wchar_t* W(const UnicodeString& text) {
    return reinterpret_cast<const wchar_t*>(text.c_str());
}
inline UnicodeString FromW(const wchar_t* text) {
    return text ? UnicodeString(reinterpret_cast<const char16_t*>(text)) : UnicodeString();
}
inline UnicodeString FromW(const wchar_t* text, std::size_t length) {
    return UnicodeString(reinterpret_cast<const char16_t*>(text), length);
}

// The text for a system error code, from the system's message table or from the message table
// of the given module, without trailing blanks, line ends and period; empty when there is none.
UnicodeString SysErrorMessage(DWORD code, HMODULE module = nullptr);

// Closes a handle at scope end (CloseHandle).
class THandle {
public:
    THandle() = default;
    explicit THandle(HANDLE handle) : FHandle(handle) {}
    ~THandle() { Reset(); }
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;

    HANDLE Get() const noexcept { return FHandle; }
    bool Valid() const noexcept { return FHandle != nullptr && FHandle != INVALID_HANDLE_VALUE; }
    // Gives the handle up without closing it.
    HANDLE Release() noexcept { return std::exchange(FHandle, nullptr); }
    void Reset() noexcept {
        if (Valid()) {
            ::CloseHandle(FHandle);
        }
        FHandle = nullptr;
    }

private:
    HANDLE FHandle = nullptr;
};

} // namespace velora::win32

// WinHTTP handles as the backend owns them, and the one process-wide lock. Windows only.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <atomic>
#include <mutex>

namespace velora::winhttp {

// Closes a WinHTTP handle at scope end.
struct THInternet {
    HINTERNET Handle = nullptr;
    THInternet() = default;
    explicit THInternet(HINTERNET handle) : Handle(handle) {}
    ~THInternet() { Reset(); }
    THInternet(const THInternet&) = delete;
    THInternet& operator=(const THInternet&) = delete;
    void Reset() {
        if (Handle)
            ::WinHttpCloseHandle(Handle);
        Handle = nullptr;
    }
};

// A request handle that another thread may close (a cancellation, the watchdog): whoever takes
// it out closes it, once.
class TRequestHandle {
public:
    TRequestHandle() = default;
    TRequestHandle(const TRequestHandle&) = delete;
    TRequestHandle& operator=(const TRequestHandle&) = delete;
    ~TRequestHandle() { Close(); }

    HINTERNET Get() const { return FHandle.load(); }
    void Set(HINTERNET handle) {
        Close();
        FHandle.store(handle);
    }
    void Close() {
        if (HINTERNET handle = FHandle.exchange(nullptr))
            ::WinHttpCloseHandle(handle);
    }

private:
    std::atomic<HINTERNET> FHandle{nullptr};
};

// Guards what the process reads once and shares: the user's proxy configuration and the
// personal certificate store.
inline std::mutex& ProcessLock() {
    static std::mutex lock;
    return lock;
}

} // namespace velora::winhttp

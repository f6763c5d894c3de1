#include "http/winhttp_proxy.hpp"

#include "http/winhttp_errors.hpp"
#include "http/winhttp_handles.hpp"
#include "rtl/win32.hpp"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

namespace velora::winhttp {
namespace {

using win32::W;

// Text the platform allocated with GlobalAlloc, taken over and freed.
UnicodeString TakeGlobalText(LPWSTR& text) {
    UnicodeString out = win32::FromW(text);
    if (text)
        ::GlobalFree(text);
    text = nullptr;
    return out;
}

// The user's proxy configuration, read once per process.
struct TUserProxyConfig {
    bool Read = false;
    UnicodeString AutoConfigUrl;
    UnicodeString Proxy;
    UnicodeString Bypass;
};

std::optional<TUserProxyConfig>& CachedUserProxyConfig() {
    static std::optional<TUserProxyConfig> config;
    return config;
}

TUserProxyConfig UserProxyConfig() {
    std::optional<TUserProxyConfig>& config = CachedUserProxyConfig();
    std::lock_guard guard(ProcessLock());
    if (!config) {
        config.emplace();
        WINHTTP_CURRENT_USER_IE_PROXY_CONFIG ie{};
        if (::WinHttpGetIEProxyConfigForCurrentUser(&ie)) {
            config->Read = true;
            // Automatic detection without a script is prepared but not run: the manual list
            // applies.
            config->AutoConfigUrl = TakeGlobalText(ie.lpszAutoConfigUrl);
            config->Proxy = TakeGlobalText(ie.lpszProxy);
            config->Bypass = TakeGlobalText(ie.lpszProxyBypass);
        }
    }
    return *config;
}

// Looks the proxy up through a script or by automatic detection, once more with automatic
// logon when the script's server asked for one.
std::optional<TProxyLookup> LookUpProxy(HINTERNET session, const UnicodeString& url,
                                        WINHTTP_AUTOPROXY_OPTIONS options) {
    WINHTTP_PROXY_INFO info{};
    options.fAutoLogonIfChallenged = FALSE;
    BOOL ok = ::WinHttpGetProxyForUrl(session, W(url), &options, &info);
    if (!ok && ::GetLastError() == kLoginFailure) {
        options.fAutoLogonIfChallenged = TRUE;
        ok = ::WinHttpGetProxyForUrl(session, W(url), &options, &info);
    }
    if (!ok)
        return std::nullopt;
    TProxyLookup choice;
    choice.Proxy = TakeGlobalText(info.lpszProxy);
    choice.Bypass = TakeGlobalText(info.lpszProxyBypass);
    return choice;
}

// A script or detection lookup on a thread of its own, with a session of its own, so that the
// exchange can give up on it at its deadline: the platform's lookup knows no such limit (it
// may fetch a script, or wait for DHCP and DNS, for as long as they take).
struct TBoundedLookup {
    THInternet Session;
    UnicodeString Url;
    UnicodeString AutoConfigUrl;
    WINHTTP_AUTOPROXY_OPTIONS Options{};
    std::mutex Lock;
    std::condition_variable Done;
    bool Finished = false;
    std::optional<TProxyLookup> Result;
};

// Empty result, finished: the lookup failed (no proxy); not finished: the deadline came first.
std::optional<std::optional<TProxyLookup>>
LookUpWithin(const UnicodeString& url, const WINHTTP_AUTOPROXY_OPTIONS& options,
             const UnicodeString& autoConfigUrl, std::chrono::steady_clock::time_point deadline) {
    auto lookup = std::make_shared<TBoundedLookup>();
    lookup->Session.Handle = ::WinHttpOpen(L"", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                           WINHTTP_NO_PROXY_BYPASS, 0);
    if (!lookup->Session.Handle)
        return std::optional<TProxyLookup>();
    lookup->Url = url;
    lookup->AutoConfigUrl = autoConfigUrl;
    lookup->Options = options;
    if (!autoConfigUrl.empty())
        lookup->Options.lpszAutoConfigUrl = W(lookup->AutoConfigUrl);
    std::thread([lookup] {
        std::optional<TProxyLookup> result =
            LookUpProxy(lookup->Session.Handle, lookup->Url, lookup->Options);
        std::lock_guard guard(lookup->Lock);
        lookup->Result = std::move(result);
        lookup->Finished = true;
        lookup->Done.notify_all();
    }).detach();
    std::unique_lock guard(lookup->Lock);
    if (!lookup->Done.wait_until(guard, deadline, [&] { return lookup->Finished; }))
        return std::nullopt;
    return lookup->Result;
}

} // namespace

std::optional<TProxyLookup>
SystemProxyFor(HINTERNET session, const UnicodeString& url,
               std::optional<std::chrono::steady_clock::time_point> deadline) {
    const TUserProxyConfig config = UserProxyConfig();
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (config.Read && !config.AutoConfigUrl.empty()) {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
    } else if (config.Read) {
        return TProxyLookup{config.Proxy, config.Bypass};
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    }
    std::optional<TProxyLookup> choice;
    if (deadline) {
        auto bounded = LookUpWithin(url, options, config.AutoConfigUrl, *deadline);
        if (!bounded)
            return std::nullopt;
        choice = std::move(*bounded);
    } else {
        options.lpszAutoConfigUrl =
            config.AutoConfigUrl.empty() ? nullptr : W(config.AutoConfigUrl);
        choice = LookUpProxy(session, url, options);
    }
    return choice ? *choice : TProxyLookup{};
}

void SetAutoConfigUrlForTests(const UnicodeString& url) {
    std::lock_guard guard(ProcessLock());
    std::optional<TUserProxyConfig>& config = CachedUserProxyConfig();
    config.reset();
    if (!url.empty())
        config = TUserProxyConfig{true, url, {}, {}};
}

} // namespace velora::winhttp

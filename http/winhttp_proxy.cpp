#include "http/winhttp_proxy.hpp"

#include "http/winhttp_errors.hpp"
#include "http/winhttp_handles.hpp"
#include "rtl/win32.hpp"

#include <optional>

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

const TUserProxyConfig& UserProxyConfig() {
    static std::optional<TUserProxyConfig> config;
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

} // namespace

TProxyLookup SystemProxyFor(HINTERNET session, const UnicodeString& url) {
    const TUserProxyConfig& config = UserProxyConfig();
    std::optional<TProxyLookup> choice;
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (config.Read && !config.AutoConfigUrl.empty()) {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = W(config.AutoConfigUrl);
        choice = LookUpProxy(session, url, options);
    } else if (config.Read) {
        choice = TProxyLookup{config.Proxy, config.Bypass};
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        choice = LookUpProxy(session, url, options);
    }
    return choice ? *choice : TProxyLookup{};
}

} // namespace velora::winhttp

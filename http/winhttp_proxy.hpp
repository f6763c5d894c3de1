// The user's proxy for a URL as WinHTTP finds it: the configuration read once per process, then
// a script or automatic detection when it asks for one. Windows only.
#pragma once

#include "rtl/ustring.hpp"

#include <windows.h>
#include <winhttp.h>

#include <chrono>
#include <optional>

namespace velora::winhttp {

struct TProxyLookup {
    UnicodeString Proxy; // empty: direct
    UnicodeString Bypass;
};

// The proxy for url. A script or detection lookup that is still running at the deadline is
// left behind: none, the exchange ran out of time.
std::optional<TProxyLookup>
SystemProxyFor(HINTERNET session, const UnicodeString& url,
               std::optional<std::chrono::steady_clock::time_point> deadline);

// Tests only: the user's configuration names this script (empty: read it again).
void SetAutoConfigUrlForTests(const UnicodeString& url);

} // namespace velora::winhttp

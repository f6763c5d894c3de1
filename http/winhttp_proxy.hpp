// The user's proxy for a URL as WinHTTP finds it: the configuration read once per process, then
// a script or automatic detection when it asks for one. Windows only.
#pragma once

#include "rtl/ustring.hpp"

#include <windows.h>
#include <winhttp.h>

namespace velora::winhttp {

struct TProxyLookup {
    UnicodeString Proxy; // empty: direct
    UnicodeString Bypass;
};

TProxyLookup SystemProxyFor(HINTERNET session, const UnicodeString& url);

} // namespace velora::winhttp

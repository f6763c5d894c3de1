// The user's proxy configuration on systems without a proxy service: the conventional
// environment variables, read once per process.
#pragma once

#include "http/uri.hpp"

namespace velora {

struct TProxyEnvironment {
    UnicodeString HttpsProxy; // https_proxy, else HTTPS_PROXY
    UnicodeString HttpProxy;  // http_proxy only: a server-side program may have HTTP_PROXY set
                              // from a request header
    UnicodeString AllProxy;   // all_proxy, else ALL_PROXY
    UnicodeString NoProxy;    // no_proxy, else NO_PROXY

    static TProxyEnvironment FromProcess();
};

// Whether host is named by a no_proxy list: "*" names every host; an entry names its host and
// the hosts under it (a leading "." or "*." and a ":port" are ignored).
bool BypassesProxy(std::u16string_view noProxy, std::u16string_view host);

// Whether host is on the local intranet, the only place the user's own logon is offered without
// being asked for it by name: a name without dots, or a host the no_proxy list names. The Windows
// build's medium logon policy draws the same line.
bool IsIntranetHost(const TProxyEnvironment& environment, std::u16string_view host);

// IsIntranetHost over the process's variables as they were at the first call.
bool IsSystemIntranetHost(std::u16string_view host);

// The proxy for url by the environment's rules; empty text means a direct connection.
UnicodeString ProxyFromEnvironment(const TProxyEnvironment& environment, const TURI& url);

// ProxyFromEnvironment over the process's variables as they were at the first call.
UnicodeString SystemProxyFor(const TURI& url);

// Tests only: the next SystemProxyFor reads the variables again.
void ForgetSystemProxyConfiguration();

} // namespace velora

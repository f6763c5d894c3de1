// The values the WinHTTP backend gives the platform's options for what a request asks. Windows
// only.
#pragma once

#include "http/http_client.hpp"

#include <cstdint>

namespace velora::winhttp {

// The value of the secure-protocols option for a set of protocols (0 for the empty set).
std::uint32_t SecureProtocolFlags(THTTPSecureProtocols protocols);

// The automatic logon policy for the client's use of default credentials.
std::uint32_t AutoLogonPolicy(bool automaticLogon);

// The value of the decompression option for a set of methods.
std::uint32_t DecompressionFlags(THTTPCompressionMethods methods);

// What a send sets beyond the caller's options: the platform features switched off (its own
// redirects and cookies always) and the certificate problems ignored. A certificate the
// validation callback accepted lets its problems through for that request only, and its
// connection is not kept for another request to reuse unchecked.
struct TSendSecurity {
    std::uint32_t DisabledFeatures = 0;
    std::uint32_t IgnoredProblems = 0;
};
TSendSecurity SendSecurity(bool certificateAccepted);

} // namespace velora::winhttp

// Pieces of the WinHTTP backend that tests reach directly. Windows only.
#pragma once

#include "http/http_client.hpp"

#include <cstdint>

namespace velora::winhttp {

// A failed WinHTTP call as the HTTP layer's send-error classification takes it: the code, the
// text from WinHTTP's message table, and what kind of failure the code stands for.
TPlatformError PlatformError(std::uint32_t code);

// The flags of a secure-failure notification as failure reasons.
THTTPSecureFailureReasons SecureFailureReasons(std::uint32_t flags);

// The value of the secure-protocols option for a set of protocols (0 for the empty set).
std::uint32_t SecureProtocolFlags(THTTPSecureProtocols protocols);

// The automatic logon policy for the client's use of default credentials.
std::uint32_t AutoLogonPolicy(bool automaticLogon);

// The value of the decompression option for a set of methods.
std::uint32_t DecompressionFlags(THTTPCompressionMethods methods);

} // namespace velora::winhttp

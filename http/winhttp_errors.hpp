// How the WinHTTP backend reports a failed call: the code, the text from WinHTTP's message table,
// and the kind of failure the HTTP layer's send-error classification takes it for. Windows only.
#pragma once

#include "http/http_client.hpp"

#include <cstdint>
#include <string_view>

namespace velora::winhttp {

// Codes the backend tells apart.
inline constexpr std::uint32_t kOperationCancelled = 12017;   // ERROR_WINHTTP_OPERATION_CANCELLED
inline constexpr std::uint32_t kResendRequest = 12032;        // ERROR_WINHTTP_RESEND_REQUEST
inline constexpr std::uint32_t kClientAuthCertNeeded = 12044; // ..._CLIENT_AUTH_CERT_NEEDED
inline constexpr std::uint32_t kSecureFailure = 12175;        // ERROR_WINHTTP_SECURE_FAILURE
inline constexpr std::uint32_t kLoginFailure = 12015;         // ERROR_WINHTTP_LOGIN_FAILURE
inline constexpr std::uint32_t kHeaderNotFound = 12150;       // ERROR_WINHTTP_HEADER_NOT_FOUND
inline constexpr std::uint32_t kTimeout = 12002;              // ERROR_WINHTTP_TIMEOUT
inline constexpr std::uint32_t kConnectionError = 12030;      // ERROR_WINHTTP_CONNECTION_ERROR
inline constexpr std::uint32_t kCannotConnect = 12029;        // ERROR_WINHTTP_CANNOT_CONNECT

TPlatformError PlatformError(std::uint32_t code);

// The pattern ("... (%d) %s") filled with the code as PlatformError reports it and its text.
UnicodeString CodeAndText(std::u16string_view pattern, std::uint32_t code);

// The flags of a secure-failure notification as failure reasons.
THTTPSecureFailureReasons SecureFailureReasons(std::uint32_t flags);

} // namespace velora::winhttp

// What both platform backends decide alike: the texts of their failures, when a secure body is
// whole, how much memory a body may claim before it arrives, and which credential a proxy gets.
#pragma once

#include "http/http_client.hpp"

#include <cstdint>
#include <optional>
#include <string_view>

namespace velora::backend {

inline constexpr std::u16string_view kSendMessage = u"Error sending data: (%d) %s";
inline constexpr std::u16string_view kReceiveMessage = u"Error receiving data: (%d) %s";
inline constexpr std::u16string_view kReadMessage = u"Error reading data: (%d) %s";

// A body without a length over TLS, which only the server's close alert can end: the
// transport alone cannot tell a whole body from one cut off.
bool NeedsCloseAlert(const THTTPRequest& request, std::int32_t status, const TNetHeaders& headers);

// The TLS versions a request may use: those of the caller's set from TLS 1.2 up, or TLS 1.2 and
// 1.3 for an empty set. Empty when the set leaves none: the request fails before it is sent.
THTTPSecureProtocols UsableProtocols(THTTPSecureProtocols requested);

// The most memory reserved ahead of a body from its announced length; more is taken only as
// bytes arrive, so a length the server merely claims costs little.
inline constexpr std::int64_t kMaxBodyReservation = 4 * 1024 * 1024;

// Reserves room for an announced body in the response's own stream (nullptr: not ours).
// Returns whether the stream grew; a shortage now is left to growth on demand to report.
bool ReserveForBody(TMemoryStream* own, std::int64_t announced);

// The credential the proxy is given for the next send: one the challenge step chose, else the
// user information of the proxy's address, unless the caller's own Proxy-Authorization header
// reaches the proxy. None: the platform's own choice (the user's logon, where allowed).
std::optional<THTTPRequest::TTransportOptions::TPlatformCredential>
ProxyCredentialFor(const THTTPRequest::TTransportOptions& options, bool callerHeaderReachesProxy);

} // namespace velora::backend

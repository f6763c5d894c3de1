#include "http/winhttp_options.hpp"

#include <windows.h>
#include <winhttp.h>

namespace velora::winhttp {

std::uint32_t SecureProtocolFlags(THTTPSecureProtocols protocols) {
    using P = THTTPSecureProtocol;
    std::uint32_t flags = 0;
    if (protocols.Contains(P::SSL2))
        flags |= 0x8;
    if (protocols.Contains(P::SSL3))
        flags |= 0x20;
    if (protocols.Contains(P::TLS1))
        flags |= 0x80;
    if (protocols.Contains(P::TLS11))
        flags |= 0x200;
    if (protocols.Contains(P::TLS12))
        flags |= 0x800;
    if (protocols.Contains(P::TLS13))
        flags |= 0x2000;
    return flags;
}

std::uint32_t AutoLogonPolicy(bool automaticLogon) {
    // The medium level: the user's logon goes to intranet hosts only, never to any server that
    // asks or that a redirect leads to.
    return automaticLogon ? WINHTTP_AUTOLOGON_SECURITY_LEVEL_MEDIUM
                          : WINHTTP_AUTOLOGON_SECURITY_LEVEL_HIGH;
}

std::uint32_t DecompressionFlags(THTTPCompressionMethods methods) {
    using C = THTTPCompressionMethod;
    if (methods.Contains(C::Any))
        return WINHTTP_DECOMPRESSION_FLAG_GZIP | WINHTTP_DECOMPRESSION_FLAG_DEFLATE;
    std::uint32_t flags = 0;
    if (methods.Contains(C::Deflate))
        flags |= WINHTTP_DECOMPRESSION_FLAG_DEFLATE;
    if (methods.Contains(C::GZip))
        flags |= WINHTTP_DECOMPRESSION_FLAG_GZIP;
    return flags;
}

TSendSecurity SendSecurity(bool certificateAccepted) {
    TSendSecurity security;
    security.DisabledFeatures = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES;
    if (certificateAccepted) {
        security.DisabledFeatures |= WINHTTP_DISABLE_KEEP_ALIVE;
        security.IgnoredProblems =
            SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE |
            SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID;
    }
    return security;
}

} // namespace velora::winhttp

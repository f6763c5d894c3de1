#include "http/winhttp_errors.hpp"

#include "rtl/win32.hpp"

#include <winhttp.h>

namespace velora::winhttp {
namespace {

UnicodeString MessageText(std::uint32_t code) {
    static const HMODULE module = ::GetModuleHandleW(L"winhttp.dll");
    UnicodeString text = module ? win32::SysErrorMessage(code, module) : UnicodeString();
    return text.empty() ? win32::SysErrorMessage(code) : text;
}

} // namespace

TPlatformError PlatformError(std::uint32_t code) {
    using TKind = TPlatformError::TKind;
    // Wine passes some socket errors through where Windows reports its own codes.
    if (code == WSAETIMEDOUT)
        code = kTimeout;
    else if (code == WSAECONNRESET || code == WSAECONNABORTED)
        code = kConnectionError;
    TKind kind = TKind::Other;
    switch (code) {
    case kResendRequest:
        kind = TKind::ResendRequested;
        break;
    case kClientAuthCertNeeded:
        kind = TKind::ClientCertificateRequested;
        break;
    case kSecureFailure:
        kind = TKind::SecureChannel;
        break;
    case kOperationCancelled:
        kind = TKind::Cancelled;
        break;
    default:
        break;
    }
    return TPlatformError{static_cast<std::int32_t>(code), MessageText(code), kind};
}

UnicodeString CodeAndText(std::u16string_view pattern, std::uint32_t code) {
    const TPlatformError error = PlatformError(code);
    return Format(pattern, {error.Code, error.Text});
}

THTTPSecureFailureReasons SecureFailureReasons(std::uint32_t flags) {
    using R = THTTPSecureFailureReason;
    static constexpr struct {
        std::uint32_t flag;
        R reason;
    } kMap[] = {
        {0x1, R::CertRevFailed},   {0x2, R::InvalidCert},
        {0x4, R::CertRevoked},     {0x8, R::InvalidCA},
        {0x10, R::CertCNInvalid},  {0x20, R::CertDateInvalid},
        {0x40, R::CertWrongUsage}, {0x80000000u, R::SecurityChannelError},
    };
    THTTPSecureFailureReasons reasons;
    for (const auto& entry : kMap) {
        if (flags & entry.flag) {
            reasons.Include(entry.reason);
        }
    }
    return reasons;
}

} // namespace velora::winhttp

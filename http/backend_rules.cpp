#include "http/backend_rules.hpp"

#include "http/http_headers.hpp"
#include "rtl/exceptions.hpp"

#include <algorithm>

namespace velora::backend {

bool NeedsCloseAlert(const THTTPRequest& request, std::int32_t status, const TNetHeaders& headers) {
    return SameText(request.GetURL().Scheme(), u"https") &&
           BodyEndsWithConnection(status, SameText(request.GetMethodString(), u"HEAD"), headers);
}

THTTPSecureProtocols UsableProtocols(THTTPSecureProtocols requested) {
    using P = THTTPSecureProtocol;
    if (requested.Empty())
        return {P::TLS12, P::TLS13};
    THTTPSecureProtocols usable;
    for (P version : {P::TLS12, P::TLS13})
        if (requested.Contains(version))
            usable.Include(version);
    return usable;
}

bool ReserveForBody(TMemoryStream* own, std::int64_t announced) {
    if (own == nullptr || announced <= 0)
        return false;
    const std::int64_t before = own->Capacity();
    try {
        own->Reserve(own->Position() + std::min(announced, kMaxBodyReservation));
    } catch (const EStreamError&) {
    }
    return own->Capacity() > before;
}

std::optional<THTTPRequest::TTransportOptions::TPlatformCredential>
ProxyCredentialFor(const THTTPRequest::TTransportOptions& options, bool callerHeaderReachesProxy) {
    if (options.Proxy.empty())
        return std::nullopt;
    if (options.ProxyCredential)
        return options.ProxyCredential;
    if (!options.ProxyUserName.empty() && !callerHeaderReachesProxy)
        return THTTPRequest::TTransportOptions::TPlatformCredential{
            THTTPAuthScheme::Basic, options.ProxyUserName, options.ProxyPassword};
    return std::nullopt;
}

} // namespace velora::backend

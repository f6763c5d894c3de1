#include "http/http_client.hpp"

#include "http/gzip_body.hpp"
#include "http/http_backend.hpp"
#include "http/http_headers.hpp"
#include "rtl/exceptions.hpp"
#include "rtl/secure.hpp"

#include <limits>

namespace velora {
namespace {

constexpr std::int32_t kCopyBufferSize = 1048576;
// Sends the platform may ask for again within one exchange.
constexpr std::int32_t kMaxResends = 5;

// A length is digits only: a sign makes it no length at all.
bool ParseLength(std::u16string_view text, std::int64_t& value) {
    if (text.empty())
        return false;
    std::uint64_t v = 0;
    const auto limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    for (char16_t c : text) {
        if (c < u'0' || c > u'9')
            return false;
        const auto digit = static_cast<std::uint64_t>(c - u'0');
        if (v > (limit - digit) / 10)
            return false;
        v = v * 10 + digit;
    }
    value = static_cast<std::int64_t>(v);
    return true;
}

} // namespace

bool SameOrigin(const TURI& a, const TURI& b) {
    return a.Scheme() == b.Scheme() && a.Host() == b.Host() && a.Port() == b.Port();
}

bool IsRedirectStatus(std::int32_t status) {
    return status == 300 || status == 301 || status == 302 || status == 303 || status == 307 ||
           status == 308;
}

// ---------------------------------------------------------------------------------------------
// Request

THTTPRequest::THTTPRequest(THTTPClient& client, UnicodeString method, TURI url)
    : TURLRequest(client, std::move(method), std::move(url)) {}

UnicodeString THTTPRequest::GetHeaderValue(std::u16string_view name) const {
    return HeaderValue(FHeaders, name);
}

void THTTPRequest::SetHeaderValue(const UnicodeString& name, const UnicodeString& value) {
    RemoveHeader(name);
    FHeaders.push_back({name, value});
}

void THTTPRequest::AddHeader(const UnicodeString& name, const UnicodeString& value) {
    for (auto& pair : FHeaders) {
        if (SameText(pair.Name, name)) {
            pair.Value += u", " + value;
            return;
        }
    }
    FHeaders.push_back({name, value});
}

void THTTPRequest::RemoveHeader(std::u16string_view name) {
    std::erase_if(FHeaders, [name](const TNameValuePair& p) { return SameText(p.Name, name); });
}

void THTTPRequest::MoveTo(TURI url, UnicodeString method) {
    FURL = std::move(url);
    FMethodString = std::move(method);
    DoOpenRequestHandles();
}

// ---------------------------------------------------------------------------------------------
// Response

THTTPResponse::THTTPResponse(std::shared_ptr<THTTPRequest> request, TStream* content,
                             THTTPCompressionMethods automaticDecompression)
    : TURLResponse(request, content), FHTTPRequest(request.get()),
      FAutomaticDecompression(automaticDecompression) {}

void THTTPResponse::DropHeaderCache() {
    FHeaders.reset();
    FCookies.clear();
}

void THTTPResponse::EnsureHeaders() {
    if (FHeaders)
        return;
    TNetHeaders headers;
    std::vector<UnicodeString> setCookies;
    ParseHeaderBlock(DoGetHeaderBlock(), headers, setCookies);
    FCookies.clear();
    if (FProxyAnswer) {
        setCookies.clear();
        std::erase_if(headers,
                      [](const TNameValuePair& h) { return SameText(h.Name, u"Location"); });
    }
    for (const auto& value : setCookies)
        if (auto cookie = TCookie::Parse(value, FHTTPRequest->GetURL()))
            FCookies.push_back(std::move(*cookie));
    FHeaders = std::move(headers);
}

TNetHeaders THTTPResponse::GetHeaders() {
    EnsureHeaders();
    return *FHeaders;
}

UnicodeString THTTPResponse::GetHeaderValue(const UnicodeString& name) {
    EnsureHeaders();
    return HeaderValue(*FHeaders, name);
}

const TCookies& THTTPResponse::GetCookies() {
    EnsureHeaders();
    return FCookies;
}

UnicodeString THTTPResponse::GetContentCharSet() {
    return ContentCharSet(GetHeaderValue(u"Content-Type"));
}

std::int64_t THTTPResponse::GetContentLength() {
    std::int64_t length = -1;
    if (!ParseLength(GetHeaderValue(u"Content-Length"), length))
        return -1;
    return length;
}

std::int32_t THTTPResponse::GetStatusCode() {
    if (FHTTPRequest->IsCancelled())
        return 0;
    return DoGetStatusCode();
}

UnicodeString THTTPResponse::GetStatusText() {
    return DoGetStatusText();
}

THTTPProtocolVersion THTTPResponse::GetVersion() {
    if (FHTTPRequest->IsCancelled())
        return THTTPProtocolVersion::UNKNOWN_HTTP;
    const UnicodeString version = DoGetVersionText();
    if (SameText(version, u"HTTP/1.0"))
        return THTTPProtocolVersion::HTTP_1_0;
    if (SameText(version, u"HTTP/1.1"))
        return THTTPProtocolVersion::HTTP_1_1;
    if (SameText(version, u"HTTP/2.0"))
        return THTTPProtocolVersion::HTTP_2_0;
    return THTTPProtocolVersion::UNKNOWN_HTTP;
}

UnicodeString THTTPResponse::ContentAsString(const TEncoding* encoding) {
    if (encoding == nullptr) {
        const UnicodeString charset = GetContentCharSet();
        encoding = !charset.empty() && !SameText(charset, u"utf-8")
                       ? &TEncoding::GetEncoding(charset)
                       : &TEncoding::UTF8Replacing();
    }

    TStream& body = GetContentStream();
    TMemoryStream copy;
    copy.CopyFrom(body, 0, kCopyBufferSize);
    const std::uint8_t* data = copy.Memory();
    auto size = static_cast<std::size_t>(copy.Size());

    Bytes inflated;
    if (size != 0 && GetContentEncoding() == u"gzip" &&
        !FAutomaticDecompression.Contains(THTTPCompressionMethod::GZip) &&
        !FAutomaticDecompression.Contains(THTTPCompressionMethod::Any)) {
        inflated = InflateGzip(data, size, GzipInflateLimit(size));
        data = inflated.data();
        size = inflated.size();
    }

    UnicodeString text = encoding->GetString(data, size);
    if (size != 0 && text.empty())
        throw EEncodingError(UnicodeString(SNoMappingForUnicode));
    return text;
}

// ---------------------------------------------------------------------------------------------
// Client

std::unique_ptr<THTTPClient> THTTPClient::Create() {
    RegisterPlatformHTTPClient();
    std::unique_ptr<TURLClient> client = TURLSchemes::GetURLClientInstance(u"HTTP");
    if (auto* http = dynamic_cast<THTTPClient*>(client.get())) {
        client.release();
        return std::unique_ptr<THTTPClient>(http);
    }
    return nullptr;
}

std::shared_ptr<IHTTPResponse> THTTPClient::Get(const UnicodeString& url, TStream* responseContent,
                                                const TNetHeaders* headers) {
    return Execute(u"GET", url, responseContent, headers);
}

std::shared_ptr<IHTTPResponse> THTTPClient::Execute(const UnicodeString& method,
                                                    const UnicodeString& url,
                                                    TStream* responseContent,
                                                    const TNetHeaders* headers) {
    const TURI uri(url);
    std::shared_ptr<THTTPRequest> request = DoGetHTTPRequestInstance(method, uri);
    request->OpenRequestHandles();
    for (const auto& header : FCustomHeaders)
        request->AddHeader(header.Name, header.Value);
    if (headers != nullptr)
        for (const auto& header : *headers)
            request->SetHeaderValue(header.Name, header.Value);
    std::shared_ptr<THTTPResponse> response = DoGetHTTPResponseInstance(request, responseContent);
    RunExchange(*request, *response);
    return response;
}

void THTTPClient::ResponseHeadersReceived(THTTPRequest& request, THTTPResponse& response) {
    if (!FReceiveHeadersCallback)
        return;
    std::int32_t timeout = request.ExchangeTimeout();
    FReceiveHeadersCallback(response, timeout);
    request.LimitExchange(timeout);
}

bool THTTPClient::ReceiveData(THTTPRequest& request, THTTPResponse& response,
                              std::int64_t readCount) {
    if (!FReceiveDataCallback)
        return true;
    bool abort = false;
    FReceiveDataCallback(response.GetContentLength(), readCount, abort);
    if (abort)
        request.Cancel();
    return !abort;
}

void THTTPClient::RunExchange(THTTPRequest& request, THTTPResponse& response) {
    TStream& stream = response.GetContentStream();
    const std::int64_t startPosition = stream.Position();
    const std::int64_t startSize = stream.Size();
    // The caller gets the body from its start, also when the exchange fails.
    struct TRestorePosition {
        TStream& Stream;
        std::int64_t Position;
        ~TRestorePosition() {
            try {
                Stream.SetPosition(Position);
            } catch (...) {
            }
        }
    } restore{stream, startPosition};

    FSecureFailureReasons.Clear();
    request.StartExchangeClock();
    struct TEndExchange {
        THTTPRequest& Request;
        ~TEndExchange() { Request.EndExchange(); }
    } endExchange{request};
    THTTPState state;
    state.CallerAskedHttps = request.GetURL().Scheme() == u"https";
    request.FResends = 0;
    const bool head = SameText(request.GetMethodString(), u"HEAD");

    while (!request.IsCancelled()) {
        ApplyRequestOptions(request);
        if (request.IsCancelled())
            return;
        ChangeRoute(state, request);

        if (FCookieManager != nullptr) {
            const UnicodeString cookies = FCookieManager->CookieHeaders(request.GetURL());
            if (!cookies.empty()) {
                request.SetHeaderValue(u"Cookie", cookies);
                request.FCookieHeaderFromStore = true;
            } else if (request.FCookieHeaderFromStore) {
                // Cookies chosen for an earlier URL (say, secure ones before a redirect to
                // plain http) must not travel on.
                request.RemoveHeader(u"Cookie");
                request.FCookieHeaderFromStore = false;
            }
        }

        if (!PrepareServerCredential(state, request, response) ||
            !PrepareProxyCredential(state, request, response))
            break;

        stream.SetSize(startSize);
        stream.SetPosition(startPosition);
        if (request.IsCancelled())
            return;
        const TSendOutcome outcome = DoSendAndReceive(request, response);
        if (request.IsCancelled())
            return;

        switch (outcome) {
        case TSendOutcome::ResendRequested:
            continue;
        case TSendOutcome::CertificateRejected:
            ValidateServerCertificate(request);
            continue;
        case TSendOutcome::ClientCertificateRequested:
            SelectClientCertificate(request);
            continue;
        case TSendOutcome::Completed:
            break;
        default:
            throw ENetHTTPClientException(u"Execution of request terminated with unknown error");
        }

        if (!head)
            DoReadResponseBody(request, response);
        if (request.IsCancelled())
            return;
        // Judged against the URL that answered, before a redirect moves the request on.
        if (FAllowCookies)
            StoreResponseCookies(request, response);

        const std::int32_t status = response.GetStatusCode();
        bool nextPass = false;
        if (status == 200) {
            nextPass = false;
        } else if (status == 401) {
            // A preemptive credential was refused: try the list from its start.
            if (state.Status == InternalState::Other && FPreemptiveAuthentication)
                state.Server.Current = {};
            state.Status = InternalState::ServerAuthRequired;
            nextPass = true;
        } else if (status == 407) {
            if (state.Status == InternalState::Other && FPreemptiveAuthentication)
                state.Proxy.Current = {};
            state.Status = InternalState::ProxyAuthRequired;
            nextPass = true;
        } else {
            bool stop = false;
            if (IsRedirectStatus(status)) {
                FSecureFailureReasons.Clear();
                if (!FHandleRedirects) {
                    stop = true;
                } else if (++state.Redirections > FMaxRedirects) {
                    throw ENetHTTPRequestException(
                        Format(u"Maximum number of redirections (%d) exceeded", {FMaxRedirects}));
                }
            }
            if (!stop) {
                state.Status = InternalState::Other;
                nextPass = FollowRedirect(request, response);
            }
        }
        if (!nextPass)
            return;
    }
}

void THTTPClient::ApplyRequestOptions(THTTPRequest& request) {
    auto& options = request.TransportOptions();
    options = {};
    if (!FProxySettings.FHost.empty()) {
        UnicodeString proxy;
        if (!FProxySettings.FScheme.empty())
            proxy = FProxySettings.FScheme + u"://";
        proxy += FProxySettings.FHost + u":" + IntToStr(FProxySettings.FPort);
        if (!SameText(proxy, u"http://direct:80")) {
            options.Proxy = proxy;
            options.ProxyUserName = FProxySettings.FUserName;
            options.ProxyPassword = FProxySettings.FPassword;
        }
    } else {
        TProxyChoice choice = DoSystemProxyFor(request.GetURL());
        // Credentials written into the proxy's address are the proxy's credentials.
        TProxyAddress address = SplitProxyCredentials(choice.Proxy);
        options.Proxy = std::move(address.Proxy);
        options.ProxyUserName = std::move(address.UserName);
        options.ProxyPassword = std::move(address.Password);
        options.ProxyBypass = std::move(choice.Bypass);
    }
    options.SecureProtocols = FSecureProtocols;
    options.Decompression = FAutomaticDecompression;
    options.AutomaticLogon = FUseDefaultCredentials;
}

void THTTPClient::ChangeRoute(THTTPState& state, THTTPRequest& request) {
    const TURI& url = request.GetURL();
    const UnicodeString& proxy = request.TransportOptions().Proxy;
    if (state.LastURL) {
        const TURI& last = *state.LastURL;
        if (!SameOrigin(url, last))
            ResetServerCredentials(state, request);
        if (proxy != state.LastProxy)
            ResetProxyCredentials(state, request);
        if (url.Host() != last.Host() || (last.Scheme() == u"https" && url.Scheme() != u"https")) {
            // A cookie the caller set is the host's, and a secure one stays on https.
            if (!request.FCookieHeaderFromStore)
                request.RemoveHeader(u"Cookie");
        }
    }
    state.LastURL = url;
    state.LastProxy = proxy;
}

void THTTPClient::ResetServerCredentials(THTTPState& state, THTTPRequest& request) {
    // Credentials belong to scheme, host and port: none of the old origin's goes along.
    state.Server = {};
    request.RemoveHeader(u"Authorization");
    request.FServerAnswer = {};
    request.FURLCredential = {};
    request.FServerCertificateAccepted = false; // accepted for the old server only
}

void THTTPClient::ResetProxyCredentials(THTTPState& state, THTTPRequest& request) {
    state.Proxy = {};
    if (request.FProxyAnswer.HeaderFromClient)
        request.RemoveHeader(u"Proxy-Authorization");
    request.FProxyAnswer = {};
}

TSendOutcome THTTPClient::ClassifySendError(THTTPRequest& request, const TPlatformError& error,
                                            std::u16string_view messagePattern) {
    using TKind = TPlatformError::TKind;
    auto failure = [&] {
        return ENetHTTPClientException(Format(messagePattern, {error.Code, error.Text}));
    };
    switch (error.Kind) {
    case TKind::ResendRequested:
        if (++request.FResends <= kMaxResends)
            return TSendOutcome::ResendRequested;
        throw failure();
    case TKind::ClientCertificateRequested:
        return TSendOutcome::ClientCertificateRequested;
    case TKind::SecureChannel:
        if (FSecureFailureReasons !=
                THTTPSecureFailureReasons{THTTPSecureFailureReason::SecurityChannelError} &&
            !request.ServerCertificateAccepted())
            return TSendOutcome::CertificateRejected;
        throw failure();
    case TKind::Cancelled:
        if (FSecureFailureReasons ==
            THTTPSecureFailureReasons{THTTPSecureFailureReason::CertNotAccepted})
            throw ENetHTTPCertificateException(u"Server Certificate not accepted");
        return TSendOutcome::Completed;
    case TKind::Other:
        break;
    }
    if (request.IsCancelled())
        return TSendOutcome::Completed;
    throw failure();
}

void THTTPClient::AskServerCertificate(THTTPRequest& request, const TCertificate& certificate,
                                       bool& accepted) {
    if (FValidateServerCertificateCallback)
        FValidateServerCertificateCallback(*this, request, certificate, accepted);
    else if (FValidateServerCertificateEvent)
        FValidateServerCertificateEvent(*this, request, certificate, accepted);
}

bool THTTPClient::CheckServerCertificateOnSend(THTTPRequest& request) {
    if (request.GetURL().Scheme() != u"https" || !FSecureFailureReasons.Empty() ||
        (!FValidateServerCertificateCallback && !FValidateServerCertificateEvent))
        return true;
    TCertificate certificate;
    if (!DoGetServerCertificate(request, certificate))
        return true;
    bool accepted = true;
    AskServerCertificate(request, certificate, accepted);
    if (!accepted)
        FSecureFailureReasons = {THTTPSecureFailureReason::CertNotAccepted};
    return accepted;
}

void THTTPClient::ValidateServerCertificate(THTTPRequest& request) {
    if (!FValidateServerCertificateCallback && !FValidateServerCertificateEvent)
        throw ENetHTTPCertificateException(u"Server Certificate Invalid or not present");
    TCertificate certificate;
    if (!DoGetServerCertificate(request, certificate))
        throw ENetHTTPCertificateException(u"Error getting Server Certificate");
    bool accepted = false;
    AskServerCertificate(request, certificate, accepted);
    if (!accepted)
        throw ENetHTTPCertificateException(u"Server Certificate not accepted");
    // The backend lets this certificate through on the next pass; revocation is never checked.
    request.FServerCertificateAccepted = true;
}

void THTTPClient::SelectClientCertificate(THTTPRequest& request) {
    if (!FNeedClientCertificateCallback && !FNeedClientCertificateEvent) {
        if (!DoSetClientCertificate(request, nullptr))
            throw ENetHTTPCertificateException(u"Unspecified certificate from client");
        return;
    }
    const TCertificateList list = DoGetClientCertificates(request);
    if (list.empty()) {
        if (!DoSetClientCertificate(request, nullptr))
            throw ENetHTTPCertificateException(u"Empty certificate list");
        return;
    }
    std::int32_t index = -1;
    if (FNeedClientCertificateCallback)
        FNeedClientCertificateCallback(*this, request, list, index);
    else
        FNeedClientCertificateEvent(*this, request, list, index);
    if (index < 0 || static_cast<std::size_t>(index) >= list.size()) {
        if (!DoSetClientCertificate(request, nullptr))
            throw ENetHTTPCertificateException(u"Unspecified certificate from client");
        return;
    }
    if (!DoSetClientCertificate(request, &list[static_cast<std::size_t>(index)]))
        throw ENetHTTPCertificateException(u"Client rejected the certificate");
}

bool THTTPClient::PrepareServerCredential(THTTPState& state, THTTPRequest& request,
                                          THTTPResponse& response) {
    return PrepareCredential(TAuthTargetType::Server, state, request, response);
}

bool THTTPClient::PrepareProxyCredential(THTTPState& state, THTTPRequest& request,
                                         THTTPResponse& response) {
    return PrepareCredential(TAuthTargetType::Proxy, state, request, response);
}

bool THTTPClient::PrepareCredential(TAuthTargetType target, THTTPState& state,
                                    THTTPRequest& request, THTTPResponse& response) {
    using TCredential = TCredentialsStorage::TCredential;
    const bool server = target == TAuthTargetType::Server;
    TCredentialState& own = state.For(target);
    const InternalState challenged =
        server ? InternalState::ServerAuthRequired : InternalState::ProxyAuthRequired;
    // The URL's user information for the server; for the proxy, its own from the settings or
    // from the address of the system's proxy.
    const TCredential written = server ? request.FURLCredential
                                       : TCredential{TAuthTargetType::Proxy,
                                                     {},
                                                     {},
                                                     request.TransportOptions().ProxyUserName,
                                                     request.TransportOptions().ProxyPassword};
    const UnicodeString url = server ? request.GetURL().RequestURL() : UnicodeString();

    if (state.Status == InternalState::Other && FPreemptiveAuthentication) {
        own.Current = written;
        if (own.Current.IsEmpty() && FCredentialsStorage->Count(target) == 1) {
            // The only one, when it was stored for this URL: one stored for no URL waits for
            // a challenge.
            for (const auto& stored : FCredentialsStorage->Credentials())
                if (stored.AuthTarget == target &&
                    (server ? !stored.URL.empty() && stored.Serves(url) : stored.URL.empty()))
                    own.Current = stored;
        }
        own.Needed = true;
    }

    UnicodeString realm;
    if (state.Status == challenged) {
        UnicodeString challenge = response.GetHeaderValue(u"WWW-Authenticate");
        if (challenge.empty())
            challenge = response.GetHeaderValue(u"Proxy-Authenticate");
        realm = ChallengeRealm(challenge);
        if (own.Current.UserName.empty()) {
            own.Candidates = FCredentialsStorage->FindCredentials(target, realm, url);
            if (server && state.CallerAskedHttps && request.GetURL().Scheme() != u"https")
                // Given for a secure exchange: not over plain http.
                std::erase_if(own.Candidates, [](const TCredential& c) { return c.URL.empty(); });
            if (!written.UserName.empty())
                own.Candidates.insert(own.Candidates.begin(), written);
            own.NextCandidate = 0;
            own.Needed = true;
        }
    }

    if (!own.Needed)
        return true;
    if (state.Status != challenged) {
        // Nothing asked for yet: send what there is, or go without.
        return own.Current.IsEmpty() ||
               ApplyCredential(target, request, own.Current, response, false);
    }

    const TCredential previous = own.Current;
    if (static_cast<std::size_t>(own.NextCandidate) < own.Candidates.size()) {
        own.Current = own.Candidates[static_cast<std::size_t>(own.NextCandidate++)];
    } else {
        own.Current = TCredential{target, realm, url, {}, {}};
        UnicodeString userName, password;
        bool abort = false;
        TAuthPersistenceType persistence = TAuthPersistenceType::Client;
        if (FAuthCallback)
            FAuthCallback(*this, target, realm, url, userName, password, abort, persistence);
        else if (FAuthEvent)
            FAuthEvent(*this, target, realm, url, userName, password, abort, persistence);
        if (!abort && !(userName == previous.UserName && password == previous.Password)) {
            own.Current.UserName = std::move(userName);
            own.Current.Password = std::move(password);
            if (persistence == TAuthPersistenceType::Client && !own.Current.IsEmpty())
                FCredentialsStorage->Add(own.Current);
        } else {
            SecureZero(password);
        }
    }
    if (own.Current.IsEmpty())
        return false;
    return ApplyCredential(target, request, own.Current, response, true);
}

bool THTTPClient::ApplyCredential(TAuthTargetType target, THTTPRequest& request,
                                  const TCredentialsStorage::TCredential& credential,
                                  THTTPResponse& response, bool challenged) {
    const bool server = target == TAuthTargetType::Server;
    THTTPRequest::TAuthAnswer& answer = server ? request.FServerAnswer : request.FProxyAnswer;
    std::optional<THTTPAuthScheme>& remembered = answer.Scheme;
    THTTPAuthScheme scheme = THTTPAuthScheme::Basic;
    if (remembered) {
        scheme = *remembered;
    } else if (challenged) {
        // The strongest scheme the challenge offers.
        const std::uint32_t offered = DoQueryAuthSchemes(request, target);
        for (THTTPAuthScheme candidate :
             {THTTPAuthScheme::Negotiate, THTTPAuthScheme::NTLM, THTTPAuthScheme::Passport,
              THTTPAuthScheme::Digest, THTTPAuthScheme::Basic}) {
            if ((offered & static_cast<std::uint32_t>(candidate)) != 0) {
                scheme = candidate;
                break;
            }
        }
        remembered = scheme;
    }

    const char16_t* header = server ? u"Authorization" : u"Proxy-Authorization";
    bool& fromClient = answer.HeaderFromClient;
    const UnicodeString challenge =
        challenged ? response.GetHeaderValue(server ? u"WWW-Authenticate" : u"Proxy-Authenticate")
                   : UnicodeString();
    if (scheme == THTTPAuthScheme::Basic && !credential.UserName.empty() &&
        (!challenged || ChallengeWantsUtf8(challenge)) &&
        (server || DoProxyHeadersReachProxyOnly())) {
        std::string plain = ToUtf8(credential.UserName + u":" + credential.Password);
        std::string encoded = Base64Encode(plain);
        UnicodeString value = u"Basic " + U16(encoded);
        request.SetHeaderValue(header, value);
        fromClient = true;
        SecureZero(plain);
        SecureZero(encoded);
        SecureZero(value);
        return true;
    }
    if (fromClient) {
        // The platform answers from now on; a header of an earlier credential must not compete.
        request.RemoveHeader(header);
        fromClient = false;
    }
    return DoSetCredentials(request, target, scheme, credential.UserName, credential.Password);
}

bool THTTPClient::FollowRedirect(THTTPRequest& request, THTTPResponse& response) {
    const std::int32_t status = response.GetStatusCode();
    if (!FHandleRedirects || !IsRedirectStatus(status))
        return false;
    const UnicodeString location = Trim(response.GetHeaderValue(u"Location"));
    if (location.empty())
        return false;
    TURI target = TURI::PathRelativeToAbs(location, request.GetURL());
    // No silent step down from https: the redirect comes back as the response.
    if (request.GetURL().Scheme() == u"https" && target.Scheme() != u"https" &&
        !FAllowInsecureRedirects)
        return false;

    UnicodeString method = request.GetMethodString();
    auto toGet = [&](THTTPRedirectWithGET post, THTTPRedirectWithGET put,
                     THTTPRedirectWithGET del) {
        if (SameText(method, u"POST"))
            return FRedirectsWithGET.Contains(post);
        if (SameText(method, u"PUT"))
            return FRedirectsWithGET.Contains(put);
        if (SameText(method, u"DELETE"))
            return FRedirectsWithGET.Contains(del);
        return false;
    };
    using R = THTTPRedirectWithGET;
    bool becomesGet = false;
    switch (status) {
    case 301:
        becomesGet = toGet(R::Post301, R::Put301, R::Delete301);
        break;
    case 302:
        becomesGet = toGet(R::Post302, R::Put302, R::Delete302);
        break;
    case 303:
        becomesGet = toGet(R::Post303, R::Put303, R::Delete303);
        break;
    case 307:
        becomesGet = toGet(R::Post307, R::Put307, R::Delete307);
        break;
    case 308:
        becomesGet = toGet(R::Post308, R::Put308, R::Delete308);
        break;
    default:
        break;
    }
    if (becomesGet) {
        method = u"GET";
        request.FSourceStream = nullptr;
        request.RemoveHeader(u"Content-Length");
        request.RemoveHeader(u"Content-Type");
    }
    request.MoveTo(std::move(target), std::move(method));
    return true;
}

void THTTPClient::StoreResponseCookies(THTTPRequest& request, THTTPResponse& response) {
    if (FCookieManager == nullptr)
        return;
    for (const auto& cookie : response.GetCookies())
        FCookieManager->AddServerCookie(cookie, request.GetURL());
}

} // namespace velora

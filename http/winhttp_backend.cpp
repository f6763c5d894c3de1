// The HTTP client's backend on WinHTTP: one synchronous session per client, a connection and a
// request handle per request, reopened per redirect target. WinHTTP only moves bytes here:
// redirects and cookies are the HTTP layer's business and are switched off in the platform.
// Error mapping, option values, proxy lookup, certificates and the watchdog have files of
// their own.
#include "http/backend_rules.hpp"
#include "http/gzip_body.hpp"
#include "http/http_backend.hpp"
#include "http/http_headers.hpp"
#include "http/winhttp_certificates.hpp"
#include "http/winhttp_errors.hpp"
#include "http/winhttp_handles.hpp"
#include "http/winhttp_options.hpp"
#include "http/winhttp_proxy.hpp"
#include "http/winhttp_watchdog.hpp"
#include "rtl/exceptions.hpp"
#include "rtl/win32.hpp"

#include <memory>
#include <mutex>
#include <vector>

#include <zlib.h>

namespace velora {
namespace {

using namespace winhttp;
using backend::kReadMessage;
using backend::kReceiveMessage;
using backend::kSendMessage;
using win32::W;

class TWinHTTPClient;

class TWinHTTPRequest final : public THTTPRequest, private TWatchdog::ITarget {
public:
    TWinHTTPRequest(THTTPClient& client, TWinHTTPClient& owner, HINTERNET session,
                    UnicodeString method, TURI url)
        : THTTPRequest(client, std::move(method), std::move(url)), FOwner(owner),
          FSession(session) {}
    ~TWinHTTPRequest() override {
        FWatchdog.reset();
        CloseHandles();
    }

    TWinHTTPClient& Owner() { return FOwner; }
    HINTERNET Handle() const { return FWRequest.Get(); }
    std::mutex& Lock() { return FLock; }

    // The exchange ran out of time, or its peer stayed under the minimum rate: the watchdog
    // closed the request handle.
    bool TimedOut() const { return FTimedOut.load(); }
    // The request goes out now; the watchdog starts when the exchange has a limit to watch,
    // and watches every hop until the exchange ends.
    void Sending() {
        if (!FWatchdog && (Deadline() || MinimumRate().Active())) {
            TWatchdog::ITarget& target = *this;
            FWatchdog = std::make_unique<TWatchdog>(target, MinimumRate());
        }
        if (FWatchdog)
            FWatchdog->Sending();
    }
    // Body bytes that arrived, for the minimum-rate rule.
    void BodyBytesArrived(std::uint64_t bytes) {
        if (FWatchdog)
            FWatchdog->BytesArrived(bytes);
    }

    // Makes the platform request carry exactly the headers the request holds: those set on an
    // earlier pass and gone since are removed. A Proxy-Authorization header is the proxy's:
    // WinHTTP would carry it through a tunnel (or past a bypassed proxy) to the server, so it
    // goes only with a plain request that surely goes to a proxy.
    void ApplyHeaders() {
        const bool toProxy = ProxyHeaderReachesProxy();
        std::vector<UnicodeString> names;
        for (const auto& header : GetHeaders()) {
            if (!toProxy && SameText(header.Name, u"Proxy-Authorization"))
                continue;
            const UnicodeString line =
                WithoutLineBreaks(header.Name) + u": " + WithoutLineBreaks(header.Value);
            if (!::WinHttpAddRequestHeaders(FWRequest.Get(), W(line), static_cast<DWORD>(-1),
                                            WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE))
                throw ENetHTTPRequestException(
                    CodeAndText(u"Error adding header: (%d) %s", ::GetLastError()));
            names.push_back(header.Name);
        }
        for (const auto& old : FAppliedHeaders) {
            bool kept = false;
            for (const auto& name : names)
                kept = kept || SameText(name, old);
            if (kept)
                continue;
            const UnicodeString line = WithoutLineBreaks(old) + u":";
            if (!::WinHttpAddRequestHeaders(FWRequest.Get(), W(line), static_cast<DWORD>(-1),
                                            WINHTTP_ADDREQ_FLAG_REPLACE) &&
                ::GetLastError() != kHeaderNotFound)
                throw ENetHTTPRequestException(
                    CodeAndText(u"Error removing header: (%d) %s", ::GetLastError()));
        }
        FAppliedHeaders = std::move(names);
    }

    // A request header reaches the proxy alone only on a plain request that surely goes to one.
    bool ProxyHeaderReachesProxy() {
        return !TransportOptions().Proxy.empty() && TransportOptions().ProxyBypass.empty() &&
               !SameText(GetURL().Scheme(), u"https");
    }

    // From the notification routine, on the sending thread (the lock is not taken there: the
    // send holds no lock while it runs).
    void CloseRequestHandle() { FWRequest.Close(); }

    // The certificate last shown to a validation callback, as encoded: once the callback
    // accepted it, it alone passes on this request's later connections.
    std::vector<BYTE> FShownCertificate;
    // A later connection presented another certificate than the accepted one.
    bool FAcceptedCertificateChanged = false;

protected:
    void DoOpenRequestHandles() override {
        CloseHandles();
        const TURI& url = GetURL();
        const INTERNET_PORT port = static_cast<INTERNET_PORT>(url.Port() > 0 ? url.Port() : 0);
        FWConnect.Handle = ::WinHttpConnect(FSession, W(url.Host()), port, 0);
        if (!FWConnect.Handle)
            throw ENetHTTPRequestException(Format(u"Error connecting to server: %s", {url.Host()}));
        const UnicodeString objectName = url.PathAndQuery();
        const DWORD flags = SameText(url.Scheme(), u"https") ? WINHTTP_FLAG_SECURE : 0;
        FWRequest.Set(::WinHttpOpenRequest(FWConnect.Handle, W(GetMethodString()), W(objectName),
                                           nullptr, WINHTTP_NO_REFERER,
                                           WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
        if (!FWRequest.Get())
            throw ENetHTTPRequestException(
                CodeAndText(u"Error opening request: (%d) %s", ::GetLastError()));
        if (!::WinHttpSetTimeouts(FWRequest.Get(), ConnectionTimeout(), ConnectionTimeout(),
                                  EffectiveSendTimeout(), ResponseTimeout()))
            throw ENetHTTPRequestException(
                CodeAndText(u"Error setting timeout for the request: (%d) %s", ::GetLastError()));
    }

    // Cancel calls this holding the request's lock already.
    void DoCancel() override { FWRequest.Close(); }
    // The response outlives its exchange: nothing may close its handle now.
    void DoEndExchange() override { FWatchdog.reset(); }

private:
    void Expire() override {
        std::lock_guard guard(FLock);
        FTimedOut = true;
        FWRequest.Close();
    }
    std::optional<std::chrono::steady_clock::time_point> WatchedDeadline() const override {
        return Deadline();
    }

    void CloseHandles() {
        FWRequest.Close();
        FWConnect.Reset();
        FAppliedHeaders.clear();
    }

    TWinHTTPClient& FOwner;
    HINTERNET FSession;
    THInternet FWConnect;
    TRequestHandle FWRequest;
    std::vector<UnicodeString> FAppliedHeaders;
    std::atomic<bool> FTimedOut{false};
    std::unique_ptr<TWatchdog> FWatchdog;
};

class TWinHTTPResponse final : public THTTPResponse {
public:
    TWinHTTPResponse(std::shared_ptr<TWinHTTPRequest> request, TStream* content,
                     THTTPCompressionMethods automaticDecompression)
        : THTTPResponse(request, content, automaticDecompression), FWinRequest(request.get()) {}

    // A new status line and header block are in. They are kept: the watchdog may close the
    // handle at any time after this, and the response must still read whole.
    void HeadersArrived(bool fromProxy = false) {
        FStatusCode = Query(WINHTTP_QUERY_STATUS_CODE);
        FStatusText = Query(WINHTTP_QUERY_STATUS_TEXT);
        FVersion = Query(WINHTTP_QUERY_VERSION);
        FHeaderBlock = Query(WINHTTP_QUERY_RAW_HEADERS_CRLF);
        DropHeaderCache();
        SetProxyAnswer(fromProxy);
    }

protected:
    UnicodeString DoGetHeaderBlock() override { return FHeaderBlock; }
    std::int32_t DoGetStatusCode() override {
        const UnicodeString& text = FStatusCode;
        std::int64_t value = 0;
        bool ok = !text.empty() && text.size() <= 10;
        for (char16_t c : text) {
            ok = ok && c >= u'0' && c <= u'9';
            value = value * 10 + (c - u'0');
        }
        if (!ok || value > 2147483647)
            throw EConvertError(
                Format(u"'%s' is not a valid integer value for %s type", {text, u"Integer"}));
        return static_cast<std::int32_t>(value);
    }
    UnicodeString DoGetStatusText() override { return FStatusText; }
    UnicodeString DoGetVersionText() override { return FVersion; }

private:
    // One header query: first the size in bytes, then the text. An absent header is empty text.
    UnicodeString Query(DWORD level) {
        const HINTERNET request = FWinRequest->Handle();
        if (!request)
            return UnicodeString();
        DWORD size = 0;
        if (!::WinHttpQueryHeaders(request, level, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &size,
                                   WINHTTP_NO_HEADER_INDEX)) {
            const DWORD error = ::GetLastError();
            if (error == winhttp::kHeaderNotFound)
                return UnicodeString();
            if (error != ERROR_INSUFFICIENT_BUFFER)
                throw ENetHTTPException(CodeAndText(u"Error querying headers: (%d) %s", error));
        }
        std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1);
        if (!::WinHttpQueryHeaders(request, level, WINHTTP_HEADER_NAME_BY_INDEX, buffer.data(),
                                   &size, WINHTTP_NO_HEADER_INDEX)) {
            const DWORD error = ::GetLastError();
            if (error == winhttp::kHeaderNotFound)
                return UnicodeString();
            throw ENetHTTPException(CodeAndText(u"Error querying headers: (%d) %s", error));
        }
        return win32::FromW(buffer.data(), size / sizeof(wchar_t));
    }

    TWinHTTPRequest* FWinRequest;
    UnicodeString FStatusCode;
    UnicodeString FStatusText;
    UnicodeString FVersion;
    UnicodeString FHeaderBlock;
};

class TWinHTTPClient final : public THTTPClient {
public:
    TWinHTTPClient() {
        // No proxy on the session: the proxy is chosen per request.
        FWSession.Handle = ::WinHttpOpen(L"", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                         WINHTTP_NO_PROXY_BYPASS, 0);
        if (!FWSession.Handle)
            throw ENetHTTPClientException(u"Error obtaining session handle");
        ::WinHttpSetStatusCallback(
            FWSession.Handle, &TWinHTTPClient::StatusCallback,
            WINHTTP_CALLBACK_STATUS_SENDING_REQUEST | WINHTTP_CALLBACK_FLAG_SECURE_FAILURE, 0);
    }

protected:
    std::shared_ptr<THTTPRequest> DoGetHTTPRequestInstance(const UnicodeString& method,
                                                           const TURI& url) override {
        auto request =
            std::make_shared<TWinHTTPRequest>(*this, *this, FWSession.Handle, method, url);
        FLastRequest = request;
        return request;
    }

    std::shared_ptr<THTTPResponse>
    DoGetHTTPResponseInstance(const std::shared_ptr<THTTPRequest>& request,
                              TStream* content) override {
        return std::make_shared<TWinHTTPResponse>(
            std::static_pointer_cast<TWinHTTPRequest>(request), content, FAutomaticDecompression);
    }

    TSendOutcome DoSendAndReceive(THTTPRequest& baseRequest, THTTPResponse& baseResponse) override;
    void DoReadResponseBody(THTTPRequest& request, THTTPResponse& response) override;

    TProxyChoice DoSystemProxyFor(const TURI& url) override {
        // The request in exchange: a client serves one at a time.
        const auto request = FLastRequest.lock();
        std::optional<TProxyLookup> lookup = SystemProxyFor(
            FWSession.Handle, url.RequestURL(), request ? request->Deadline() : std::nullopt);
        if (!lookup)
            throw ENetHTTPClientException(CodeAndText(kSendMessage, kTimeout));
        return TProxyChoice{std::move(lookup->Proxy), std::move(lookup->Bypass)};
    }

    // A request header cannot be addressed to the proxy alone.
    bool DoProxyHeadersReachProxyOnly() const override { return false; }

    std::uint32_t DoQueryAuthSchemes(THTTPRequest& baseRequest, TAuthTargetType target) override {
        auto& request = static_cast<TWinHTTPRequest&>(baseRequest);
        DWORD supported = 0, first = 0, answeredBy = 0;
        if (!request.Handle() ||
            !::WinHttpQueryAuthSchemes(request.Handle(), &supported, &first, &answeredBy))
            return 0;
        const DWORD wanted = target == TAuthTargetType::Proxy ? WINHTTP_AUTH_TARGET_PROXY
                                                              : WINHTTP_AUTH_TARGET_SERVER;
        return answeredBy == wanted ? supported : 0;
    }

    bool DoSetCredentials(THTTPRequest& baseRequest, TAuthTargetType target, THTTPAuthScheme scheme,
                          const UnicodeString& userName, const UnicodeString& password) override {
        auto& request = static_cast<TWinHTTPRequest&>(baseRequest);
        return request.Handle() &&
               SetCredentials(request.Handle(), target, scheme, userName, password);
    }

    bool DoGetServerCertificate(THTTPRequest& baseRequest, TCertificate& certificate) override {
        auto& request = static_cast<TWinHTTPRequest&>(baseRequest);
        request.FShownCertificate = ServerCertificateEncoding(request.Handle());
        return DescribeServerCertificate(request.Handle(), certificate);
    }

    TCertificateList DoGetClientCertificates(THTTPRequest& baseRequest) override {
        return FClientCertificates.List(static_cast<TWinHTTPRequest&>(baseRequest).Handle());
    }

    bool DoSetClientCertificate(THTTPRequest& baseRequest,
                                const TCertificate* certificate) override {
        return FClientCertificates.Choose(static_cast<TWinHTTPRequest&>(baseRequest).Handle(),
                                          certificate);
    }

private:
    static void CALLBACK StatusCallback(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info,
                                        DWORD infoLength) {
        if (context == 0)
            return;
        auto* request = reinterpret_cast<TWinHTTPRequest*>(context);
        TWinHTTPClient& client = request->Owner();
        if (status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE && info &&
            infoLength >= sizeof(DWORD)) {
            client.FSecureFailureReasons =
                winhttp::SecureFailureReasons(*static_cast<const DWORD*>(info));
        } else if (status == WINHTTP_CALLBACK_STATUS_SENDING_REQUEST) {
            // A certificate the validation callback refuses stops the send, which then fails
            // as cancelled; so does another than the one it accepted, with the problems it
            // may have let through.
            if (request->ServerCertificateAccepted() &&
                ServerCertificateEncoding(request->Handle()) != request->FShownCertificate) {
                request->FAcceptedCertificateChanged = true;
                request->CloseRequestHandle();
            } else if (!client.CheckServerCertificateOnSend(*request)) {
                request->CloseRequestHandle();
            }
        }
    }

    static bool SetCredentials(HINTERNET h, TAuthTargetType target, THTTPAuthScheme scheme,
                               const UnicodeString& userName, const UnicodeString& password) {
        return ::WinHttpSetCredentials(
                   h,
                   target == TAuthTargetType::Proxy ? WINHTTP_AUTH_TARGET_PROXY
                                                    : WINHTTP_AUTH_TARGET_SERVER,
                   static_cast<DWORD>(scheme), W(userName), W(password), nullptr) != FALSE;
    }

    void ApplyOptions(TWinHTTPRequest& request);

    THInternet FWSession;
    TClientCertificates FClientCertificates;
    std::weak_ptr<TWinHTTPRequest> FLastRequest;
};

void TWinHTTPClient::ApplyOptions(TWinHTTPRequest& request) {
    const HINTERNET h = request.Handle();
    const auto& options = request.TransportOptions();

    WINHTTP_PROXY_INFO info{};
    if (options.Proxy.empty()) {
        info.dwAccessType = WINHTTP_ACCESS_TYPE_NO_PROXY;
    } else {
        info.dwAccessType = WINHTTP_ACCESS_TYPE_NAMED_PROXY;
        info.lpszProxy = const_cast<LPWSTR>(W(options.Proxy));
        info.lpszProxyBypass = const_cast<LPWSTR>(W(options.ProxyBypass));
    }
    ::WinHttpSetOption(h, WINHTTP_OPTION_PROXY, &info, sizeof info);

    // On the session before every send, so that no request inherits another's choice.
    DWORD protocols = SecureProtocolFlags(backend::UsableProtocols(options.SecureProtocols));
    if (protocols != 0 && !::WinHttpSetOption(FWSession.Handle, WINHTTP_OPTION_SECURE_PROTOCOLS,
                                              &protocols, sizeof protocols)) {
        // Systems without TLS 1.3 refuse the whole set.
        protocols &= ~static_cast<DWORD>(WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3);
        ::WinHttpSetOption(FWSession.Handle, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                           sizeof protocols);
    }
    if (!options.Decompression.Empty()) {
        DWORD decompression = DecompressionFlags(options.Decompression);
        ::WinHttpSetOption(h, WINHTTP_OPTION_DECOMPRESSION, &decompression, sizeof decompression);
    }
    DWORD logon = AutoLogonPolicy(options.AutomaticLogon);
    ::WinHttpSetOption(h, WINHTTP_OPTION_AUTOLOGON_POLICY, &logon, sizeof logon);

    if (options.ServerCredential)
        SetCredentials(h, TAuthTargetType::Server, options.ServerCredential->Scheme,
                       options.ServerCredential->UserName, options.ServerCredential->Password);
    const bool callerHeaderReachesProxy = request.ProxyHeaderReachesProxy() &&
                                          !request.GetHeaderValue(u"Proxy-Authorization").empty();
    if (const auto proxy = backend::ProxyCredentialFor(options, callerHeaderReachesProxy))
        SetCredentials(h, TAuthTargetType::Proxy, proxy->Scheme, proxy->UserName, proxy->Password);
}

TSendOutcome TWinHTTPClient::DoSendAndReceive(THTTPRequest& baseRequest,
                                              THTTPResponse& baseResponse) {
    auto& request = static_cast<TWinHTTPRequest&>(baseRequest);
    auto& response = static_cast<TWinHTTPResponse&>(baseResponse);
    const auto timedOut = [&](std::u16string_view message) {
        return ClassifySendError(request, PlatformError(kTimeout), message);
    };
    request.Sending();
    request.FAcceptedCertificateChanged = false;
    HINTERNET h = nullptr;
    {
        std::lock_guard guard(request.Lock());
        h = request.Handle();
        // Also when this hop's handle was opened after the time ran out.
        if (request.TimedOut())
            return timedOut(kSendMessage);
        if (!h)
            return TSendOutcome::Completed; // cancelled: the exchange stops at its next check
        if (SameText(request.GetURL().Scheme(), u"https") &&
            backend::UsableProtocols(request.TransportOptions().SecureProtocols).Empty()) {
            // Only versions older than TLS 1.2 were asked for: none is left to speak.
            FSecureFailureReasons = {THTTPSecureFailureReason::SecurityChannelError};
            return ClassifySendError(request, PlatformError(kSecureFailure), kSendMessage);
        }
        request.ApplyHeaders();
        ApplyOptions(request);
        DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&request);
        ::WinHttpSetOption(h, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context);
        const TSendSecurity security = SendSecurity(request.ServerCertificateAccepted());
        for (DWORD feature = 1; feature != 0; feature <<= 1)
            if ((security.DisabledFeatures & feature) != 0)
                ::WinHttpSetOption(h, WINHTTP_OPTION_DISABLE_FEATURE, &feature, sizeof feature);
        if (security.IgnoredProblems != 0) {
            DWORD flags = security.IgnoredProblems;
            ::WinHttpSetOption(h, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
        }
    }

    const auto failed = [&](std::u16string_view message) {
        DWORD code = ::GetLastError();
        if (request.TimedOut())
            return timedOut(message);
        if (request.FAcceptedCertificateChanged) {
            FSecureFailureReasons = {THTTPSecureFailureReason::InvalidCert};
            return ClassifySendError(request, PlatformError(kSecureFailure), message);
        }
        // A handle we closed on purpose (a refused certificate, a cancellation) fails the send
        // as cancelled on Windows; Wine goes on and reports the closed handle instead.
        if (code == ERROR_INVALID_HANDLE && !request.Handle())
            code = kOperationCancelled;
        return ClassifySendError(request, PlatformError(code), message);
    };
    if (!::WinHttpSendRequest(h, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                              0))
        return failed(kSendMessage);
    if (!::WinHttpReceiveResponse(h, nullptr))
        return failed(kReceiveMessage);
    response.HeadersArrived();
    if (!request.TransportOptions().Proxy.empty() &&
        SameText(request.GetURL().Scheme(), u"https")) {
        PCCERT_CONTEXT server = ServerCertificateContext(h);
        if (server) {
            ::CertFreeCertificateContext(server);
        } else {
            // No TLS with the server, so this answer came from the proxy in place of a tunnel.
            // Only its challenge goes on; anything else it says is a connection that failed.
            if (response.GetStatusCode() != 407)
                return ClassifySendError(request, PlatformError(kCannotConnect), kSendMessage);
            response.HeadersArrived(true);
        }
    }
    ResponseHeadersReceived(request, response);
    return TSendOutcome::Completed;
}

void TWinHTTPClient::DoReadResponseBody(THTTPRequest& baseRequest, THTTPResponse& response) {
    auto& request = static_cast<TWinHTTPRequest&>(baseRequest);
    TStream& stream = response.GetContentStream();
    const std::int64_t announced = response.GetContentLength();
    backend::ReserveForBody(response.OwnMemoryStream(), announced);
    std::vector<std::uint8_t> buffer;
    std::int64_t total = 0;
    const bool decoding = !request.TransportOptions().Decompression.Empty();
    const std::uint64_t encoded =
        announced >= 0 ? static_cast<std::uint64_t>(announced) : UINT64_MAX;
    const auto failed = [&request] {
        const DWORD code = request.TimedOut() ? kTimeout : ::GetLastError();
        return ENetHTTPResponseException(CodeAndText(kReadMessage, code));
    };
    for (;;) {
        const HINTERNET h = request.Handle();
        if (!h && request.TimedOut())
            throw failed();
        if (!h)
            return; // cancelled
        DWORD available = 0;
        if (!::WinHttpQueryDataAvailable(h, &available))
            throw failed();
        if (available == 0)
            break;
        if (buffer.size() < available + 1u)
            buffer.resize(available + 1u);
        DWORD read = 0;
        if (!::WinHttpReadData(h, buffer.data(), available, &read))
            throw failed();
        if (read == 0)
            break;
        total += read;
        // What the platform decodes obeys the bound ContentAsString keeps when inflating; the
        // announced length is the encoded one.
        if (decoding && !WithinInflateLimit(static_cast<std::uint64_t>(total), encoded))
            throw EZDecompressionError(std::string_view(zError(Z_BUF_ERROR)));
        stream.WriteBuffer(buffer.data(), read);
        request.BodyBytesArrived(read);
        if (!ReceiveData(request, response, total))
            return; // aborted: the request is cancelled
    }
    // The watchdog may close the handle as the last bytes come in; the platform then ends the
    // body as if it were whole.
    if (request.TimedOut())
        throw failed();
    // A connection that ends before the announced length is a broken body, not a short one:
    // Windows reports it, Wine hands over what came. Platform decompression changes the
    // length, and some statuses announce a length without a body. Without a length, a secure
    // body is whole only when the server sent the TLS close alert, which WinHTTP does not
    // report: such a body is never taken for complete.
    const std::int32_t status = response.GetStatusCode();
    if (backend::NeedsCloseAlert(request, status, response.GetHeaders()))
        throw ENetHTTPResponseException(CodeAndText(kReadMessage, kConnectionError));
    if (request.TransportOptions().Decompression.Empty() && status != 204 && status != 304 &&
        status >= 200 && announced >= 0 && total < announced)
        throw ENetHTTPResponseException(CodeAndText(kReadMessage, kConnectionError));
}

} // namespace

void RegisterPlatformHTTPClient() {
    static std::once_flag once;
    std::call_once(once, [] {
        auto factory = [] {
            return std::unique_ptr<TURLClient>(std::make_unique<TWinHTTPClient>());
        };
        TURLSchemes::RegisterURLClientScheme(u"HTTP", u"TWinHTTPClient", factory);
        TURLSchemes::RegisterURLClientScheme(u"HTTPS", u"TWinHTTPClient", factory);
    });
}

} // namespace velora

// The HTTP client's backend on WinHTTP: one synchronous session per client, a connection and a
// request handle per request, reopened per redirect target. WinHTTP only moves bytes here:
// redirects and cookies are the HTTP layer's business and are switched off in the platform.
#include "http/winhttp_backend.hpp"

#include "http/http_backend.hpp"
#include "http/http_headers.hpp"
#include "http/rate_window.hpp"
#include "rtl/exceptions.hpp"
#include "rtl/win32.hpp"

#include <wincrypt.h>
#include <winhttp.h>
// After wincrypt.h, which it needs.
#include <schannel.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace velora {

namespace winhttp {

namespace {

// Codes the send-error classification tells apart.
constexpr std::uint32_t kOperationCancelled = 12017;   // ERROR_WINHTTP_OPERATION_CANCELLED
constexpr std::uint32_t kResendRequest = 12032;        // ERROR_WINHTTP_RESEND_REQUEST
constexpr std::uint32_t kClientAuthCertNeeded = 12044; // ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED
constexpr std::uint32_t kSecureFailure = 12175;        // ERROR_WINHTTP_SECURE_FAILURE
constexpr std::uint32_t kLoginFailure = 12015;         // ERROR_WINHTTP_LOGIN_FAILURE
constexpr std::uint32_t kHeaderNotFound = 12150;       // ERROR_WINHTTP_HEADER_NOT_FOUND
constexpr std::uint32_t kTimeout = 12002;              // ERROR_WINHTTP_TIMEOUT
constexpr std::uint32_t kConnectionError = 12030;      // ERROR_WINHTTP_CONNECTION_ERROR
constexpr std::uint32_t kCannotConnect = 12029;        // ERROR_WINHTTP_CANNOT_CONNECT
constexpr DWORD kIgnoreCertificateProblems = 0x3300;   // unknown CA, usage, name, date

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

} // namespace winhttp

namespace {

using win32::W;

constexpr std::u16string_view kSendMessage = u"Error sending data: (%d) %s";
constexpr std::u16string_view kReceiveMessage = u"Error receiving data: (%d) %s";
constexpr std::u16string_view kReadMessage = u"Error reading data: (%d) %s";

UnicodeString CodeAndText(std::u16string_view pattern, DWORD code) {
    const TPlatformError error = winhttp::PlatformError(code);
    return Format(pattern, {error.Code, error.Text});
}

// Closes a WinHTTP handle at scope end.
struct THInternet {
    HINTERNET Handle = nullptr;
    THInternet() = default;
    explicit THInternet(HINTERNET handle) : Handle(handle) {}
    ~THInternet() { Reset(); }
    THInternet(const THInternet&) = delete;
    THInternet& operator=(const THInternet&) = delete;
    void Reset() {
        if (Handle)
            ::WinHttpCloseHandle(Handle);
        Handle = nullptr;
    }
};

// A request handle that another thread may close (a cancellation, the watchdog): whoever takes
// it out closes it, once.
class TRequestHandle {
public:
    TRequestHandle() = default;
    TRequestHandle(const TRequestHandle&) = delete;
    TRequestHandle& operator=(const TRequestHandle&) = delete;
    ~TRequestHandle() { Close(); }

    HINTERNET Get() const { return FHandle.load(); }
    void Set(HINTERNET handle) {
        Close();
        FHandle.store(handle);
    }
    void Close() {
        if (HINTERNET handle = FHandle.exchange(nullptr))
            ::WinHttpCloseHandle(handle);
    }

private:
    std::atomic<HINTERNET> FHandle{nullptr};
};

// Text the platform allocated with GlobalAlloc, taken over and freed.
UnicodeString TakeGlobalText(LPWSTR& text) {
    UnicodeString out = win32::FromW(text);
    if (text)
        ::GlobalFree(text);
    text = nullptr;
    return out;
}

// The user's proxy configuration, read once per process.
struct TUserProxyConfig {
    bool Read = false;
    UnicodeString AutoConfigUrl;
    UnicodeString Proxy;
    UnicodeString Bypass;
};

std::mutex& ProcessLock() {
    static std::mutex lock;
    return lock;
}

const TUserProxyConfig& UserProxyConfig() {
    static std::optional<TUserProxyConfig> config;
    std::lock_guard guard(ProcessLock());
    if (!config) {
        config.emplace();
        WINHTTP_CURRENT_USER_IE_PROXY_CONFIG ie{};
        if (::WinHttpGetIEProxyConfigForCurrentUser(&ie)) {
            config->Read = true;
            // Automatic detection without a script is prepared but not run: the manual list
            // applies.
            config->AutoConfigUrl = TakeGlobalText(ie.lpszAutoConfigUrl);
            config->Proxy = TakeGlobalText(ie.lpszProxy);
            config->Bypass = TakeGlobalText(ie.lpszProxyBypass);
        }
    }
    return *config;
}

struct TProxyLookup {
    UnicodeString Proxy; // empty: direct
    UnicodeString Bypass;
};

// Looks the proxy up through a script or by automatic detection, once more with automatic
// logon when the script's server asked for one.
std::optional<TProxyLookup> LookUpProxy(HINTERNET session, const UnicodeString& url,
                                        WINHTTP_AUTOPROXY_OPTIONS options) {
    WINHTTP_PROXY_INFO info{};
    options.fAutoLogonIfChallenged = FALSE;
    BOOL ok = ::WinHttpGetProxyForUrl(session, W(url), &options, &info);
    if (!ok && ::GetLastError() == winhttp::kLoginFailure) {
        options.fAutoLogonIfChallenged = TRUE;
        ok = ::WinHttpGetProxyForUrl(session, W(url), &options, &info);
    }
    if (!ok)
        return std::nullopt;
    TProxyLookup choice;
    choice.Proxy = TakeGlobalText(info.lpszProxy);
    choice.Bypass = TakeGlobalText(info.lpszProxyBypass);
    return choice;
}

TProxyLookup SystemProxyFor(HINTERNET session, const UnicodeString& url) {
    const TUserProxyConfig& config = UserProxyConfig();
    std::optional<TProxyLookup> choice;
    WINHTTP_AUTOPROXY_OPTIONS options{};
    if (config.Read && !config.AutoConfigUrl.empty()) {
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = W(config.AutoConfigUrl);
        choice = LookUpProxy(session, url, options);
    } else if (config.Read) {
        choice = TProxyLookup{config.Proxy, config.Bypass};
    } else {
        options.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
        options.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
        choice = LookUpProxy(session, url, options);
    }
    return choice ? *choice : TProxyLookup{};
}

// Certificates as the callbacks see them.
TCertificate::TDateTime ToTimePoint(const FILETIME& time) {
    // 100-ns steps since 1601-01-01 to the system clock's epoch of 1970-01-01.
    const std::int64_t ticks =
        (static_cast<std::int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    const std::int64_t sinceEpoch = ticks - 116444736000000000LL;
    return TCertificate::TDateTime(std::chrono::duration_cast<TCertificate::TDateTime::duration>(
        std::chrono::nanoseconds(sinceEpoch * 100)));
}

UnicodeString NameText(CERT_NAME_BLOB& name) {
    const DWORD size = ::CertNameToStrW(X509_ASN_ENCODING, &name, CERT_X500_NAME_STR, nullptr, 0);
    std::vector<wchar_t> text(size > 0 ? size : 1);
    ::CertNameToStrW(X509_ASN_ENCODING, &name, CERT_X500_NAME_STR, text.data(), size);
    return win32::FromW(text.data());
}

TCertificate Describe(PCCERT_CONTEXT context) {
    TCertificate out;
    CERT_INFO& info = *context->pCertInfo;
    out.Start = ToTimePoint(info.NotBefore);
    out.Expiry = ToTimePoint(info.NotAfter);
    out.Subject = NameText(info.Subject);
    out.Issuer = NameText(info.Issuer);
    // The serial number is stored least significant byte first.
    static constexpr char16_t kHex[] = u"0123456789ABCDEF";
    for (DWORD i = info.SerialNumber.cbData; i > 0; --i) {
        const BYTE b = info.SerialNumber.pbData[i - 1];
        out.SerialNum.push_back(kHex[b >> 4]);
        out.SerialNum.push_back(kHex[b & 0xF]);
    }
    wchar_t name[512] = {};
    ::CertGetNameStringW(context, CERT_NAME_ATTR_TYPE, 0, const_cast<char*>(szOID_COMMON_NAME),
                         name, 512);
    out.CertName = win32::FromW(name);
    out.KeySize = static_cast<std::int32_t>(
        ::CertGetPublicKeyLength(X509_ASN_ENCODING, &info.SubjectPublicKeyInfo));
    return out;
}

bool HasServerCertificate(HINTERNET request) {
    PCCERT_CONTEXT context = nullptr;
    DWORD size = sizeof context;
    if (!::WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &context, &size) ||
        !context)
        return false;
    ::CertFreeCertificateContext(context);
    return true;
}

bool SameCertificate(const TCertificate& a, const TCertificate& b) {
    return a.Subject == b.Subject && a.Issuer == b.Issuer && a.SerialNum == b.SerialNum;
}

// The user's personal store, opened once per process for client certificates.
HCERTSTORE PersonalStore() {
    static HCERTSTORE store = nullptr;
    std::lock_guard guard(ProcessLock());
    if (!store)
        store = ::CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                                CERT_SYSTEM_STORE_CURRENT_USER | CERT_STORE_READONLY_FLAG, L"MY");
    return store;
}

class TWinHTTPClient;

class TWinHTTPRequest final : public THTTPRequest {
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
    void Expire() {
        std::lock_guard guard(FLock);
        FTimedOut = true;
        FWRequest.Close();
    }
    // The request goes out now; the watchdog starts when the request has a limit to watch.
    void Sending();
    // Body bytes received, for the minimum-rate rule.
    void Received(std::uint64_t bytes);

    // Makes the platform request carry exactly the headers the request holds: those set on an
    // earlier pass and gone since are removed. A Proxy-Authorization header is the proxy's:
    // WinHTTP would carry it through a tunnel (or past a bypassed proxy) to the server, so it
    // goes only with a plain request that surely goes to a proxy.
    void ApplyHeaders() {
        const bool toProxy = !TransportOptions().Proxy.empty() &&
                             TransportOptions().ProxyBypass.empty() &&
                             !SameText(GetURL().Scheme(), u"https");
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
                ::GetLastError() != winhttp::kHeaderNotFound)
                throw ENetHTTPRequestException(
                    CodeAndText(u"Error removing header: (%d) %s", ::GetLastError()));
        }
        FAppliedHeaders = std::move(names);
    }

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

public:
    // From the notification routine, on the sending thread (the lock is not taken there: the
    // send holds no lock while it runs).
    void CloseRequestHandle() { FWRequest.Close(); }

private:
    class TWatchdog;

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

// Ends a transfer that runs out of the exchange's time, or whose peer trickles under the
// minimum rate, by closing the request handle from a thread-pool timer: WinHTTP's synchronous
// calls would otherwise wait for as long as the peer keeps sending something. Only requests
// with such a limit have one.
class TWinHTTPRequest::TWatchdog {
public:
    explicit TWatchdog(TWinHTTPRequest& request) : FRequest(request), FRate(request.MinimumRate()) {
        FTimer = ::CreateThreadpoolTimer(&TWatchdog::OnTimer, this, nullptr);
        if (FTimer == nullptr)
            return;
        // Four looks a second are fine enough for limits of a second and more.
        constexpr DWORD kPeriodMs = 250;
        ULARGE_INTEGER due;
        due.QuadPart = static_cast<ULONGLONG>(-static_cast<LONGLONG>(kPeriodMs) * 10000);
        FILETIME start{due.LowPart, due.HighPart};
        ::SetThreadpoolTimer(FTimer, &start, kPeriodMs, 0);
    }
    ~TWatchdog() {
        if (FTimer == nullptr)
            return;
        ::SetThreadpoolTimer(FTimer, nullptr, 0, 0);
        ::WaitForThreadpoolTimerCallbacks(FTimer, TRUE);
        ::CloseThreadpoolTimer(FTimer);
    }
    TWatchdog(const TWatchdog&) = delete;
    TWatchdog& operator=(const TWatchdog&) = delete;

    void Sending() {
        std::lock_guard guard(FLock);
        FRate.Start(TRateWindow::Clock::now(), FReceived.load());
    }
    void Received(std::uint64_t bytes) { FReceived += bytes; }

private:
    static void CALLBACK OnTimer(PTP_CALLBACK_INSTANCE, PVOID self, PTP_TIMER) {
        auto& watchdog = *static_cast<TWatchdog*>(self);
        const auto now = TRateWindow::Clock::now();
        const auto deadline = watchdog.FRequest.Deadline();
        bool expired = deadline && now >= *deadline;
        {
            std::lock_guard guard(watchdog.FLock);
            expired = watchdog.FRate.TooSlow(now, watchdog.FReceived.load()) || expired;
        }
        if (expired && !watchdog.FRequest.TimedOut())
            watchdog.FRequest.Expire();
    }

    TWinHTTPRequest& FRequest;
    PTP_TIMER FTimer = nullptr;
    std::mutex FLock;
    TRateWindow FRate;
    std::atomic<std::uint64_t> FReceived{0};
};

void TWinHTTPRequest::Sending() {
    if (!FWatchdog && (Deadline() || MinimumRate().Active()))
        FWatchdog = std::make_unique<TWatchdog>(*this);
    if (FWatchdog)
        FWatchdog->Sending();
}

void TWinHTTPRequest::Received(std::uint64_t bytes) {
    if (FWatchdog)
        FWatchdog->Received(bytes);
}

class TWinHTTPResponse final : public THTTPResponse {
public:
    TWinHTTPResponse(std::shared_ptr<TWinHTTPRequest> request, TStream* content,
                     THTTPCompressionMethods automaticDecompression)
        : THTTPResponse(request, content, automaticDecompression), FWinRequest(request.get()) {}

    void Received(bool fromProxy = false) {
        DropHeaderCache();
        SetProxyAnswer(fromProxy);
    }

protected:
    UnicodeString DoGetHeaderBlock() override { return Query(WINHTTP_QUERY_RAW_HEADERS_CRLF); }
    std::int32_t DoGetStatusCode() override {
        const UnicodeString text = Query(WINHTTP_QUERY_STATUS_CODE);
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
    UnicodeString DoGetStatusText() override { return Query(WINHTTP_QUERY_STATUS_TEXT); }
    UnicodeString DoGetVersionText() override { return Query(WINHTTP_QUERY_VERSION); }

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
    ~TWinHTTPClient() override {
        for (PCCERT_CONTEXT context : FWinCertList)
            ::CertFreeCertificateContext(context);
    }

protected:
    std::shared_ptr<THTTPRequest> DoGetHTTPRequestInstance(const UnicodeString& method,
                                                           const TURI& url) override {
        return std::make_shared<TWinHTTPRequest>(*this, *this, FWSession.Handle, method, url);
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
        TProxyLookup lookup = SystemProxyFor(FWSession.Handle, url.RequestURL());
        return TProxyChoice{std::move(lookup.Proxy), std::move(lookup.Bypass)};
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
        PCCERT_CONTEXT context = nullptr;
        DWORD size = sizeof context;
        if (!request.Handle() ||
            !::WinHttpQueryOption(request.Handle(), WINHTTP_OPTION_SERVER_CERT_CONTEXT, &context,
                                  &size) ||
            !context)
            return false;
        certificate = Describe(context);
        ::CertFreeCertificateContext(context);
        return true;
    }

    TCertificateList DoGetClientCertificates(THTTPRequest& baseRequest) override {
        auto& request = static_cast<TWinHTTPRequest&>(baseRequest);
        if (!FClientCertificatesRead) {
            FClientCertificatesRead = true;
            ReadClientCertificates(request.Handle());
        }
        return FCertificateList;
    }

    bool DoSetClientCertificate(THTTPRequest& baseRequest,
                                const TCertificate* certificate) override {
        auto& request = static_cast<TWinHTTPRequest&>(baseRequest);
        if (!request.Handle())
            return false;
        if (!certificate)
            return ::WinHttpSetOption(request.Handle(), WINHTTP_OPTION_CLIENT_CERT_CONTEXT,
                                      WINHTTP_NO_CLIENT_CERT_CONTEXT, 0) != FALSE;
        for (std::size_t i = 0; i < FCertificateList.size(); ++i)
            if (SameCertificate(FCertificateList[i], *certificate))
                return ::WinHttpSetOption(request.Handle(), WINHTTP_OPTION_CLIENT_CERT_CONTEXT,
                                          const_cast<CERT_CONTEXT*>(FWinCertList[i]),
                                          sizeof(CERT_CONTEXT)) != FALSE;
        return false;
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
            // as cancelled.
            if (!client.CheckServerCertificateOnSend(*request))
                request->CloseRequestHandle();
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

    // The user's personal certificates whose issuer the server named, when it named any.
    void ReadClientCertificates(HINTERNET h) {
        std::vector<CERT_NAME_BLOB> issuers;
        SecPkgContext_IssuerListInfoEx* list = nullptr;
        DWORD size = sizeof list;
        if (h && ::WinHttpQueryOption(h, WINHTTP_OPTION_CLIENT_CERT_ISSUER_LIST, &list, &size) &&
            list) {
            issuers.assign(list->aIssuers, list->aIssuers + list->cIssuers);
        }
        const HCERTSTORE store = PersonalStore();
        PCCERT_CONTEXT context = nullptr;
        while (store && (context = ::CertEnumCertificatesInStore(store, context)) != nullptr) {
            bool named = issuers.empty();
            for (auto& issuer : issuers)
                named = named || ::CertCompareCertificateName(X509_ASN_ENCODING, &issuer,
                                                              &context->pCertInfo->Issuer);
            if (!named)
                continue;
            FWinCertList.push_back(::CertDuplicateCertificateContext(context));
            FCertificateList.push_back(Describe(context));
        }
        if (list)
            ::GlobalFree(list);
    }

    void ApplyOptions(TWinHTTPRequest& request);

    THInternet FWSession;
    bool FClientCertificatesRead = false;
    TCertificateList FCertificateList;
    std::vector<PCCERT_CONTEXT> FWinCertList;

    friend class TWinHTTPRequest;
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
        if (!options.ProxyUserName.empty())
            SetCredentials(h, TAuthTargetType::Proxy, THTTPAuthScheme::Basic, options.ProxyUserName,
                           options.ProxyPassword);
    }
    ::WinHttpSetOption(h, WINHTTP_OPTION_PROXY, &info, sizeof info);

    if (!options.SecureProtocols.Empty()) {
        DWORD flags = winhttp::SecureProtocolFlags(options.SecureProtocols);
        if (!::WinHttpSetOption(FWSession.Handle, WINHTTP_OPTION_SECURE_PROTOCOLS, &flags,
                                sizeof flags)) {
            // Systems without TLS 1.3 refuse the whole set.
            flags &= ~static_cast<DWORD>(WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3);
            ::WinHttpSetOption(FWSession.Handle, WINHTTP_OPTION_SECURE_PROTOCOLS, &flags,
                               sizeof flags);
        }
    }
    if (!options.Decompression.Empty()) {
        DWORD flags = winhttp::DecompressionFlags(options.Decompression);
        ::WinHttpSetOption(h, WINHTTP_OPTION_DECOMPRESSION, &flags, sizeof flags);
    }
    DWORD logon = winhttp::AutoLogonPolicy(options.AutomaticLogon);
    ::WinHttpSetOption(h, WINHTTP_OPTION_AUTOLOGON_POLICY, &logon, sizeof logon);

    if (options.ServerCredential)
        SetCredentials(h, TAuthTargetType::Server, options.ServerCredential->Scheme,
                       options.ServerCredential->UserName, options.ServerCredential->Password);
    if (options.ProxyCredential)
        SetCredentials(h, TAuthTargetType::Proxy, options.ProxyCredential->Scheme,
                       options.ProxyCredential->UserName, options.ProxyCredential->Password);
}

TSendOutcome TWinHTTPClient::DoSendAndReceive(THTTPRequest& baseRequest,
                                              THTTPResponse& baseResponse) {
    auto& request = static_cast<TWinHTTPRequest&>(baseRequest);
    auto& response = static_cast<TWinHTTPResponse&>(baseResponse);
    const auto timedOut = [&](std::u16string_view message) {
        return ClassifySendError(request, winhttp::PlatformError(winhttp::kTimeout), message);
    };
    request.Sending();
    HINTERNET h = nullptr;
    {
        std::lock_guard guard(request.Lock());
        h = request.Handle();
        if (!h && request.TimedOut())
            return timedOut(kSendMessage);
        if (!h)
            return TSendOutcome::Completed; // cancelled: the exchange stops at its next check
        request.ApplyHeaders();
        ApplyOptions(request);
        DWORD_PTR context = reinterpret_cast<DWORD_PTR>(&request);
        ::WinHttpSetOption(h, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context);
        DWORD feature = WINHTTP_DISABLE_REDIRECTS;
        ::WinHttpSetOption(h, WINHTTP_OPTION_DISABLE_FEATURE, &feature, sizeof feature);
        feature = WINHTTP_DISABLE_COOKIES;
        ::WinHttpSetOption(h, WINHTTP_OPTION_DISABLE_FEATURE, &feature, sizeof feature);
        if (request.ServerCertificateAccepted()) {
            DWORD flags = winhttp::kIgnoreCertificateProblems;
            ::WinHttpSetOption(h, WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
        }
    }

    const auto failed = [&](std::u16string_view message) {
        DWORD code = ::GetLastError();
        if (request.TimedOut())
            return timedOut(message);
        // A handle we closed on purpose (a refused certificate, a cancellation) fails the send
        // as cancelled on Windows; Wine goes on and reports the closed handle instead.
        if (code == ERROR_INVALID_HANDLE && !request.Handle())
            code = winhttp::kOperationCancelled;
        return ClassifySendError(request, winhttp::PlatformError(code), message);
    };
    if (!::WinHttpSendRequest(h, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                              0))
        return failed(kSendMessage);
    if (!::WinHttpReceiveResponse(h, nullptr))
        return failed(kReceiveMessage);
    response.Received();
    if (!request.TransportOptions().Proxy.empty() &&
        SameText(request.GetURL().Scheme(), u"https") && !HasServerCertificate(h)) {
        // No TLS with the server, so this answer came from the proxy in place of a tunnel. Only
        // its challenge goes on; anything else it says is a connection that failed.
        if (response.GetStatusCode() != 407)
            return ClassifySendError(request, winhttp::PlatformError(winhttp::kCannotConnect),
                                     kSendMessage);
        response.Received(true);
    }
    ResponseHeadersReceived(request, response);
    return TSendOutcome::Completed;
}

void TWinHTTPClient::DoReadResponseBody(THTTPRequest& baseRequest, THTTPResponse& response) {
    auto& request = static_cast<TWinHTTPRequest&>(baseRequest);
    TStream& stream = response.GetContentStream();
    const std::int64_t announced = response.GetContentLength();
    // One allocation for a body of known size instead of repeated growth; when it cannot be
    // had, growth on demand still reports a real shortage.
    if (TMemoryStream* own = response.OwnMemoryStream(); own && announced > 0) {
        try {
            own->Reserve(own->Position() + announced);
        } catch (const EStreamError&) {
        }
    }
    std::vector<std::uint8_t> buffer;
    std::int64_t total = 0;
    const auto failed = [&request] {
        const DWORD code = request.TimedOut() ? winhttp::kTimeout : ::GetLastError();
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
        stream.WriteBuffer(buffer.data(), read);
        request.Received(read);
        total += read;
        if (!ReceiveData(request, response, total))
            return; // aborted: the request is cancelled
    }
    // A connection that ends before the announced length is a broken body, not a short one:
    // Windows reports it, Wine hands over what came. Platform decompression changes the
    // length, and some statuses announce a length without a body.
    const std::int32_t status = response.GetStatusCode();
    // Without a length, a secure body is whole only when the server sent the TLS close alert,
    // which WinHTTP does not report: such a body is never taken for complete.
    if (SameText(request.GetURL().Scheme(), u"https") &&
        BodyEndsWithConnection(status, false, response.GetHeaders()))
        throw ENetHTTPResponseException(CodeAndText(kReadMessage, winhttp::kConnectionError));
    if (request.TransportOptions().Decompression.Empty() && status != 204 && status != 304 &&
        status >= 200 && announced >= 0 && total < announced)
        throw ENetHTTPResponseException(CodeAndText(kReadMessage, winhttp::kConnectionError));
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

// The HTTP client's backend on libcurl: one easy handle per request, reopened per redirect
// target. libcurl only moves bytes here; redirects, cookies, proxy choice and the default
// headers it would add are the HTTP layer's business and are switched off. Trust, the TLS
// hooks, the transfer's callbacks and the error mapping have files of their own.
#include "http/backend_rules.hpp"
#include "http/curl_errors.hpp"
#include "http/curl_tls.hpp"
#include "http/curl_transfer.hpp"
#include "http/curl_trust.hpp"
#include "http/http_backend.hpp"
#include "http/http_client.hpp"
#include "http/http_headers.hpp"
#include "http/sigpipe_guard.hpp"
#include "http/system_proxy.hpp"
#include "rtl/exceptions.hpp"
#include "rtl/secure.hpp"

#include <curl/curl.h>

#include <array>
#include <chrono>
#include <exception>
#include <mutex>
#include <optional>
#include <string>

namespace velora {
namespace {

using backend::kReadMessage;
using backend::kReceiveMessage;
using backend::kSendMessage;
constexpr long kReceiveBufferSize = 256 * 1024;

CURLcode GlobalInit() {
    static std::once_flag once;
    static CURLcode result = CURLE_OK;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    return result;
}

std::string HeaderLine(const TNameValuePair& header) {
    const std::string name = ToUtf8(WithoutLineBreaks(header.Name));
    const std::string value = ToUtf8(WithoutLineBreaks(header.Value));
    // "Name:" alone would remove the header; "Name;" sends it empty.
    return value.empty() ? name + ";" : name + ": " + value;
}

class TCurlHTTPRequest final : public THTTPRequest {
public:
    TCurlHTTPRequest(THTTPClient& client, UnicodeString method, TURI url)
        : THTTPRequest(client, std::move(method), std::move(url)) {}
    ~TCurlHTTPRequest() override { Close(); }

    CURL* Easy() const { return FEasy; }
    std::mutex& Lock() { return FLock; }

    // What the TLS hooks saw of this request's handshakes.
    curltls::TPeer FPeer;
    // The public key pin of the certificate last shown to a callback.
    std::string FPeerPin;
    // The schemes the last challenges offered (THTTPAuthScheme flags).
    std::uint32_t FServerSchemes = 0;
    std::uint32_t FProxySchemes = 0;

protected:
    void DoOpenRequestHandles() override {
        Close();
        FEasy = curl_easy_init();
        if (FEasy == nullptr)
            throw ENetHTTPRequestException(
                Format(u"Error opening request: (%d) %s",
                       {CURLE_OUT_OF_MEMORY, curlerrors::Text(CURLE_OUT_OF_MEMORY)}));
        FPeer.Certificate.clear();
        FPeer.ClientCertificateRequested = false;
        FPeer.ClientCertificateDecided = false;
        FServerSchemes = FProxySchemes = 0;
    }

private:
    void Close() {
        if (FEasy != nullptr) {
            curl_easy_cleanup(FEasy);
            FEasy = nullptr;
        }
    }

    CURL* FEasy = nullptr;
};

class TCurlHTTPResponse final : public THTTPResponse {
public:
    TCurlHTTPResponse(std::shared_ptr<THTTPRequest> request, TStream* content,
                      THTTPCompressionMethods automaticDecompression)
        : THTTPResponse(std::move(request), content, automaticDecompression) {}

    // A new status line and header block are in.
    void HeadersArrived(std::string headerBlock, std::int32_t status, bool fromProxy = false) {
        FHeaderBlock = std::move(headerBlock);
        FStatus = status;
        DropHeaderCache();
        SetProxyAnswer(fromProxy);
    }

    // A body that broke off after its headers arrived; reported when the body is read.
    std::optional<TPlatformError> FBodyError;
    std::exception_ptr FBodyException;

protected:
    UnicodeString DoGetHeaderBlock() override { return DecodeHeaderBytes(FHeaderBlock); }
    std::int32_t DoGetStatusCode() override { return FStatus; }
    UnicodeString DoGetStatusText() override {
        // "HTTP/1.1 200 OK": the text after the second blank of the status line.
        const std::string_view line = StatusLine();
        const auto first = line.find(' ');
        if (first == std::string_view::npos)
            return {};
        const auto second = line.find(' ', first + 1);
        return second == std::string_view::npos ? UnicodeString()
                                                : DecodeHeaderBytes(line.substr(second + 1));
    }
    UnicodeString DoGetVersionText() override {
        const std::string_view line = StatusLine();
        return DecodeHeaderBytes(line.substr(0, line.find(' ')));
    }

private:
    std::string_view StatusLine() const {
        std::string_view line(FHeaderBlock);
        line = line.substr(0, line.find('\n'));
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        return line;
    }

    std::string FHeaderBlock;
    std::int32_t FStatus = 0;
};

class TCurlHTTPClient final : public THTTPClient {
public:
    TCurlHTTPClient() {
        if (GlobalInit() != CURLE_OK)
            throw ENetHTTPClientException(u"Error obtaining session handle");
        FShare = curl_share_init();
        if (FShare == nullptr)
            throw ENetHTTPClientException(u"Error obtaining session handle");
        // Name lookups and TLS sessions are shared by the client's requests.
        curl_share_setopt(FShare, CURLSHOPT_LOCKFUNC, &TCurlHTTPClient::LockShare);
        curl_share_setopt(FShare, CURLSHOPT_UNLOCKFUNC, &TCurlHTTPClient::UnlockShare);
        curl_share_setopt(FShare, CURLSHOPT_USERDATA, this);
        curl_share_setopt(FShare, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(FShare, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
    ~TCurlHTTPClient() override { curl_share_cleanup(FShare); }

protected:
    std::shared_ptr<THTTPRequest> DoGetHTTPRequestInstance(const UnicodeString& method,
                                                           const TURI& url) override {
        return std::make_shared<TCurlHTTPRequest>(*this, method, url);
    }

    std::shared_ptr<THTTPResponse>
    DoGetHTTPResponseInstance(const std::shared_ptr<THTTPRequest>& request,
                              TStream* content) override {
        // Once libcurl asks for a compressed body it decodes every encoding it knows, also one
        // it did not ask for: the body text must then not be inflated a second time.
        using C = THTTPCompressionMethod;
        THTTPCompressionMethods decoded = FAutomaticDecompression;
        if (decoded.Contains(C::Deflate) || decoded.Contains(C::GZip))
            decoded.Include(C::Any);
        return std::make_shared<TCurlHTTPResponse>(request, content, decoded);
    }

    TSendOutcome DoSendAndReceive(THTTPRequest& baseRequest, THTTPResponse& baseResponse) override;
    void DoReadResponseBody(THTTPRequest& request, THTTPResponse& response) override;

    TProxyChoice DoSystemProxyFor(const TURI& url) override { return {SystemProxyFor(url), {}}; }

    std::uint32_t DoQueryAuthSchemes(THTTPRequest& request, TAuthTargetType target) override {
        auto& r = static_cast<TCurlHTTPRequest&>(request);
        return target == TAuthTargetType::Server ? r.FServerSchemes : r.FProxySchemes;
    }

    bool DoSetCredentials(THTTPRequest& request, TAuthTargetType target, THTTPAuthScheme scheme,
                          const UnicodeString& userName, const UnicodeString& password) override {
        if (scheme == THTTPAuthScheme::Passport)
            return false; // not a scheme libcurl knows
        auto& options = request.TransportOptions();
        (target == TAuthTargetType::Server ? options.ServerCredential : options.ProxyCredential) =
            THTTPRequest::TTransportOptions::TPlatformCredential{scheme, userName, password};
        return true;
    }

    bool DoGetServerCertificate(THTTPRequest& request, TCertificate& certificate) override {
        auto& r = static_cast<TCurlHTTPRequest&>(request);
        return !r.FPeer.Certificate.empty() &&
               curltls::DescribeCertificate(r.FPeer.Certificate, certificate, r.FPeerPin);
    }

    // No personal certificate store on this platform: the list stays empty.
    TCertificateList DoGetClientCertificates(THTTPRequest&) override { return {}; }

    bool DoSetClientCertificate(THTTPRequest& request, const TCertificate* certificate) override {
        if (certificate != nullptr)
            return false;
        static_cast<TCurlHTTPRequest&>(request).FPeer.ClientCertificateDecided = true;
        return true;
    }

private:
    static void LockShare(CURL*, curl_lock_data data, curl_lock_access, void* user) {
        static_cast<TCurlHTTPClient*>(user)->FShareLocks[Slot(data)].lock();
    }
    static void UnlockShare(CURL*, curl_lock_data data, void* user) {
        static_cast<TCurlHTTPClient*>(user)->FShareLocks[Slot(data)].unlock();
    }
    static std::size_t Slot(curl_lock_data data) {
        const auto i = static_cast<std::size_t>(data);
        return i < kShareSlots ? i : 0;
    }

    static constexpr std::size_t kShareSlots = 16;
    CURLSH* FShare = nullptr;
    std::array<std::mutex, kShareSlots> FShareLocks;
};

using TSlist = std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)>;

// libcurl's answer to the question which schemes a challenge offered, as THTTPAuthScheme flags.
std::uint32_t SchemesOf(long available) {
    std::uint32_t schemes = 0;
    if ((available & static_cast<long>(CURLAUTH_BASIC)) != 0)
        schemes |= static_cast<std::uint32_t>(THTTPAuthScheme::Basic);
    if ((available & static_cast<long>(CURLAUTH_DIGEST)) != 0)
        schemes |= static_cast<std::uint32_t>(THTTPAuthScheme::Digest);
    if ((available & static_cast<long>(CURLAUTH_NTLM)) != 0)
        schemes |= static_cast<std::uint32_t>(THTTPAuthScheme::NTLM);
    if ((available & static_cast<long>(CURLAUTH_NEGOTIATE)) != 0)
        schemes |= static_cast<std::uint32_t>(THTTPAuthScheme::Negotiate);
    return schemes;
}

unsigned long CurlAuthOf(THTTPAuthScheme scheme) {
    switch (scheme) {
    case THTTPAuthScheme::Basic:
        return CURLAUTH_BASIC;
    case THTTPAuthScheme::NTLM:
        return CURLAUTH_NTLM;
    case THTTPAuthScheme::Digest:
        return CURLAUTH_DIGEST;
    case THTTPAuthScheme::Negotiate:
        return CURLAUTH_NEGOTIATE;
    case THTTPAuthScheme::Passport:
        break;
    }
    return CURLAUTH_NONE;
}

bool HasSpnego() {
    static const bool spnego = [] {
        const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
        return info != nullptr && (info->features & CURL_VERSION_SPNEGO) != 0;
    }();
    return spnego;
}

// Credentials as libcurl takes them: Basic in the ANSI code page (the client itself builds the
// UTF-8 form when a server asks for it), the other schemes in UTF-8.
struct TCurlCredential {
    std::string UserName;
    std::string Password;
    unsigned long Auth = CURLAUTH_NONE;

    void Set(const THTTPRequest::TTransportOptions::TPlatformCredential& credential) {
        Auth = CurlAuthOf(credential.Scheme);
        if (credential.Scheme == THTTPAuthScheme::Basic) {
            const Bytes user = TEncoding::ANSI().GetBytes(credential.UserName);
            const Bytes password = TEncoding::ANSI().GetBytes(credential.Password);
            UserName.assign(user.begin(), user.end());
            Password.assign(password.begin(), password.end());
        } else {
            UserName = ToUtf8(credential.UserName);
            Password = ToUtf8(credential.Password);
        }
    }
    ~TCurlCredential() {
        SecureZero(UserName);
        SecureZero(Password);
    }
};

TSendOutcome TCurlHTTPClient::DoSendAndReceive(THTTPRequest& baseRequest,
                                               THTTPResponse& baseResponse) {
    auto& request = static_cast<TCurlHTTPRequest&>(baseRequest);
    auto& response = static_cast<TCurlHTTPResponse&>(baseResponse);
    CURL* h = request.Easy();
    response.FBodyError.reset();
    response.FBodyException = nullptr;

    TCurlTransfer transfer(h, request, response.GetContentStream(), response.OwnMemoryStream());
    transfer.BeforeSend = [this, &request, h] {
        if (!FValidateServerCertificateCallback && !FValidateServerCertificateEvent)
            return true;
        // A resumed TLS session verifies nothing: take the certificate from the connection.
        if (std::string der = curltls::ConnectionCertificate(h); !der.empty())
            request.FPeer.Certificate = std::move(der);
        return CheckServerCertificateOnSend(request);
    };
    if (HasReceiveHeadersCallback() || HasReceiveDataCallback()) {
        transfer.HeadersReceived = [this, &request, &response, &transfer] {
            response.HeadersArrived(transfer.Block(), transfer.Status());
            ResponseHeadersReceived(request, response);
        };
    }
    if (HasReceiveDataCallback()) {
        transfer.BodyReceived = [this, &request, &response](std::int64_t readCount) {
            return ReceiveData(request, response, readCount);
        };
    }
    curltls::TSetup tls{&request.FPeer, 0};
    TSlist headers(nullptr, &curl_slist_free_all);
    TSlist proxyHeaders(nullptr, &curl_slist_free_all);
    std::string url, proxy, bypass, encodings, pin;
    TCurlCredential serverCredential, proxyCredential;
    {
        std::lock_guard lock(request.Lock());
        curl_easy_reset(h);
        url = ToUtf8(request.GetURL().RequestURL());
        curl_easy_setopt(h, CURLOPT_URL, url.c_str());
        curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(h, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(h, CURLOPT_PATH_AS_IS, 1L);
        curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(h, CURLOPT_SHARE, FShare);
        curl_easy_setopt(h, CURLOPT_BUFFERSIZE, kReceiveBufferSize);

        const UnicodeString& method = request.GetMethodString();
        if (SameText(method, u"GET")) {
            curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
        } else if (SameText(method, u"HEAD")) {
            curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
        } else {
            curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, ToUtf8(method).c_str());
        }

        // Only the headers the request holds, plus Host and connection management. The
        // proxy's own header goes to the proxy alone, never through a tunnel to the server.
        bool hasAccept = false, hasProxyAuthorization = false;
        for (const auto& header : request.GetHeaders()) {
            if (SameText(header.Name, u"Proxy-Authorization")) {
                hasProxyAuthorization = true;
                proxyHeaders.reset(
                    curl_slist_append(proxyHeaders.release(), HeaderLine(header).c_str()));
                continue;
            }
            hasAccept = hasAccept || SameText(header.Name, u"Accept");
            headers.reset(curl_slist_append(headers.release(), HeaderLine(header).c_str()));
        }
        if (!hasAccept)
            headers.reset(curl_slist_append(headers.release(), "Accept:"));
        curl_easy_setopt(h, CURLOPT_HEADEROPT, CURLHEADER_SEPARATE);
        curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(h, CURLOPT_PROXYHEADER, proxyHeaders.get());

        // The client chose the proxy. An empty proxy text keeps libcurl from reading the
        // proxy variables itself, and an empty bypass list from reading no_proxy.
        const auto& options = request.TransportOptions();
        proxy = ToUtf8(options.Proxy);
        curl_easy_setopt(h, CURLOPT_PROXY, proxy.c_str());
        if (!proxy.empty()) {
            bypass = ToUtf8(options.ProxyBypass);
            curl_easy_setopt(h, CURLOPT_NOPROXY, bypass.c_str());
            if (const auto credential =
                    backend::ProxyCredentialFor(options, hasProxyAuthorization)) {
                proxyCredential.Set(*credential);
            } else if (options.AutomaticLogon && HasSpnego()) {
                // The user's own logon, and only in answer to a challenge.
                proxyCredential.Auth = CURLAUTH_NEGOTIATE | CURLAUTH_ONLY;
            }
            if (proxyCredential.Auth != CURLAUTH_NONE) {
                curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, proxyCredential.UserName.c_str());
                curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, proxyCredential.Password.c_str());
                curl_easy_setopt(h, CURLOPT_PROXYAUTH, proxyCredential.Auth);
            }
        }
        if (options.ServerCredential) {
            serverCredential.Set(*options.ServerCredential);
        } else if (options.AutomaticLogon && HasSpnego() &&
                   request.GetHeaderValue(u"Authorization").empty() &&
                   IsSystemIntranetHost(request.GetURL().Host())) {
            // Never to a server out on the internet, wherever a redirect leads.
            serverCredential.Auth = CURLAUTH_NEGOTIATE | CURLAUTH_ONLY;
        }
        if (serverCredential.Auth != CURLAUTH_NONE) {
            curl_easy_setopt(h, CURLOPT_USERNAME, serverCredential.UserName.c_str());
            curl_easy_setopt(h, CURLOPT_PASSWORD, serverCredential.Password.c_str());
            curl_easy_setopt(h, CURLOPT_HTTPAUTH, serverCredential.Auth);
        }

        using C = THTTPCompressionMethod;
        if (options.Decompression.Contains(C::Any) ||
            (options.Decompression.Contains(C::GZip) && options.Decompression.Contains(C::Deflate)))
            encodings = "gzip, deflate";
        else if (options.Decompression.Contains(C::GZip))
            encodings = "gzip";
        else if (options.Decompression.Contains(C::Deflate))
            encodings = "deflate";
        if (!encodings.empty())
            curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, encodings.c_str());
        transfer.Decoding = !encodings.empty();

        if (const THTTPSecureProtocols usable = backend::UsableProtocols(options.SecureProtocols);
            usable.Empty()) {
            // Only versions older than TLS 1.2: none is left.
            tls.GapOptions = curltls::NoTlsOptions();
        } else {
            THTTPSecureProtocols protocols = usable;
            if (curl_easy_setopt(h, CURLOPT_SSLVERSION, curltls::SslVersionFor(protocols)) !=
                    CURLE_OK &&
                protocols.Contains(THTTPSecureProtocol::TLS13)) {
                protocols.Exclude(THTTPSecureProtocol::TLS13);
                curl_easy_setopt(h, CURLOPT_SSLVERSION, curltls::SslVersionFor(protocols));
            }
            tls.GapOptions = curltls::SslGapOptions(protocols);
        }

        curltrust::Apply(h);
        if (request.ServerCertificateAccepted()) {
            // The certificate the callback accepted passes, and no other.
            curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
            curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
            pin = request.FPeerPin;
            if (!pin.empty())
                curl_easy_setopt(h, CURLOPT_PINNEDPUBLICKEY, pin.c_str());
        }
        if (curltls::IsOpenSsl()) {
            curl_easy_setopt(h, CURLOPT_SSL_CTX_FUNCTION, &curltls::OnSslContext);
            curl_easy_setopt(h, CURLOPT_SSL_CTX_DATA, &tls);
        }
        request.FPeer.Host = request.GetURL().Host();
        request.FPeer.ClientCertificateRequested = false;
        request.FPeer.NameMismatch = false;
        request.FPeer.CloseNotifyReceived = false;
        request.FPeer.Revoked = false;

        curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS,
                         static_cast<long>(std::max(0, request.ConnectionTimeout())));
        if (const auto deadline = request.Deadline()) {
            // What is left of the exchange's time, for name lookup and connection too.
            using namespace std::chrono;
            const auto left = duration_cast<milliseconds>(*deadline - steady_clock::now());
            curl_easy_setopt(
                h, CURLOPT_TIMEOUT_MS,
                static_cast<long>(std::max<long long>(1, static_cast<long long>(left.count()))));
        }
        transfer.Install();
    }

    CURLcode rc;
    {
        TSigPipeGuard guard;
        rc = curl_easy_perform(h);
    }
    // The client may go before this request does; keep no reference to its share.
    curl_easy_setopt(h, CURLOPT_SHARE, nullptr);
    if (transfer.CallbackError)
        std::rethrow_exception(transfer.CallbackError);
    if (transfer.Stop() == TCurlTransfer::TStop::TimedOut)
        rc = CURLE_OPERATION_TIMEDOUT;

    long available = 0;
    curl_easy_getinfo(h, CURLINFO_HTTPAUTH_AVAIL, &available);
    request.FServerSchemes = SchemesOf(available);
    available = 0;
    curl_easy_getinfo(h, CURLINFO_PROXYAUTH_AVAIL, &available);
    request.FProxySchemes = SchemesOf(available);

    if (transfer.HeadersDone())
        response.HeadersArrived(std::move(transfer.Block()), transfer.Status());
    if (rc == CURLE_OK && transfer.HeadersDone() && !request.FPeer.CloseNotifyReceived &&
        backend::NeedsCloseAlert(request, transfer.Status(), response.GetHeaders())) {
        // Without a length, only the TLS close alert says that the body is whole; a transport
        // that just went away may have cut it anywhere.
        rc = CURLE_RECV_ERROR;
    }
    if (rc == CURLE_OK)
        return TSendOutcome::Completed;
    if (transfer.HeadersDone()) {
        if (transfer.WriteError)
            response.FBodyException = transfer.WriteError;
        else
            response.FBodyError =
                TPlatformError{rc, curlerrors::Text(rc), TPlatformError::TKind::Other};
        return TSendOutcome::Completed;
    }
    if (transfer.ProxyStatus() == 407 && (rc == CURLE_RECV_ERROR || rc == CURLE_COULDNT_CONNECT)) {
        // The proxy wants credentials for the tunnel: its challenge is the response. Any other
        // answer in place of a tunnel is a connection that failed, whatever it says.
        response.HeadersArrived(std::move(transfer.ProxyBlock()), transfer.ProxyStatus(), true);
        return TSendOutcome::Completed;
    }

    long verify = 0;
    curl_easy_getinfo(h, CURLINFO_SSL_VERIFYRESULT, &verify);
    const TPlatformError error =
        curlerrors::Classify(rc, verify, transfer.Stop(), request.FPeer, FSecureFailureReasons);
    return ClassifySendError(request, error,
                             transfer.RequestSent() ? kReceiveMessage : kSendMessage);
}

void TCurlHTTPClient::DoReadResponseBody(THTTPRequest&, THTTPResponse& baseResponse) {
    // The body went straight into the content stream during the transfer; what is left is to
    // report a transfer that broke off in the middle of it.
    auto& response = static_cast<TCurlHTTPResponse&>(baseResponse);
    if (response.FBodyException) {
        auto failure = response.FBodyException;
        response.FBodyException = nullptr;
        std::rethrow_exception(failure);
    }
    if (response.FBodyError) {
        const TPlatformError error = *response.FBodyError;
        response.FBodyError.reset();
        throw ENetHTTPResponseException(Format(kReadMessage, {error.Code, error.Text}));
    }
}

} // namespace

void RegisterPlatformHTTPClient() {
    static std::once_flag once;
    std::call_once(once, [] {
        auto factory = [] {
            return std::unique_ptr<TURLClient>(std::make_unique<TCurlHTTPClient>());
        };
        TURLSchemes::RegisterURLClientScheme(u"HTTP", u"TCurlHTTPClient", factory);
        TURLSchemes::RegisterURLClientScheme(u"HTTPS", u"TCurlHTTPClient", factory);
    });
}

} // namespace velora

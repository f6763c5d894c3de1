// The HTTP layer: blocking GET requests whose protocol logic (the exchange loop, headers,
// redirects, cookies, body text) lives here, over a platform backend that only moves bytes.
#pragma once

#include "http/cookies.hpp"
#include "http/url_client.hpp"

#include <chrono>
#include <optional>

namespace velora {

class IHTTPResponse : public virtual IURLResponse {
public:
    virtual UnicodeString GetHeaderValue(const UnicodeString& name) = 0;
    virtual UnicodeString GetContentCharSet() = 0;
    virtual UnicodeString GetContentEncoding() = 0;
    virtual UnicodeString GetContentLanguage() = 0;
    virtual std::int64_t GetContentLength() = 0;
    virtual UnicodeString GetDate() = 0;
    virtual UnicodeString GetLastModified() = 0;
    virtual std::int32_t GetStatusCode() = 0;
    virtual UnicodeString GetStatusText() = 0;
    virtual THTTPProtocolVersion GetVersion() = 0;
    virtual bool ContainsHeader(const UnicodeString& name) = 0;
    virtual const TCookies& GetCookies() = 0;
};

class IHTTPRequest {
public:
    virtual ~IHTTPRequest() = default;
    virtual const TURI& GetURL() const = 0;
    virtual const UnicodeString& GetMethodString() const = 0;
    virtual UnicodeString GetHeaderValue(std::u16string_view name) const = 0;
    // Replaces every header of that name.
    virtual void SetHeaderValue(const UnicodeString& name, const UnicodeString& value) = 0;
    // Merges with a same-named header by comma.
    virtual void AddHeader(const UnicodeString& name, const UnicodeString& value) = 0;
    virtual void RemoveHeader(std::u16string_view name) = 0;
    virtual const TNetHeaders& GetHeaders() const = 0;
};

// A failed send as the backend reports it: the platform's code and text, and what kind of
// failure the code stands for.
struct TPlatformError {
    enum class TKind {
        Other,                      // resolution, refused, reset, timeout, ...
        SecureChannel,              // TLS failed; FSecureFailureReasons tells why
        ResendRequested,            // the platform asks to send again
        ClientCertificateRequested, // the server asks for a client certificate
        Cancelled,                  // the transfer was stopped on purpose
    };
    std::int32_t Code = 0;
    UnicodeString Text;
    TKind Kind = TKind::Other;
};

// Authentication schemes, valued as the platform flags of a challenge query.
enum class THTTPAuthScheme : std::uint32_t {
    Basic = 0x1,
    NTLM = 0x2,
    Passport = 0x4,
    Digest = 0x8,
    Negotiate = 0x10
};

// A certificate as the callbacks see it.
struct TCertificate {
    using TDateTime = std::chrono::system_clock::time_point;

    TDateTime Start;
    TDateTime Expiry;
    UnicodeString Subject;
    UnicodeString Issuer;
    UnicodeString SerialNum; // hexadecimal
    UnicodeString CertName;  // the subject's common name
    std::int32_t KeySize = 0;
};
using TCertificateList = std::vector<TCertificate>;

class THTTPClient;

// Told once a response's headers are in, before any of its body reaches the content stream (for
// redirects and challenges too). exchangeTimeout holds the exchange's limit in milliseconds from
// its start (0: none) and may be set lower. What it raises fails the request.
using TReceiveHeadersCallback =
    std::function<void(IHTTPResponse& response, std::int32_t& exchangeTimeout)>;

// Told after each piece of a response's body reached the content stream (for redirects and
// challenges too), and about once a second while a body is awaited on Linux. readCount counts
// this response's body so far; contentLength is -1 when not announced. Setting abort cancels
// the request at once: Get then returns without raising, with the body cut short.
using TReceiveDataCallback =
    std::function<void(std::int64_t contentLength, std::int64_t readCount, bool& abort)>;

// Decides on a server certificate; accepted comes preset (see THTTPClient).
using TValidateCertificateCallback =
    std::function<void(THTTPClient& sender, const IHTTPRequest& request,
                       const TCertificate& certificate, bool& accepted)>;
// Picks a client certificate from list by setting index; a negative index sends none.
using TNeedClientCertificateCallback =
    std::function<void(THTTPClient& sender, const IHTTPRequest& request,
                       const TCertificateList& list, std::int32_t& index)>;

class THTTPRequest : public TURLRequest, public IHTTPRequest {
public:
    const TURI& GetURL() const override { return FURL; }
    const UnicodeString& GetMethodString() const override { return FMethodString; }
    UnicodeString GetHeaderValue(std::u16string_view name) const override;
    void SetHeaderValue(const UnicodeString& name, const UnicodeString& value) override;
    void AddHeader(const UnicodeString& name, const UnicodeString& value) override;
    void RemoveHeader(std::u16string_view name) override;
    const TNetHeaders& GetHeaders() const override { return FHeaders; }

    // What the options step decided for the next send; the backend applies it.
    struct TTransportOptions {
        UnicodeString Proxy;       // empty: connect directly
        UnicodeString ProxyBypass; // hosts that go direct although a proxy is set
        UnicodeString ProxyUserName;
        UnicodeString ProxyPassword;
        THTTPCompressionMethods Decompression; // empty: ask for and decode nothing
        THTTPSecureProtocols SecureProtocols;  // empty: the platform's defaults
        // The platform may answer integrated-authentication challenges with the user's own
        // logon.
        bool AutomaticLogon = true;

        // Credentials the platform answers a challenge with (ApplyCredential's last step).
        struct TPlatformCredential {
            THTTPAuthScheme Scheme = THTTPAuthScheme::Basic;
            UnicodeString UserName;
            UnicodeString Password;
        };
        std::optional<TPlatformCredential> ServerCredential;
        std::optional<TPlatformCredential> ProxyCredential;
    };
    TTransportOptions& TransportOptions() { return FTransportOptions; }
    bool ServerCertificateAccepted() const { return FServerCertificateAccepted; }

protected:
    THTTPRequest(THTTPClient& client, UnicodeString method, TURI url);

    // Opens (or reopens, after a redirect) the platform handles for FURL.
    virtual void DoOpenRequestHandles() = 0;

    // How the client answers one target's challenges on this request.
    struct TAuthAnswer {
        std::optional<THTTPAuthScheme> Scheme; // chosen at the first challenge
        bool HeaderFromClient = false;         // the client built the target's header
    };

    TNetHeaders FHeaders;
    TTransportOptions FTransportOptions;
    bool FServerCertificateAccepted = false;
    TAuthAnswer FServerAnswer;
    TAuthAnswer FProxyAnswer;
    // The "Cookie" header came from the client's store, not from the caller.
    bool FCookieHeaderFromStore = false;
    // Sends the platform asked for again in this exchange.
    std::int32_t FResends = 0;

private:
    friend class THTTPClient;
    void OpenRequestHandles() { DoOpenRequestHandles(); }
    void MoveTo(TURI url, UnicodeString method);
};

class THTTPResponse : public TURLResponse, public IHTTPResponse {
public:
    TNetHeaders GetHeaders() override;
    UnicodeString GetMimeType() override { return GetHeaderValue(u"Content-Type"); }
    TStream& GetContentStream() override { return TURLResponse::GetContentStream(); }
    UnicodeString ContentAsString(const TEncoding* encoding = nullptr) override;

    UnicodeString GetHeaderValue(const UnicodeString& name) override;
    UnicodeString GetContentCharSet() override;
    UnicodeString GetContentEncoding() override { return GetHeaderValue(u"Content-Encoding"); }
    UnicodeString GetContentLanguage() override { return GetHeaderValue(u"Content-Language"); }
    std::int64_t GetContentLength() override;
    UnicodeString GetDate() override { return GetHeaderValue(u"Date"); }
    UnicodeString GetLastModified() override { return GetHeaderValue(u"Last-Modified"); }
    std::int32_t GetStatusCode() override;
    UnicodeString GetStatusText() override;
    THTTPProtocolVersion GetVersion() override;
    bool ContainsHeader(const UnicodeString& name) override {
        return !GetHeaderValue(name).empty();
    }
    const TCookies& GetCookies() override;

protected:
    THTTPResponse(std::shared_ptr<THTTPRequest> request, TStream* content,
                  THTTPCompressionMethods automaticDecompression);

    THTTPRequest& Request() { return *FHTTPRequest; }

    // The platform's view of the last received response.
    virtual UnicodeString DoGetHeaderBlock() = 0; // all header lines, CR LF separated
    virtual std::int32_t DoGetStatusCode() = 0;
    virtual UnicodeString DoGetStatusText() = 0;
    virtual UnicodeString DoGetVersionText() = 0;

    // A new pass received a response: the header list is built again on next use.
    void DropHeaderCache();
    // The response at hand is a proxy's refusal of a tunnel (a 407), not the server's answer:
    // its cookies and Location are not the server's to set.
    void SetProxyAnswer(bool value) { FProxyAnswer = value; }

private:
    void EnsureHeaders();

    THTTPRequest* FHTTPRequest;
    THTTPCompressionMethods FAutomaticDecompression;
    std::optional<TNetHeaders> FHeaders;
    TCookies FCookies;
    bool FProxyAnswer = false;
};

class THTTPClient : public TURLClient {
public:
    enum class InternalState { Other, ProxyAuthRequired, ServerAuthRequired };

    // The credentials of one target (the server or the proxy) in one exchange.
    struct TCredentialState {
        bool Needed = false;
        TCredentialsStorage::TCredential Current;
        std::vector<TCredentialsStorage::TCredential> Candidates;
        std::int32_t NextCandidate = 0;
    };

    struct THTTPState {
        InternalState Status = InternalState::Other;
        TCredentialState Server;
        TCredentialState Proxy;
        std::int32_t Redirections = 0;
        // Where the last pass went: the credential state belongs to that origin and proxy.
        std::optional<TURI> LastURL;
        UnicodeString LastProxy;
        // The caller asked for an https URL: a credential stored without a URL stays off
        // plain http.
        bool CallerAskedHttps = false;

        TCredentialState& For(TAuthTargetType target) {
            return target == TAuthTargetType::Server ? Server : Proxy;
        }
    };

    // A client of the class registered for "HTTP" (the platform backend); nullptr when none
    // is registered. ENetHTTPClientException "Error obtaining session handle" when the
    // platform session cannot be opened.
    static std::unique_ptr<THTTPClient> Create();

    // A blocking GET that returns once the final response's body is complete and positioned
    // at its start. Statuses are returned, not raised.
    std::shared_ptr<IHTTPResponse> Get(const UnicodeString& url, TStream* responseContent = nullptr,
                                       const TNetHeaders* headers = nullptr);

    bool HandleRedirects() const { return FHandleRedirects; }
    void SetHandleRedirects(bool value) { FHandleRedirects = value; }
    // Whether a redirect from https to plain http is followed (by default it is not: the
    // redirect comes back as the response).
    bool AllowInsecureRedirects() const { return FAllowInsecureRedirects; }
    void SetAllowInsecureRedirects(bool value) { FAllowInsecureRedirects = value; }
    std::int32_t MaxRedirects() const { return FMaxRedirects; }
    void SetMaxRedirects(std::int32_t value) { FMaxRedirects = value; }
    THTTPRedirectsWithGET RedirectsWithGET() const { return FRedirectsWithGET; }
    void SetRedirectsWithGET(THTTPRedirectsWithGET value) { FRedirectsWithGET = value; }
    bool AllowCookies() const { return FAllowCookies; }
    void SetAllowCookies(bool value) { FAllowCookies = value; }
    TCookieManager* CookieManager() const { return FCookieManager; }
    void SetCookieManager(TCookieManager* manager) { FCookieManager = manager; }
    THTTPCompressionMethods AutomaticDecompression() const { return FAutomaticDecompression; }
    void SetAutomaticDecompression(THTTPCompressionMethods value) {
        FAutomaticDecompression = value;
    }
    THTTPSecureProtocols SecureProtocols() const { return FSecureProtocols; }
    void SetSecureProtocols(THTTPSecureProtocols value) { FSecureProtocols = value; }
    bool UseDefaultCredentials() const { return FUseDefaultCredentials; }
    void SetUseDefaultCredentials(bool value) { FUseDefaultCredentials = value; }
    bool PreemptiveAuthentication() const { return FPreemptiveAuthentication; }
    void SetPreemptiveAuthentication(bool value) { FPreemptiveAuthentication = value; }
    THTTPSecureFailureReasons SecureFailureReasons() const { return FSecureFailureReasons; }

    // Without a validation callback or event, a certificate that fails validation ends the
    // request. With one, it is asked about such a certificate (preset: not accepted), and
    // before a secure request goes out with a certificate that passed (preset: accepted).
    void SetValidateServerCertificateCallback(TValidateCertificateCallback callback) {
        FValidateServerCertificateCallback = std::move(callback);
    }
    void SetValidateServerCertificateEvent(TValidateCertificateCallback event) {
        FValidateServerCertificateEvent = std::move(event);
    }
    void SetNeedClientCertificateCallback(TNeedClientCertificateCallback callback) {
        FNeedClientCertificateCallback = std::move(callback);
    }
    void SetNeedClientCertificateEvent(TNeedClientCertificateCallback event) {
        FNeedClientCertificateEvent = std::move(event);
    }
    void SetReceiveHeadersCallback(TReceiveHeadersCallback callback) {
        FReceiveHeadersCallback = std::move(callback);
    }
    void SetReceiveDataCallback(TReceiveDataCallback callback) {
        FReceiveDataCallback = std::move(callback);
    }

    // What the platform says when asked for a proxy for a URL; an empty proxy goes direct.
    struct TProxyChoice {
        UnicodeString Proxy;
        UnicodeString Bypass;
    };

protected:
    THTTPClient() = default;

    // The platform backend.
    // Get with another method (the verbs nothing in this program uses go through here).
    std::shared_ptr<IHTTPResponse> Execute(const UnicodeString& method, const UnicodeString& url,
                                           TStream* responseContent, const TNetHeaders* headers);

    virtual std::shared_ptr<THTTPRequest> DoGetHTTPRequestInstance(const UnicodeString& method,
                                                                   const TURI& url) = 0;
    virtual std::shared_ptr<THTTPResponse>
    DoGetHTTPResponseInstance(const std::shared_ptr<THTTPRequest>& request, TStream* content) = 0;
    // Sends the request and receives the status line and headers; a failure goes through
    // ClassifySendError. The body may already flow into the content stream while this runs.
    virtual TSendOutcome DoSendAndReceive(THTTPRequest& request, THTTPResponse& response) = 0;
    // Completes the body in the content stream; ENetHTTPResponseException
    // "Error reading data: (%d) %s" when it cannot.
    virtual void DoReadResponseBody(THTTPRequest& request, THTTPResponse& response) = 0;

    // Platform hooks of the policies; the defaults stand for a platform that offers nothing.
    // The user's system proxy for url.
    virtual TProxyChoice DoSystemProxyFor(const TURI&) { return {}; }
    // The schemes the last challenge of target offered, as THTTPAuthScheme flags; 0 when the
    // platform cannot say.
    virtual std::uint32_t DoQueryAuthSchemes(THTTPRequest&, TAuthTargetType) { return 0; }
    // Hands credentials to the platform for the next send; false when it refuses them.
    virtual bool DoSetCredentials(THTTPRequest&, TAuthTargetType, THTTPAuthScheme,
                                  const UnicodeString&, const UnicodeString&) {
        return false;
    }
    // Whether a request header named Proxy-Authorization goes to the proxy alone (and not
    // through a tunnel to the server); otherwise proxy credentials go through DoSetCredentials.
    virtual bool DoProxyHeadersReachProxyOnly() const { return true; }
    // The certificate the server presented on the request's last connection.
    virtual bool DoGetServerCertificate(THTTPRequest&, TCertificate&) { return false; }
    // The user's client certificates for this request's server.
    virtual TCertificateList DoGetClientCertificates(THTTPRequest&) { return {}; }
    // Tells the platform which client certificate to send (nullptr: none); false when it
    // refuses.
    virtual bool DoSetClientCertificate(THTTPRequest&, const TCertificate*) { return true; }

    // The transport policies, one step each, run by the exchange.
    void ApplyRequestOptions(THTTPRequest& request);
    // The notification before a secure request goes out: with a validation callback or event,
    // asks it about the certificate that passed validation. False: the callback refused it;
    // the backend stops the send, which then fails as cancelled.
    bool CheckServerCertificateOnSend(THTTPRequest& request);
    TSendOutcome ClassifySendError(THTTPRequest& request, const TPlatformError& error,
                                   std::u16string_view messagePattern);
    void ValidateServerCertificate(THTTPRequest& request);
    void SelectClientCertificate(THTTPRequest& request);
    bool PrepareServerCredential(THTTPState& state, THTTPRequest& request, THTTPResponse& response);
    bool PrepareProxyCredential(THTTPState& state, THTTPRequest& request, THTTPResponse& response);
    bool ApplyCredential(TAuthTargetType target, THTTPRequest& request,
                         const TCredentialsStorage::TCredential& credential,
                         THTTPResponse& response, bool challenged);
    bool FollowRedirect(THTTPRequest& request, THTTPResponse& response);
    // Before each pass: drops what belonged to the origin or the proxy of the last pass when
    // this pass goes elsewhere.
    void ChangeRoute(THTTPState& state, THTTPRequest& request);
    // The backend calls this when a response's headers are in and before its body.
    void ResponseHeadersReceived(THTTPRequest& request, THTTPResponse& response);
    bool HasReceiveHeadersCallback() const { return static_cast<bool>(FReceiveHeadersCallback); }
    // The backend calls this as the body arrives; false when the callback aborted, after which
    // the request is cancelled and the backend stops reading.
    bool ReceiveData(THTTPRequest& request, THTTPResponse& response, std::int64_t readCount);
    bool HasReceiveDataCallback() const { return static_cast<bool>(FReceiveDataCallback); }
    void StoreResponseCookies(THTTPRequest& request, THTTPResponse& response);

    void RunExchange(THTTPRequest& request, THTTPResponse& response);

    bool FHandleRedirects = true;
    bool FAllowInsecureRedirects = false;
    std::int32_t FMaxRedirects = 5;
    THTTPRedirectsWithGET FRedirectsWithGET{
        THTTPRedirectWithGET::Post301, THTTPRedirectWithGET::Post302, THTTPRedirectWithGET::Post303,
        THTTPRedirectWithGET::Put303, THTTPRedirectWithGET::Delete303};
    THTTPSecureProtocols FSecureProtocols;
    bool FAllowCookies = true;
    TCookieManager FInternalCookieManager;
    TCookieManager* FCookieManager = &FInternalCookieManager;
    bool FUseDefaultCredentials = true;
    bool FPreemptiveAuthentication = false;
    THTTPCompressionMethods FAutomaticDecompression;
    THTTPSecureFailureReasons FSecureFailureReasons;
    TValidateCertificateCallback FValidateServerCertificateCallback;
    TValidateCertificateCallback FValidateServerCertificateEvent;
    TNeedClientCertificateCallback FNeedClientCertificateCallback;
    TNeedClientCertificateCallback FNeedClientCertificateEvent;
    TReceiveHeadersCallback FReceiveHeadersCallback;
    TReceiveDataCallback FReceiveDataCallback;

private:
    bool PrepareCredential(TAuthTargetType target, THTTPState& state, THTTPRequest& request,
                           THTTPResponse& response);
    void AskServerCertificate(THTTPRequest& request, const TCertificate& certificate,
                              bool& accepted);
    void ResetServerCredentials(THTTPState& state, THTTPRequest& request);
    void ResetProxyCredentials(THTTPState& state, THTTPRequest& request);
};

bool IsRedirectStatus(std::int32_t status);
// Same scheme, host and port: what credentials belong to.
bool SameOrigin(const TURI& a, const TURI& b);

} // namespace velora

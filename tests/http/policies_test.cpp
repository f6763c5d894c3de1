// The exchange's policy steps over a scripted backend: every send outcome, the method switch
// of redirects, and the choice of authentication scheme.
#include "http/http_client.hpp"
#include "http/http_headers.hpp"
#include "rtl/exceptions.hpp"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <set>

namespace velora {
namespace {

// One scripted answer to a send: a platform failure or a response.
struct Answer {
    Answer(std::int32_t status = 200, std::string headers = {})
        : Status(status), Headers(std::move(headers)) {}
    Answer(TPlatformError error) : Error(std::move(error)) {}

    std::optional<TPlatformError> Error;
    std::int32_t Status = 200;
    std::string Headers; // "Name: value\r\n" lines
};

struct Sent {
    UnicodeString Method;
    UnicodeString Url;
    TNetHeaders Headers;
    THTTPRequest::TTransportOptions Options;
    bool CertificateAccepted = false;
};

class FakeRequest : public THTTPRequest {
public:
    FakeRequest(THTTPClient& client, UnicodeString method, TURI url)
        : THTTPRequest(client, std::move(method), std::move(url)) {}
    int Opens = 0;

protected:
    void DoOpenRequestHandles() override { ++Opens; }
};

class FakeResponse : public THTTPResponse {
public:
    FakeResponse(std::shared_ptr<THTTPRequest> request, TStream* content)
        : THTTPResponse(std::move(request), content, {}) {}
    void Set(const Answer& answer) {
        FBlock = "HTTP/1.1 " + std::to_string(answer.Status) + " X\r\n" + answer.Headers;
        FStatus = answer.Status;
        DropHeaderCache();
    }

protected:
    UnicodeString DoGetHeaderBlock() override { return U16(FBlock); }
    std::int32_t DoGetStatusCode() override { return FStatus; }
    UnicodeString DoGetStatusText() override { return u"X"; }
    UnicodeString DoGetVersionText() override { return u"HTTP/1.1"; }

private:
    std::string FBlock;
    std::int32_t FStatus = 0;
};

class FakeClient : public THTTPClient {
public:
    // Answers by path, in order; the last one repeats.
    std::map<std::string, std::deque<Answer>> Script;
    std::vector<Sent> Log;
    std::uint32_t OfferedSchemes = 0;
    bool AcceptCredentials = true;
    bool AcceptClientCertificate = true;
    bool HasServerCertificate = true;
    TCertificateList ClientCertificates;
    std::vector<std::pair<THTTPAuthScheme, UnicodeString>> PlatformCredentials;
    std::vector<bool> ClientCertificateChoices; // true: a certificate, false: none
    bool ProxyHeadersReachProxyOnly = true;

    std::shared_ptr<IHTTPResponse> Run(const UnicodeString& method, const UnicodeString& url,
                                       const TNetHeaders* headers = nullptr) {
        return Execute(method, url, nullptr, headers);
    }

protected:
    std::shared_ptr<THTTPRequest> DoGetHTTPRequestInstance(const UnicodeString& method,
                                                           const TURI& url) override {
        return std::make_shared<FakeRequest>(*this, method, url);
    }
    std::shared_ptr<THTTPResponse>
    DoGetHTTPResponseInstance(const std::shared_ptr<THTTPRequest>& request,
                              TStream* content) override {
        return std::make_shared<FakeResponse>(request, content);
    }
    TSendOutcome DoSendAndReceive(THTTPRequest& request, THTTPResponse& response) override {
        Log.push_back({request.GetMethodString(), request.GetURL().ToString(), request.GetHeaders(),
                       request.TransportOptions(), request.ServerCertificateAccepted()});
        auto& answers = Script[ToUtf8(request.GetURL().PathAndQuery())];
        if (answers.empty())
            answers.push_back(Answer{404, ""});
        const Answer answer = answers.front();
        if (answers.size() > 1)
            answers.pop_front();
        if (answer.Error)
            return ClassifySendError(request, *answer.Error, u"Error sending data: (%d) %s");
        static_cast<FakeResponse&>(response).Set(answer);
        return TSendOutcome::Completed;
    }
    void DoReadResponseBody(THTTPRequest&, THTTPResponse&) override {}
    std::uint32_t DoQueryAuthSchemes(THTTPRequest&, TAuthTargetType) override {
        return OfferedSchemes;
    }
    bool DoSetCredentials(THTTPRequest&, TAuthTargetType, THTTPAuthScheme scheme,
                          const UnicodeString& user, const UnicodeString&) override {
        PlatformCredentials.emplace_back(scheme, user);
        return AcceptCredentials && scheme != THTTPAuthScheme::Passport;
    }
    bool DoGetServerCertificate(THTTPRequest&, TCertificate& certificate) override {
        certificate.CertName = u"fake";
        return HasServerCertificate;
    }
    TCertificateList DoGetClientCertificates(THTTPRequest&) override { return ClientCertificates; }
    bool DoProxyHeadersReachProxyOnly() const override { return ProxyHeadersReachProxyOnly; }
    bool DoSetClientCertificate(THTTPRequest&, const TCertificate* certificate) override {
        ClientCertificateChoices.push_back(certificate != nullptr);
        return AcceptClientCertificate;
    }
};

template <class F> std::string Outcome(F&& action) {
    try {
        action();
        return "ok";
    } catch (const Exception& e) {
        return ToUtf8(e.Message());
    }
}

TPlatformError Failure(TPlatformError::TKind kind, std::int32_t code = 12175) {
    return {code, u"text", kind};
}

using K = TPlatformError::TKind;
using R = THTTPSecureFailureReason;

TEST(SendOutcomes, EachPlatformFailureEndsAsItsRowSays) {
    struct Case {
        const char* Name;
        TPlatformError Error;
        THTTPSecureFailureReasons Reasons; // set as the backend's notification would
        bool Accepted;                     // the certificate was accepted on an earlier pass
        std::string Expected;
        std::size_t Sends;
    };
    const Case cases[] = {
        {"resend", Failure(K::ResendRequested, 12032), {}, false, "ok", 2},
        {"client certificate", Failure(K::ClientCertificateRequested, 12044), {}, false, "ok", 2},
        {"certificate",
         Failure(K::SecureChannel),
         {R::InvalidCA},
         false,
         "Server Certificate Invalid or not present",
         1},
        {"channel only",
         Failure(K::SecureChannel),
         {R::SecurityChannelError},
         false,
         "Error sending data: (12175) text",
         1},
        {"after acceptance",
         Failure(K::SecureChannel),
         {R::InvalidCA},
         true,
         "Error sending data: (12175) text",
         1},
        {"refused on send",
         Failure(K::Cancelled, 12017),
         {R::CertNotAccepted},
         false,
         "Server Certificate not accepted",
         1},
        {"cancelled", Failure(K::Cancelled, 12017), {}, false, "ok", 1},
        {"other", Failure(K::Other, 12029), {}, false, "Error sending data: (12029) text", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        struct Client : FakeClient {
            THTTPSecureFailureReasons Reasons;
            bool Accepted = false;
            TSendOutcome DoSendAndReceive(THTTPRequest& request, THTTPResponse& response) override {
                FSecureFailureReasons = Reasons;
                if (Accepted)
                    ValidateAndAccept(request);
                return FakeClient::DoSendAndReceive(request, response);
            }
            void ValidateAndAccept(THTTPRequest& request) {
                SetValidateServerCertificateCallback([](THTTPClient&, const IHTTPRequest&,
                                                        const TCertificate&,
                                                        bool& accepted) { accepted = true; });
                ValidateServerCertificate(request);
                SetValidateServerCertificateCallback({});
            }
        } client;
        client.Reasons = c.Reasons;
        client.Accepted = c.Accepted;
        client.Script["/"] = {Answer{c.Error}, Answer{}};
        EXPECT_EQ(Outcome([&] { client.Run(u"GET", u"https://h/"); }), c.Expected);
        EXPECT_EQ(client.Log.size(), c.Sends);
    }
    // A platform that keeps asking for the request again gets it a few times, not forever.
    FakeClient endless;
    endless.Script["/"] = {Answer{Failure(K::ResendRequested, 12032)}};
    EXPECT_EQ(Outcome([&] { endless.Run(u"GET", u"https://h/"); }),
              "Error sending data: (12032) text");
    EXPECT_EQ(endless.Log.size(), 6u);
}

TEST(SendOutcomes, CertificateCallbackDecidesAndAcceptsForOnePass) {
    FakeClient client;
    client.Script["/"] = {Answer{Failure(K::SecureChannel)}, Answer{}};
    std::vector<UnicodeString> names;
    client.SetValidateServerCertificateEvent(
        [&](THTTPClient&, const IHTTPRequest&, const TCertificate& certificate, bool& accepted) {
            names.push_back(certificate.CertName);
            accepted = true;
        });
    // No failure flags from the backend: still a certificate problem.
    EXPECT_EQ(Outcome([&] { client.Run(u"GET", u"https://h/"); }), "ok");
    ASSERT_EQ(client.Log.size(), 2u);
    EXPECT_FALSE(client.Log[0].CertificateAccepted);
    EXPECT_TRUE(client.Log[1].CertificateAccepted);
    EXPECT_EQ(names, std::vector<UnicodeString>{u"fake"});

    client.HasServerCertificate = false;
    client.Script["/"] = {Answer{Failure(K::SecureChannel)}};
    EXPECT_EQ(Outcome([&] { client.Run(u"GET", u"https://h/"); }),
              "Error getting Server Certificate");
}

TEST(SendOutcomes, ClientCertificateChoice) {
    struct Case {
        const char* Name;
        bool Callback;
        std::size_t Certificates;
        std::int32_t Index;
        bool PlatformAccepts;
        std::string Expected;
        std::vector<bool> Choices;
    };
    const Case cases[] = {
        {"no callback", false, 1, 0, true, "ok", {false}},
        {"no callback, refused",
         false,
         1,
         0,
         false,
         "Unspecified certificate from client",
         {false}},
        {"empty list", true, 0, 0, true, "ok", {false}},
        {"empty list, refused", true, 0, 0, false, "Empty certificate list", {false}},
        {"none chosen", true, 2, -1, true, "ok", {false}},
        {"none chosen, refused",
         true,
         2,
         -1,
         false,
         "Unspecified certificate from client",
         {false}},
        {"chosen", true, 2, 1, true, "ok", {true}},
        {"chosen, refused", true, 2, 1, false, "Client rejected the certificate", {true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        FakeClient client;
        client.Script["/"] = {Answer{Failure(K::ClientCertificateRequested, 12044)}, Answer{}};
        client.ClientCertificates.resize(c.Certificates);
        client.AcceptClientCertificate = c.PlatformAccepts;
        int asked = 0;
        if (c.Callback)
            client.SetNeedClientCertificateCallback([&](THTTPClient&, const IHTTPRequest&,
                                                        const TCertificateList& list,
                                                        std::int32_t& index) {
                ++asked;
                EXPECT_EQ(list.size(), c.Certificates);
                index = c.Index;
            });
        EXPECT_EQ(Outcome([&] { client.Run(u"GET", u"https://h/"); }), c.Expected);
        EXPECT_EQ(client.ClientCertificateChoices, c.Choices);
        EXPECT_EQ(asked, c.Callback && c.Certificates > 0 ? 1 : 0);
    }
}

TEST(Redirects, MethodTurnsIntoGetAsTheSetSays) {
    const char16_t* methods[] = {u"POST", u"put", u"DELETE", u"GET"};
    const std::int32_t statuses[] = {300, 301, 302, 303, 307, 308};
    // With the default set: POST after 301, 302 and 303; PUT and DELETE after 303 only.
    const std::set<std::pair<std::u16string, std::int32_t>> toGet = {
        {u"POST", 301}, {u"POST", 302}, {u"POST", 303}, {u"put", 303}, {u"DELETE", 303}};
    for (const char16_t* method : methods) {
        for (std::int32_t status : statuses) {
            SCOPED_TRACE(ToUtf8(method) + " " + std::to_string(status));
            FakeClient client;
            client.Script["/from"] = {Answer{status, "Location: /to\r\n"}};
            client.Script["/to"] = {Answer{}};
            const TNetHeaders body{{u"Content-Type", u"text/plain"}, {u"Content-Length", u"3"}};
            client.Run(method, u"https://h/from", &body);
            ASSERT_EQ(client.Log.size(), 2u);
            const bool becameGet = toGet.count({method, status}) != 0;
            EXPECT_EQ(client.Log[1].Method, becameGet ? UnicodeString(u"GET") : method);
            EXPECT_EQ(HeaderValue(client.Log[1].Headers, u"Content-Type").empty(), becameGet);
            EXPECT_EQ(HeaderValue(client.Log[1].Headers, u"Content-Length").empty(), becameGet);
        }
    }
    FakeClient all;
    all.SetRedirectsWithGET({THTTPRedirectWithGET::Put307});
    all.Script["/from"] = {Answer{307, "Location: /to\r\n"}};
    all.Run(u"PUT", u"https://h/from");
    EXPECT_EQ(all.Log.at(1).Method, u"GET");
}

TEST(Redirects, ReopenReapplyAndKeepTheFragment) {
    FakeClient client;
    client.ProxySettings().FHost = u"proxy";
    client.ProxySettings().FPort = 8080;
    client.Script["/a"] = {Answer{301, "Location: ./b/../c\r\n"}};
    client.Script["/c"] = {Answer{302, "Location: https://other:444/d#new\r\n"}};
    client.Script["/d"] = {Answer{}};
    client.Run(u"GET", u"https://h/a#old");
    ASSERT_EQ(client.Log.size(), 3u);
    EXPECT_EQ(client.Log[1].Url, u"https://h/c#old");
    EXPECT_EQ(client.Log[2].Url, u"https://other:444/d#new");
    for (const auto& sent : client.Log)
        EXPECT_EQ(sent.Options.Proxy, u"proxy:8080");
}

TEST(Credentials, StrongestOfferedSchemeGoesToThePlatform) {
    struct Case {
        std::uint32_t Offered;
        THTTPAuthScheme Expected;
        std::int32_t FinalStatus;
    };
    using S = THTTPAuthScheme;
    auto bits = [](std::initializer_list<S> schemes) {
        std::uint32_t b = 0;
        for (S s : schemes)
            b |= static_cast<std::uint32_t>(s);
        return b;
    };
    const Case cases[] = {
        {bits({S::Basic, S::Negotiate, S::Digest}), S::Negotiate, 200},
        {bits({S::Basic, S::NTLM, S::Digest}), S::NTLM, 200},
        {bits({S::Digest, S::Basic}), S::Digest, 200},
        {bits({S::Passport, S::Digest}), S::Passport, 401}, // refused: the challenge returns
        {bits({S::Basic}), S::Basic, 200},
        {0, S::Basic, 200}, // the platform cannot say
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Offered);
        FakeClient client;
        client.OfferedSchemes = c.Offered;
        client.Script["/"] = {Answer{401, "WWW-Authenticate: X realm=\"r\"\r\n"}, Answer{}};
        auto response = client.Run(u"GET", u"https://u:p@h/");
        ASSERT_FALSE(client.PlatformCredentials.empty());
        EXPECT_EQ(client.PlatformCredentials[0].first, c.Expected);
        EXPECT_EQ(client.PlatformCredentials[0].second, u"u");
        EXPECT_EQ(response->GetStatusCode(), c.FinalStatus);
    }
}

TEST(Credentials, PreemptiveTakesTheOnlyStoredOneAndDropsItOnARefusal) {
    FakeClient client;
    client.SetPreemptiveAuthentication(true);
    client.CredentialsStorage().Add({TAuthTargetType::Server, u"", u"https://h/", u"one", u"1"});
    client.CredentialsStorage().Add({TAuthTargetType::Proxy, u"", u"", u"proxy", u"2"});
    client.Script["/"] = {Answer{401, "WWW-Authenticate: Basic realm=\"r\"\r\n"}, Answer{}};
    client.Run(u"GET", u"https://h/");
    ASSERT_EQ(client.Log.size(), 2u);
    EXPECT_EQ(HeaderValue(client.Log[0].Headers, u"Authorization"), u"Basic b25lOjE=");
    // Refused: the list (the same stored one) goes to the platform, as the challenge has no
    // charset; the client's own header is gone.
    EXPECT_EQ(HeaderValue(client.Log[1].Headers, u"Authorization"), u"");
    ASSERT_EQ(client.PlatformCredentials.size(), 1u);
    EXPECT_EQ(client.PlatformCredentials[0].second, u"one");

    // Two stored: none is sent before the challenge.
    FakeClient two;
    two.SetPreemptiveAuthentication(true);
    two.CredentialsStorage().Add({TAuthTargetType::Server, u"", u"", u"a", u"1"});
    two.CredentialsStorage().Add({TAuthTargetType::Server, u"", u"", u"b", u"2"});
    two.Script["/"] = {Answer{}};
    two.Run(u"GET", u"https://h/");
    EXPECT_EQ(HeaderValue(two.Log.at(0).Headers, u"Authorization"), u"");
}

TEST(Credentials, StayWithTheirOriginAndTheProxyWithTheProxy) {
    // A credential stored for one origin is not sent ahead of a challenge to another.
    FakeClient client;
    client.SetPreemptiveAuthentication(true);
    client.CredentialsStorage().Add({TAuthTargetType::Server, u"", u"https://h:8443/", u"u", u"1"});
    client.Script["/a"] = {Answer{302, "Location: https://h:8080/b\r\n"}};
    client.Script["/b"] = {Answer{}};
    client.Run(u"GET", u"https://h:8443/a");
    ASSERT_EQ(client.Log.size(), 2u);
    EXPECT_EQ(HeaderValue(client.Log[0].Headers, u"Authorization"), u"Basic dTox");
    EXPECT_EQ(HeaderValue(client.Log[1].Headers, u"Authorization"), u"");
    EXPECT_TRUE(client.PlatformCredentials.empty());

    // A transport that cannot send a header to the proxy alone gets the proxy's credentials
    // through the platform, never as a request header the server would see.
    FakeClient tunnel;
    tunnel.ProxyHeadersReachProxyOnly = false;
    tunnel.ProxySettings().FHost = u"proxy";
    tunnel.ProxySettings().FPort = 8080;
    tunnel.CredentialsStorage().Add({TAuthTargetType::Proxy, u"", u"", u"pu", u"pp"});
    tunnel.Script["/"] = {
        Answer{407, "Proxy-Authenticate: Basic realm=\"p\", charset=\"UTF-8\"\r\n"}, Answer{}};
    EXPECT_EQ(tunnel.Run(u"GET", u"https://h/")->GetStatusCode(), 200);
    ASSERT_EQ(tunnel.Log.size(), 2u);
    EXPECT_EQ(HeaderValue(tunnel.Log[1].Headers, u"Proxy-Authorization"), u"");
    ASSERT_EQ(tunnel.PlatformCredentials.size(), 1u);
    EXPECT_EQ(tunnel.PlatformCredentials[0].second, u"pu");
}

// Stored credentials go to the origin and path they were stored for; one stored without a URL
// answers only a challenge, and not over plain http in an exchange the caller began on https.
TEST(Credentials, GoOnlyWhereTheyBelong) {
    struct Case {
        const char* Name;
        const char16_t* StoredFor;
        bool Preemptive;
        const char16_t* Url;
        std::vector<std::pair<std::string, Answer>> Script;
        std::vector<const char*> Sent; // the user whose credential each send carried, or "-"
    };
    const std::string challenge = "WWW-Authenticate: Basic realm=\"r\", charset=\"UTF-8\"\r\n";
    const Answer refused{401, challenge};
    const Case cases[] = {
        {"a longer host",
         u"https://updates.example.com",
         true,
         u"https://updates.example.com.evil.net/a",
         {{"/a", refused}},
         {"-"}},
        {"a host that goes on",
         u"https://updates.example.com",
         false,
         u"https://updates.example.comx/a",
         {{"/a", refused}},
         {"-"}},
        {"an address that goes on",
         u"http://127.0.0.1",
         false,
         u"http://127.0.0.12/a",
         {{"/a", refused}},
         {"-"}},
        {"a path that goes on",
         u"https://h/app",
         true,
         u"https://h/apple",
         {{"/apple", refused}},
         {"-"}},
        {"below the path",
         u"https://h/app",
         true,
         u"https://h/app/x",
         {{"/app/x", Answer{}}},
         {"u"}},
        {"another port", u"https://h/", false, u"https://h:444/a", {{"/a", refused}}, {"-"}},
        {"no URL: after the challenge",
         u"",
         true,
         u"https://h/a",
         {{"/a", refused}, {"/a", {}}},
         {"-", "u"}},
        {"no URL: not ahead of a challenge after a redirect",
         u"",
         true,
         u"https://h/r",
         {{"/r", Answer{302, "Location: https://other/a\r\n"}}, {"/a", refused}, {"/a", {}}},
         {"-", "-", "u"}},
        {"no URL: plain http when the caller asked for it",
         u"",
         false,
         u"http://h/a",
         {{"/a", refused}, {"/a", {}}},
         {"-", "u"}},
        {"no URL: not over plain http after https",
         u"",
         false,
         u"https://h/r",
         {{"/r", Answer{302, "Location: http://h/a\r\n"}}, {"/a", refused}},
         {"-", "-"}},
        {"answered, then another origin",
         u"",
         false,
         u"https://h/x",
         {{"/x", refused}, {"/x", Answer{302, "Location: https://other/y\r\n"}}, {"/y", {}}},
         {"-", "u", "-"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        FakeClient client;
        client.SetPreemptiveAuthentication(c.Preemptive);
        client.SetAllowInsecureRedirects(true);
        client.CredentialsStorage().Add({TAuthTargetType::Server, u"", c.StoredFor, u"u", u"pw"});
        for (const auto& [path, answer] : c.Script)
            client.Script[path].push_back(answer);
        client.Run(u"GET", c.Url);
        std::vector<std::string> sent;
        for (const auto& request : client.Log) {
            const UnicodeString value = HeaderValue(request.Headers, u"Authorization");
            sent.push_back(value.empty() ? "-" : value == u"Basic dTpwdw==" ? "u" : ToUtf8(value));
        }
        EXPECT_EQ(sent, std::vector<std::string>(c.Sent.begin(), c.Sent.end()));
    }
}

// A proxy's credentials stay with it when a redirect leads through another proxy.
TEST(Credentials, ProxyStateResetsWhenTheProxyChanges) {
    struct Client : FakeClient {
        TProxyChoice DoSystemProxyFor(const TURI& url) override {
            return {url.Scheme() == u"https" ? u"http://p2:2" : u"http://p1:1", {}};
        }
    } client;
    client.CredentialsStorage().Add({TAuthTargetType::Proxy, u"", u"", u"pu", u"pp"});
    client.Script["/a"] = {
        Answer{407, "Proxy-Authenticate: Basic realm=\"p\", charset=\"UTF-8\"\r\n"},
        Answer{302, "Location: https://h/b\r\n"}};
    client.Script["/b"] = {Answer{}};
    EXPECT_EQ(client.Run(u"GET", u"http://h/a")->GetStatusCode(), 200);
    ASSERT_EQ(client.Log.size(), 3u);
    EXPECT_EQ(HeaderValue(client.Log[1].Headers, u"Proxy-Authorization"), u"Basic cHU6cHA=");
    EXPECT_EQ(client.Log[2].Options.Proxy, u"http://p2:2");
    EXPECT_EQ(HeaderValue(client.Log[2].Headers, u"Proxy-Authorization"), u"");
    EXPECT_FALSE(client.Log[2].Options.ProxyCredential);
}

TEST(Redirects, HttpsToHttpOnlyWhenAllowedAndWithoutTheCallersCookie) {
    for (bool allowed : {false, true}) {
        SCOPED_TRACE(allowed);
        FakeClient client;
        client.SetAllowInsecureRedirects(allowed);
        client.Script["/a"] = {Answer{302, "Location: http://h/b\r\n"}};
        client.Script["/b"] = {Answer{}};
        const TNetHeaders cookie{{u"Cookie", u"mine=1"}};
        EXPECT_EQ(client.Run(u"GET", u"https://h/a", &cookie)->GetStatusCode(),
                  allowed ? 200 : 302);
        ASSERT_EQ(client.Log.size(), allowed ? 2u : 1u);
        EXPECT_EQ(HeaderValue(client.Log.back().Headers, u"Cookie"), allowed ? u"" : u"mine=1");
    }
}

TEST(Responses, ContentLengthIsDigitsOnly) {
    const std::pair<const char*, std::int64_t> cases[] = {
        {"5", 5}, {"+5", -1}, {"-5", -1}, {"-0", -1}, {"", -1}, {"99999999999999999999", -1}};
    for (const auto& [value, length] : cases) {
        FakeClient client;
        client.Script["/"] = {Answer{200, std::string("Content-Length: ") + value + "\r\n"}};
        EXPECT_EQ(client.Run(u"GET", u"https://h/")->GetContentLength(), length) << value;
    }
}

TEST(Options, ProxyLogonAndProtocolsReachTheBackend) {
    FakeClient client;
    client.Script["/"] = {Answer{}};
    client.SetUseDefaultCredentials(false);
    client.SetSecureProtocols({THTTPSecureProtocol::TLS12});
    client.SetAutomaticDecompression({THTTPCompressionMethod::GZip});
    auto& proxy = client.ProxySettings();
    proxy.FScheme = u"socks5";
    proxy.FHost = u"p";
    proxy.FPort = 1080;
    proxy.FUserName = u"pu";
    client.Run(u"GET", u"https://h/");
    const auto& options = client.Log.at(0).Options;
    EXPECT_EQ(options.Proxy, u"socks5://p:1080");
    EXPECT_EQ(options.ProxyUserName, u"pu");
    EXPECT_FALSE(options.AutomaticLogon);
    EXPECT_EQ(options.SecureProtocols, THTTPSecureProtocols{THTTPSecureProtocol::TLS12});
    EXPECT_EQ(options.Decompression, THTTPCompressionMethods{THTTPCompressionMethod::GZip});

    proxy.FScheme = u"HTTP";
    proxy.FHost = u"Direct";
    proxy.FPort = 80;
    client.Run(u"GET", u"https://h/");
    EXPECT_EQ(client.Log.at(1).Options.Proxy, u"");
    EXPECT_EQ(client.Log.at(1).Options.ProxyUserName, u"");
}

} // namespace
} // namespace velora

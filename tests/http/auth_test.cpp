// Authentication challenges: the header rules, the credential store, and the client answering
// 401 and 407 from the local server.
#include "http/http_client.hpp"
#include "http/http_headers.hpp"
#include "rtl/exceptions.hpp"
#include "tests/support/test_server.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace velora {
namespace {

using test::LoggedRequest;
using test::TestServer;
using test::TestServerOptions;
using TCredential = TCredentialsStorage::TCredential;

struct RealmCase {
    const char16_t* Challenge;
    const char16_t* Realm;
    bool Utf8;
};

class ChallengeParameters : public testing::TestWithParam<RealmCase> {};

TEST_P(ChallengeParameters, RealmAndCharset) {
    EXPECT_EQ(ChallengeRealm(GetParam().Challenge), GetParam().Realm);
    EXPECT_EQ(ChallengeWantsUtf8(GetParam().Challenge), GetParam().Utf8);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ChallengeParameters,
    testing::Values(RealmCase{u"Basic realm=\"Staff Only\"", u"Staff Only", false},
                    RealmCase{u"Basic REALM = \"a,b\", charset=\"utf-8\"", u"a,b", true},
                    RealmCase{u"Digest qop=\"auth\",realm=\"r1\", nonce=\"x\"", u"r1", false},
                    RealmCase{u"Basic realm=plain, charset=UTF-8", u"plain", true},
                    RealmCase{u"Basic charset=\"ISO-8859-1\"", u"", false},
                    RealmCase{u"Basic foorealm=\"no\", realm=\"yes\"", u"yes", false},
                    RealmCase{u"Basic realm=\"open", u"open", false}, RealmCase{u"", u"", false},
                    RealmCase{u"Negotiate", u"", false}));

TEST(Base64, EncodesWithPaddingAndNoLineBreaks) {
    EXPECT_EQ(Base64Encode(""), "");
    EXPECT_EQ(Base64Encode("f"), "Zg==");
    EXPECT_EQ(Base64Encode("fo"), "Zm8=");
    EXPECT_EQ(Base64Encode("foo"), "Zm9v");
    EXPECT_EQ(Base64Encode("Aladdin:open sesame"), "QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
    EXPECT_EQ(Base64Encode(std::string(100, '\xff')).find('\n'), std::string::npos);
}

TEST(CredentialsStorage, FindsByTargetRealmAndUrlMostSpecificFirst) {
    TCredentialsStorage storage;
    storage.Add({TAuthTargetType::Server, u"", u"", u"any", u"1"});
    storage.Add({TAuthTargetType::Server, u"", u"https://h/app", u"app", u"2"});
    storage.Add({TAuthTargetType::Server, u"Staff", u"", u"staff", u"3"});
    storage.Add({TAuthTargetType::Server, u"Other", u"", u"other", u"4"});
    storage.Add({TAuthTargetType::Server, u"", u"https://elsewhere/", u"far", u"5"});
    storage.Add({TAuthTargetType::Proxy, u"", u"", u"proxy", u"6"});
    storage.Add({TAuthTargetType::Server, u"", u"HTTPS://H/", u"host", u"7"});
    // Origins as parsed, paths at a '/': no text prefix serves.
    storage.Add({TAuthTargetType::Server, u"", u"https://h/ap", u"prefix", u"8"});
    storage.Add({TAuthTargetType::Server, u"", u"https://h:443/app/", u"port", u"9"});
    storage.Add({TAuthTargetType::Server, u"", u"https://h/APP", u"case", u"10"});
    storage.Add({TAuthTargetType::Server, u"", u"http://h/app", u"plain", u"11"});
    storage.Add({TAuthTargetType::Server, u"", u"https://h.", u"dot", u"12"});

    std::vector<UnicodeString> names;
    for (const auto& c :
         storage.FindCredentials(TAuthTargetType::Server, u"staff", u"https://h/app/x"))
        names.push_back(c.UserName);
    EXPECT_EQ(names, (std::vector<UnicodeString>{u"staff", u"port", u"app", u"host", u"any"}));
    EXPECT_EQ(storage.FindCredentials(TAuthTargetType::Proxy, u"x", u"").size(), 1u);
    EXPECT_EQ(storage.Count(TAuthTargetType::Server), 11u);
}

// "user:pässword" in the two encodings the charset rule chooses between.
constexpr const char* kUtf8Basic = "Basic dXNlcjpww6Rzc3dvcmQ=";
constexpr const char* kAnsiBasic = "Basic dXNlcjpw5HNzd29yZA==";

// Wine's WinHTTP encodes the Basic credentials left to it in UTF-8, not the ANSI code page.
bool PlatformBasicIsAnsi() {
    return !test::UnderWine();
}

class Challenges : public testing::Test {
protected:
    static void SetUpTestSuite() {
        server = std::make_unique<TestServer>(TestServerOptions{R"({
  "/basic": {"auth": {"realm": "Staff", "user": "user", "password": "p\u00e4ssword"}, "body": "in"},
  "/basic-utf8": {"auth": {"realm": "Staff", "user": "user", "password": "p\u00e4ssword",
                           "charset": "UTF-8"}, "body": "in"},
  "/digest": {"auth": {"scheme": "Digest", "realm": "Vault", "user": "dora", "password": "k3y"},
              "body": "digested"},
  "/negotiate": {"auth": {"scheme": "Negotiate"}, "body": "never"},
  "/echo": {"body": "echo"}
})"});
    }
    static void TearDownTestSuite() { server.reset(); }

    static UnicodeString Url(std::string_view path, std::string_view userInfo = {}) {
        std::string url = server->Url(path);
        if (!userInfo.empty())
            url.insert(8, std::string(userInfo) + "@");
        return U16(url);
    }
    static std::vector<LoggedRequest> RequestsFor(std::string_view path) {
        std::vector<LoggedRequest> found;
        for (auto& r : server->Requests())
            if (r.path == path)
                found.push_back(r);
        return found;
    }
    static std::vector<std::string> AuthorizationsFor(std::string_view path) {
        std::vector<std::string> found;
        for (const auto& r : RequestsFor(path))
            found.push_back(r.Header("Authorization").value_or("-"));
        return found;
    }

    static inline std::unique_ptr<TestServer> server;
    std::unique_ptr<THTTPClient> client = THTTPClient::Create();
};

TEST_F(Challenges, WithoutCredentialsTheChallengeComesBackAsItCame) {
    auto response = client->Get(Url("/basic?none"));
    EXPECT_EQ(response->GetStatusCode(), 401);
    EXPECT_EQ(response->ContentAsString(), u"denied");
    EXPECT_EQ(AuthorizationsFor("/basic?none"), std::vector<std::string>{"-"});

    // Integrated authentication without a logon to offer: the challenge comes back too, and
    // nothing was sent before the server asked.
    response = client->Get(Url("/negotiate"));
    EXPECT_EQ(response->GetStatusCode(), 401);
    EXPECT_EQ(AuthorizationsFor("/negotiate").front(), "-");
}

TEST_F(Challenges, BasicFollowsTheCharsetRule) {
    // The URL's own credentials, percent-decoded; without a charset the platform encodes them
    // in the ANSI code page.
    if (PlatformBasicIsAnsi()) {
        EXPECT_EQ(client->Get(Url("/basic?ansi", "user:p%C3%A4ssword"))->ContentAsString(), u"in");
        EXPECT_EQ(AuthorizationsFor("/basic?ansi"), (std::vector<std::string>{"-", kAnsiBasic}));
    }

    EXPECT_EQ(client->Get(Url("/basic-utf8?utf8", "user:p%C3%A4ssword"))->ContentAsString(), u"in");
    EXPECT_EQ(AuthorizationsFor("/basic-utf8?utf8"), (std::vector<std::string>{"-", kUtf8Basic}));
}

TEST_F(Challenges, StoredCredentialsAreTriedInOrderUntilOneFits) {
    auto& storage = client->CredentialsStorage();
    storage.Add({TAuthTargetType::Server, u"Elsewhere", u"", u"user", u"wrong-realm"});
    storage.Add({TAuthTargetType::Server, u"", u"", u"user", u"second"});
    storage.Add({TAuthTargetType::Server, u"staff", u"", u"user", u"first"});
    storage.Add({TAuthTargetType::Server, u"", u"", u"user", u"p\u00e4ssword"});
    EXPECT_EQ(client->Get(Url("/basic-utf8?list"))->ContentAsString(), u"in");
    const auto sent = AuthorizationsFor("/basic-utf8?list");
    ASSERT_EQ(sent.size(), 4u);
    EXPECT_EQ(sent[1], "Basic " + Base64Encode("user:first"));
    EXPECT_EQ(sent[2], "Basic " + Base64Encode("user:second"));
    EXPECT_EQ(sent[3], kUtf8Basic);
}

TEST_F(Challenges, CallbackIsAskedAndItsAnswerKeptForTheClient) {
    if (test::UnderWine())
        GTEST_SKIP() << "Wine's WinHTTP has no Digest";
    int asked = 0;
    client->SetAuthCallback([&](TURLClient&, TAuthTargetType target, const UnicodeString& realm,
                                const UnicodeString& url, UnicodeString& user,
                                UnicodeString& password, bool&, TAuthPersistenceType& persistence) {
        ++asked;
        EXPECT_EQ(target, TAuthTargetType::Server);
        EXPECT_EQ(realm, u"Vault");
        EXPECT_EQ(url, Url("/digest"));
        EXPECT_EQ(persistence, TAuthPersistenceType::Client);
        user = u"dora";
        password = u"k3y";
    });
    // Digest is answered by the platform.
    EXPECT_EQ(client->Get(Url("/digest"))->ContentAsString(), u"digested");
    EXPECT_EQ(client->Get(Url("/digest"))->ContentAsString(), u"digested");
    EXPECT_EQ(asked, 1);
    ASSERT_EQ(client->CredentialsStorage().Credentials().size(), 1u);
    EXPECT_EQ(client->CredentialsStorage().Credentials()[0].Realm, u"Vault");
    for (const auto& sent : AuthorizationsFor("/digest"))
        EXPECT_TRUE(sent == "-" || sent.rfind("Digest username=\"dora\"", 0) == 0) << sent;
}

TEST_F(Challenges, CallbackEndsTheExchangeByAbortOrRepetition) {
    int asked = 0;
    bool abort = true;
    bool slow = false;
    client->SetAuthEvent([&](TURLClient&, TAuthTargetType, const UnicodeString&,
                             const UnicodeString&, UnicodeString& user, UnicodeString& password,
                             bool& abortAuth, TAuthPersistenceType& persistence) {
        ++asked;
        if (slow)
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        abortAuth = abort;
        user = u"user";
        password = u"wrong";
        persistence = TAuthPersistenceType::Request;
    });
    EXPECT_EQ(client->Get(Url("/basic?abort"))->GetStatusCode(), 401);
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(RequestsFor("/basic?abort").size(), 1u);

    // The same wrong answer twice: the second time ends the exchange.
    abort = false;
    asked = 0;
    EXPECT_EQ(client->Get(Url("/basic?repeat"))->GetStatusCode(), 401);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(RequestsFor("/basic?repeat").size(), 2u);
    EXPECT_TRUE(client->CredentialsStorage().Credentials().empty());

    // An abort that comes after the exchange's time ran out: the challenge response, complete
    // before that, still reads whole.
    abort = slow = true;
    client->SetExchangeTimeout(1000);
    const auto late = client->Get(Url("/basic?late"));
    EXPECT_EQ(late->GetStatusCode(), 401);
    EXPECT_EQ(late->GetVersion(), THTTPProtocolVersion::HTTP_1_1);
}

TEST_F(Challenges, PreemptiveAuthenticationSendsBeforeBeingAsked) {
    client->SetPreemptiveAuthentication(true);
    client->CredentialsStorage().Add(
        {TAuthTargetType::Server, u"", Url("/"), u"user", u"p\u00e4ssword"});
    EXPECT_EQ(client->Get(Url("/basic-utf8?pre"))->ContentAsString(), u"in");
    EXPECT_EQ(AuthorizationsFor("/basic-utf8?pre"), std::vector<std::string>{kUtf8Basic});

    // Refused: the list is tried from its start (here the same one, built as the charset
    // rule says for this challenge).
    if (PlatformBasicIsAnsi()) {
        EXPECT_EQ(client->Get(Url("/basic?pre"))->ContentAsString(), u"in");
        EXPECT_EQ(AuthorizationsFor("/basic?pre"),
                  (std::vector<std::string>{kUtf8Basic, kAnsiBasic}));
    }

    // Nothing to send: the request goes out without credentials.
    auto empty = THTTPClient::Create();
    empty->SetPreemptiveAuthentication(true);
    EXPECT_EQ(empty->Get(Url("/echo?pre"))->ContentAsString(), u"echo");
}

TEST(CredentialOrigin, AuthorizationStaysWithSchemeHostAndPort) {
    TestServer plain(TestServerOptions{R"({"/echo": {"body": "echo"}})", 0, true});
    TestServer secure(TestServerOptions{R"({
  "/same": {"status": 302, "headers": [["Location", "/echo"]]},
  "/other-host": {"status": 302, "headers": [["Location", "https://127.0.0.1:{port}/echo"]]},
  "/other-scheme-and-port": {"status": 302, "headers": [["Location", "http://localhost:)" +
                                        std::to_string(plain.Port()) + R"(/echo"]]},
  "/echo": {"body": "echo"}})"});
    struct Case {
        const char* Path;
        const TestServer& Landing;
        bool SameOrigin;
    };
    for (const Case& c : {Case{"/same", secure, true}, Case{"/other-host", secure, false},
                          Case{"/other-scheme-and-port", plain, false}}) {
        SCOPED_TRACE(c.Path);
        auto client = THTTPClient::Create();
        client->SetPreemptiveAuthentication(true);
        client->SetAllowInsecureRedirects(true);
        const TNetHeaders extra{{u"Cookie", u"mine=1"},
                                {u"Proxy-Authorization", u"Basic cHJveHk6c2VjcmV0"},
                                {u"X-Keep", u"1"}};
        std::string url = secure.Url(c.Path);
        url.insert(8, "user:pw@");
        EXPECT_EQ(client->Get(U16(url), nullptr, &extra)->ContentAsString(), u"echo");

        std::optional<LoggedRequest> first;
        for (const auto& request : secure.Requests())
            if (request.path == c.Path)
                first = request;
        ASSERT_TRUE(first);
        EXPECT_EQ(first->Header("Authorization"), "Basic " + Base64Encode("user:pw"));
        const auto landed = c.Landing.Requests().back();
        ASSERT_EQ(landed.path, "/echo");
        EXPECT_EQ(landed.Header("X-Keep"), "1");
        EXPECT_EQ(landed.CountHeader("Proxy-Authorization"), 0);
        if (c.SameOrigin) {
            EXPECT_EQ(landed.Header("Authorization"), "Basic " + Base64Encode("user:pw"));
        } else {
            EXPECT_EQ(landed.CountHeader("Authorization"), 0);
        }
        // The cookie a caller sets is the host's: it goes along on the same host only, and not
        // from https to plain http.
        EXPECT_EQ(landed.CountHeader("Cookie"), c.SameOrigin ? 1 : 0);
        for (const auto& request : secure.Requests())
            EXPECT_EQ(request.CountHeader("Proxy-Authorization"), 0);
    }
    // By default the step down to plain http is not taken: the redirect is the answer.
    const std::size_t landed = plain.Requests().size();
    EXPECT_EQ(
        THTTPClient::Create()->Get(U16(secure.Url("/other-scheme-and-port")))->GetStatusCode(),
        302);
    EXPECT_EQ(plain.Requests().size(), landed);
}

TEST(ProxyChallenges, StoredProxyCredentialAfterWrongSettings) {
    if (test::UnderWine())
        GTEST_SKIP() << "Wine's WinHTTP ignores a proxy set on the request";
    // The local server acting as a plain-http proxy that wants Basic credentials.
    TestServer proxy(TestServerOptions{R"({"/p": {"auth": {"proxy": true, "realm": "gate",
        "user": "pat", "password": "right"}, "body": "proxied"}})",
                                       0, true});
    auto client = THTTPClient::Create();
    client->ProxySettings().FHost = u"127.0.0.1";
    client->ProxySettings().FPort = proxy.Port();
    EXPECT_EQ(client->Get(u"http://origin.test/p")->GetStatusCode(), 407);

    client->ProxySettings().FUserName = u"pat";
    client->ProxySettings().FPassword = u"wrong";
    client->CredentialsStorage().Add({TAuthTargetType::Proxy, u"gate", u"", u"pat", u"right"});
    EXPECT_EQ(client->Get(u"http://origin.test/p")->ContentAsString(), u"proxied");
    std::vector<std::string> sent;
    for (const auto& r : proxy.Requests())
        sent.push_back(r.Header("Proxy-Authorization").value_or("-"));
    EXPECT_EQ(sent, (std::vector<std::string>{"-", "Basic " + Base64Encode("pat:wrong"),
                                              "Basic " + Base64Encode("pat:wrong"),
                                              "Basic " + Base64Encode("pat:right")}));
}

} // namespace
} // namespace velora

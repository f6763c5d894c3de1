// The proxy choice: the environment's rules, and a real forwarding proxy on loopback.
#include "http/http_client.hpp"
#include "http/http_headers.hpp"
#include "http/system_proxy.hpp"
#include "rtl/exceptions.hpp"
#include "tests/support/hostile_proxy.hpp"
#include "tests/support/test_server.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

namespace velora {
namespace {

using test::HostileProxy;
using test::TestServer;
using test::TestServerOptions;
using test::TinyProxy;

struct BypassCase {
    const char16_t* NoProxy;
    const char16_t* Host;
    bool Bypassed;
};

class ProxyBypass : public testing::TestWithParam<BypassCase> {};

TEST_P(ProxyBypass, MatchesHostSuffixesOnLabelBoundaries) {
    EXPECT_EQ(BypassesProxy(GetParam().NoProxy, GetParam().Host), GetParam().Bypassed)
        << ToUtf8(GetParam().NoProxy) << " / " << ToUtf8(GetParam().Host);
}

INSTANTIATE_TEST_SUITE_P(Table, ProxyBypass,
                         testing::Values(BypassCase{u"*", u"anything.example", true},
                                         BypassCase{u"example.com", u"example.com", true},
                                         BypassCase{u"example.com", u"www.example.com", true},
                                         BypassCase{u".example.com", u"www.example.com", true},
                                         BypassCase{u"*.example.com", u"www.example.com", true},
                                         BypassCase{u"example.com", u"badexample.com", false},
                                         BypassCase{u"www.example.com", u"example.com", false},
                                         BypassCase{u"Example.COM.", u"www.example.com", true},
                                         BypassCase{u"a.test, ,localhost:8080", u"localhost", true},
                                         BypassCase{u"a.test\tb.test", u"x.b.test", true},
                                         BypassCase{u"[::1]", u"[::1]", true},
                                         BypassCase{u"::1", u"[::1]", true},
                                         BypassCase{u"127.0.0.1", u"127.0.0.1", true},
                                         BypassCase{u"0.0.1", u"127.0.0.1", false},
                                         BypassCase{u"", u"localhost", false},
                                         BypassCase{u"*foo", u"localhost", false}));

struct IntranetCase {
    const char16_t* NoProxy;
    const char16_t* Host;
    bool Intranet;
};

class IntranetHost : public testing::TestWithParam<IntranetCase> {};

TEST_P(IntranetHost, IsADotlessNameOrOneTheBypassListNames) {
    TProxyEnvironment env;
    env.NoProxy = GetParam().NoProxy;
    EXPECT_EQ(IsIntranetHost(env, GetParam().Host), GetParam().Intranet)
        << ToUtf8(GetParam().NoProxy) << " / " << ToUtf8(GetParam().Host);
}

INSTANTIATE_TEST_SUITE_P(
    Table, IntranetHost,
    testing::Values(IntranetCase{u"", u"fileserver", true}, IntranetCase{u"", u"localhost", true},
                    IntranetCase{u"", u"www.example.com", false},
                    IntranetCase{u"", u"intranet.", false}, IntranetCase{u"", u"10.0.0.1", false},
                    IntranetCase{u"", u"[::1]", false}, IntranetCase{u"", u"[fe80::1]", false},
                    IntranetCase{u"", u"134744072", false}, IntranetCase{u"", u"0x8080808", false},
                    IntranetCase{u"", u"", false},
                    IntranetCase{u"corp.test", u"sso.corp.test", true},
                    IntranetCase{u"corp.test", u"corp.test.evil", false},
                    IntranetCase{u"10.0.0.1", u"10.0.0.1", true},
                    IntranetCase{u"::1", u"[::1]", true}));

TEST(ProxyEnvironment, ChoosesTheVariableByScheme) {
    TProxyEnvironment env;
    env.HttpsProxy = u"http://secure-proxy:3128";
    env.HttpProxy = u"plain-proxy:8080";
    env.AllProxy = u"socks5://all:1080";
    env.NoProxy = u"internal.test";
    EXPECT_EQ(ProxyFromEnvironment(env, TURI(u"https://h/")), u"http://secure-proxy:3128");
    EXPECT_EQ(ProxyFromEnvironment(env, TURI(u"http://h/")), u"plain-proxy:8080");
    EXPECT_EQ(ProxyFromEnvironment(env, TURI(u"https://a.internal.test/")), u"");

    env.HttpsProxy.clear();
    env.HttpProxy.clear();
    EXPECT_EQ(ProxyFromEnvironment(env, TURI(u"https://h/")), u"socks5://all:1080");
    EXPECT_EQ(ProxyFromEnvironment(env, TURI(u"http://h/")), u"socks5://all:1080");
    env.AllProxy.clear();
    EXPECT_EQ(ProxyFromEnvironment(env, TURI(u"https://h/")), u"");
}

// Sets variables for one test and puts the old values back.
class ScopedEnvironment {
public:
    void Set(const char* name, const std::string& value) {
        Remember(name);
        setenv(name, value.c_str(), 1);
    }
    void Unset(const char* name) {
        Remember(name);
        unsetenv(name);
    }
    ~ScopedEnvironment() {
        for (auto it = FOld.rbegin(); it != FOld.rend(); ++it) {
            if (it->second)
                setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                unsetenv(it->first.c_str());
        }
        ForgetSystemProxyConfiguration();
    }

private:
    void Remember(const char* name) {
        const char* old = std::getenv(name);
        FOld.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> FOld;
};

const char* const kProxyVariables[] = {"https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY",
                                       "all_proxy",   "ALL_PROXY",   "no_proxy",   "NO_PROXY"};

TEST(ProxyEnvironment, IsReadOncePerProcessWithLowerCaseFirst) {
    ScopedEnvironment env;
    for (const char* name : kProxyVariables)
        env.Unset(name);
    env.Set("https_proxy", "http://lower:1");
    env.Set("HTTPS_PROXY", "http://upper:2");
    env.Set("HTTP_PROXY", "http://ignored:3");
    ForgetSystemProxyConfiguration();
    EXPECT_EQ(SystemProxyFor(TURI(u"https://h/")), u"http://lower:1");
    EXPECT_EQ(SystemProxyFor(TURI(u"http://h/")), u"");

    env.Set("https_proxy", "http://changed:4");
    EXPECT_EQ(SystemProxyFor(TURI(u"https://h/")), u"http://lower:1");
    ForgetSystemProxyConfiguration();
    EXPECT_EQ(SystemProxyFor(TURI(u"https://h/")), u"http://changed:4");
}

class ForwardingProxy : public testing::Test {
protected:
    void SetUp() override {
        for (const char* name : kProxyVariables)
            env.Unset(name);
    }
    void UseEnvironment(const char* name, const std::string& value) {
        env.Set(name, value);
        ForgetSystemProxyConfiguration();
    }
    static int Count(const std::vector<std::string>& lines, const std::string& start) {
        int n = 0;
        for (const auto& line : lines)
            n += line.rfind(start, 0) == 0 ? 1 : 0;
        return n;
    }

    ScopedEnvironment env;
    TestServer secure{TestServerOptions{R"({"/x": {"body": "through"}})"}};
    std::unique_ptr<THTTPClient> client = THTTPClient::Create();
};

TEST_F(ForwardingProxy, HttpsTunnelsThroughTheProxyFromTheEnvironment) {
    TinyProxy proxy;
    UseEnvironment("https_proxy", proxy.Url());
    EXPECT_EQ(client->Get(U16(secure.Url("/x")))->ContentAsString(), u"through");
    const std::string connect = "CONNECT localhost:" + std::to_string(secure.Port()) + " ";
    EXPECT_EQ(Count(proxy.Requests(), connect), 1);
    ASSERT_EQ(secure.Requests().size(), 1u);
    // The tunnel carries the request as the server would get it directly.
    EXPECT_EQ(secure.Requests()[0].path, "/x");
    EXPECT_EQ(secure.Requests()[0].CountHeader("Proxy-Authorization"), 0);
}

TEST_F(ForwardingProxy, NoProxyListBypassesIt) {
    TinyProxy proxy;
    UseEnvironment("https_proxy", proxy.Url());
    env.Set("no_proxy", "example.test,localhost");
    ForgetSystemProxyConfiguration();
    EXPECT_EQ(client->Get(U16(secure.Url("/x")))->ContentAsString(), u"through");
    EXPECT_TRUE(proxy.Requests().empty());
    EXPECT_EQ(secure.Requests().size(), 1u);
}

TEST_F(ForwardingProxy, PlainHttpIsForwardedOnlyForTheLowerCaseVariable) {
    TinyProxy proxy;
    TestServer plain(TestServerOptions{R"({"/p": {"body": "plain"}})", 0, true});
    UseEnvironment("HTTP_PROXY", proxy.Url());
    EXPECT_EQ(client->Get(U16(plain.Url("/p")))->ContentAsString(), u"plain");
    EXPECT_TRUE(proxy.Requests().empty());

    UseEnvironment("http_proxy", proxy.Url());
    EXPECT_EQ(client->Get(U16(plain.Url("/p")))->ContentAsString(), u"plain");
    const auto lines = proxy.Requests();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("GET http://localhost:" + std::to_string(plain.Port()) + "/p ", 0), 0u)
        << lines[0];
}

TEST_F(ForwardingProxy, ExplicitSettingsWinOverTheEnvironment) {
    TinyProxy proxy;
    UseEnvironment("https_proxy", "http://127.0.0.1:" + std::to_string(test::UnusedPort()));
    auto& settings = client->ProxySettings();
    settings.FHost = u"127.0.0.1";
    settings.FPort = proxy.Port();
    EXPECT_EQ(client->Get(U16(secure.Url("/x")))->ContentAsString(), u"through");
    EXPECT_EQ(proxy.Requests().size(), 1u);

    // "http://direct:80" means no proxy at all, also not the environment's.
    settings.FScheme = u"HTTP";
    settings.FHost = u"direct";
    settings.FPort = 80;
    EXPECT_EQ(client->Get(U16(secure.Url("/x")))->ContentAsString(), u"through");
    EXPECT_EQ(proxy.Requests().size(), 1u);
    EXPECT_EQ(secure.Requests().size(), 2u);
}

TEST_F(ForwardingProxy, ProxyChallengeComesBackWithoutCredentials) {
    TinyProxy proxy("alice", "s3cret");
    UseEnvironment("https_proxy", proxy.Url());
    auto response = client->Get(U16(secure.Url("/x")));
    EXPECT_EQ(response->GetStatusCode(), 407);
    EXPECT_NE(response->GetHeaderValue(u"Proxy-Authenticate").find(u"Basic"), UnicodeString::npos);
    EXPECT_TRUE(secure.Requests().empty());
}

TEST_F(ForwardingProxy, CredentialsInTheVariablesUrlAreUsedPercentDecoded) {
    // A tunnelling proxy that wants exactly these credentials.
    HostileProxy proxy(R"({"auth": {"user": "alice", "password": "s3c@:t"}})");
    std::string url = proxy.Url();
    url.insert(7, "al%69ce:s3c%40%3At@");
    UseEnvironment("https_proxy", url);
    EXPECT_EQ(client->Get(U16(secure.Url("/x")))->ContentAsString(), u"through");
    ASSERT_EQ(secure.Requests().size(), 1u);
    EXPECT_EQ(secure.Requests()[0].CountHeader("Proxy-Authorization"), 0);
    EXPECT_EQ(proxy.Requests().back().Header("Proxy-Authorization"),
              "Basic " + Base64Encode("alice:s3c@:t"));
}

TEST_F(ForwardingProxy, ARedirectThroughAnotherProxyTakesNoneOfTheFirstOnesCredentials) {
    TinyProxy first("alice", "s3cret");
    HostileProxy second(R"({"status": 200, "tunnel": true})");
    TestServer plain(TestServerOptions{R"({"/hop": {"status": 302, "headers": [["Location", ")" +
                                           secure.Url("/x") + R"("]]}})",
                                       0, true});
    UseEnvironment("http_proxy", first.Url());
    UseEnvironment("https_proxy", second.Url());
    client->CredentialsStorage().Add({TAuthTargetType::Proxy, u"", u"", u"alice", u"s3cret"});
    EXPECT_EQ(client->Get(U16(plain.Url("/hop")))->ContentAsString(), u"through");
    const auto tunnels = second.Requests();
    ASSERT_EQ(tunnels.size(), 1u);
    EXPECT_EQ(tunnels[0].CountHeader("Proxy-Authorization"), 0);
}

TEST_F(ForwardingProxy, ProxyCredentialsFromSettingsStoreOrCallback) {
    TinyProxy proxy("alice", "s3cret");
    client->ProxySettings().FHost = u"127.0.0.1";
    client->ProxySettings().FPort = proxy.Port();
    client->ProxySettings().FUserName = u"alice";
    client->ProxySettings().FPassword = u"s3cret";
    EXPECT_EQ(client->Get(U16(secure.Url("/x")))->ContentAsString(), u"through");

    // A stored proxy credential answers the proxy's challenge.
    auto stored = THTTPClient::Create();
    stored->ProxySettings().FHost = u"127.0.0.1";
    stored->ProxySettings().FPort = proxy.Port();
    stored->CredentialsStorage().Add(
        {TAuthTargetType::Proxy, u"Tinyproxy", u"", u"alice", u"s3cret"});
    EXPECT_EQ(stored->Get(U16(secure.Url("/x")))->ContentAsString(), u"through");

    // From the environment, with the callback asked for the proxy's realm and no URL.
    UseEnvironment("https_proxy", proxy.Url());
    auto asking = THTTPClient::Create();
    int asked = 0;
    asking->SetAuthCallback([&](TURLClient&, TAuthTargetType target, const UnicodeString& realm,
                                const UnicodeString& url, UnicodeString& user,
                                UnicodeString& password, bool&, TAuthPersistenceType&) {
        ++asked;
        EXPECT_EQ(target, TAuthTargetType::Proxy);
        EXPECT_EQ(realm, u"Tinyproxy");
        EXPECT_EQ(url, u"");
        user = u"alice";
        password = u"s3cret";
    });
    EXPECT_EQ(asking->Get(U16(secure.Url("/x")))->ContentAsString(), u"through");
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(secure.Requests().size(), 3u);
    for (const auto& r : secure.Requests())
        EXPECT_EQ(r.CountHeader("Proxy-Authorization"), 0);
}

// A proxy that answers CONNECT with something other than a tunnel. The client must not take
// the answer for the server's: only a 407 comes back, and what it says about cookies and
// locations is ignored.
struct ConnectAnswer {
    const char* Name;
    std::string Answer; // what hostile_proxy.py answers; "@PLAIN@" is the plain server's port
    bool Returned;      // comes back as a 407 response; otherwise a send failure
};

void PrintTo(const ConnectAnswer& answer, std::ostream* out) {
    *out << answer.Name;
}

class HostileConnect : public testing::TestWithParam<ConnectAnswer> {};

TEST_P(HostileConnect, OnlyA407ComesBackAndNothingItSaysIsTaken) {
    ScopedEnvironment env;
    for (const char* name : kProxyVariables)
        env.Unset(name);
    TestServer plain(TestServerOptions{R"({"/forged": {"body": "forged"}})", 0, true});
    std::string answer = GetParam().Answer;
    for (auto at = answer.find("@PLAIN@"); at != std::string::npos; at = answer.find("@PLAIN@"))
        answer.replace(at, 7, std::to_string(plain.Port()));
    HostileProxy proxy(answer);
    // As the user's proxy for https only: a plain-http target would be fetched directly.
    env.Set("https_proxy", proxy.Url());
    ForgetSystemProxyConfiguration();
    auto client = THTTPClient::Create();

    const UnicodeString url = u"https://localhost:" + IntToStr(test::UnusedPort()) + u"/v";
    if (GetParam().Returned) {
        auto response = client->Get(url);
        EXPECT_EQ(response->GetStatusCode(), 407);
        EXPECT_EQ(response->GetHeaderValue(u"Location"), u"");
        EXPECT_TRUE(response->GetCookies().empty());
    } else {
        try {
            client->Get(url);
            ADD_FAILURE() << "the proxy's answer was taken for the server's";
        } catch (const ENetHTTPClientException& e) {
            EXPECT_TRUE(e.Message().starts_with(u"Error sending data: (")) << ToUtf8(e.Message());
        }
    }
    EXPECT_TRUE(client->CookieManager()->Cookies().empty());
    EXPECT_TRUE(plain.Requests().empty());
    ASSERT_FALSE(proxy.Requests().empty());
    EXPECT_EQ(proxy.Requests()[0].method, "CONNECT");
}

const char* const kForgedHeaders =
    R"([["Location", "http://127.0.0.1:@PLAIN@/forged"], ["Set-Cookie", "p=1; Path=/"]])";

INSTANTIATE_TEST_SUITE_P(
    Answers, HostileConnect,
    testing::Values(
        ConnectAnswer{"Redirect",
                      std::string(R"({"status": 302, "headers": )") + kForgedHeaders + "}", false},
        ConnectAnswer{"OkWithAResponseForBody",
                      R"({"status": 200, "body": "HTTP/1.1 302 Found\r\nLocation: )"
                      R"(http://127.0.0.1:@PLAIN@/forged\r\nContent-Length: 0\r\n\r\n"})",
                      false},
        ConnectAnswer{"Forbidden", R"({"status": 403, "body": "no"})", false},
        ConnectAnswer{"BadGateway", R"({"status": 502, "body": "down"})", false},
        ConnectAnswer{"ProxyAuthentication",
                      std::string(R"({"auth": {"user": "u", "password": "p"}, "headers": )") +
                          kForgedHeaders + "}",
                      true}),
    [](const auto& answer) { return std::string(answer.param.Name); });

// The user's Kerberos ticket, from a realm of the test's own, against a server that asks every
// caller for it: only an intranet host is answered.
TEST(IntegratedLogon, OnlyIntranetHostsGetTheUsersTicket) {
    const std::string realm = test::MakeTempDir("velora-kdc-");
    std::unique_ptr<test::ChildProcess> kdc;
    ASSERT_NE(test::StartListeningHelper(kdc,
                                         {"/usr/bin/python3", TestServer::SupportDir() + "/kdc.py",
                                          realm, "localhost", "updates.velora.localhost"},
                                         realm + "/stdout"),
              0)
        << "the test realm did not start (krb5-kdc and krb5-admin-server installed?)";
    ScopedEnvironment env;
    for (const char* name : kProxyVariables)
        env.Unset(name);
    env.Set("KRB5_CONFIG", realm + "/krb5.conf");
    env.Set("KRB5CCNAME", "FILE:" + realm + "/ccache");
    TestServerOptions options{R"({"/ask": {"auth": {"scheme": "Negotiate"}, "body": "in"}})"};
    options.plain = true;
    TestServer server(options);

    struct Case {
        const char* Host;
        const char* NoProxy;
        bool Answered;
    };
    for (const Case& c : {Case{"localhost", "", true}, Case{"updates.velora.localhost", "", false},
                          Case{"updates.velora.localhost", ".velora.localhost", true}}) {
        SCOPED_TRACE(std::string(c.Host) + " no_proxy=" + c.NoProxy);
        env.Set("no_proxy", c.NoProxy);
        ForgetSystemProxyConfiguration();
        const std::string url =
            "http://" + std::string(c.Host) + ":" + std::to_string(server.Port()) + "/ask";
        auto response = THTTPClient::Create()->Get(U16(url));
        EXPECT_EQ(response->GetStatusCode(), c.Answered ? 200 : 401);
        const auto requests = server.Requests();
        ASSERT_FALSE(requests.empty());
        const std::string sent = requests.back().Header("Authorization").value_or("-");
        EXPECT_EQ(sent.rfind("Negotiate ", 0) == 0, c.Answered) << sent;
    }
}

} // namespace
} // namespace velora

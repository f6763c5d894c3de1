// Server certificates that fail validation, the validation callbacks, client-certificate
// requests and TLS versions, against the local server.
#include "http/http_client.hpp"
#include "rtl/exceptions.hpp"
#include "tests/support/test_server.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string_view>
#include <thread>

namespace velora {
namespace {

using test::TestServer;
using test::TestServerOptions;
using test::TestServerTls;
using R = THTTPSecureFailureReason;

template <class E, class F> UnicodeString MessageOf(F&& action) {
    try {
        action();
    } catch (const E& e) {
        return e.Message();
    } catch (const std::exception& e) {
        return u"<other exception> " + U16(e.what());
    }
    return u"<no exception>";
}

constexpr const char* kRoutes = R"({"/": {"body": "secret page"}})";

// The start of the message; Windows adds its text for the code.
#ifdef _WIN32
constexpr const char16_t* kNoCommonProtocol = u"Error sending data: (12175) ";
#else
constexpr const char16_t* kNoCommonProtocol = u"Error sending data: (35) SSL connect error";
#endif

struct BrokenCase {
    const char* Certificate;
    THTTPSecureFailureReason Reason;
};

class BrokenCertificate : public testing::TestWithParam<BrokenCase> {
protected:
    void SetUp() override {
        // The client cannot tell a certificate failure there (see the untrusted-server test);
        // the Windows classification is checked over a fake backend.
        if (test::UnderWine())
            GTEST_SKIP() << "Wine reports every TLS failure alike, without reasons";
    }
    TestServer server{TestServerOptions{kRoutes, 0, false, GetParam().Certificate}};
    std::unique_ptr<THTTPClient> client = THTTPClient::Create();
};

TEST_P(BrokenCertificate, FailsWithItsReasonWithoutACallback) {
    EXPECT_EQ(MessageOf<ENetHTTPCertificateException>([&] { client->Get(U16(server.Url("/"))); }),
              u"Server Certificate Invalid or not present");
    EXPECT_EQ(client->SecureFailureReasons(), THTTPSecureFailureReasons{GetParam().Reason});
    EXPECT_TRUE(server.Requests().empty());
}

TEST_P(BrokenCertificate, AcceptedByTheCallbackForThatRequestOnly) {
    std::vector<TCertificate> seen;
    std::vector<bool> presets;
    client->SetValidateServerCertificateCallback([&](THTTPClient&, const IHTTPRequest& request,
                                                     const TCertificate& certificate,
                                                     bool& accepted) {
        EXPECT_EQ(request.GetURL().Path(), u"/");
        seen.push_back(certificate);
        presets.push_back(accepted);
        accepted = true;
    });
    EXPECT_EQ(client->Get(U16(server.Url("/")))->ContentAsString(), u"secret page");
    EXPECT_EQ(client->Get(U16(server.Url("/")))->ContentAsString(), u"secret page");
    // Asked once per request, with the flag preset to "not accepted".
    EXPECT_EQ(presets, (std::vector<bool>{false, false}));
    ASSERT_FALSE(seen.empty());
    const TCertificate& c = seen[0];
    EXPECT_EQ(c.KeySize, 256); // P-256
    EXPECT_FALSE(c.SerialNum.empty());
    EXPECT_LT(c.Start, c.Expiry);
    const bool expired = std::string_view(GetParam().Certificate) == "expired";
    EXPECT_EQ(c.Expiry < std::chrono::system_clock::now(), expired);
    if (std::string_view(GetParam().Certificate) == "wronghost") {
        EXPECT_EQ(c.CertName, u"wrong.example");
        EXPECT_EQ(c.Subject, u"CN=wrong.example");
        EXPECT_EQ(c.Issuer, u"CN=Velora Test CA");
    } else {
        EXPECT_EQ(c.CertName, u"localhost");
    }
    EXPECT_EQ(server.Requests().size(), 2u);
}

TEST_P(BrokenCertificate, RejectedByTheEvent) {
    int asked = 0;
    client->SetValidateServerCertificateEvent(
        [&](THTTPClient&, const IHTTPRequest&, const TCertificate&, bool&) { ++asked; });
    EXPECT_EQ(MessageOf<ENetHTTPCertificateException>([&] { client->Get(U16(server.Url("/"))); }),
              u"Server Certificate not accepted");
    EXPECT_EQ(asked, 1);
    EXPECT_TRUE(server.Requests().empty());
}

INSTANTIATE_TEST_SUITE_P(Certificates, BrokenCertificate,
                         testing::Values(BrokenCase{"selfsigned", R::InvalidCA},
                                         BrokenCase{"expired", R::CertDateInvalid},
                                         BrokenCase{"wronghost", R::CertCNInvalid}),
                         [](const auto& param) { return std::string(param.param.Certificate); });

TEST(ServerCertificate, GoodOneIsShownBeforeTheRequestGoesOut) {
    TestServer server(TestServerOptions{kRoutes});
    auto client = THTTPClient::Create();
    std::vector<bool> presets;
    TCertificate seen;
    bool accept = true;
    client->SetValidateServerCertificateCallback(
        [&](THTTPClient&, const IHTTPRequest&, const TCertificate& certificate, bool& accepted) {
            seen = certificate;
            presets.push_back(accepted);
            accepted = accept;
        });
    EXPECT_EQ(client->Get(U16(server.Url("/")))->ContentAsString(), u"secret page");
    EXPECT_EQ(seen.CertName, u"localhost");
    EXPECT_NE(seen.Subject.find(u"localhost"), UnicodeString::npos) << ToUtf8(seen.Subject);
    EXPECT_NE(seen.Issuer.find(u"Velora Test CA"), UnicodeString::npos) << ToUtf8(seen.Issuer);
    EXPECT_FALSE(seen.SerialNum.empty());
    // P-256; Wine gives no length for elliptic-curve keys.
    EXPECT_EQ(seen.KeySize, test::UnderWine() ? 0 : 256);
    const auto now = std::chrono::system_clock::now();
    EXPECT_LT(seen.Start, now);
    EXPECT_GT(seen.Expiry, now);
    accept = false;
    EXPECT_EQ(MessageOf<ENetHTTPCertificateException>([&] { client->Get(U16(server.Url("/"))); }),
              u"Server Certificate not accepted");
    EXPECT_EQ(client->SecureFailureReasons(), THTTPSecureFailureReasons{R::CertNotAccepted});
    EXPECT_EQ(presets, (std::vector<bool>{true, true}));
    // Wine sends the request even after its handle was closed in the notification.
    EXPECT_EQ(server.Requests().size(), test::UnderWine() ? 2u : 1u);
    // The client stays usable.
    accept = true;
    EXPECT_EQ(client->Get(U16(server.Url("/")))->ContentAsString(), u"secret page");
}

TEST(ServerCertificate, CancellingFromTheCallbackStopsTheExchangeQuietly) {
    TestServer server(TestServerOptions{kRoutes});
    auto client = THTTPClient::Create();
    client->SetValidateServerCertificateCallback(
        [&](THTTPClient&, const IHTTPRequest& request, const TCertificate&, bool&) {
            // The request the callback is shown is the one in progress.
            const_cast<TURLRequest&>(dynamic_cast<const TURLRequest&>(request)).Cancel();
        });
    auto response = client->Get(U16(server.Url("/")));
    EXPECT_EQ(response->GetStatusCode(), 0);
    EXPECT_EQ(response->GetContentStream().Size(), 0);
}

TEST(ServerCertificate, NoCommonProtocolVersionIsASendError) {
    TestServer server(TestServerOptions{kRoutes}, TestServerTls{"1.2", ""});
    auto client = THTTPClient::Create();
    // Wine's WinHTTP negotiates TLS 1.2 whatever the protocols set.
    const bool refusesOtherSets = !test::UnderWine();
    if (refusesOtherSets) {
        client->SetSecureProtocols({THTTPSecureProtocol::TLS13});
        const UnicodeString refused =
            MessageOf<ENetHTTPClientException>([&] { client->Get(U16(server.Url("/"))); });
        EXPECT_TRUE(refused.starts_with(kNoCommonProtocol)) << ToUtf8(refused);
        EXPECT_EQ(client->SecureFailureReasons(),
                  THTTPSecureFailureReasons{R::SecurityChannelError});
    }

    // A set the server shares goes through, also where the platform has no TLS 1.3.
    client->SetSecureProtocols({THTTPSecureProtocol::TLS12, THTTPSecureProtocol::TLS13});
    EXPECT_EQ(client->Get(U16(server.Url("/")))->ContentAsString(), u"secret page");
    // Nothing older than TLS 1.2 is spoken: such a set is refused before anything is sent,
    // and the next request, with the platform's defaults, is not held to it.
    using P = THTTPSecureProtocol;
    for (const THTTPSecureProtocols old :
         {THTTPSecureProtocols{P::SSL3}, THTTPSecureProtocols{P::SSL3, P::TLS1, P::TLS11}}) {
        client->SetSecureProtocols(old);
        const UnicodeString message =
            MessageOf<ENetHTTPClientException>([&] { client->Get(U16(server.Url("/"))); });
        EXPECT_TRUE(message.starts_with(u"Error sending data: (")) << ToUtf8(message);
        EXPECT_EQ(client->SecureFailureReasons(),
                  THTTPSecureFailureReasons{R::SecurityChannelError});
    }
    EXPECT_TRUE(server.Requests().size() == 1u);
    client->SetSecureProtocols({});
    EXPECT_EQ(client->Get(U16(server.Url("/")))->ContentAsString(), u"secret page");
}

#ifndef _WIN32
// Revocation is judged from an OCSP answer the server staples, and never looked up: a signed
// "revoked" refuses the certificate, a signed "good" lets it through.
TEST(ServerCertificate, StapledRevocationRefusesTheCertificate) {
    const std::string ca = TestServer::CaDir();
    const std::string dir = test::MakeTempDir("velora-ocsp");
    const std::string script =
        "set -e; cd '" + dir + "'; ca='" + ca +
        "'; "
        "serial=$(openssl x509 -in \"$ca/server.pem\" -serial -noout | cut -d= -f2); "
        "until=$(date -u -d '+1 year' +%y%m%d%H%M%SZ); "
        "since=$(date -u -d '-1 day' +%y%m%d%H%M%SZ); "
        "printf 'R\\t%s\\t%s\\t%s\\tunknown\\t/CN=localhost\\n' \"$until\" \"$since\" "
        "\"$serial\" > revoked.txt; "
        "printf 'V\\t%s\\t\\t%s\\tunknown\\t/CN=localhost\\n' \"$until\" \"$serial\" > good.txt; "
        "for s in revoked good; do openssl ocsp -index $s.txt -rsigner \"$ca/ca.pem\" "
        "-rkey \"$ca/ca.key\" -CA \"$ca/ca.pem\" -issuer \"$ca/ca.pem\" "
        "-cert \"$ca/server.pem\" -respout $s.der -ndays 1 >/dev/null 2>&1; done";
    ASSERT_EQ(test::RunToEnd({"/bin/sh", "-c", script}), 0);
    for (const char* answer : {"revoked", "good"}) {
        const int port = test::UnusedPort();
        const test::ChildProcess server({"/usr/bin/openssl", "s_server", "-quiet", "-accept",
                                         std::to_string(port), "-cert", ca + "/server.pem", "-key",
                                         ca + "/server.key", "-status_file",
                                         dir + "/" + answer + ".der", "-www"},
                                        dir + "/" + answer + ".log");
        for (int i = 0; i < 100 && !test::Listening(port); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        auto client = THTTPClient::Create();
        const UnicodeString message = MessageOf<ENetException>(
            [&] { client->Get(u"https://localhost:" + IntToStr(port) + u"/"); });
        if (std::string_view(answer) == "revoked") {
            EXPECT_EQ(message, u"Server Certificate Invalid or not present");
            EXPECT_EQ(client->SecureFailureReasons(), THTTPSecureFailureReasons{R::CertRevoked});
        } else {
            EXPECT_NE(message, u"Server Certificate Invalid or not present");
            EXPECT_TRUE(client->SecureFailureReasons().Empty()) << ToUtf8(message);
        }
    }
}
#endif

class ClientCertificateRequest : public testing::TestWithParam<bool> {};

TEST_P(ClientCertificateRequest, IsAnsweredWithNoneAndSentAgain) {
    TestServer server(TestServerOptions{kRoutes}, TestServerTls{"", "optional"});
    auto client = THTTPClient::Create();
    int asked = 0;
    if (GetParam())
        client->SetNeedClientCertificateCallback([&](THTTPClient&, const IHTTPRequest&,
                                                     const TCertificateList&,
                                                     std::int32_t&) { ++asked; });
    EXPECT_EQ(client->Get(U16(server.Url("/")))->ContentAsString(), u"secret page");
    // No personal store here: the list is empty and the callback has nothing to choose from.
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(server.Requests().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutCallback, ClientCertificateRequest, testing::Bool());

TEST(ClientCertificate, ServerThatInsistsFailsTheSecondSend) {
    TestServer server(TestServerOptions{kRoutes}, TestServerTls{"", "required"});
    auto client = THTTPClient::Create();
    const UnicodeString message =
        MessageOf<ENetHTTPClientException>([&] { client->Get(U16(server.Url("/"))); });
#ifdef _WIN32
    // Wine has no message texts for WinHTTP's codes.
    const std::wregex expected(L"Error (sending|receiving) data: \\((12157|12030)\\) .*");
#else
    const std::wregex expected(L"Error (sending|receiving) data: \\((35|55|56)\\) .+");
#endif
    EXPECT_TRUE(std::regex_match(std::wstring(message.begin(), message.end()), expected))
        << ToUtf8(message);
}

} // namespace
} // namespace velora

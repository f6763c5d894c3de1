// The WinHTTP backend against the local HTTPS test server, which the driver
// (winhttp_server_wine.py) starts on the build machine before running this program under Wine:
// VELORA_WINE_SERVER is the server with the trusted certificate, VELORA_WINE_SELFSIGNED one
// whose certificate nobody trusts, VELORA_WINE_CLOSED a port nothing listens on.
#include "http/http_client.hpp"
#include "rtl/exceptions.hpp"
#include "rtl/win32.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace velora {
namespace {

UnicodeString Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? U16(value) : UnicodeString();
}

class WinHTTPServer : public ::testing::Test {
protected:
    void SetUp() override {
        FServer = Env("VELORA_WINE_SERVER");
        if (FServer.empty())
            GTEST_SKIP() << "run by winhttp_server_wine.py";
        FClient = THTTPClient::Create();
        ASSERT_TRUE(FClient);
    }
    UnicodeString Url(std::u16string_view path) const { return FServer + UnicodeString(path); }

    UnicodeString FServer;
    std::unique_ptr<THTTPClient> FClient;
};

bool UnderWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll && ::GetProcAddress(ntdll, "wine_get_version");
}

// The message of what a call raised, or "" when it raised nothing.
template <class F> std::string Failure(F&& call) {
    try {
        call();
    } catch (const Exception& e) {
        return ToUtf8(e.Message());
    }
    return "";
}

TEST_F(WinHTTPServer, ReturnsStatusHeadersAndWholeBodies) {
    auto text = FClient->Get(Url(u"/text"));
    EXPECT_EQ(text->GetStatusCode(), 200);
    EXPECT_EQ(text->GetStatusText(), u"OK");
    EXPECT_EQ(text->GetVersion(), THTTPProtocolVersion::HTTP_1_1);
    EXPECT_EQ(text->GetHeaderValue(u"x-test"), u"one, two");
    EXPECT_EQ(text->ContentAsString(), u"h\u00e9llo");

    // Several MiB arrive in many platform reads; chunked framing is the platform's to remove.
    auto big = FClient->Get(Url(u"/big"));
    EXPECT_EQ(big->GetContentLength(), 3 * 1048576 + 7);
    EXPECT_EQ(big->GetContentStream().Size(), 3 * 1048576 + 7);
    auto chunked = FClient->Get(Url(u"/chunked"));
    EXPECT_EQ(chunked->GetContentLength(), -1);
    EXPECT_EQ(chunked->ContentAsString(), u"in pieces");

    // The platform does not decode content: the layer above does, for gzip only.
    auto gzipped = FClient->Get(Url(u"/gzip"));
    EXPECT_EQ(gzipped->GetContentEncoding(), u"gzip");
    EXPECT_NE(gzipped->GetContentStream().Size(), 14);
    EXPECT_EQ(gzipped->ContentAsString(), u"packed content");

    auto missing = FClient->Get(Url(u"/missing"));
    EXPECT_EQ(missing->GetStatusCode(), 404);
    EXPECT_EQ(missing->ContentAsString(), u"not found");
}

// The server's log lines (one JSON object per request) for requests of that path.
std::vector<std::string> LoggedRequests(const std::string& path) {
    std::ifstream log(ToUtf8(Env("VELORA_WINE_SERVER_LOG")));
    std::vector<std::string> found;
    for (std::string line; std::getline(log, line);)
        if (line.find("\"path\": \"" + path + "\"") != std::string::npos)
            found.push_back(line);
    return found;
}

TEST_F(WinHTTPServer, SendsTheClientsHeadersAndOnlyThose) {
    FClient->CustomHeaders().push_back({u"X-Extra", u"1"});
    FClient->CustomHeaders().push_back({u"X-Extra", u"2"});
    const TNetHeaders headers{{u"User-Agent", u"Replaced/2.0"}, {u"X-Call", u"yes"}};
    EXPECT_EQ(FClient->Get(Url(u"/echo?q=1"), nullptr, &headers)->GetStatusCode(), 200);
    const auto logged = LoggedRequests("/echo?q=1");
    ASSERT_EQ(logged.size(), 1u);
    const std::string& line = logged[0];
    EXPECT_NE(line.find("[\"User-Agent\", \"Replaced/2.0\"]"), std::string::npos) << line;
    EXPECT_NE(line.find("[\"X-Extra\", \"1, 2\"]"), std::string::npos) << line;
    EXPECT_NE(line.find("[\"X-Call\", \"yes\"]"), std::string::npos) << line;
    for (const char* absent : {"Accept", "Accept-Encoding", "Cookie", "Authorization"})
        EXPECT_EQ(line.find(std::string("[\"") + absent + "\""), std::string::npos) << line;
}

TEST_F(WinHTTPServer, SilenceAndBrokenBodiesFailWithTheirStep) {
    FClient->SetResponseTimeout(1000);
    // Silence while the body comes: the read fails with the platform's timeout.
    const std::string reading = Failure([&] { FClient->Get(Url(u"/stall")); });
    EXPECT_TRUE(reading.starts_with("Error reading data: (12002) ")) << reading;
    // Silence before the headers: Windows gives up; Wine 8 waits for the answer.
    const std::string waiting = Failure([&] { FClient->Get(Url(u"/slow")); });
    if (!UnderWine()) {
        EXPECT_TRUE(waiting.starts_with("Error receiving data: (12002) ")) << waiting;
    }
    FClient->SetResponseTimeout(60000);
    // A body that breaks off before its announced length is no complete body.
    const std::string dropped = Failure([&] { FClient->Get(Url(u"/dropped")); });
    EXPECT_TRUE(dropped.starts_with("Error reading data: (")) << dropped;
}

TEST_F(WinHTTPServer, PlatformDecompressionAndProtocolSets) {
    FClient->SetAutomaticDecompression({THTTPCompressionMethod::GZip});
    const auto logged = [] {
        const auto requests = LoggedRequests("/gzip");
        return requests.empty() ? std::string() : requests.back();
    };
    if (UnderWine()) {
        // Wine 8 has no platform decompression: nothing is asked for, so a server that
        // honours that sends the body as it is.
        FClient->Get(Url(u"/gzip"));
        EXPECT_EQ(logged().find("Accept-Encoding"), std::string::npos) << logged();
    } else {
        // The platform asks for gzip and decodes it; the layer above leaves the body alone.
        auto decoded = FClient->Get(Url(u"/gzip"));
        EXPECT_EQ(decoded->ContentAsString(), u"packed content");
        EXPECT_EQ(decoded->GetContentStream().Size(), 14);
        EXPECT_NE(logged().find("Accept-Encoding"), std::string::npos) << logged();
    }

    using P = THTTPSecureProtocol;
    FClient->SetSecureProtocols({P::TLS12});
    EXPECT_EQ(FClient->Get(Url(u"/text"))->GetStatusCode(), 200);
    // A set that includes TLS 1.3 works also where the platform has no TLS 1.3.
    FClient->SetSecureProtocols({P::TLS12, P::TLS13});
    EXPECT_EQ(FClient->Get(Url(u"/text"))->GetStatusCode(), 200);
}

TEST_F(WinHTTPServer, RedirectsAreTheClientsUpToTheLimit) {
    auto response = FClient->Get(Url(u"/hop5"));
    EXPECT_EQ(response->GetStatusCode(), 200);
    EXPECT_EQ(response->ContentAsString(), u"arrived");
    EXPECT_EQ(Failure([&] { FClient->Get(Url(u"/hop6")); }),
              "Maximum number of redirections (5) exceeded");
    FClient->SetHandleRedirects(false);
    EXPECT_EQ(FClient->Get(Url(u"/hop1"))->GetStatusCode(), 302);
}

TEST_F(WinHTTPServer, ServerCertificateReachesTheCallbackBeforeTheSend) {
    TCertificate seen;
    int asked = 0;
    FClient->SetValidateServerCertificateCallback(
        [&](THTTPClient&, const IHTTPRequest&, const TCertificate& certificate, bool& accepted) {
            ++asked;
            seen = certificate;
            EXPECT_TRUE(accepted); // a certificate that passed comes preset as accepted
        });
    EXPECT_EQ(FClient->Get(Url(u"/text"))->GetStatusCode(), 200);
    ASSERT_GE(asked, 1);
    EXPECT_EQ(seen.CertName, u"localhost");
    EXPECT_NE(seen.Issuer.find(u"Velora Test CA"), UnicodeString::npos) << ToUtf8(seen.Issuer);
    EXPECT_NE(seen.Subject.find(u"localhost"), UnicodeString::npos) << ToUtf8(seen.Subject);
    EXPECT_FALSE(seen.SerialNum.empty());
    // P-256; Wine 8 gives no length for elliptic-curve keys.
    EXPECT_EQ(seen.KeySize, UnderWine() ? 0 : 256);
    const auto now = std::chrono::system_clock::now();
    EXPECT_LT(seen.Start, now);
    EXPECT_GT(seen.Expiry, now);

    // Refused on the send: the request is stopped and reported as not accepted.
    FClient->SetValidateServerCertificateCallback([](THTTPClient&, const IHTTPRequest&,
                                                     const TCertificate&,
                                                     bool& accepted) { accepted = false; });
    EXPECT_EQ(Failure([&] { FClient->Get(Url(u"/text")); }), "Server Certificate not accepted");
}

TEST_F(WinHTTPServer, UntrustedCertificateAndClosedPortFailTheSend) {
    const UnicodeString selfSigned = Env("VELORA_WINE_SELFSIGNED");
    const std::string untrusted = Failure([&] { FClient->Get(selfSigned + u"/text"); });
    // Windows names the certificate; Wine reports every TLS failure as a channel error.
    EXPECT_TRUE(untrusted == "Server Certificate Invalid or not present" ||
                untrusted.starts_with("Error sending data: (12157) "))
        << untrusted;
    const std::string refused = Failure([&] { FClient->Get(Env("VELORA_WINE_CLOSED") + u"/"); });
    EXPECT_TRUE(refused.starts_with("Error sending data: (12029) ")) << refused;
    // The client stays usable after a failure.
    EXPECT_EQ(FClient->Get(Url(u"/text"))->GetStatusCode(), 200);
}

} // namespace
} // namespace velora

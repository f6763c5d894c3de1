// WinHTTP's failure codes and notification flags through the HTTP layer's exchange, over a fake
// backend: the paths Wine cannot show (it reports every TLS failure as 12157 and never sends
// the secure-failure notification).
#include "http/winhttp_errors.hpp"
#include "http/winhttp_options.hpp"
#include "http/winhttp_watchdog.hpp"
#include "rtl/exceptions.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <optional>
#include <thread>

namespace velora {
namespace {

using TKind = TPlatformError::TKind;

TEST(WinHTTPPlatformError, CodesMapToTheirKind) {
    const struct {
        std::uint32_t code;
        TKind kind;
        std::int32_t reported; // the code the message carries
    } cases[] = {
        {12032, TKind::ResendRequested, 12032},
        {12044, TKind::ClientCertificateRequested, 12044},
        {12175, TKind::SecureChannel, 12175},
        {12017, TKind::Cancelled, 12017},
        {12157, TKind::Other, 12157},
        {12029, TKind::Other, 12029},
        {12002, TKind::Other, 12002},
        {12007, TKind::Other, 12007},
        // Socket errors Wine lets through, reported as Windows does.
        {10060, TKind::Other, 12002},
        {10054, TKind::Other, 12030},
        {10053, TKind::Other, 12030},
    };
    for (const auto& c : cases) {
        const TPlatformError error = winhttp::PlatformError(c.code);
        EXPECT_EQ(error.Code, c.reported) << c.code;
        EXPECT_EQ(error.Kind, c.kind) << c.code;
    }
}

TEST(WinHTTPPlatformError, SecureFailureFlagsBecomeReasons) {
    using R = THTTPSecureFailureReason;
    EXPECT_TRUE(winhttp::SecureFailureReasons(0).Empty());
    EXPECT_EQ(winhttp::SecureFailureReasons(0x8), (THTTPSecureFailureReasons{R::InvalidCA}));
    EXPECT_EQ(winhttp::SecureFailureReasons(0x80000000u),
              (THTTPSecureFailureReasons{R::SecurityChannelError}));
    EXPECT_EQ(
        winhttp::SecureFailureReasons(0x7F),
        (THTTPSecureFailureReasons{R::CertRevFailed, R::InvalidCert, R::CertRevoked, R::InvalidCA,
                                   R::CertCNInvalid, R::CertDateInvalid, R::CertWrongUsage}));
    // Flags the platform may add later mean nothing here.
    EXPECT_TRUE(winhttp::SecureFailureReasons(0x100).Empty());
}

TEST(WinHTTPOptions, ProtocolDecompressionAndLogonBecomePlatformValues) {
    using P = THTTPSecureProtocol;
    using C = THTTPCompressionMethod;
    EXPECT_EQ(winhttp::SecureProtocolFlags({}), 0u);
    EXPECT_EQ(winhttp::SecureProtocolFlags({P::SSL2, P::SSL3, P::TLS1}), 0x8u | 0x20u | 0x80u);
    EXPECT_EQ(winhttp::SecureProtocolFlags({P::TLS11, P::TLS12, P::TLS13}),
              0x200u | 0x800u | 0x2000u);
    EXPECT_EQ(winhttp::DecompressionFlags({C::Any}), 3u);
    EXPECT_EQ(winhttp::DecompressionFlags({C::GZip}), 1u);
    EXPECT_EQ(winhttp::DecompressionFlags({C::Deflate}), 2u);
    EXPECT_EQ(winhttp::DecompressionFlags({C::GZip, C::Deflate, C::Brotli}), 3u);
    EXPECT_EQ(winhttp::DecompressionFlags({C::Brotli}), 0u);
    // The user's logon offered to the intranet only (medium), or never (high); never low, which
    // offers it to any server.
    EXPECT_EQ(winhttp::AutoLogonPolicy(true), 0u);
    EXPECT_EQ(winhttp::AutoLogonPolicy(false), 2u);
    // The platform's redirects and cookies are always off. A certificate the callback accepted
    // lets its problems through on that request's connections, which are then not kept for
    // another request to reuse without a check.
    for (const bool accepted : {false, true}) {
        const winhttp::TSendSecurity security = winhttp::SendSecurity(accepted);
        EXPECT_EQ(security.DisabledFeatures & 0x3u, 0x3u);
        EXPECT_EQ((security.DisabledFeatures & 0x8u) != 0, accepted);
        EXPECT_EQ(security.IgnoredProblems, accepted ? 0x3300u : 0u);
    }
}

// Once the exchange's time is up, the watchdog closes the handle of every later hop too, not
// only the one it found open.
TEST(WinHTTPWatchdog, KeepsClosingWhatOpensAfterTheDeadline) {
    struct TTarget final : winhttp::TWatchdog::ITarget {
        std::atomic<int> Expired{0};
        std::chrono::steady_clock::time_point Deadline;
        void Expire() override { ++Expired; }
        std::optional<std::chrono::steady_clock::time_point> WatchedDeadline() const override {
            return Deadline;
        }
    } target;
    const auto start = std::chrono::steady_clock::now();
    target.Deadline = start;
    winhttp::TWatchdog watchdog(target, TMinimumRate{});
    while (target.Expired < 2 && std::chrono::steady_clock::now() - start < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_GE(target.Expired.load(), 2);
}

// One send as the fake platform answers it: success, or a failed send or receive with a code,
// after a secure-failure notification with the given flags (0: none came).
struct TStep {
    std::uint32_t code = 0;
    bool receive = false;
    std::uint32_t notifiedFlags = 0;
};

class TFakeRequest final : public THTTPRequest {
public:
    TFakeRequest(THTTPClient& client, UnicodeString method, TURI url)
        : THTTPRequest(client, std::move(method), std::move(url)) {}

protected:
    void DoOpenRequestHandles() override {}
};

class TFakeResponse final : public THTTPResponse {
public:
    TFakeResponse(std::shared_ptr<THTTPRequest> request, TStream* content)
        : THTTPResponse(std::move(request), content, {}) {}

protected:
    UnicodeString DoGetHeaderBlock() override { return u"HTTP/1.1 200 OK\r\n\r\n"; }
    std::int32_t DoGetStatusCode() override { return 200; }
    UnicodeString DoGetStatusText() override { return u"OK"; }
    UnicodeString DoGetVersionText() override { return u"HTTP/1.1"; }
};

class TFakeWinHTTPClient final : public THTTPClient {
public:
    explicit TFakeWinHTTPClient(std::deque<TStep> steps) : FSteps(std::move(steps)) {}
    int Sends = 0;

protected:
    std::shared_ptr<THTTPRequest> DoGetHTTPRequestInstance(const UnicodeString& method,
                                                           const TURI& url) override {
        return std::make_shared<TFakeRequest>(*this, method, url);
    }
    std::shared_ptr<THTTPResponse>
    DoGetHTTPResponseInstance(const std::shared_ptr<THTTPRequest>& request,
                              TStream* content) override {
        return std::make_shared<TFakeResponse>(request, content);
    }
    TSendOutcome DoSendAndReceive(THTTPRequest& request, THTTPResponse&) override {
        ++Sends;
        const TStep step = FSteps.empty() ? TStep{} : FSteps.front();
        if (!FSteps.empty())
            FSteps.pop_front();
        if (step.notifiedFlags != 0)
            FSecureFailureReasons = winhttp::SecureFailureReasons(step.notifiedFlags);
        if (step.code == 0)
            return TSendOutcome::Completed;
        return ClassifySendError(request, winhttp::PlatformError(step.code),
                                 step.receive ? u"Error receiving data: (%d) %s"
                                              : u"Error sending data: (%d) %s");
    }
    void DoReadResponseBody(THTTPRequest&, THTTPResponse&) override {}

private:
    std::deque<TStep> FSteps;
};

struct TFailureCase {
    const char* name;
    std::deque<TStep> steps;
    const char* exceptionClass; // nullptr: the request succeeds
    UnicodeString message;      // the expected message, "%s" for the platform's text
    int sends;
};

void PrintTo(const TFailureCase& c, std::ostream* os) {
    *os << c.name;
}

class WinHTTPFailures : public ::testing::TestWithParam<TFailureCase> {};

TEST_P(WinHTTPFailures, EndAsTheClassificationSays) {
    const TFailureCase& c = GetParam();
    TFakeWinHTTPClient client(c.steps);
    const auto run = [&] { return client.Get(u"https://updates.test/v"); };
    if (c.exceptionClass == nullptr) {
        EXPECT_EQ(run()->GetStatusCode(), 200);
    } else {
        try {
            run();
            ADD_FAILURE() << "no failure";
        } catch (const Exception& e) {
            const std::uint32_t code = c.steps.back().code;
            const UnicodeString expected = Format(c.message, {winhttp::PlatformError(code).Text});
            EXPECT_EQ(ToUtf8(e.Message()), ToUtf8(expected));
            const bool certificate = dynamic_cast<const ENetHTTPCertificateException*>(&e);
            const bool sending = dynamic_cast<const ENetHTTPClientException*>(&e);
            EXPECT_EQ(std::string(c.exceptionClass),
                      certificate ? "certificate" : (sending ? "client" : "other"));
        }
    }
    EXPECT_EQ(client.Sends, c.sends);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, WinHTTPFailures,
    ::testing::Values(
        // A certificate problem the notification named: the certificate is rejected.
        TFailureCase{"untrusted_ca",
                     {{12175, false, 0x8}},
                     "certificate",
                     u"Server Certificate Invalid or not present",
                     1},
        TFailureCase{"expired",
                     {{12175, false, 0x20}},
                     "certificate",
                     u"Server Certificate Invalid or not present",
                     1},
        // No notification at all still counts as a certificate problem.
        TFailureCase{"no_notification",
                     {{12175, false, 0}},
                     "certificate",
                     u"Server Certificate Invalid or not present",
                     1},
        // Only the channel failed (no common protocol or cipher): a send failure.
        TFailureCase{"channel_only",
                     {{12175, false, 0x80000000u}},
                     "client",
                     u"Error sending data: (12175) %s",
                     1},
        TFailureCase{"channel_on_receive",
                     {{12175, true, 0x80000000u}},
                     "client",
                     u"Error receiving data: (12175) %s",
                     1},
        // What Wine reports for every TLS failure.
        TFailureCase{"wine_secure_channel_error",
                     {{12157, false, 0}},
                     "client",
                     u"Error sending data: (12157) %s",
                     1},
        TFailureCase{
            "refused", {{12029, false, 0}}, "client", u"Error sending data: (12029) %s", 1},
        TFailureCase{"timeout_waiting",
                     {{12002, true, 0}},
                     "client",
                     u"Error receiving data: (12002) %s",
                     1},
        TFailureCase{"resend", {{12032, false, 0}, {0, false, 0}}, nullptr, u"", 2},
        TFailureCase{"client_certificate", {{12044, false, 0}, {0, false, 0}}, nullptr, u"", 2},
        TFailureCase{"cancelled_plainly", {{12017, false, 0}}, nullptr, u"", 1}),
    [](const auto& param) { return std::string(param.param.name); });

} // namespace
} // namespace velora

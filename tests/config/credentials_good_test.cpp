// LoadConfiguration with a credential set of this test: the build compiled it in, the first
// phase decrypts all five texts, and the endpoints follow.
#include "config/credential_set.hpp"
#include "credentials_test_support.hpp"

namespace velora::credtest {
namespace {

TEST_F(CredentialsTest, TheBuildCarriesThePasswordExactly) {
    // Blanks at both ends, quotes, '=', backslashes and '#' included.
    EXPECT_EQ(kCredentialSet.Password, U16(ReadSetFile("password.txt")));
    EXPECT_EQ(kCredentialSet.Password.size(), 256u);
}

TEST_F(CredentialsTest, LoadConfigurationDecryptsAllFiveThenAssignsTheEndpoints) {
    customtypes::LoadConfiguration();
    const auto expected = ExpectedCredentials();
    const auto actual = Credentials();
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(*actual[i], expected[i]) << "credential " << i;
    }
    EXPECT_FALSE(customtypes::controllerurl.empty());
    EXPECT_EQ(customtypes::streamurl, customtypes::controllerurl + u"getsong.php");
}

#ifdef VELORA_WITH_LAUNCHER
// The counterpart of the damaged set's test: with good credentials the launcher does ask.
TEST_F(CredentialsTest, LauncherAsksTheServerAndStartsThePlayer) {
    const LauncherRun run = RunLauncher();
    ASSERT_EQ(run.requests.size(), 1u);
    EXPECT_EQ(run.requests[0].path, "/library/controllers/velora-softwareversion");
    ASSERT_EQ(run.platform.started.size(), 1u);
    EXPECT_FALSE(run.platform.started[0].first.empty());
}
#endif

} // namespace
} // namespace velora::credtest

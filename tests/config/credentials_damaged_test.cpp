// LoadConfiguration with a set whose third ciphertext is damaged: the first two credentials are
// set, the rest stay empty, no endpoint is assigned, and the launcher falls back at once.
#include "credentials_test_support.hpp"

namespace velora::credtest {
namespace {

TEST_F(CredentialsTest, StopsAtTheDamagedCredentialAndAssignsNoEndpoint) {
    try {
        customtypes::LoadConfiguration();
        FAIL() << "the damaged set decrypted";
    } catch (const EEncodingError& e) {
        EXPECT_EQ(e.Message(), SNoMappingForUnicode);
    }
    const auto expected = ExpectedCredentials();
    const auto actual = Credentials();
    EXPECT_EQ(*actual[0], expected[0]);
    EXPECT_EQ(*actual[1], expected[1]);
    EXPECT_TRUE(actual[2]->empty());
    EXPECT_TRUE(actual[3]->empty());
    EXPECT_TRUE(actual[4]->empty());
    for (const UnicodeString* endpoint : {&customtypes::apiurl, &customtypes::controllerurl,
                                          &customtypes::streamurl, &customtypes::serviceapiurl}) {
        EXPECT_TRUE(endpoint->empty());
    }
}

#ifdef VELORA_WITH_LAUNCHER
TEST_F(CredentialsTest, LauncherMakesNoRequestAndStartsAnEmptyPlayerPath) {
    const LauncherRun run = RunLauncher();
    EXPECT_TRUE(run.requests.empty());
    // The failure comes before the install paths: nothing else of the platform was touched.
    EXPECT_EQ(run.platform.events, (std::vector<std::string>{"start |"}));
    ASSERT_EQ(run.platform.started.size(), 1u);
    EXPECT_TRUE(run.platform.started[0].first.empty());
}
#endif

} // namespace
} // namespace velora::credtest

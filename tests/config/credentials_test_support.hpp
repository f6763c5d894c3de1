// Shared by the credential tests: the texts the test sets were made from, and the launcher run
// against the local test server.
#pragma once

#include "config/customtypes.hpp"
#include "rtl/exceptions.hpp"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <iterator>
#include <string>

#ifdef VELORA_WITH_LAUNCHER
#include "launcher/sequence.hpp"
#include "tests/launcher/fake_platform.hpp"
#include "tests/support/test_server.hpp"
#endif

namespace velora::credtest {

inline std::string ReadSetFile(const std::string& name) {
    std::ifstream in(std::string(VELORA_CREDENTIAL_SETS_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The plaintexts of LocalFileCrypto, httpuser, httppass, secret and apisecret.
inline std::array<UnicodeString, 5> ExpectedCredentials() {
    std::array<UnicodeString, 5> texts;
    const char* names[] = {"LocalFileCrypto", "httpuser", "httppass", "secret", "apisecret"};
    for (std::size_t i = 0; i < texts.size(); ++i) {
        texts[i] = U16(ReadSetFile(std::string(names[i]) + ".txt"));
    }
    return texts;
}

inline std::array<const UnicodeString*, 5> Credentials() {
    using namespace customtypes;
    return {&LocalFileCrypto, &httpuser, &httppass, &secret, &apisecret};
}

class CredentialsTest : public testing::Test {
protected:
    void SetUp() override { customtypes::FinalizeConfiguration(); }
    void TearDown() override { customtypes::FinalizeConfiguration(); }
};

#ifdef VELORA_WITH_LAUNCHER
struct LauncherRun {
    test::FakePlatform platform;
    std::vector<test::LoggedRequest> requests;
};

// The launcher's sequence with the real configuration and HTTP client, over a fake platform,
// against a server on the port the test build aims at, which says version 0 is current.
inline LauncherRun RunLauncher() {
    test::TestServerOptions options;
    options.port = VELORA_CREDENTIALS_TEST_PORT;
    options.routesJson = R"({"/library/controllers/velora-softwareversion": {"body": "0"}})";
    test::TestServer server(options);
    LauncherRun run;
    TLauncher launcher(run.platform, customtypes::LoadConfiguration, CreateLauncherClient);
    launcher.Run();
    launcher.Finalize();
    run.requests = server.Requests();
    return run;
}
#endif

} // namespace velora::credtest

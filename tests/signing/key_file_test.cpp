// The update keys file as velora-sign reads it, and as the build compiled the same file in.
#include "signing/key_file.hpp"
#include "signing/update_keys.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace velora {
namespace {

namespace fs = std::filesystem;

const fs::path kKeysDir = fs::path(VELORA_SIGNING_TEST_DATA) / "keys";

std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The build compiled good-rotated.pem into this program; reading it here must agree.
TEST(UpdateKeyFile, ReadsWhatTheBuildCompiledIn) {
    const std::vector<TP256PublicKey> keys =
        ParseUpdateKeyFile(Read(kKeysDir / "good-rotated.pem"));
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_TRUE(
        std::equal(keys.begin(), keys.end(), kUpdatePublicKeys.begin(), kUpdatePublicKeys.end()));
    EXPECT_NE(keys[0], keys[1]);
}

// Each bad-*.pem says on its first line what must be reported ("# expect: <text>"); the build
// refuses the same files (the update_keys_build_refuses_* tests).
TEST(UpdateKeyFile, RefusesEachBadFileWithItsReason) {
    int files = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(kKeysDir)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with("bad-")) {
            continue;
        }
        ++files;
        const std::string text = Read(entry.path());
        const std::string expect = text.substr(10, text.find('\n') - 10);
        ASSERT_TRUE(text.starts_with("# expect: ")) << name;
        try {
            ParseUpdateKeyFile(text);
            ADD_FAILURE() << name << ": accepted";
        } catch (const EUpdateKeyFileError& e) {
            EXPECT_NE(std::string(e.what()).find(expect), std::string::npos)
                << name << ": " << e.what();
        }
    }
    EXPECT_GE(files, 10);
}

} // namespace
} // namespace velora

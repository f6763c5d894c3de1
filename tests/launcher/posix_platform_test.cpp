#include "launcher/platform.hpp"
#include "launcher/platform_posix.hpp"
#include "rtl/exceptions.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace velora {
namespace {

namespace fs = std::filesystem;

struct FolderCase {
    const char* xdg;
    const char* home;
    std::string passwd;
    std::u16string_view expected;
};

class LocalDataFolder : public testing::TestWithParam<FolderCase> {};

TEST_P(LocalDataFolder, FollowsTheBaseDirectoryRules) {
    const FolderCase& c = GetParam();
    EXPECT_EQ(posix::LocalDataFolder(c.xdg, c.home, [&] { return c.passwd; }), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LocalDataFolder,
    testing::Values(FolderCase{"/x/data", "/home/u", "/pw", u"/x/data"},
                    FolderCase{"/x/data//", "/home/u", "/pw", u"/x/data"},
                    FolderCase{"relative", "/home/u", "/pw", u"/home/u/.local/share"},
                    FolderCase{"", "/home/u/", "/pw", u"/home/u/.local/share"},
                    FolderCase{nullptr, nullptr, "/pw", u"/pw/.local/share"},
                    FolderCase{nullptr, "", "/pw", u"/pw/.local/share"},
                    FolderCase{nullptr, "rel", "/pw", u"/pw/.local/share"},
                    FolderCase{nullptr, nullptr, "", u""}, FolderCase{"/", "/h", "", u""},
                    FolderCase{nullptr, "/", "", u"/.local/share"},
                    FolderCase{"/d/\xC3\xA9t\xC3\xA9", nullptr, "", u"/d/\u00E9t\u00E9"}));

class PosixPlatform : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/velora-platform-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        FDir = pattern;
        FPlatform = CreatePlatform();
    }
    void TearDown() override { fs::remove_all(FDir); }

    static std::string ReadFile(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream out;
        out << in.rdbuf();
        return out.str();
    }

    // Waits for a detached program to leave its record.
    static std::string WaitForFile(const fs::path& path) {
        for (int i = 0; i < 500; ++i) {
            if (fs::exists(path.string() + ".done")) {
                return ReadFile(path);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return "(nothing)";
    }

    fs::path FDir;
    std::unique_ptr<IPlatform> FPlatform;
};

TEST_F(PosixPlatform, FolderOfTheDataHome) {
    ::setenv("XDG_DATA_HOME", (FDir / "data").c_str(), 1);
    EXPECT_EQ(FPlatform->ShellFolderPath(CSIDL_LOCAL_APPDATA), U16((FDir / "data").string()));
    EXPECT_EQ(FPlatform->ShellFolderPath(26), u"");
    ::unsetenv("XDG_DATA_HOME");
    ::setenv("HOME", FDir.c_str(), 1);
    EXPECT_EQ(FPlatform->ShellFolderPath(CSIDL_LOCAL_APPDATA),
              U16((FDir / ".local/share").string()));
}

TEST_F(PosixPlatform, FoldersAndFiles) {
    const UnicodeString sub = U16((FDir / "a").string());
    EXPECT_FALSE(FPlatform->FolderExists(sub));
    EXPECT_TRUE(FPlatform->MakeFolder(sub));
    EXPECT_TRUE(FPlatform->FolderExists(sub));
    EXPECT_FALSE(FPlatform->MakeFolder(sub));
    EXPECT_FALSE(FPlatform->MakeFolder(U16((FDir / "x/y").string())));

    const UnicodeString file = sub + u"/updater.exe";
    EXPECT_FALSE(FPlatform->RemoveFile(file));
    {
        const auto stream = FPlatform->CreateFileStream(file);
        stream->WriteBuffer("#!", 2);
    }
    EXPECT_FALSE(FPlatform->FolderExists(file));
    // The downloaded program must be startable.
    struct stat st {};
    ASSERT_EQ(::stat(ToUtf8(file).c_str(), &st), 0);
    EXPECT_NE(st.st_mode & S_IXUSR, 0u);
    EXPECT_TRUE(FPlatform->RemoveFile(file));
    EXPECT_FALSE(fs::exists(ToUtf8(file)));
}

TEST_F(PosixPlatform, ReadsProfileFilesInTheirEncoding) {
    const fs::path utf16 = FDir / "utf16.ini";
    {
        std::ofstream out(utf16, std::ios::binary);
        const std::u16string text = u"\uFEFF[Velora Player]\r\nLocalVersion= 0x1F \r\n";
        for (const char16_t c : text) {
            out.put(static_cast<char>(c & 0xFF)).put(static_cast<char>(c >> 8));
        }
    }
    EXPECT_EQ(
        FPlatform->ReadProfileString(u"VELORA PLAYER", u"localversion", u"d", U16(utf16.string())),
        u"0x1F");
    std::ofstream(FDir / "ansi.ini", std::ios::binary) << "[Velora Player]\nLocalVersion=\xE9\n";
    EXPECT_EQ(FPlatform->ReadProfileString(u"Velora Player", u"LocalVersion", u"d",
                                           U16((FDir / "ansi.ini").string())),
              u"\u00E9");
    EXPECT_EQ(FPlatform->ReadProfileString(u"Velora Player", u"LocalVersion", u"d",
                                           U16((FDir / "missing.ini").string())),
              u"d");
    // A folder where the file should be reads as missing.
    EXPECT_EQ(
        FPlatform->ReadProfileString(u"Velora Player", u"LocalVersion", u"d", U16(FDir.string())),
        u"d");
}

TEST_F(PosixPlatform, StartsProgramsDetachedWithSplitArguments) {
    const fs::path stub = FDir / "stub";
    const fs::path record = FDir / "record";
    std::ofstream(stub) << "#!/bin/sh\n"
                           "{ for a in \"$@\"; do echo \"[$a]\"; done\n"
                           "  echo \"sid $(cut -d' ' -f6 /proc/$$/stat)\"\n"
                           "  grep '^SigIgn' /proc/$$/status; } > \""
                        << record.string() << "\"\ntouch \"" << record.string() << ".done\"\n";
    fs::permissions(stub, fs::perms::owner_all);

    ::signal(SIGPIPE, SIG_IGN);
    EXPECT_TRUE(FPlatform->StartProgram(U16(stub.string()), u"37 velora \"a b\" c\\\"d"));
    const std::string text = WaitForFile(record);
    EXPECT_NE(text.find("[37]\n[velora]\n[a b]\n[c\"d]\n"), std::string::npos) << text;
    // Its own session, and SIGPIPE back to its default.
    EXPECT_EQ(text.find("sid " + std::to_string(::getsid(0)) + "\n"), std::string::npos) << text;
    const std::size_t ign = text.find("SigIgn:\t");
    ASSERT_NE(ign, std::string::npos) << text;
    EXPECT_EQ(std::stoull(text.substr(ign + 8, 16), nullptr, 16) & (1ull << (SIGPIPE - 1)), 0u);
}

TEST_F(PosixPlatform, StartingNothingOrAMissingProgramFailsQuietly) {
    EXPECT_FALSE(FPlatform->StartProgram(u"", u""));
    EXPECT_FALSE(FPlatform->StartProgram(U16((FDir / "missing").string()), u"1 velora"));
    std::ofstream(FDir / "plain") << "not a program";
    EXPECT_FALSE(FPlatform->StartProgram(U16((FDir / "plain").string()), u""));
}

TEST(InformationMessage, FailsWithoutADisplay) {
    ::unsetenv("DISPLAY");
    ::unsetenv("WAYLAND_DISPLAY");
    EXPECT_THROW(CreatePlatform()->ShowInformationMessage(u"text"), Exception);
}

} // namespace
} // namespace velora

// The Win32 launcher platform on the platform itself (under Wine here): the folder lookup, the
// profile reader, file creation without sharing, the information message and program start.
#include "launcher/platform.hpp"
#include "launcher/platform_win32.hpp"
#include "rtl/exceptions.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

namespace velora {

namespace win32 {
void PrintTo(TMessageMechanism mechanism, std::ostream* os) {
    *os << (mechanism == TMessageMechanism::TaskDialog ? "TaskDialog" : "MessageBox");
}
} // namespace win32

namespace {

using win32::W;

// A fresh folder under the temporary folder, removed with its files at the end.
class TempFolder {
public:
    TempFolder() {
        wchar_t base[MAX_PATH + 1] = {};
        ::GetTempPathW(MAX_PATH, base);
        FPath = win32::FromW(base) + u"velora-win32-" + IntToStr(::GetCurrentProcessId()) + u"-" +
                IntToStr(++Counter());
        ::CreateDirectoryW(W(FPath), nullptr);
    }
    ~TempFolder() {
        WIN32_FIND_DATAW found;
        const UnicodeString pattern = FPath + u"\\*";
        const HANDLE search = ::FindFirstFileW(W(pattern), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const UnicodeString file = FPath + u"\\" + win32::FromW(found.cFileName);
                ::DeleteFileW(W(file));
            } while (::FindNextFileW(search, &found));
            ::FindClose(search);
        }
        ::RemoveDirectoryW(W(FPath));
    }
    UnicodeString File(std::u16string_view name) const {
        return FPath + u"\\" + UnicodeString(name);
    }
    const UnicodeString& Path() const { return FPath; }

private:
    static int& Counter() {
        static int counter = 0;
        return counter;
    }
    UnicodeString FPath;
};

void WriteBytes(const UnicodeString& path, std::string_view bytes) {
    const HANDLE file = ::CreateFileW(W(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(file);
}

TEST(Win32Platform, LocalAppDataFolderIsAnExistingFolderWithoutTrailingDelimiter) {
    const auto platform = CreatePlatform();
    const UnicodeString folder = platform->ShellFolderPath(CSIDL_LOCAL_APPDATA);
    ASSERT_FALSE(folder.empty());
    EXPECT_NE(folder.back(), u'\\');
    EXPECT_TRUE(platform->FolderExists(folder));
    // A folder number the shell does not know gives empty text.
    EXPECT_EQ(platform->ShellFolderPath(0x7F), u"");
}

TEST(Win32Platform, FoldersAreMadeOnlyWhereTheParentExists) {
    const auto platform = CreatePlatform();
    TempFolder temp;
    const UnicodeString child = temp.File(u"child");
    EXPECT_FALSE(platform->FolderExists(child));
    EXPECT_TRUE(platform->MakeFolder(child));
    EXPECT_TRUE(platform->FolderExists(child));
    EXPECT_FALSE(platform->MakeFolder(child)); // exists already
    EXPECT_FALSE(platform->MakeFolder(temp.File(u"missing\\grandchild")));
    // A file of that name is not a folder.
    WriteBytes(temp.File(u"plain"), "x");
    EXPECT_FALSE(platform->FolderExists(temp.File(u"plain")));
    ::RemoveDirectoryW(W(child));
}

struct ProfileCase {
    const char* name;
    std::string_view bytes;
    const char16_t* expected;
};

void PrintTo(const ProfileCase& c, std::ostream* os) {
    *os << c.name;
}

class Win32ProfileReader : public ::testing::TestWithParam<ProfileCase> {};

TEST_P(Win32ProfileReader, ReadsTheValueAsTheRulesSay) {
    const auto platform = CreatePlatform();
    TempFolder temp;
    const UnicodeString file = temp.File(u"settings.ini");
    WriteBytes(file, GetParam().bytes);
    EXPECT_EQ(ToUtf8(platform->ReadProfileString(u"Velora Player", u"LocalVersion", u"", file)),
              ToUtf8(GetParam().expected));
    platform->FlushProfile(file);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Win32ProfileReader,
    ::testing::Values(
        ProfileCase{"plain", "[Velora Player]\r\nLocalVersion=12\r\n", u"12"},
        ProfileCase{"case_of_section_and_key", "[velora player]\r\nLOCALVERSION=7\r\n", u"7"},
        ProfileCase{"blanks_trimmed", "[Velora Player]\r\n  LocalVersion  =  31  \r\n", u"31"},
        ProfileCase{"quotes_removed", "[Velora Player]\r\nLocalVersion=\"$1F\"\r\n", u"$1F"},
        ProfileCase{"comment_line", "[Velora Player]\r\n;LocalVersion=1\r\nLocalVersion=2\r\n",
                    u"2"},
        ProfileCase{"first_key_wins", "[Velora Player]\r\nLocalVersion=3\r\nLocalVersion=4\r\n",
                    u"3"},
        ProfileCase{"other_section", "[Other]\r\nLocalVersion=5\r\n", u""},
        ProfileCase{"missing_key", "[Velora Player]\r\nVersion=5\r\n", u""},
        ProfileCase{"unix_line_ends", "[Velora Player]\nLocalVersion=6\n", u"6"},
        ProfileCase{"utf8_with_mark", "\xEF\xBB\xBF[Velora Player]\r\nLocalVersion=8\r\n", u"8"},
        ProfileCase{"utf16_with_mark",
                    std::string_view("\xFF\xFE[\0V\0e\0l\0o\0r\0a\0 \0P\0l\0a\0y\0e\0r\0]\0\r\0\n\0"
                                     "L\0o\0c\0a\0l\0V\0e\0r\0s\0i\0o\0n\0=\0009\0\r\0\n\0",
                                     70),
                    u"9"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(Win32Platform, ProfileValuesAreCutToTheBuffer) {
    const auto platform = CreatePlatform();
    TempFolder temp;
    const UnicodeString file = temp.File(u"long.ini");
    WriteBytes(file, "[Velora Player]\r\nLocalVersion=" + std::string(3000, '7') + "\r\n");
    EXPECT_EQ(platform->ReadProfileString(u"Velora Player", u"LocalVersion", u"", file).size(),
              2047u);
    // A missing file gives the default.
    EXPECT_EQ(platform->ReadProfileString(u"Velora Player", u"LocalVersion", u"d",
                                          temp.File(u"none.ini")),
              u"d");
}

TEST(Win32Platform, DownloadFileIsNewUnsharedAndReplacesNothing) {
    const auto platform = CreatePlatform();
    TempFolder temp;
    const UnicodeString path = temp.File(u"updater.exe.part");
    const UnicodeString updater = temp.File(u"updater.exe");
    const UnicodeString prefix = u"Cannot create file \"" + path + u"\". ";
    auto expectRefused = [&] {
        try {
            platform->CreateFileStream(path);
            ADD_FAILURE() << "created over what was there";
        } catch (const EFCreateError& e) {
            ASSERT_GT(e.Message().size(), prefix.size());
            EXPECT_EQ(ToUtf8(e.Message().substr(0, prefix.size())), ToUtf8(prefix));
        }
    };
    WriteBytes(path, "old contents");
    expectRefused(); // a file already there stays
    ASSERT_TRUE(platform->RemoveFile(path));
    {
        const auto stream = platform->CreateFileStream(path);
        stream->WriteBuffer("new", 3);
        stream->Flush();
        // Held open without sharing: neither a second creation nor a deletion gets through.
        expectRefused();
        EXPECT_FALSE(platform->RemoveFile(path));
        stream->Close();
    }
    // The rename leaves what appeared at the new name alone.
    WriteBytes(updater, "planted");
    EXPECT_FALSE(platform->RenameFile(path, updater));
    ASSERT_TRUE(platform->RemoveFile(updater));
    EXPECT_TRUE(platform->RenameFile(path, updater));
    EXPECT_FALSE(platform->RemoveFile(path));
    EXPECT_TRUE(platform->RemoveFile(updater));
    EXPECT_THROW(platform->CreateFileStream(temp.File(u"missing\\updater.exe")), EFCreateError);
}

TEST(Win32Platform, StartsProgramsWithTheirParameters) {
    const auto platform = CreatePlatform();
    TempFolder temp;
    const UnicodeString program = temp.File(u"updater.exe");
    ASSERT_TRUE(::CopyFileW(W(U16(VELORA_STUB_PROGRAM)), W(program), FALSE));
    EXPECT_FALSE(platform->StartProgram(u"", u""));
    ASSERT_TRUE(platform->StartProgram(program, u"42 velora"));
    const UnicodeString record = program + u".args";
    for (int i = 0; i < 300 && ::GetFileAttributesW(W(record)) == INVALID_FILE_ATTRIBUTES; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::ifstream in(ToUtf8(record));
    std::string self, first, second;
    std::getline(in, self);
    std::getline(in, first);
    std::getline(in, second);
    EXPECT_EQ(first, "42");
    EXPECT_EQ(second, "velora");
    in.close();
    // The stub may still be ending; the folder goes once it has.
    for (int i = 0; i < 50 && !::DeleteFileW(W(program)); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

// Closes the message once it shows and notes what it looked like. A timer of the test's own
// thread, run by the message's modal loop: a helper thread, joined, would still be ending (and
// loading the unwinder's library) when a test that ends at once ends the process.
class MessageCloser {
public:
    explicit MessageCloser(HWND owner) : FOwner(owner) {
        Active = this;
        FTimer = ::SetTimer(nullptr, 0, 50, &MessageCloser::OnTimer);
    }
    ~MessageCloser() {
        if (FTimer) {
            ::KillTimer(nullptr, FTimer);
        }
        Active = nullptr;
    }
    MessageCloser(const MessageCloser&) = delete;
    MessageCloser& operator=(const MessageCloser&) = delete;
    bool Found = false;
    bool OwnedByApplication = false;
    bool Centred = false;

private:
    static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD) {
        if (Active && !Active->Found) {
            Active->Look();
        }
    }
    void Look() {
        const HWND window = ::FindWindowW(nullptr, L"Information");
        if (!window || !::IsWindowVisible(window)) {
            return;
        }
        Found = true;
        OwnedByApplication = ::GetWindow(window, GW_OWNER) == FOwner;
        RECT r{};
        ::GetWindowRect(window, &r);
        const int screenX = ::GetSystemMetrics(SM_CXSCREEN) / 2;
        const int screenY = ::GetSystemMetrics(SM_CYSCREEN) / 2;
        Centred = std::abs((r.left + r.right) / 2 - screenX) <= 8 &&
                  std::abs((r.top + r.bottom) / 2 - screenY) <= 40;
        ::PostMessageW(window, WM_CLOSE, 0, 0);
    }
    static inline MessageCloser* Active = nullptr;
    HWND FOwner;
    UINT_PTR FTimer = 0;
};

class Win32Message : public ::testing::TestWithParam<win32::TMessageMechanism> {};

TEST_P(Win32Message, IsModalOwnedByTheApplicationWindowAndCentred) {
    win32::TApplicationWindow application;
    ASSERT_NE(application.Handle(), nullptr);
    EXPECT_FALSE(::IsWindowVisible(application.Handle()));
    MessageCloser closer(application.Handle());
    EXPECT_NO_THROW(win32::ShowInformationMessage(
        application.Handle(), u"There is a new software version available.", GetParam()));
    EXPECT_TRUE(closer.Found);
    EXPECT_TRUE(closer.OwnedByApplication);
    EXPECT_TRUE(closer.Centred);
}

TEST_P(Win32Message, ThatCannotBeShownIsAFailure) {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    if (GetParam() == win32::TMessageMechanism::MessageBox && ntdll &&
        ::GetProcAddress(ntdll, "wine_get_version"))
        GTEST_SKIP() << "Wine's message box returns at once, unshown and without an error";
    // An owner that is no window: the platform refuses, and the caller must learn of it.
    win32::TApplicationWindow application;
    const HWND gone = application.Handle();
    ::DestroyWindow(gone);
    MessageCloser closer(nullptr);
    EXPECT_THROW(win32::ShowInformationMessage(gone, u"text", GetParam()), Exception);
    EXPECT_FALSE(closer.Found);
}

INSTANTIATE_TEST_SUITE_P(Mechanisms, Win32Message,
                         ::testing::Values(win32::TMessageMechanism::TaskDialog,
                                           win32::TMessageMechanism::MessageBox),
                         [](const auto& param) {
                             return param.param == win32::TMessageMechanism::TaskDialog
                                        ? std::string("TaskDialog")
                                        : std::string("MessageBox");
                         });

} // namespace
} // namespace velora

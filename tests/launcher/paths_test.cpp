#include "fake_platform.hpp"
#include "launcher/paths.hpp"

#include <gtest/gtest.h>

namespace velora {
namespace {

using test::FakePlatform;

TEST(TrailingDelimiter, AppendsOnlyWhenMissing) {
    FakePlatform posix(u'/');
    FakePlatform windows(u'\\');
    EXPECT_EQ(IncludeTrailingPathDelimiter(posix, u"/a/b"), u"/a/b/");
    EXPECT_EQ(IncludeTrailingPathDelimiter(posix, u"/a/b/"), u"/a/b/");
    EXPECT_EQ(IncludeTrailingPathDelimiter(posix, u""), u"/");
    EXPECT_EQ(IncludeTrailingPathDelimiter(windows, u"C:\\x"), u"C:\\x\\");
    EXPECT_EQ(IncludeTrailingPathDelimiter(windows, u"C:/x"), u"C:/x\\");
    EXPECT_EQ(IncludeTrailingPathDelimiter(windows, u""), u"\\");
}

struct TreeCase {
    char16_t delimiter;
    std::u16string_view path;
    std::vector<UnicodeString> existing;
    std::vector<UnicodeString> unmakeable;
    std::vector<std::string> expectedMkdirs;
    bool expected;
};

class FolderTreeRule : public testing::TestWithParam<TreeCase> {};

TEST_P(FolderTreeRule, CreatesMissingParentsInOrder) {
    const TreeCase& c = GetParam();
    FakePlatform platform(c.delimiter);
    platform.folders.insert(c.existing.begin(), c.existing.end());
    platform.unmakeableFolders.insert(c.unmakeable.begin(), c.unmakeable.end());
    EXPECT_EQ(ForceDirectories(platform, UnicodeString(c.path)), c.expected);
    EXPECT_EQ(platform.events, c.expectedMkdirs);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FolderTreeRule,
    testing::Values(
        // Already there: nothing is made, with or without the trailing delimiter.
        TreeCase{u'/', u"/home/u/", {u"/home/u"}, {}, {}, true},
        TreeCase{u'/', u"/home/u", {u"/home/u"}, {}, {}, true},
        TreeCase{u'/',
                 u"/home/u/.local/share/Velora Player/",
                 {u"/home", u"/home/u"},
                 {},
                 {"mkdir /home/u/.local", "mkdir /home/u/.local/share",
                  "mkdir /home/u/.local/share/Velora Player"},
                 true},
        // Failed folder lookup: the root's parent part is empty, whose creation fails, so the
        // install folder right under the root is not made.
        TreeCase{u'/', u"/Velora Player/", {}, {}, {"mkdir "}, false},
        // A parent that cannot be made stops the chain and the result is false.
        TreeCase{u'/', u"/a/b/c/", {}, {u"/a/b"}, {"mkdir /a", "mkdir /a/b"}, false},
        // The folder itself fails after its parents were made.
        TreeCase{u'/', u"/a/b", {u"/a"}, {u"/a/b"}, {"mkdir /a/b"}, false},
        TreeCase{u'\\',
                 u"C:\\Users\\u\\AppData\\Local\\Velora Player\\",
                 {u"C:\\Users\\u\\AppData\\Local"},
                 {},
                 {"mkdir C:\\Users\\u\\AppData\\Local\\Velora Player"},
                 true},
        // The drive is made (and fails) directly: its parent part is the whole text.
        TreeCase{u'\\', u"Q:\\x\\", {}, {u"Q:"}, {"mkdir Q:"}, false},
        TreeCase{u'\\', u"\\Velora Player\\", {}, {}, {"mkdir "}, false},
        // Short paths are made as they are.
        TreeCase{u'/', u"ab", {}, {}, {"mkdir ab"}, true}));

TEST(FolderTreeRule, EmptyPathIsAnInOutError) {
    FakePlatform platform;
    try {
        ForceDirectories(platform, u"");
        FAIL() << "no failure";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.Message(), u"Unable to create directory");
        EXPECT_EQ(e.ErrorCode(), 3);
    }
    // A relative path ends up at an empty parent part.
    EXPECT_THROW(ForceDirectories(platform, u"abc/def"), EInOutError);
}

} // namespace
} // namespace velora

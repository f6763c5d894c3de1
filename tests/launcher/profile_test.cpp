#include "fake_platform.hpp"
#include "launcher/profile.hpp"

#include <gtest/gtest.h>

namespace velora {
namespace {

struct ProfileCase {
    std::u16string_view file;
    std::u16string_view expected;
};

class ProfileReader : public testing::TestWithParam<ProfileCase> {};

TEST_P(ProfileReader, ReadsLocalVersion) {
    EXPECT_EQ(ReadProfileValue(GetParam().file, u"Velora Player", u"LocalVersion", u"dflt"),
              GetParam().expected)
        << ToUtf8(GetParam().file);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProfileReader,
    testing::Values(
        ProfileCase{u"[Velora Player]\r\nLocalVersion=12\r\n", u"12"},
        ProfileCase{u"[velora player]\nlocalversion=12", u"12"},
        ProfileCase{u"  [ Velora Player ]  \n \t LocalVersion \t=  12 \t\n", u"12"},
        ProfileCase{u"[Velora Player]\nLocalVersion=\"12 \"\n", u"12 "},
        ProfileCase{u"[Velora Player]\nLocalVersion=\"12\n", u"\"12"},
        ProfileCase{u"[Velora Player]\nLocalVersion=\"\"\n", u""},
        ProfileCase{u"[Velora Player]\nLocalVersion= '5' \n", u"5"},
        ProfileCase{u"[Velora Player]\nLocalVersion='5\"\n", u"'5\""},
        ProfileCase{u"[Velora Player]\nLocalVersion=\n", u""},
        ProfileCase{u"[Velora Player]\nLocalVersion=a=b\n", u"a=b"},
        ProfileCase{u"[Velora Player]\r;LocalVersion=1\rLocalVersion=2\r", u"2"},
        ProfileCase{u"[Velora Player]\nLocalVersion=1\nLocalVersion=2\n", u"1"},
        // Only the first section of that name is searched.
        ProfileCase{u"[Velora Player]\nOther=1\n[Velora Player]\nLocalVersion=2\n", u"dflt"},
        ProfileCase{u"[Other]\nLocalVersion=1\n[Velora Player]\nLocalVersion=2\n", u"2"},
        ProfileCase{u"[Velora Player]\nLocalVersion=1\n[Other]\nLocalVersion=2\n", u"1"},
        ProfileCase{u"LocalVersion=1\n[Velora Player]\n", u"dflt"},
        ProfileCase{u"[Velora Player]\nLocalVersion\n", u"dflt"},
        ProfileCase{u"[Velora Player\nLocalVersion=1\n", u"dflt"},
        ProfileCase{u"[Velora Player] junk\nLocalVersion=1\n", u"1"}, ProfileCase{u"", u"dflt"},
        ProfileCase{u"[Velora Player]", u"dflt"},
        ProfileCase{u"[Velora Player]\nLocalVersion=\u00A012\u00A0\n", u"\u00A012\u00A0"}));

TEST(ProfileReader, ValueEndsAtNul) {
    const UnicodeString file = UnicodeString(u"[Velora Player]\nLocalVersion=1") + u'\0' + u"2\n";
    EXPECT_EQ(ReadProfileValue(file, u"Velora Player", u"LocalVersion", u""), u"1");
}

TEST(ProfileReader, LongValueIsCutToTheBuffer) {
    const UnicodeString value(5000, u'7');
    const UnicodeString file = u"[Velora Player]\nLocalVersion=" + value + u"\n";
    EXPECT_EQ(ReadProfileValue(file, u"Velora Player", u"LocalVersion", u""),
              value.substr(0, 2047));
    EXPECT_EQ(ReadProfileValue(file, u"Velora Player", u"LocalVersion", u"", 4), u"777");
}

TEST(ProfileText, DecodesByByteOrderMark) {
    const std::uint8_t utf16le[] = {0xFF, 0xFE, '[', 0, 'x', 0, ']', 0, 0xAC, 0x20};
    EXPECT_EQ(DecodeProfileText(utf16le), u"[x]\u20AC");
    const std::uint8_t utf16be[] = {0xFE, 0xFF, 0, 'a', 0x20, 0xAC};
    EXPECT_EQ(DecodeProfileText(utf16be), u"a\u20AC");
    const std::uint8_t utf8bom[] = {0xEF, 0xBB, 0xBF, 'a', 0xE2, 0x82, 0xAC};
    EXPECT_EQ(DecodeProfileText(utf8bom), u"a\u20AC");
    // Without a mark: UTF-8, and single bytes of Windows-1252 where it is not valid UTF-8.
    const std::uint8_t mixed[] = {'a', 0xE2, 0x82, 0xAC, 0x80, 0xE9, 'b', 0xF0, 0x9F, 0x8E, 0xB5};
    EXPECT_EQ(DecodeProfileText(mixed), u"a\u20AC\u20AC\u00E9b\U0001F3B5");
    // Overlong forms and encoded surrogates are not UTF-8.
    const std::uint8_t overlong[] = {0xC0, 0xAF, 0xED, 0xA0, 0x80};
    EXPECT_EQ(DecodeProfileText(overlong), u"\u00C0\u00AF\u00ED\u00A0\u20AC");
    const std::uint8_t truncated[] = {'1', 0xE2, 0x82};
    EXPECT_EQ(DecodeProfileText(truncated), u"1\u00E2\u201A");
}

struct IniIntegerCase {
    std::u16string_view value;
    std::int32_t expected;
};

class IniReadInteger : public testing::TestWithParam<IniIntegerCase> {};

TEST_P(IniReadInteger, AppliesTheIntegerTextRule) {
    test::FakePlatform platform;
    platform.settingsTexts[u"/s.ini"] =
        u"[Velora Player]\nLocalVersion=" + UnicodeString(GetParam().value) + u"\n";
    {
        TIniFile ini(platform, u"/s.ini");
        EXPECT_EQ(ini.ReadInteger(u"Velora Player", u"LocalVersion", 0), GetParam().expected)
            << ToUtf8(GetParam().value);
    }
    EXPECT_EQ(platform.flushes, 1);
}

// Blanks around the value go with the reader; "12 " reaches the rule only quoted.
INSTANTIATE_TEST_SUITE_P(Cases, IniReadInteger,
                         testing::Values(IniIntegerCase{u"$1F", 31}, IniIntegerCase{u"0x1F", 31},
                                         IniIntegerCase{u"1F", 0}, IniIntegerCase{u"\"12 \"", 0},
                                         IniIntegerCase{u"12 ", 12}, IniIntegerCase{u"word", 0},
                                         IniIntegerCase{u"-1", -1}, IniIntegerCase{u"", 0},
                                         IniIntegerCase{u"\"  7\"", 7}));

TEST(IniReadInteger, MissingFileReadsTheDefault) {
    test::FakePlatform platform;
    TIniFile ini(platform, u"/none.ini");
    EXPECT_EQ(ini.ReadInteger(u"Velora Player", u"LocalVersion", -3), -3);
}

} // namespace
} // namespace velora

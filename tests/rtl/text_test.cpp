#include "rtl/ustring.hpp"

#include <gtest/gtest.h>

#include <limits>

using namespace velora;

TEST(Text, TrimRemovesControlsAndBlanksOnly) {
    EXPECT_EQ(Trim(u"\t 42\r\n\0"), u"42");
    EXPECT_EQ(Trim(u"\u00A042\uFEFF"), u"\u00A042\uFEFF");
    EXPECT_EQ(Trim(u" \x01\x1f "), u"");
}

TEST(Text, IntToStrCoversTheWholeRange) {
    EXPECT_EQ(IntToStr(0), u"0");
    EXPECT_EQ(IntToStr(-42), u"-42");
    EXPECT_EQ(IntToStr(std::numeric_limits<std::int64_t>::min()), u"-9223372036854775808");
}

TEST(Text, FormatFillsTextAndNumbers) {
    EXPECT_EQ(Format(u"'%s' is not a valid integer value for %s type", {u"x", u"Integer"}),
              u"'x' is not a valid integer value for Integer type");
    EXPECT_EQ(Format(u"(%d) %s 100%%", {std::int64_t{-7}, u"t"}), u"(-7) t 100%");
    EXPECT_EQ(Format(u"%s %s", {u"only"}), u"only %s");
}

TEST(Text, CaseInsensitiveComparisonIsAsciiOnly) {
    EXPECT_TRUE(SameText(u"native.TWOFISH", u"Native.twofish"));
    EXPECT_FALSE(SameText(u"\u00C9", u"\u00E9"));
    EXPECT_LT(CompareText(u"abc", u"ABD"), 0);
    EXPECT_TRUE(StartsText(u"CHARSET", u"charset=utf-8"));
}

TEST(Text, Utf8RoundTripReplacesBrokenInput) {
    EXPECT_EQ(U16("\xF0\x9F\x8E\xB5 ok"), u"\U0001F3B5 ok");
    EXPECT_EQ(ToUtf8(u"\U0001F3B5"), "\xF0\x9F\x8E\xB5");
    EXPECT_EQ(U16("a\xC3"), u"a\uFFFD");
    EXPECT_EQ(ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");
}

TEST(Text, MalformedUtf8BecomesOneReplacementPerMaximalPart) {
    struct Case {
        std::string_view bytes;
        std::u16string_view text;
    };
    for (const Case& c :
         {Case{"\xE2\x82"
               "a",
               u"\uFFFDa"},
          Case{"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"}, Case{"\xF0\x80\x80", u"\uFFFD\uFFFD\uFFFD"},
          Case{"\xF4\x8F\xBF", u"\uFFFD"}, Case{"\xC1\xBF", u"\uFFFD\uFFFD"},
          Case{"\xE0\xA0\x80", u"\u0800"}}) {
        EXPECT_EQ(U16(c.bytes), c.text) << c.bytes.size();
        EXPECT_EQ(IsValidUtf8(c.bytes), c.text.find(u'\uFFFD') == std::u16string_view::npos);
    }
}

TEST(Text, FileNamesKeepEveryByte) {
    struct Case {
        std::string_view bytes;
        std::u16string_view text;
    };
    for (const Case& c :
         {Case{"/home/\xC3\xA9t\xC3\xA9", u"/home/\u00E9t\u00E9"},
          Case{"/d/data\xFF", u"/d/data\xDCFF"},
          // A cut-short sequence and an encoded surrogate keep each byte.
          Case{"\xE2\x82/", u"\xDCE2\xDC82/"}, Case{"\xED\xB2\x80", u"\xDCED\xDCB2\xDC80"},
          Case{"\xF0\x9F\x8E\xB5\x80", u"\U0001F3B5\xDC80"}}) {
        EXPECT_EQ(FileNameText(c.bytes), c.text) << c.bytes;
        EXPECT_EQ(FileNameBytes(c.text), c.bytes) << c.bytes;
    }
    // Lone surrogates that stand for no byte cannot be a file name's; they go as U+FFFD.
    EXPECT_EQ(FileNameBytes(u"\xD800-\xDC41"), "\xEF\xBF\xBD-\xEF\xBF\xBD");
}

#include "rtl/encoding.hpp"
#include "rtl/exceptions.hpp"

#include <gtest/gtest.h>

using namespace velora;

namespace {
UnicodeString Decode(const TEncoding& e, std::string_view bytes) {
    return e.GetString(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}
} // namespace

struct StrictCase {
    const char* bytes;
    bool valid;
};

class StrictUtf8Test : public ::testing::TestWithParam<StrictCase> {};

TEST_P(StrictUtf8Test, RejectsEveryMalformedForm) {
    const auto& c = GetParam();
    if (c.valid) {
        EXPECT_NO_THROW(Decode(TEncoding::UTF8(), c.bytes));
    } else {
        try {
            Decode(TEncoding::UTF8(), c.bytes);
            FAIL() << "accepted";
        } catch (const EEncodingError& e) {
            EXPECT_EQ(e.Message(), SNoMappingForUnicode);
        }
        EXPECT_NE(Decode(TEncoding::UTF8Replacing(), c.bytes).find(u'\uFFFD'), UnicodeString::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Forms, StrictUtf8Test,
                         ::testing::Values(StrictCase{"plain", true},
                                           StrictCase{"\xEF\xBB\xBF"
                                                      "bom",
                                                      true},
                                           StrictCase{"\xF4\x8F\xBF\xBF", true},
                                           StrictCase{"\xC0\xAF", false},         // overlong
                                           StrictCase{"\xE0\x80\xAF", false},     // overlong
                                           StrictCase{"\xED\xA0\x80", false},     // surrogate
                                           StrictCase{"\xF4\x90\x80\x80", false}, // > U+10FFFF
                                           StrictCase{"ab\xE2\x82", false},       // truncated
                                           StrictCase{"\x80", false}, StrictCase{"\xFF", false}));

TEST(Encoding, ByteOrderMarkIsKept) {
    EXPECT_EQ(Decode(TEncoding::UTF8(), "\xEF\xBB\xBFx"), u"\uFEFFx");
    EXPECT_EQ(TEncoding::UTF8().GetBytes(u"\uFEFF").size(), 3u);
}

TEST(Encoding, StrictEncoderRejectsLoneSurrogates) {
    EXPECT_THROW(TEncoding::UTF8().GetBytes(std::u16string(1, char16_t(0xDC00))), EEncodingError);
}

struct NamedCase {
    const char16_t* name;
    std::string_view bytes;
    const char16_t* text;
};

class CharsetNameTest : public ::testing::TestWithParam<NamedCase> {};

TEST_P(CharsetNameTest, DecodesWithTheNamedTable) {
    const auto& c = GetParam();
    EXPECT_EQ(Decode(TEncoding::GetEncoding(c.name), c.bytes), c.text);
}

INSTANTIATE_TEST_SUITE_P(Names, CharsetNameTest,
                         ::testing::Values(NamedCase{u"ISO-8859-1", "caf\xE9", u"caf\u00E9"},
                                           NamedCase{u"latin1", "\xFF", u"\u00FF"},
                                           NamedCase{u"iso-8859-2", "\xB1", u"\u0105"},
                                           NamedCase{u"ISO_8859-15", "\xA4", u"\u20AC"},
                                           NamedCase{u"windows-1252", "\x80\x81", u"\u20AC\u0081"},
                                           NamedCase{u"CP1251", "\xC0", u"\u0410"},
                                           NamedCase{u"cp437", "\xB0", u"\u2591"},
                                           NamedCase{u"US-ASCII", "ok", u"ok"},
                                           NamedCase{u"utf-16", std::string_view("A\0", 2), u"A"},
                                           NamedCase{u"UTF-16BE", std::string_view("\0A", 2), u"A"},
                                           NamedCase{u" utf8 ", "\xC3\xA9", u"\u00E9"}));

TEST(Encoding, UnknownNamesFail) {
    for (const char16_t* name : {u"klingon", u"cp99999", u"iso-8859-99", u"", u"cp"}) {
        try {
            TEncoding::GetEncoding(name);
            FAIL() << ToUtf8(name);
        } catch (const EEncodingError& e) {
            EXPECT_EQ(e.Message(), u"Invalid encoding name");
        }
    }
}

TEST(Encoding, AnsiIsWindows1252HereAndMapsBack) {
    const TEncoding& ansi = TEncoding::ANSI();
    const Bytes b = ansi.GetBytes(u"\u20AC\u00E9\u4E00");
    EXPECT_EQ(b, (Bytes{0x80, 0xE9, '?'}));
    EXPECT_EQ(ansi.GetString(b.data(), 2), u"\u20AC\u00E9");
}

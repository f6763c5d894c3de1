#include "http/http_headers.hpp"

#include <gtest/gtest.h>

namespace velora {
namespace {

TEST(HeaderBlock, ListsNamedLinesJoinsRepeatsAndKeepsCookiesApart) {
    const std::u16string_view block = u"HTTP/1.1 200 OK\r\n"
                                      u"Content-Type: text/plain\r\n"
                                      u"X-Dup: a\r\n"
                                      u"x-dup:b  \r\n"
                                      u"Set-Cookie: s=1; Path=/\r\n"
                                      u"SET-COOKIE: t=2\r\n"
                                      u": no name\r\n"
                                      u"no colon at all\r\n"
                                      u"get /x: a request line\r\n"
                                      u"GETTER: kept\r\n"
                                      u"  Spaced  :  v w  \r\n"
                                      u"Empty:\r\n"
                                      u"\r\n";
    TNetHeaders headers;
    std::vector<UnicodeString> cookies;
    ParseHeaderBlock(block, headers, cookies);
    const TNetHeaders expected{{u"Content-Type", u"text/plain"},
                               {u"X-Dup", u"a, b"},
                               {u"GETTER", u"kept"},
                               {u"Spaced", u"v w"},
                               {u"Empty", u""}};
    EXPECT_EQ(headers, expected);
    EXPECT_EQ(cookies, (std::vector<UnicodeString>{u"s=1; Path=/", u"t=2"}));
    EXPECT_EQ(HeaderValue(headers, u"x-DUP"), u"a, b");
    EXPECT_EQ(HeaderValue(headers, u"Missing"), u"");
}

TEST(HeaderBlock, DecodesUtf8AndFallsBackToLatin1) {
    EXPECT_EQ(DecodeHeaderBytes("caf\xc3\xa9"), u"caf\u00e9");
    EXPECT_EQ(DecodeHeaderBytes("caf\xe9"), u"caf\u00e9");
    EXPECT_EQ(DecodeHeaderBytes("\xc3"), u"\u00c3");
}

struct CharSetCase {
    const char16_t* ContentType;
    const char16_t* Expected;
};

class ContentCharSetRule : public testing::TestWithParam<CharSetCase> {};

TEST_P(ContentCharSetRule, TakesTheFirstCharsetPiece) {
    EXPECT_EQ(ContentCharSet(GetParam().ContentType), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ContentCharSetRule,
    testing::Values(CharSetCase{u"text/html; charset=utf-8", u"utf-8"},
                    CharSetCase{u"text/html;charset=\"UTF-8\"", u"UTF-8"},
                    CharSetCase{u"text/html; CHARSET='iso-8859-1'", u"iso-8859-1"},
                    CharSetCase{u"text/html; foo=bar;  charset = koi8-r ", u"koi8-r"},
                    CharSetCase{u"text/html; charset=\"a\"\"b\"", u"a\"b"},
                    CharSetCase{u"text/html; charset='\"x\"'", u"x"},
                    CharSetCase{u"text/html; charset=utf-8=x", u""},
                    CharSetCase{u"text/html; charset", u""},
                    CharSetCase{u"text/html; charset=", u""},
                    CharSetCase{u"text/html; charset=\"", u"\""}, CharSetCase{u"text/html", u""},
                    CharSetCase{u"charset=first; charset=second", u"first"},
                    CharSetCase{u"", u""}));

} // namespace
} // namespace velora

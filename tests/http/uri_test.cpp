#include "http/uri.hpp"
#include "rtl/exceptions.hpp"

#include <gtest/gtest.h>

namespace velora {
namespace {

struct UriCase {
    const char16_t* Url;
    const char16_t* Scheme;
    const char16_t* Host;
    std::int32_t Port;
    const char16_t* Path;
    const char16_t* Query;
    const char16_t* Fragment;
    const char16_t* User;
    const char16_t* Password;
};

class UriParse : public testing::TestWithParam<UriCase> {};

TEST_P(UriParse, SplitsIntoParts) {
    const UriCase& c = GetParam();
    const TURI uri(c.Url);
    EXPECT_EQ(uri.Scheme(), c.Scheme);
    EXPECT_EQ(uri.Host(), c.Host);
    EXPECT_EQ(uri.Port(), c.Port);
    EXPECT_EQ(uri.Path(), c.Path);
    EXPECT_EQ(uri.Query(), c.Query);
    EXPECT_EQ(uri.Fragment(), c.Fragment);
    EXPECT_EQ(uri.Username(), c.User);
    EXPECT_EQ(uri.Password(), c.Password);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UriParse,
    testing::Values(
        UriCase{u"https://Example.COM/a/b?x=1&y=2#frag", u"https", u"example.com", 443, u"/a/b",
                u"x=1&y=2", u"frag", u"", u""},
        UriCase{u" \t\r\nHTTP://host:8080\n\f ", u"http", u"host", 8080, u"/", u"", u"", u"", u""},
        UriCase{u"https://user:p%40ss@h/", u"https", u"h", 443, u"/", u"", u"", u"user", u"p%40ss"},
        UriCase{u"https://[::1]:8443/x", u"https", u"[::1]", 8443, u"/x", u"", u"", u"", u""},
        UriCase{u"ftp://h/x", u"ftp", u"h", -1, u"/x", u"", u"", u"", u""},
        // Non-ASCII labels go to their IDNA form, ASCII labels are only lower-cased.
        UriCase{u"https://B\u00fccher.Example/", u"https", u"xn--bcher-kva.example", 443, u"/", u"",
                u"", u"", u""},
        UriCase{u"https://M\u00dcNCHEN.de\u3002com/", u"https", u"xn--mnchen-3ya.de.com", 443, u"/",
                u"", u"", u"", u""},
        // UTS #46 without the transitional mappings, the same on every build: sharp s and final
        // sigma stay, full-width and other compatibility forms fold.
        UriCase{u"https://Fa\u00df.de/", u"https", u"xn--fa-hia.de", 443, u"/", u"", u"", u"", u""},
        UriCase{u"https://STRA\u1e9eE.de/", u"https", u"strasse.de", 443, u"/", u"", u"", u"", u""},
        UriCase{u"https://\u03b2\u03cc\u03bb\u03bf\u03c2.gr/", u"https", u"xn--nxasmm1c.gr", 443,
                u"/", u"", u"", u"", u""},
        UriCase{u"https://\uff37\uff37\uff37.\u2460.example/", u"https", u"www.1.example", 443,
                u"/", u"", u"", u"", u""},
        // What a path may not carry is percent-encoded; escapes already there stay.
        UriCase{u"https://h/\u00e4 b%2F|?q=a b&r", u"https", u"h", 443, u"/%C3%A4%20b%2F%7C",
                u"q=a%20b&r", u"", u"", u""},
        UriCase{u"https://h/100%", u"https", u"h", 443, u"/100%25", u"", u"", u"", u""},
        // The user information ends at the last '@'.
        UriCase{u"http://a@b:c@h/", u"http", u"h", 80, u"/", u"", u"", u"a@b", u"c"},
        // Addresses take the form the resolver gives them, so that every check sees the host the
        // connection goes to.
        UriCase{u"http://134744072/", u"http", u"8.8.8.8", 80, u"/", u"", u"", u"", u""},
        UriCase{u"http://0x7F.1:81/", u"http", u"127.0.0.1", 81, u"/", u"", u"", u"", u""},
        UriCase{u"http://0177.0.0.01/", u"http", u"127.0.0.1", 80, u"/", u"", u"", u"", u""},
        UriCase{u"http://[0:0::FFFF:7f00:1]/", u"http", u"[::ffff:127.0.0.1]", 80, u"/", u"", u"",
                u"", u""},
        UriCase{u"http://[1:0:0:2:0:0:0:3]/", u"http", u"[1:0:0:2::3]", 80, u"/", u"", u"", u"",
                u""},
        UriCase{u"http://[::]:08/", u"http", u"[::]", 8, u"/", u"", u"", u"", u""},
        UriCase{u"https://A.Example./", u"https", u"a.example.", 443, u"/", u"", u"", u"", u""}));

TEST(Uri, ParamsSplitAtAmpersandAndEquals) {
    const TURI uri(u"http://h/p?a=1&b&c=x=y&&");
    const TNetHeaders expected{{u"a", u"1"}, {u"b", u""}, {u"c", u"x=y"}};
    EXPECT_EQ(uri.Params(), expected);
}

class UriInvalid : public testing::TestWithParam<const char16_t*> {};

TEST_P(UriInvalid, FailsWithTheUrlInTheMessage) {
    const UnicodeString url = GetParam();
    try {
        TURI uri(url);
        FAIL() << "parsed " << ToUtf8(url);
    } catch (const ENetURIException& e) {
        EXPECT_EQ(e.Message(), u"Invalid URL: \"" + Trim(url) + u"\"");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, UriInvalid,
    testing::Values(u"", u"example.com/x", u"://h/", u"1http://h/", u"https://h:abc/",
                    u"https://h:99999999999/", u"https:///path", u"https://user@:443/",
                    u"https://[::1/", u"https:foo", u"http:/x", u"https://h:65536/",
                    u"http://h:99999/", u"http://h:-1/", u"http://h:+80/", u"http://h:00/",
                    u"https://[::1]x8443/",
                    // Delimiters that the IDNA step makes of look-alikes.
                    u"http://127.0.0.1\uff1a2345\uff0f.good.test/",
                    u"http://user:pw\uff20evil.test/", u"http://evil.example\uff0f.corp.example/",
                    u"http://a\uff1fb.test/", u"http://a\uff03b.test/",
                    // Neither a name nor an address.
                    u"http://a_b.test/", u"http://a..b/", u"http://.a/", u"http://a%2eb/",
                    u"http://1.2.3.256/", u"http://1.2.3.4.5/", u"http://09/", u"http://a.1/",
                    u"http://4294967296/", u"http://[::1%25eth0]/", u"http://[1:2:3:4:5:6:7:8:9]/",
                    u"http://[1::2::3]/", u"http://[::1.2.3]/", u"http://[1:]/", u"http://[g::]/"));

struct RelativeCase {
    const char16_t* Reference;
    const char16_t* Expected;
};

class UriRelative : public testing::TestWithParam<RelativeCase> {};

TEST_P(UriRelative, ResolvesAgainstTheCurrentUrl) {
    const TURI base(u"https://h:8443/a/b/c?q=1#f");
    EXPECT_EQ(TURI::PathRelativeToAbs(GetParam().Reference, base).ToString(), GetParam().Expected);
}

INSTANTIATE_TEST_SUITE_P(Table, UriRelative,
                         testing::Values(RelativeCase{u"/x", u"https://h:8443/x#f"},
                                         RelativeCase{u"d", u"https://h:8443/a/b/d#f"},
                                         RelativeCase{u"../d?z=2", u"https://h:8443/a/d?z=2#f"},
                                         RelativeCase{u"./../../../e", u"https://h:8443/e#f"},
                                         RelativeCase{u"/p/./q/../r#g", u"https://h:8443/p/r#g"},
                                         RelativeCase{u"?k=v", u"https://h:8443/a/b/c?k=v#f"},
                                         RelativeCase{u"http://Other/p", u"http://other/p#f"},
                                         RelativeCase{u"//cdn.example/p",
                                                      u"https://cdn.example/p#f"}));

} // namespace
} // namespace velora

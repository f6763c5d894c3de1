#include "http/cookies.hpp"
#include "http/public_suffix.hpp"

#include <gtest/gtest.h>

namespace velora {
namespace {

using namespace std::chrono_literals;

const TCookie::TDateTime kNow{std::chrono::seconds(1'700'000'000)};

TCookie Parsed(std::u16string_view text, const char16_t* url = u"https://www.example.com/a/b") {
    auto cookie = TCookie::Parse(text, TURI(url), kNow);
    EXPECT_TRUE(cookie.has_value()) << ToUtf8(text);
    return cookie.value_or(TCookie{});
}

TEST(Cookie, ParsesAttributesWithDefaultsFromTheUrl) {
    const TCookie plain = Parsed(u" sid = abc ");
    EXPECT_EQ(plain.Name, u"sid");
    EXPECT_EQ(plain.Value, u"abc");
    EXPECT_EQ(plain.Domain, u".www.example.com");
    EXPECT_EQ(plain.Path, u"/a");
    EXPECT_FALSE(plain.Expires.has_value());

    const TCookie full =
        Parsed(u"k=v=w; Domain=.Example.com; Path=/x; Secure; HttpOnly; Max-Age=60");
    EXPECT_EQ(full.Value, u"v=w");
    EXPECT_EQ(full.Domain, u".example.com");
    EXPECT_EQ(full.Path, u"/x");
    EXPECT_TRUE(full.Secure);
    EXPECT_TRUE(full.HttpOnly);
    EXPECT_EQ(full.Expires, kNow + 60s);

    // Max-Age wins over Expires, whichever comes first.
    EXPECT_EQ(Parsed(u"k=v; Max-Age=10; Expires=Wed, 21 Oct 2015 07:28:00 GMT").Expires,
              kNow + 10s);
    EXPECT_TRUE(Parsed(u"k=v; Max-Age=0").Expired(kNow));
    EXPECT_FALSE(TCookie::Parse(u"no-equals-sign", TURI(u"https://h/"), kNow).has_value());
}

TEST(Cookie, ReadsTheUsualDateForms) {
    const auto at = [](std::int64_t s) { return TCookie::TDateTime(std::chrono::seconds(s)); };
    EXPECT_EQ(ParseCookieDate(u"Wed, 21 Oct 2015 07:28:00 GMT"), at(1445412480));
    EXPECT_EQ(ParseCookieDate(u"Sunday, 06-Nov-94 08:49:37 GMT"), at(784111777));
    EXPECT_EQ(ParseCookieDate(u"Sun Nov  6 08:49:37 1994"), at(784111777));
    EXPECT_FALSE(ParseCookieDate(u"tomorrow").has_value());
    EXPECT_FALSE(ParseCookieDate(u"Wed, 32 Oct 2015 07:28:00 GMT").has_value());
}

TEST(CookieManager, AcceptsOnlyCookiesOfTheUrlsHostAndPath) {
    TCookieManager manager;
    const TURI url(u"https://www.example.com/a/b");
    EXPECT_TRUE(manager.AddServerCookie(Parsed(u"a=1; Domain=example.com"), url, kNow));
    EXPECT_TRUE(manager.AddServerCookie(Parsed(u"b=2; Path=/a"), url, kNow));
    EXPECT_FALSE(manager.AddServerCookie(Parsed(u"c=3; Domain=other.com"), url, kNow));
    EXPECT_FALSE(manager.AddServerCookie(Parsed(u"d=4; Path=/z"), url, kNow));
    EXPECT_FALSE(manager.AddServerCookie(Parsed(u"e=5; Domain=example.com"),
                                         TURI(u"https://badexample.com/a/b"), kNow));
    EXPECT_FALSE(manager.AddServerCookie(Parsed(u"f=6; Domain=ample.com"), url, kNow));
    EXPECT_EQ(manager.Cookies().size(), 2u);
    // An address has no parent domain to set a cookie for.
    const TURI address(u"http://1.2.3.4/");
    EXPECT_FALSE(
        manager.AddServerCookie(Parsed(u"g=7; Domain=3.4", u"http://1.2.3.4/"), address, kNow));
    EXPECT_TRUE(
        manager.AddServerCookie(Parsed(u"h=8; Domain=1.2.3.4", u"http://1.2.3.4/"), address, kNow));
}

// A Domain that anyone may register below would hand the cookie to all of them.
struct SuffixCase {
    const char16_t* Url;
    const char16_t* SetCookie;
    bool Accepted;
    bool HostOnly;
};

void PrintTo(const SuffixCase& c, std::ostream* out) {
    *out << ToUtf8(c.Url) << " " << ToUtf8(c.SetCookie);
}

class PublicSuffixDomain : public testing::TestWithParam<SuffixCase> {};

TEST_P(PublicSuffixDomain, IsRefusedUnlessItIsTheHostItself) {
    const SuffixCase& c = GetParam();
    TCookieManager manager;
    const TURI url(c.Url);
    EXPECT_EQ(manager.AddServerCookie(Parsed(c.SetCookie, c.Url), url, kNow), c.Accepted);
    ASSERT_EQ(manager.Cookies().size(), c.Accepted ? 1u : 0u);
    if (c.Accepted) {
        EXPECT_EQ(manager.Cookies()[0].HostOnly, c.HostOnly);
    }
    // The list compiled in for the Windows build gives the same answer as the platform's.
    const TCookie cookie = Parsed(c.SetCookie, c.Url);
    const std::u16string_view domain = std::u16string_view(cookie.Domain).substr(1);
    EXPECT_EQ(IsPublicSuffixInBuiltList(domain), IsPublicSuffix(domain)) << ToUtf8(domain);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PublicSuffixDomain,
    testing::Values(SuffixCase{u"https://www.example.com/", u"a=1; Domain=com", false, false},
                    SuffixCase{u"https://www.example.com/", u"a=1; Domain=.COM", false, false},
                    SuffixCase{u"https://a.b.co.uk/", u"a=1; Domain=co.uk", false, false},
                    SuffixCase{u"https://www.example.co.uk/", u"a=1; Domain=example.co.uk", true,
                               false},
                    SuffixCase{u"https://foo.test/", u"a=1; Domain=test", false, false},
                    SuffixCase{u"https://x.github.io/", u"a=1; Domain=github.io", false, false},
                    SuffixCase{u"https://a.b.ck/", u"a=1; Domain=b.ck", false, false},
                    SuffixCase{u"https://x.www.ck/", u"a=1; Domain=www.ck", true, false},
                    SuffixCase{u"https://www.\u4f8b\u5b50.\u516c\u53f8.cn/",
                               u"a=1; Domain=xn--55qx5d.cn", false, false},
                    // The suffix's own host may set it for itself alone.
                    SuffixCase{u"https://co.uk/", u"a=1; Domain=co.uk", true, true},
                    SuffixCase{u"https://localhost/", u"a=1; Domain=localhost", true, true}));

// Plain http may neither set a secure cookie nor replace or delete one.
TEST(CookieManager, KeepsSecureCookiesFromPlainHttp) {
    struct Case {
        const char16_t* Url;
        const char16_t* SetCookie;
        const char16_t* Header; // at https://h/p afterwards
    };
    const Case cases[] = {
        {u"http://h/p", u"n=1; Secure", u"s=0"},  {u"http://h/p", u"s=1", u"s=0"},
        {u"http://h/p", u"s=1; Path=/p", u"s=0"}, {u"http://h/p", u"S=1; Max-Age=0", u"s=0"},
        {u"http://h/p", u"t=1", u"t=1; s=0"},     {u"https://h/p", u"s=1", u"s=1"},
    };
    for (const Case& c : cases) {
        TCookieManager manager;
        const TURI secure(u"https://h/p");
        ASSERT_TRUE(
            manager.AddServerCookie(Parsed(u"s=0; Secure; Path=/", u"https://h/p"), secure, kNow));
        manager.AddServerCookie(Parsed(c.SetCookie, c.Url), TURI(c.Url), kNow);
        EXPECT_EQ(manager.CookieHeaders(secure, kNow), c.Header) << ToUtf8(c.SetCookie);
    }
}

TEST(CookieManager, BuildsTheHeaderNewestFirstWithoutExpiredOrInsecureOnes) {
    TCookieManager manager;
    const TURI url(u"https://h/");
    manager.AddServerCookie(Parsed(u"a=1", u"https://h/"), url, kNow);
    manager.AddServerCookie(Parsed(u"s=2; Secure", u"https://h/"), url, kNow);
    manager.AddServerCookie(Parsed(u"t=3; Max-Age=5", u"https://h/"), url, kNow);
    EXPECT_EQ(manager.CookieHeaders(url, kNow), u"t=3; s=2; a=1");
    EXPECT_EQ(manager.CookieHeaders(TURI(u"http://h/"), kNow), u"t=3; a=1");
    EXPECT_EQ(manager.CookieHeaders(url, kNow + 6s), u"s=2; a=1");
    EXPECT_EQ(manager.Cookies().size(), 2u);
}

TEST(CookieManager, ReplacesByNameDomainAndPathAndDeletesWithAnExpiredOne) {
    TCookieManager manager;
    const TURI url(u"https://h/");
    manager.AddServerCookie(Parsed(u"a=1", u"https://h/"), url, kNow);
    manager.AddServerCookie(Parsed(u"A=2", u"https://h/"), url, kNow);
    EXPECT_EQ(manager.CookieHeaders(url, kNow), u"A=2");
    // Another path is another cookie.
    manager.AddServerCookie(Parsed(u"a=3; Path=/p", u"https://h/p"), TURI(u"https://h/p"), kNow);
    EXPECT_EQ(manager.CookieHeaders(TURI(u"https://h/p"), kNow), u"a=3; A=2");
    manager.AddServerCookie(Parsed(u"a=4; Path=/p", u"https://h/p"), TURI(u"https://h/p"), kNow);
    EXPECT_EQ(manager.CookieHeaders(TURI(u"https://h/p"), kNow), u"a=4; A=2");
    manager.AddServerCookie(Parsed(u"a=x; Path=/p; Max-Age=0", u"https://h/p"),
                            TURI(u"https://h/p"), kNow);
    manager.AddServerCookie(Parsed(u"a=x; Expires=Wed, 21 Oct 2015 07:28:00 GMT", u"https://h/"),
                            url, kNow);
    EXPECT_EQ(manager.CookieHeaders(url, kNow), u"");
}

struct MatchCase {
    const char16_t* SetCookie;
    const char16_t* RequestUrl;
    bool Sent;
};

class CookieMatching : public testing::TestWithParam<MatchCase> {};

// A cookie goes only to a host and path it matches, whatever else the store holds.
TEST_P(CookieMatching, SendsOnlyToMatchingHostAndPath) {
    TCookieManager manager;
    const TURI origin(u"https://www.example.com/docs/a");
    ASSERT_TRUE(manager.AddServerCookie(
        Parsed(GetParam().SetCookie, u"https://www.example.com/docs/a"), origin, kNow));
    EXPECT_EQ(!manager.CookieHeaders(TURI(GetParam().RequestUrl), kNow).empty(), GetParam().Sent)
        << ToUtf8(GetParam().SetCookie) << " -> " << ToUtf8(GetParam().RequestUrl);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CookieMatching,
    testing::Values(
        // No Domain attribute: the host itself only.
        MatchCase{u"a=1", u"https://www.example.com/docs", true},
        MatchCase{u"a=1", u"https://sub.www.example.com/docs", false},
        MatchCase{u"a=1", u"https://example.com/docs", false},
        MatchCase{u"a=1", u"https://other.test/docs", false},
        // A Domain attribute: that domain and the hosts under it.
        MatchCase{u"a=1; Domain=example.com", u"https://example.com/docs", true},
        MatchCase{u"a=1; Domain=example.com", u"https://x.y.example.com/docs/more", true},
        MatchCase{u"a=1; Domain=example.com", u"https://badexample.com/docs", false},
        MatchCase{u"a=1; Domain=EXAMPLE.com", u"https://WWW.example.com/docs", true},
        // Paths: the same path, or below it at a '/'.
        MatchCase{u"a=1", u"https://www.example.com/docs/x/y", true},
        MatchCase{u"a=1", u"https://www.example.com/docsets", false},
        MatchCase{u"a=1", u"https://www.example.com/", false},
        MatchCase{u"a=1; Path=/", u"https://www.example.com/anything", true},
        MatchCase{u"a=1; Path=/docs/", u"https://www.example.com/docs/a", true},
        MatchCase{u"a=1; Path=/docs/", u"https://www.example.com/docs", false}));

TEST(CookieMatching, AddressesHaveNoParentDomains) {
    EXPECT_TRUE(CookieDomainMatches(u".127.0.0.1", false, u"127.0.0.1"));
    EXPECT_FALSE(CookieDomainMatches(u".0.0.1", false, u"127.0.0.1"));
    EXPECT_FALSE(CookieDomainMatches(u".1]", false, u"[::1]"));
    EXPECT_FALSE(CookieDomainMatches(u".3.4]", false, u"[::ffff:1.2.3.4]"));
    EXPECT_FALSE(CookieDomainMatches(u".", false, u"h"));
}

TEST(Cookie, ExpiryFromMaxAgeAndDatesTakesTheUsualForms) {
    struct Case {
        const char16_t* SetCookie;
        std::optional<TCookie::TDateTime> Expires;
    };
    const auto at = [](std::int64_t s) { return TCookie::TDateTime(std::chrono::seconds(s)); };
    const Case cases[] = {
        {u"k=v; Expires=Wed, 21-Oct-2015 07:28:00 GMT", at(1445412480)},
        {u"k=v; expires=Thu, 01 Jan 1970 00:00:00 GMT", at(0)},
        {u"k=v; Expires=Mon, 01 Jan 1601 00:00:00 GMT", at(0)}, // no overflow of the clock
        {u"k=v; Expires=Mon, 01 Jan 1600 00:00:00 GMT", std::nullopt},
        {u"k=v; Expires=not a date", std::nullopt},
        {u"k=v; Max-Age=abc", std::nullopt},
        {u"k=v; Max-Age=-5", TCookie::TDateTime::min()},
        {u"k=v; Max-Age=99999999999999999999", kNow + std::chrono::seconds(3'000'000'000)},
        {u"k=v; Expires=Wed, 21 Oct 2015 07:28:00 GMT; Max-Age=1", kNow + 1s},
    };
    for (const Case& c : cases)
        EXPECT_EQ(Parsed(c.SetCookie).Expires, c.Expires) << ToUtf8(c.SetCookie);
}

} // namespace
} // namespace velora

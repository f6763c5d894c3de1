#include "launcher/numbers.hpp"
#include "rtl/exceptions.hpp"

#include <gtest/gtest.h>

#include <optional>

namespace velora {
namespace {

struct IntCase {
    std::u16string_view text;
    std::optional<std::int32_t> expected;
};

class IntegerTextRule : public testing::TestWithParam<IntCase> {};

TEST_P(IntegerTextRule, ParsesOrRejects) {
    const IntCase& c = GetParam();
    std::int32_t value = 12345;
    const bool ok = TryStrToInt(c.text, value);
    ASSERT_EQ(ok, c.expected.has_value()) << ToUtf8(c.text);
    if (ok) {
        EXPECT_EQ(value, *c.expected) << ToUtf8(c.text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Examples, IntegerTextRule,
    testing::Values(IntCase{u"42", 42}, IntCase{u"  42", 42}, IntCase{u"+7", 7}, IntCase{u"007", 7},
                    IntCase{u"0x2A", 42}, IntCase{u"$2a", 42}, IntCase{u"X2A", 42},
                    IntCase{u"-$10", -16}, IntCase{u"42 ", {}}, IntCase{u"4 2", {}},
                    IntCase{u"- 5", {}}, IntCase{u"+-5", {}}, IntCase{u"1e3", {}},
                    IntCase{u"42.0", {}}, IntCase{u"$", {}}, IntCase{u"0x", {}}, IntCase{u"-", {}},
                    IntCase{u"   ", {}}, IntCase{u"", {}}));

INSTANTIATE_TEST_SUITE_P(
    Limits, IntegerTextRule,
    testing::Values(IntCase{u"2147483647", 2147483647}, IntCase{u"2147483648", {}},
                    IntCase{u"-2147483648", INT32_MIN}, IntCase{u"-2147483649", {}},
                    IntCase{u"4294967296", {}}, IntCase{u"21474836470", {}},
                    IntCase{u"0000000000002147483647", 2147483647}, IntCase{u"0", 0},
                    IntCase{u"-0", 0}, IntCase{u"$FFFFFFFF", -1}, IntCase{u"$80000000", INT32_MIN},
                    IntCase{u"$7fffffff", 2147483647}, IntCase{u"$100000000", {}},
                    IntCase{u"$000000000000001F", 31}, IntCase{u"-$80000000", INT32_MIN},
                    IntCase{u"-$FFFFFFFF", 1}, IntCase{u"-0x1", -1}, IntCase{u"0X1f", 31},
                    IntCase{u"x", {}}));

INSTANTIATE_TEST_SUITE_P(OtherUnits, IntegerTextRule,
                         testing::Values(IntCase{u"\t42", {}}, IntCase{u"42\r\n", {}},
                                         IntCase{u"\u00A042", {}}, IntCase{u"\uFEFF42", {}},
                                         IntCase{u"\uFF14\uFF12", {}}, IntCase{u"--5", {}},
                                         IntCase{u"++5", {}}, IntCase{u"$-5", {}},
                                         IntCase{u"0$5", {}}, IntCase{u"00x5", {}},
                                         IntCase{u"$ 5", {}}, IntCase{u"1F", {}},
                                         IntCase{u"$1G", {}}, IntCase{u"5-", {}},
                                         IntCase{std::u16string_view(u"4\0"
                                                                     "2",
                                                                     3),
                                                 {}}));

TEST(StrToInt, FailureNamesTheTextAndTheType) {
    try {
        StrToInt(u"42.0");
        FAIL() << "no failure";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), u"'42.0' is not a valid integer value for Integer type");
    }
    EXPECT_EQ(StrToInt(u"-$10"), -16);
}

} // namespace
} // namespace velora

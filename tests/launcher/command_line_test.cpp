#include "launcher/command_line.hpp"

#include <gtest/gtest.h>

namespace velora {
namespace {

struct SplitCase {
    std::u16string_view text;
    std::vector<UnicodeString> args;
};

class CommandLineSplit : public testing::TestWithParam<SplitCase> {};

TEST_P(CommandLineSplit, SplitsAsWindowsWould) {
    EXPECT_EQ(SplitCommandLine(GetParam().text), GetParam().args) << ToUtf8(GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CommandLineSplit,
    testing::Values(
        SplitCase{u"", {}}, SplitCase{u"   \t ", {}}, SplitCase{u"37 velora", {u"37", u"velora"}},
        SplitCase{u"-5 velora", {u"-5", u"velora"}}, SplitCase{u"  a\t\tb  ", {u"a", u"b"}},
        SplitCase{u"\"a b\" c", {u"a b", u"c"}}, SplitCase{u"a\"b c\"d", {u"ab cd"}},
        SplitCase{u"\"\"", {u""}}, SplitCase{u"\"unterminated arg", {u"unterminated arg"}},
        SplitCase{u"a\\b c\\\\d", {u"a\\b", u"c\\\\d"}}, SplitCase{u"a\\\"b", {u"a\"b"}},
        SplitCase{u"a\\\\\"b c\"", {u"a\\b c"}}, SplitCase{u"a\\\\\\\"b", {u"a\\\"b"}},
        SplitCase{u"\"a\"\"b\"", {u"a\"b"}}, SplitCase{u"tail\\", {u"tail\\"}}));

} // namespace
} // namespace velora

#include "process/command_line.h"

#include <gtest/gtest.h>
#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <string>
#include <string_view>

#include "argument_generator.h"

namespace qor {
namespace {

struct QuoteCase {
    std::wstring_view input;
    std::wstring_view quoted;
};

void PrintTo(const QuoteCase& c, std::ostream* out) { *out << "input of " << c.input.size() << " units"; }

class QuoteArgument : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(QuoteArgument, GivesExactlyTheQuotedForm) { EXPECT_EQ(quote_argument(GetParam().input), GetParam().quoted); }

// The reference examples, character for character.
INSTANTIATE_TEST_SUITE_P(ReferenceExamples, QuoteArgument,
                         ::testing::Values(QuoteCase{LR"(abc)", LR"("abc")"}, QuoteCase{LR"(a b)", LR"("a b")"},
                                           QuoteCase{L"", LR"("")"}, QuoteCase{LR"(a"b)", LR"("a\"b")"},
                                           QuoteCase{LR"(a\"b)", LR"("a\\\"b")"}, QuoteCase{LR"(a\\b)", LR"("a\\b")"},
                                           QuoteCase{LR"(D:\dir\)", LR"("D:\dir\\")"}, QuoteCase{LR"(\)", LR"("\\")"},
                                           QuoteCase{LR"(\\server\share)", LR"("\\server\share")"}));

INSTANTIATE_TEST_SUITE_P(EdgeCases, QuoteArgument,
                         ::testing::Values(
                             // Trailing runs double because they stand before the closing quote.
                             QuoteCase{LR"(a\\\)", LR"("a\\\\\\")"}, QuoteCase{LR"(\\\)", LR"("\\\\\\")"},
                             QuoteCase{LR"(C:\)", LR"("C:\\")"},
                             // Inner runs before an ordinary character stay as they are.
                             QuoteCase{LR"(a\\\b)", LR"("a\\\b")"}, QuoteCase{LR"(\\\\?\C:\x)", LR"("\\\\?\C:\x")"},
                             // Quotes, alone or in runs, at the start and at the end.
                             QuoteCase{LR"(")", LR"("\"")"}, QuoteCase{LR"("")", LR"("\"\"")"},
                             QuoteCase{LR"("a)", LR"("\"a")"}, QuoteCase{LR"(a")", LR"("a\"")"},
                             // A run before a quote and another at the end, and a quote between runs.
                             QuoteCase{LR"(a\\"b\\)", LR"("a\\\\\"b\\\\")"}, QuoteCase{LR"(\"\)", LR"("\\\"\\")"},
                             QuoteCase{LR"(\a"\)", LR"("\a\"\\")"},
                             // Blanks only: quoted like everything else, never dropped.
                             QuoteCase{L" ", LR"(" ")"}, QuoteCase{L"  ", LR"("  ")"},
                             // Tabs, line ends, controls and non-ASCII are ordinary code units.
                             QuoteCase{L"a\tb", L"\"a\tb\""}, QuoteCase{L"x\ny\r", L"\"x\ny\r\""},
                             QuoteCase{L"\x0001", L"\"\x0001\""},
                             QuoteCase{L"\u00e9\u4e2d\U0001F600", L"\"\u00e9\u4e2d\U0001F600\""},
                             QuoteCase{L"\xd800\\", L"\"\xd800\\\\\""}, QuoteCase{L"\\\xdc00", L"\"\\\xdc00\""}));

TEST(QuoteArgumentBackslashes, RunOfNBeforeAQuoteBecomesTwoNPlusOne) {
    for (std::size_t n = 0; n <= 40; ++n) {
        SCOPED_TRACE(n);
        const std::wstring input = L"x" + std::wstring(n, L'\\') + L"\"y";
        const std::wstring expected = L"\"x" + std::wstring(2 * n + 1, L'\\') + L"\"y\"";
        EXPECT_EQ(quote_argument(input), expected);
    }
}

TEST(QuoteArgumentBackslashes, RunOfNAtTheEndBecomesTwoN) {
    for (std::size_t n = 0; n <= 40; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(quote_argument(L"x" + std::wstring(n, L'\\')), L"\"x" + std::wstring(2 * n, L'\\') + L"\"");
    }
}

TEST(QuoteArgumentBackslashes, RunOfNBeforeAnOrdinaryCharacterStaysN) {
    for (std::size_t n = 0; n <= 40; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(quote_argument(std::wstring(n, L'\\') + L"y"), L"\"" + std::wstring(n, L'\\') + L"y\"");
    }
}

TEST(QuoteArgument, LongArgumentIsNotCutAndStaysWithinTwiceItsLengthPlusThree) {
    const std::wstring input = std::wstring(20'000, L'"');
    const std::wstring quoted = quote_argument(input);
    EXPECT_EQ(quoted.size(), 2 * input.size() + 2);
    EXPECT_LE(quoted.size(), 2 * input.size() + 3);
    EXPECT_EQ(quoted.substr(0, 5), LR"("\"\")");
}

TEST(BuildCommandLine, ExecutableAloneHasNoTrailingBlank) {
    EXPECT_EQ(build_command_line(LR"(C:\Qor Root\versions\QorLauncher.exe)", {}),
              LR"("C:\Qor Root\versions\QorLauncher.exe")");
}

TEST(BuildCommandLine, EmptyArgumentsKeepTheirPlaces) {
    EXPECT_EQ(build_command_line(LR"(C:\l.exe)", {L"", L"a", L"", L"", L"b", L""}),
              LR"("C:\l.exe" "" "a" "" "" "b" "")");
}

TEST(BuildCommandLine, ElementsAreSeparatedByExactlyOneBlankInOrder) {
    EXPECT_EQ(build_command_line(LR"(C:\l.exe)", {L"--launcher-root", LR"(C:\Qor Root\)", L"a\"b", L" "}),
              LR"("C:\l.exe" "--launcher-root" "C:\Qor Root\\" "a\"b" " ")");
}

TEST(BuildCommandLine, ExecutablePathFollowsTheSameQuotingRule) {
    EXPECT_EQ(build_command_line(LR"(\\server\share\l.exe)", {L"x"}), LR"("\\server\share\l.exe" "x")");
}

// The system's own splitter gives every generated list back, in order.
TEST(BuildCommandLine, CommandLineToArgvWSplitsGeneratedListsBackExactly) {
    constexpr std::wstring_view kExecutable = LR"(C:\Qor Root\versions\abc\QorLauncher.exe)";
    test::ArgumentListGenerator generator(/*seed=*/20'261'208);
    int mismatches = 0;
    for (int i = 0; i < 20'000 && mismatches < 5; ++i) {
        const ArgumentList arguments = generator.next();
        const std::wstring line = build_command_line(kExecutable, arguments);
        int count = 0;
        wchar_t** split = ::CommandLineToArgvW(line.c_str(), &count);
        ASSERT_NE(split, nullptr);
        ArgumentList back(split + 1, split + count);
        const std::wstring program = count > 0 ? split[0] : L"";
        ::LocalFree(split);
        if (program != kExecutable || back != arguments) {
            ++mismatches;
            ADD_FAILURE() << "list " << i << " with " << arguments.size() << " arguments came back as " << back.size();
        }
    }
}

}  // namespace
}  // namespace qor

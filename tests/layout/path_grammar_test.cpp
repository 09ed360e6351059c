// The Windows path grammar that path inspection walks: root names, root
// directory, elements, the lexically normal form and the append rule.

#include "base/path_grammar.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qor {
namespace {

struct SplitCase {
    const wchar_t* path;
    const wchar_t* root_name;
    const wchar_t* root_directory;
    const wchar_t* relative;
};

class SplitPath : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitPath, FindsRootNameRootDirectoryAndRest) {
    const SplitCase& c = GetParam();
    const PathParts parts = split_path(c.path);
    EXPECT_EQ(parts.root_name, std::wstring_view(c.root_name)) << c.path;
    EXPECT_EQ(parts.root_directory, std::wstring_view(c.root_directory)) << c.path;
    EXPECT_EQ(parts.relative, std::wstring_view(c.relative)) << c.path;
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, SplitPath,
    ::testing::Values(
        // Drives: one ASCII letter of either case and a colon.
        SplitCase{LR"(C:)", L"C:", L"", L""}, SplitCase{LR"(c:\x)", L"c:", LR"(\)", L"x"},
        SplitCase{LR"(D:versions)", L"D:", L"", L"versions"}, SplitCase{LR"(z:/a/b)", L"z:", L"/", L"a/b"},
        SplitCase{LR"(1:\x)", L"", L"", LR"(1:\x)"}, SplitCase{L"\u00e9:\\x", L"", L"", L"\u00e9:\\x"},
        SplitCase{LR"(C:\\\x)", L"C:", LR"(\\\)", L"x"},
        // Device prefixes, with either separator, when a non-separator (or nothing) follows.
        SplitCase{LR"(\\?\C:\x)", LR"(\\?)", LR"(\)", LR"(C:\x)"},
        SplitCase{LR"(\\.\pipe\x)", LR"(\\.)", LR"(\)", LR"(pipe\x)"},
        SplitCase{LR"(\??\C:\x)", LR"(\??)", LR"(\)", LR"(C:\x)"},
        SplitCase{LR"(//?/C:)", LR"(//?)", LR"(/)", LR"(C:)"}, SplitCase{LR"(\\?\)", LR"(\\?)", LR"(\)", L""},
        SplitCase{LR"(\??\)", LR"(\??)", LR"(\)", L""},
        // "\??" followed by two separators is no device prefix, and not a server name either.
        SplitCase{LR"(\??\\x)", L"", LR"(\)", LR"(??\\x)"}, SplitCase{LR"(\??)", L"", LR"(\)", LR"(??)"},
        // Server names: two separators, then a non-separator, up to the next separator.
        SplitCase{LR"(\\server\share\x)", LR"(\\server)", LR"(\)", LR"(share\x)"},
        SplitCase{LR"(\\server)", LR"(\\server)", L"", L""},
        SplitCase{LR"(//host/share)", LR"(//host)", L"/", L"share"},
        SplitCase{LR"(\\\server)", L"", LR"(\\\)", L"server"},
        // No root name.
        SplitCase{L"", L"", L"", L""}, SplitCase{L"x", L"", L"", L"x"}, SplitCase{LR"(\)", L"", LR"(\)", L""},
        SplitCase{LR"(/x/y)", L"", L"/", L"x/y"}, SplitCase{LR"(a\b)", L"", L"", LR"(a\b)"}));

struct ElementsCase {
    const wchar_t* path;
    std::vector<std::wstring> elements;
};

class PathElements : public ::testing::TestWithParam<ElementsCase> {};

TEST_P(PathElements, ListsRootNameRootDirectoryNamesAndFinalEmptyElement) {
    EXPECT_EQ(path_elements(GetParam().path), GetParam().elements) << GetParam().path;
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, PathElements,
    ::testing::Values(ElementsCase{L"", {}}, ElementsCase{LR"(C:)", {L"C:"}}, ElementsCase{LR"(C:\)", {L"C:", LR"(\)"}},
                      ElementsCase{LR"(C:\a\b)", {L"C:", LR"(\)", L"a", L"b"}},
                      ElementsCase{LR"(C:\a\b\)", {L"C:", LR"(\)", L"a", L"b", L""}},
                      ElementsCase{LR"(C:\a//)", {L"C:", LR"(\)", L"a", L""}}, ElementsCase{LR"(C:a)", {L"C:", L"a"}},
                      ElementsCase{LR"(\\server\share\x)", {LR"(\\server)", LR"(\)", L"share", L"x"}},
                      ElementsCase{LR"(\\?\D:\Starter)", {LR"(\\?)", LR"(\)", L"D:", L"Starter"}},
                      ElementsCase{LR"(a\\b\\)", {L"a", L"b", L""}}, ElementsCase{LR"(\)", {LR"(\)"}}));

struct TextCase {
    const wchar_t* input;
    const wchar_t* expected;
};

class LexicallyNormal : public ::testing::TestWithParam<TextCase> {};

TEST_P(LexicallyNormal, FollowsTheStandardRules) {
    EXPECT_EQ(lexically_normal(GetParam().input), GetParam().expected) << GetParam().input;
}

INSTANTIATE_TEST_SUITE_P(Grammar, LexicallyNormal,
                         ::testing::Values(
                             // Separators: slashes become backslashes, runs become one.
                             TextCase{LR"(C:/a/b)", LR"(C:\a\b)"}, TextCase{LR"(C:\a\\\b)", LR"(C:\a\b)"},
                             TextCase{LR"(//server/share)", LR"(\\server\share)"},
                             TextCase{LR"(//?/C:/x)", LR"(\\?\C:\x)"}, TextCase{LR"(C:\\)", LR"(C:\)"},
                             // "." goes with the separator after it.
                             TextCase{LR"(C:\a\.\b)", LR"(C:\a\b)"}, TextCase{LR"(C:\a\b\.)", LR"(C:\a\b\)"},
                             TextCase{LR"(.\a)", L"a"}, TextCase{L".", L"."},
                             // A name followed by ".." goes with it, repeatedly.
                             TextCase{LR"(C:\a\b\..\c)", LR"(C:\a\c)"}, TextCase{LR"(C:\a\b\c\..\..\d)", LR"(C:\a\d)"},
                             TextCase{LR"(C:\a\b\..)", LR"(C:\a\)"}, TextCase{LR"(C:\a\..)", LR"(C:\)"},
                             TextCase{LR"(\\server\share\..\x)", LR"(\\server\x)"},
                             // ".." right after the root directory goes nowhere; elsewhere it stays.
                             TextCase{LR"(C:\..\a)", LR"(C:\a)"}, TextCase{LR"(C:\a\..\..\b)", LR"(C:\b)"},
                             TextCase{LR"(..\a)", LR"(..\a)"}, TextCase{LR"(a\..\..\b)", LR"(..\b)"},
                             TextCase{LR"(C:a\..\..)", L"C:.."},
                             // A trailing separator stays, except after a final "..".
                             TextCase{LR"(C:\a\b\)", LR"(C:\a\b\)"}, TextCase{LR"(..\..\)", LR"(..\..)"},
                             TextCase{LR"(..\..\a\)", LR"(..\..\a\)"},
                             // An empty result becomes ".".
                             TextCase{LR"(a\..)", L"."}, TextCase{LR"(a\..\)", L"."}, TextCase{L"", L""}));

struct AppendCase {
    const wchar_t* left;
    const wchar_t* right;
    const wchar_t* expected;
};

class AppendPath : public ::testing::TestWithParam<AppendCase> {};

TEST_P(AppendPath, JoinsByTheStandardRule) {
    const AppendCase& c = GetParam();
    EXPECT_EQ(append_path(c.left, c.right), c.expected) << c.left << L" + " << c.right;
}

INSTANTIATE_TEST_SUITE_P(
    Grammar, AppendPath,
    ::testing::Values(
        // One separator between, unless the left is empty, ends in one, or is a bare drive.
        AppendCase{LR"(D:\Apps\Starter)", L"versions", LR"(D:\Apps\Starter\versions)"},
        AppendCase{LR"(D:\Apps\Starter\)", L"versions", LR"(D:\Apps\Starter\versions)"},
        AppendCase{LR"(D:\Apps/)", L"versions", LR"(D:\Apps/versions)"},
        AppendCase{LR"(D:\)", L"versions", LR"(D:\versions)"}, AppendCase{L"D:", L"versions", L"D:versions"},
        AppendCase{L"", L"versions", L"versions"}, AppendCase{L"a", L"b", LR"(a\b)"},
        // The empty element adds a trailing separator.
        AppendCase{LR"(D:\Apps)", L"", LR"(D:\Apps\)"},
        // Root name and root directory elements, as the inspection walk appends them.
        AppendCase{L"", L"D:", L"D:"}, AppendCase{L"D:", LR"(\)", LR"(D:\)"},
        AppendCase{LR"(\\server)", LR"(\)", LR"(\\server\)"}, AppendCase{LR"(\\?)", LR"(\)", LR"(\\?\)"},
        // A different root name replaces; the same one does not.
        AppendCase{LR"(\\?\)", L"D:", L"D:"}, AppendCase{LR"(D:\Apps)", L"E:x", L"E:x"},
        AppendCase{LR"(D:\Apps)", LR"(E:\x)", LR"(E:\x)"}, AppendCase{LR"(D:\Apps)", L"D:x", LR"(D:\Apps\x)"},
        AppendCase{LR"(D:\Apps)", LR"(\\server\s)", LR"(\\server\s)"},
        // A root directory without a root name keeps only the left root name.
        AppendCase{LR"(D:\Apps)", LR"(\x)", LR"(D:\x)"}, AppendCase{LR"(D:\Apps)", LR"(D:\x)", LR"(D:\x)"}));

TEST(ParentPath, DropsTheLastElementButNeverTheRoot) {
    EXPECT_EQ(parent_path(LR"(C:\a\b)"), LR"(C:\a)");
    EXPECT_EQ(parent_path(LR"(C:\a\b\)"), LR"(C:\a\b)");  // the last element is the empty one
    EXPECT_EQ(parent_path(LR"(C:\a)"), LR"(C:\)");
    EXPECT_EQ(parent_path(LR"(C:\)"), LR"(C:\)");
    EXPECT_EQ(parent_path(LR"(\\server\share)"), LR"(\\server\)");
}

TEST(ToPathText, KeepsEveryAsciiCharacter) {
    EXPECT_EQ(to_path_text("versions"), L"versions");
    EXPECT_EQ(to_path_text("QorLauncher.exe"), L"QorLauncher.exe");
    EXPECT_EQ(to_path_text(std::string_view("a\0b", 3)), std::wstring(L"a\0b", 3));
    EXPECT_EQ(to_path_text(""), L"");
}

}  // namespace
}  // namespace qor

// The prefix walk of path inspection, driven through the attribute-query seam
// so that every answer (also codes Wine never gives) can be played.

#include "layout/path_safety.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/failure.h"

namespace qor {
namespace {

constexpr std::uint32_t kDirectory = 0x10;
constexpr std::uint32_t kLinkedFolder = 0x410;  // what Wine shows for a link to a folder
const std::string kRedirects = "Launcher paths cannot use redirects";
const std::string kCannotInspect = "Cannot inspect launcher path";

// Answers from a table (a folder for anything not listed) and records every question.
struct ScriptedQuery {
    std::map<Path, AttributeAnswer> answers;
    std::vector<Path> asked;

    AttributeQuery seam() {
        return [this](const Path& path) {
            asked.push_back(path);
            const auto found = answers.find(path);
            return found == answers.end() ? AttributeAnswer{kDirectory, 0} : found->second;
        };
    }
};

AttributeAnswer failing(std::uint32_t error) { return {kInvalidFileAttributes, error}; }

// The message of the Failure that inspection throws, or "" when it completes.
std::string inspect_message(const Path& path, ScriptedQuery& query) {
    try {
        inspect_launcher_path(path, query.seam());
    } catch (const Failure& failure) {
        return failure.what();
    }
    return "";
}

struct PrefixCase {
    const wchar_t* path;
    std::vector<std::wstring> prefixes;
};

class PrefixTable : public ::testing::TestWithParam<PrefixCase> {};

TEST_P(PrefixTable, QueriesEveryPrefixFromTheTopInOrder) {
    ScriptedQuery query;
    EXPECT_EQ(inspect_message(GetParam().path, query), "");
    EXPECT_EQ(query.asked, GetParam().prefixes);
}

INSTANTIATE_TEST_SUITE_P(
    Walk, PrefixTable,
    ::testing::Values(PrefixCase{LR"(D:\Apps\Starter)", {LR"(D:\)", LR"(D:\Apps)", LR"(D:\Apps\Starter)"}},
                      PrefixCase{LR"(D:\Apps\Starter\)",
                                 {LR"(D:\)", LR"(D:\Apps)", LR"(D:\Apps\Starter)", LR"(D:\Apps\Starter\)"}},
                      PrefixCase{LR"(D:\)", {LR"(D:\)"}},
                      PrefixCase{LR"(\\server\share\Starter)",
                                 {LR"(\\server)", LR"(\\server\)", LR"(\\server\share)", LR"(\\server\share\Starter)"}},
                      // Under a device prefix the walk starts at the volume's top folder, named under the prefix.
                      PrefixCase{LR"(\\?\D:\Starter)", {LR"(\\?\D:\)", LR"(\\?\D:\Starter)"}},
                      PrefixCase{LR"(\\?\UNC\server\share\Starter)",
                                 {LR"(\\?\UNC\server\share\)", LR"(\\?\UNC\server\share\Starter)"}},
                      // The walk works on the normal form: unified separators, no "." and no name before "..".
                      PrefixCase{LR"(D:/Apps//Starter)", {LR"(D:\)", LR"(D:\Apps)", LR"(D:\Apps\Starter)"}},
                      PrefixCase{LR"(D:\Apps\.\Old\..\Starter)", {LR"(D:\)", LR"(D:\Apps)", LR"(D:\Apps\Starter)"}}));

TEST(Inspection, EmptyPathIsAcceptedWithoutAnyQuery) {
    ScriptedQuery query;
    EXPECT_EQ(inspect_message(L"", query), "");
    EXPECT_TRUE(query.asked.empty());
}

TEST(Inspection, OnlyCodesTwoAndThreeCountAsMissingAndTheWalkGoesOn) {
    ScriptedQuery query;
    query.answers[LR"(D:\Apps)"] = failing(ERROR_PATH_NOT_FOUND);
    query.answers[LR"(D:\Apps\Starter)"] = failing(ERROR_FILE_NOT_FOUND);
    query.answers[LR"(D:\Apps\Starter\launcher-state)"] = failing(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(inspect_message(LR"(D:\Apps\Starter\launcher-state)", query), "");
    EXPECT_EQ(query.asked.size(), 4u);
}

TEST(Inspection, RedirectBelowAMissingPrefixIsStillRefused) {
    ScriptedQuery query;
    query.answers[LR"(D:\Apps)"] = failing(ERROR_PATH_NOT_FOUND);
    query.answers[LR"(D:\Apps\Starter)"] = {kLinkedFolder, 0};
    EXPECT_EQ(inspect_message(LR"(D:\Apps\Starter\launcher-state)", query), kRedirects);
    EXPECT_EQ(query.asked.back(), LR"(D:\Apps\Starter)");
}

const std::vector<std::wstring> kDeepPrefixes = {LR"(D:\)", LR"(D:\Apps)", LR"(D:\Apps\Starter)",
                                                 LR"(D:\Apps\Starter\versions)",
                                                 LR"(D:\Apps\Starter\versions\QorLauncher.exe)"};
const wchar_t* const kDeepPath = LR"(D:\Apps\Starter\versions\QorLauncher.exe)";

struct StopCase {
    AttributeAnswer answer;
    const char* message;
};

class StopsAtEveryDepth : public ::testing::TestWithParam<std::tuple<StopCase, std::size_t>> {};

TEST_P(StopsAtEveryDepth, FailsAtThatPrefixAndQueriesNothingDeeper) {
    const auto& [stop, depth] = GetParam();
    ScriptedQuery query;
    query.answers[kDeepPrefixes[depth]] = stop.answer;
    EXPECT_EQ(inspect_message(kDeepPath, query), stop.message);
    const std::vector<std::wstring> expected(kDeepPrefixes.begin(),
                                             kDeepPrefixes.begin() + static_cast<std::ptrdiff_t>(depth) + 1);
    EXPECT_EQ(query.asked, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Walk, StopsAtEveryDepth,
    ::testing::Combine(::testing::Values(
                           // The reparse bit alone decides, whatever else is set.
                           StopCase{{0x400, 0}, "Launcher paths cannot use redirects"},
                           StopCase{{kLinkedFolder, 0}, "Launcher paths cannot use redirects"},
                           StopCase{{0x420, 0}, "Launcher paths cannot use redirects"},
                           StopCase{{0x7FFFFFFF, 0}, "Launcher paths cannot use redirects"},
                           // Access denied, network path not found, bad network name: never "missing".
                           StopCase{failing(ERROR_ACCESS_DENIED), "Cannot inspect launcher path"},
                           StopCase{failing(ERROR_BAD_NETPATH), "Cannot inspect launcher path"},
                           StopCase{failing(ERROR_BAD_NET_NAME), "Cannot inspect launcher path"},
                           StopCase{failing(ERROR_INVALID_NAME), "Cannot inspect launcher path"},
                           StopCase{failing(0), "Cannot inspect launcher path"}),
                       ::testing::Range<std::size_t>(0, 5)));

TEST(Inspection, PlainAttributesWithoutTheReparseBitPass) {
    for (const std::uint32_t attributes : {0x10u, 0x20u, 0x80u, 0x1u, 0x7FFFFBFFu, 0xFFFFFBFFu}) {
        ScriptedQuery query;
        for (const auto& prefix : kDeepPrefixes) query.answers[prefix] = {attributes, 0};
        EXPECT_EQ(inspect_message(kDeepPath, query), "") << std::hex << attributes;
        EXPECT_EQ(query.asked, kDeepPrefixes);
    }
}

TEST(Inspection, ServerPrefixThatCannotBeExaminedRefusesTheNetworkPath) {
    ScriptedQuery query;
    query.answers[LR"(\\server)"] = failing(ERROR_BAD_NETPATH);
    EXPECT_EQ(inspect_message(LR"(\\server\share\Starter)", query), kCannotInspect);
    EXPECT_EQ(query.asked, std::vector<std::wstring>{LR"(\\server)"});
}

// Restores the process's current directory on every way out.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::filesystem::path& folder) : saved_(std::filesystem::current_path()) {
        std::filesystem::create_directories(folder);
        std::filesystem::current_path(folder);
    }
    ~CurrentDirectory() { std::filesystem::current_path(saved_); }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    std::filesystem::path saved_;
};

TEST(Inspection, RelativePathIsMadeAbsoluteAgainstTheCurrentDirectory) {
    const CurrentDirectory cwd(LR"(C:\qor-unit\layout-cwd\Starter)");
    ScriptedQuery query;
    EXPECT_EQ(inspect_message(LR"(versions\..\launcher-state)", query), "");
    const std::vector<std::wstring> expected = {LR"(C:\)", LR"(C:\qor-unit)", LR"(C:\qor-unit\layout-cwd)",
                                                LR"(C:\qor-unit\layout-cwd\Starter)",
                                                LR"(C:\qor-unit\layout-cwd\Starter\launcher-state)"};
    EXPECT_EQ(query.asked, expected);
}

TEST(Inspection, DriveRelativePathUsesTheCurrentDirectoryOfThatDrive) {
    const CurrentDirectory cwd(LR"(C:\qor-unit\layout-cwd)");
    ScriptedQuery query;
    EXPECT_EQ(inspect_message(LR"(C:x)", query), "");
    ASSERT_FALSE(query.asked.empty());
    EXPECT_EQ(query.asked.back(), LR"(C:\qor-unit\layout-cwd\x)");
}

TEST(Inspection, DefaultQueryReportsWhatTheSystemAnswers) {
    const AttributeAnswer folder = query_file_attributes(LR"(C:\windows)");
    EXPECT_NE(folder.attributes, kInvalidFileAttributes);
    EXPECT_NE(folder.attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);

    const AttributeAnswer missing = query_file_attributes(LR"(C:\qor-unit\no-such-folder\no-such-file)");
    EXPECT_EQ(missing.attributes, kInvalidFileAttributes);
    EXPECT_TRUE(missing.error == ERROR_FILE_NOT_FOUND || missing.error == ERROR_PATH_NOT_FOUND) << missing.error;
}

TEST(AbsolutePath, LeavesAnAbsolutePathAsTheSystemResolvesIt) {
    EXPECT_EQ(absolute_path(LR"(D:\Apps\Starter)"), LR"(D:\Apps\Starter)");
    EXPECT_EQ(absolute_path(LR"(D:\Apps\Old\..\Starter)"), LR"(D:\Apps\Starter)");
}

}  // namespace
}  // namespace qor

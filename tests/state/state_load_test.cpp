// Loading launcher-state from real files on C: under Wine.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "base/failure.h"
#include "state/state_file.h"
#include "state_test_support.h"

namespace qor {
namespace {

using test::kIdA;
using test::kIdB;
using test::kInvalidState;

const std::string kOversized = "Launcher state is oversized";

// The message of whatever the load threw, or "" when it returned a record.
std::string load_failure(const Path& root, LauncherState* loaded = nullptr) {
    try {
        const LauncherState state = load_launcher_state(root);
        if (loaded != nullptr) *loaded = state;
    } catch (const std::exception& failure) {
        return failure.what();
    }
    return "";
}

struct GoodFile {
    const char* name;
    std::string bytes;
    LauncherState record;
};

class LoadsValidFile : public ::testing::TestWithParam<GoodFile> {};

TEST_P(LoadsValidFile, ReturnsTheRecordAndLeavesTheFileAsItWas) {
    const Path root = test::fresh_test_folder();
    test::write_bytes(test::state_file(root), GetParam().bytes);
    LauncherState loaded;
    EXPECT_EQ(load_failure(root, &loaded), "");
    EXPECT_EQ(loaded, GetParam().record);
    EXPECT_EQ(test::read_bytes(test::state_file(root)), GetParam().bytes);
    EXPECT_TRUE(test::nobody_holds_open(test::state_file(root)));
    EXPECT_FALSE(test::exists(test::temp_file(root)));
}

std::string without_final_lf(std::string text) {
    text.pop_back();
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    RealFiles, LoadsValidFile,
    ::testing::Values(GoodFile{"settled84", test::settled_text(kIdA), {kIdA, "", false}},
                      GoodFile{"settled83", without_final_lf(test::settled_text(kIdA)), {kIdA, "", false}},
                      GoodFile{"staged147", test::staged_text(kIdA, kIdB, false), {kIdA, kIdB, false}},
                      GoodFile{"trial147", test::staged_text(kIdA, kIdB, true), {kIdA, kIdB, true}},
                      GoodFile{"trial146", without_final_lf(test::staged_text(kIdA, kIdB, true)), {kIdA, kIdB, true}},
                      GoodFile{
                          "staged146", without_final_lf(test::staged_text(kIdA, kIdB, false)), {kIdA, kIdB, false}},
                      GoodFile{"staged_equal_current", test::staged_text(kIdB, kIdB, false), {kIdB, kIdB, false}}),
    [](const ::testing::TestParamInfo<GoodFile>& p) { return std::string(p.param.name); });

struct BadFile {
    const char* name;
    std::string bytes;
    std::string message;
};

class RefusesBadFile : public ::testing::TestWithParam<BadFile> {};

TEST_P(RefusesBadFile, WithItsMessageAndWithoutTouchingIt) {
    const Path root = test::fresh_test_folder();
    test::write_bytes(test::state_file(root), GetParam().bytes);
    EXPECT_EQ(load_failure(root), GetParam().message);
    EXPECT_EQ(test::read_bytes(test::state_file(root)), GetParam().bytes);
    EXPECT_TRUE(test::nobody_holds_open(test::state_file(root)));
}

const std::string kSettled = test::settled_text(kIdA);
const std::string kTrial = test::staged_text(kIdA, kIdB, true);
const std::string kMagic = "Qor launcher 1\n";

std::string crlf(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

std::string padded(std::string text, std::size_t count, char byte) {
    text.append(count, byte);
    return text;
}

std::string upper_at(std::string id, std::size_t index) {
    id[index] = 'A';
    return id;
}

INSTANTIATE_TEST_SUITE_P(
    RealFiles, RefusesBadFile,
    ::testing::Values(
        // Size decides first: 161 bytes is oversized whatever it holds.
        BadFile{"oversized_trial_and_padding", padded(kTrial, 14, 'x'), kOversized},
        BadFile{"oversized_line_feeds", std::string(161, '\n'), kOversized},
        BadFile{"oversized_valid_looking", kMagic + kIdA + "\n" + kIdB + "\n0" + std::string(15, ' '), kOversized},
        BadFile{"size_148", kTrial + "\n", kInvalidState}, BadFile{"size_160", padded(kTrial, 13, 'x'), kInvalidState},
        BadFile{"size_160_line_feeds", padded(kTrial, 13, '\n'), kInvalidState}, BadFile{"empty", "", kInvalidState},
        BadFile{"magic_only", kMagic, kInvalidState}, BadFile{"magic_only_without_lf", "Qor launcher 1", kInvalidState},
        BadFile{"two_lines", kMagic + kIdA + "\n", kInvalidState},
        BadFile{"three_lines", kMagic + kIdA + "\n-\n", kInvalidState},
        BadFile{"three_lines_staged", kMagic + kIdA + "\n" + kIdB + "\n", kInvalidState},
        BadFile{"extra_lf", kSettled + "\n", kInvalidState}, BadFile{"fifth_line", kSettled + "x", kInvalidState},
        BadFile{"crlf", crlf(kSettled), kInvalidState}, BadFile{"crlf_staged", crlf(kTrial), kInvalidState},
        BadFile{"magic_with_cr", "Qor launcher 1\r\n" + kIdA + "\n-\n0\n", kInvalidState},
        BadFile{"magic_version_2", "Qor launcher 2\n" + kIdA + "\n-\n0\n", kInvalidState},
        BadFile{"magic_lower_case", "qor launcher 1\n" + kIdA + "\n-\n0\n", kInvalidState},
        BadFile{"magic_trailing_blank", "Qor launcher 1 \n" + kIdA + "\n-\n0\n", kInvalidState},
        BadFile{"byte_order_mark", "\xEF\xBB\xBF" + kSettled, kInvalidState},
        BadFile{"upper_case_current", test::settled_text(upper_at(kIdA, 10)), kInvalidState},
        BadFile{"upper_case_staged", test::staged_text(kIdA, upper_at(kIdB, 63), false), kInvalidState},
        BadFile{"current_63", test::settled_text(kIdA.substr(1)), kInvalidState},
        BadFile{"current_65", test::settled_text(kIdA + "0"), kInvalidState},
        BadFile{"staged_63", test::staged_text(kIdA, kIdB.substr(1), false), kInvalidState},
        BadFile{"staged_65", test::staged_text(kIdA, kIdB + "0", false), kInvalidState},
        BadFile{"current_dash", kMagic + "-\n-\n0\n", kInvalidState},
        BadFile{"current_empty", kMagic + "\n-\n0\n", kInvalidState},
        BadFile{"current_blank_prefixed", kMagic + " " + kIdA + "\n-\n0\n", kInvalidState},
        BadFile{"staged_empty", kMagic + kIdA + "\n\n0\n", kInvalidState},
        BadFile{"trial_true", kMagic + kIdA + "\n" + kIdB + "\ntrue\n", kInvalidState},
        BadFile{"trial_01", kMagic + kIdA + "\n" + kIdB + "\n01\n", kInvalidState},
        BadFile{"trial_blank_1", kMagic + kIdA + "\n" + kIdB + "\n 1\n", kInvalidState},
        BadFile{"trial_empty", kMagic + kIdA + "\n" + kIdB + "\n\n", kInvalidState},
        BadFile{"trial_2", kMagic + kIdA + "\n" + kIdB + "\n2\n", kInvalidState},
        BadFile{"dash_with_trial", kMagic + kIdA + "\n-\n1\n", kInvalidState},
        BadFile{"dash_with_trial_without_lf", kMagic + kIdA + "\n-\n1", kInvalidState},
        BadFile{"zero_byte_in_current", test::settled_text(std::string(63, 'a') + std::string(1, '\0')),
                kInvalidState}),
    [](const ::testing::TestParamInfo<BadFile>& p) { return std::string(p.param.name); });

TEST(LoadStateFile, EveryLengthFrom148To160IsInvalidNotOversized) {
    const Path root = test::fresh_test_folder();
    for (std::size_t extra = 1; extra <= 13; ++extra) {
        const std::string bytes = padded(kTrial, extra, '\n');
        test::write_bytes(test::state_file(root), bytes);
        EXPECT_EQ(load_failure(root), kInvalidState) << bytes.size() << " bytes";
    }
    test::write_bytes(test::state_file(root), padded(kTrial, 14, '\n'));
    EXPECT_EQ(load_failure(root), kOversized);
}

TEST(LoadStateFile, FolderNamedLauncherStateIsAnInvalidState) {
    const Path root = test::fresh_test_folder();
    std::filesystem::create_directory(test::state_file(root));
    EXPECT_EQ(load_failure(root), kInvalidState);
    EXPECT_TRUE(test::is_folder(test::state_file(root)));
}

TEST(LoadStateFile, MissingFileFailsWithTheSizeQueryNamingThePath) {
    const Path root = test::fresh_test_folder();
    try {
        load_launcher_state(root);
        ADD_FAILURE() << "a missing state file loaded";
    } catch (const Failure& error) {
        const std::string what = error.what();
        EXPECT_NE(what.find("file_size"), std::string::npos) << what;
        EXPECT_NE(what.find(std::filesystem::path(test::state_file(root)).string()), std::string::npos) << what;
        EXPECT_TRUE(what.ends_with(" [" + std::filesystem::path(test::state_file(root)).string() + "]")) << what;
    }
    EXPECT_FALSE(test::exists(test::state_file(root)));
    EXPECT_FALSE(test::exists(test::temp_file(root)));
}

TEST(LoadStateFile, ReadsThroughAnotherWritersOpenHandle) {
    // Deny-none: someone else holding the file open for writing does not stop a load.
    const Path root = test::fresh_test_folder();
    test::write_bytes(test::state_file(root), kTrial);
    const HANDLE writer = ::CreateFileW(test::state_file(root).c_str(), GENERIC_READ | GENERIC_WRITE,
                                        /*dwShareMode=*/FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                        /*hTemplateFile=*/nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    LauncherState loaded;
    EXPECT_EQ(load_failure(root, &loaded), "");
    ::CloseHandle(writer);
    EXPECT_EQ(loaded, (LauncherState{kIdA, kIdB, true}));
}

TEST(LoadStateFile, StateFileThatIsALinkIsRefused) {
    const wchar_t* base = _wgetenv(L"QOR_STATE_LINKS");
    ASSERT_NE(base, nullptr) << "run through CTest: its fixture lays the links and sets QOR_STATE_LINKS";
    EXPECT_EQ(load_failure(Path(base) + L"\\state-linked"), "Launcher paths cannot use redirects");
}

}  // namespace
}  // namespace qor

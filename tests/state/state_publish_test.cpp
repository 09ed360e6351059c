// Publishing launcher-state on real files on C: under Wine, and through the
// write seam for the faults Wine cannot produce (a failing flush, a short write).

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "base/failure.h"
#include "state/state_file.h"
#include "state_test_support.h"

namespace qor {
namespace {

using test::kIdA;
using test::kIdB;

const std::string kCannotWrite = "Cannot write launcher state";
const std::string kCannotPublish = "Cannot publish launcher state";
const std::string kInvalidTransition = "Invalid launcher state transition";

std::string publish_failure(const Path& root, const LauncherState& state,
                            const StateWriteCalls& calls = system_state_write_calls()) {
    try {
        publish_launcher_state(root, state, calls);
    } catch (const std::exception& failure) {
        return failure.what();
    }
    return "";
}

std::vector<std::string> folder_listing(const Path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        names.push_back(entry.path().filename().string());
    }
    return names;
}

using test::KindCase;

class PublishEveryKind : public ::testing::TestWithParam<KindCase> {};

TEST_P(PublishEveryKind, WritesTheExactBytesThatLoadBack) {
    const Path root = test::fresh_test_folder();
    EXPECT_EQ(publish_failure(root, GetParam().record), "");
    EXPECT_EQ(test::read_bytes(test::state_file(root)), GetParam().text);
    EXPECT_FALSE(test::exists(test::temp_file(root)));
    EXPECT_EQ(load_launcher_state(root), GetParam().record);
}

INSTANTIATE_TEST_SUITE_P(RealFiles, PublishEveryKind, ::testing::ValuesIn(test::every_record_kind()),
                         [](const ::testing::TestParamInfo<KindCase>& p) { return std::string(p.param.kind); });

TEST(PublishState, InvalidRecordsCreateAndTouchNoFile) {
    const std::vector<LauncherState> invalid = {{kIdA, "", true},
                                                {"", "", false},
                                                {test::with_byte(kIdA, 0, 'A'), "", false},
                                                {kIdA, "-", false},
                                                {kIdA, kIdB.substr(1), true},
                                                {kIdA + "0", kIdB, false}};
    const Path empty_root = test::fresh_folder("PublishState-InvalidRecords-empty");
    const Path used_root = test::fresh_folder("PublishState-InvalidRecords-used");
    test::write_bytes(test::state_file(used_root), test::settled_text(kIdB));
    test::write_bytes(test::temp_file(used_root), "leftover");
    for (const LauncherState& record : invalid) {
        EXPECT_EQ(publish_failure(empty_root, record), kInvalidTransition) << record.current_version;
        EXPECT_EQ(publish_failure(used_root, record), kInvalidTransition) << record.current_version;
    }
    EXPECT_TRUE(folder_listing(empty_root).empty());
    EXPECT_EQ(test::read_bytes(test::state_file(used_root)), test::settled_text(kIdB));
    EXPECT_EQ(test::read_bytes(test::temp_file(used_root)), "leftover");
}

TEST(PublishState, ReplacesALeftoverTemporaryFileAndRemovesIt) {
    const Path root = test::fresh_test_folder();
    test::write_bytes(test::state_file(root), test::settled_text(kIdB));
    test::write_bytes(test::temp_file(root), std::string(300, 'z'));
    EXPECT_EQ(publish_failure(root, {kIdA, kIdB, true}), "");
    EXPECT_EQ(test::read_bytes(test::state_file(root)), test::staged_text(kIdA, kIdB, true));
    EXPECT_FALSE(test::exists(test::temp_file(root)));
}

TEST(PublishState, CreatesAMissingStateFileAndReplacesAnExistingOne) {
    const Path root = test::fresh_test_folder();
    ASSERT_FALSE(test::exists(test::state_file(root)));
    EXPECT_EQ(publish_failure(root, {kIdA, kIdB, false}), "");
    EXPECT_EQ(test::read_bytes(test::state_file(root)), test::staged_text(kIdA, kIdB, false));
    EXPECT_EQ(publish_failure(root, {kIdB, "", false}), "");
    EXPECT_EQ(test::read_bytes(test::state_file(root)), test::settled_text(kIdB));
    EXPECT_EQ(folder_listing(root), std::vector<std::string>{"launcher-state"});
}

TEST(PublishState, TemporaryNameTakenByAFolderOrAReadOnlyFileCannotBeWritten) {
    for (const bool read_only_file : {false, true}) {
        const Path root = test::fresh_test_folder();
        test::write_bytes(test::state_file(root), test::settled_text(kIdB));
        if (read_only_file) {
            test::write_bytes(test::temp_file(root), "left");
            ::SetFileAttributesW(test::temp_file(root).c_str(), FILE_ATTRIBUTE_READONLY);
        } else {
            std::filesystem::create_directory(test::temp_file(root));
        }
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(publish_failure(root, {kIdA, "", false}), kCannotWrite) << read_only_file;
        // Neither ever lets go, unlike a file another program holds: no wait for it.
        EXPECT_LT(std::chrono::steady_clock::now() - started,
                  std::chrono::milliseconds(kSharingConflictBoundMilliseconds))
            << read_only_file;
        EXPECT_EQ(test::read_bytes(test::state_file(root)), test::settled_text(kIdB));
        EXPECT_EQ(test::is_folder(test::temp_file(root)), !read_only_file);
        ::SetFileAttributesW(test::temp_file(root).c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

TEST(PublishState, FailedRenameLeavesTheCompleteNewTextInTheTemporaryFile) {
    const Path root = test::fresh_test_folder();
    std::filesystem::create_directory(test::state_file(root));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(publish_failure(root, {kIdA, kIdB, true}), kCannotPublish);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(kSharingConflictBoundMilliseconds));
    EXPECT_TRUE(test::is_folder(test::state_file(root)));
    EXPECT_EQ(test::read_bytes(test::temp_file(root)), test::staged_text(kIdA, kIdB, true));
    // The next publication replaces what the failed one left behind.
    std::filesystem::remove(test::state_file(root));
    EXPECT_EQ(publish_failure(root, {kIdA, "", false}), "");
    EXPECT_EQ(test::read_bytes(test::state_file(root)), test::settled_text(kIdA));
    EXPECT_FALSE(test::exists(test::temp_file(root)));
}

TEST(PublishState, TemporaryNameHardLinkedToAnotherFileLeavesThatFileAlone) {
    const Path root = test::fresh_test_folder();
    const Path victim = root + L"\\precious.txt";
    test::write_bytes(victim, "precious content that must survive");
    test::write_bytes(test::state_file(root), test::settled_text(kIdB));
    ASSERT_TRUE(::CreateHardLinkW(test::temp_file(root).c_str(), victim.c_str(), /*lpSecurityAttributes=*/nullptr))
        << "CreateHardLinkW failed: " << ::GetLastError();
    ASSERT_EQ(test::read_bytes(test::temp_file(root)), "precious content that must survive");

    EXPECT_EQ(publish_failure(root, {kIdA, kIdB, false}), "");
    EXPECT_EQ(test::read_bytes(victim), "precious content that must survive");
    EXPECT_EQ(test::read_bytes(test::state_file(root)), test::staged_text(kIdA, kIdB, false));
    EXPECT_FALSE(test::exists(test::temp_file(root)));
}

TEST(PublishState, TemporaryNameThatCannotBeRemovedIsNeverWrittenThrough) {
    // Someone holds the hard-linked file open without delete sharing, so the
    // leftover name cannot be removed; publication must not fall back to writing it.
    const Path root = test::fresh_test_folder();
    const Path victim = root + L"\\precious.txt";
    test::write_bytes(victim, "precious content that must survive");
    test::write_bytes(test::state_file(root), test::settled_text(kIdB));
    ASSERT_TRUE(::CreateHardLinkW(test::temp_file(root).c_str(), victim.c_str(), /*lpSecurityAttributes=*/nullptr));
    const HANDLE holder =
        ::CreateFileW(victim.c_str(), GENERIC_READ, /*dwShareMode=*/FILE_SHARE_READ | FILE_SHARE_WRITE,
                      /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                      /*hTemplateFile=*/nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    const std::string failure = publish_failure(root, {kIdA, kIdB, false});
    ::CloseHandle(holder);
    EXPECT_EQ(failure, kCannotWrite);
    EXPECT_EQ(test::read_bytes(victim), "precious content that must survive");
    EXPECT_EQ(test::read_bytes(test::state_file(root)), test::settled_text(kIdB));
}

TEST(PublishState, ProgramHoldingTheStateForAMomentIsWaitedOutWithinTheBound) {
    // As a scanner or indexer does: open for reading, without delete sharing.
    auto hold = [](const Path& path) {
        return ::CreateFileW(path.c_str(), GENERIC_READ, /*dwShareMode=*/FILE_SHARE_READ | FILE_SHARE_WRITE,
                             /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                             /*hTemplateFile=*/nullptr);
    };
    const Path root = test::fresh_test_folder();
    test::write_bytes(test::state_file(root), test::settled_text(kIdB));

    const HANDLE brief = hold(test::state_file(root));
    ASSERT_NE(brief, INVALID_HANDLE_VALUE);
    std::thread let_go([brief] {
        ::Sleep(300);
        ::CloseHandle(brief);
    });
    const std::string after_brief_hold = publish_failure(root, {kIdA, kIdB, true});
    let_go.join();
    EXPECT_EQ(after_brief_hold, "");
    EXPECT_EQ(test::read_bytes(test::state_file(root)), test::staged_text(kIdA, kIdB, true));

    const HANDLE lasting = hold(test::state_file(root));
    ASSERT_NE(lasting, INVALID_HANDLE_VALUE);
    const auto started = std::chrono::steady_clock::now();
    const std::string past_the_bound = publish_failure(root, {kIdA, "", false});
    const auto waited = std::chrono::steady_clock::now() - started;
    ::CloseHandle(lasting);
    EXPECT_EQ(past_the_bound, kCannotPublish);
    EXPECT_GE(waited, std::chrono::milliseconds(kSharingConflictBoundMilliseconds));
    EXPECT_EQ(test::read_bytes(test::state_file(root)), test::staged_text(kIdA, kIdB, true));
    EXPECT_EQ(test::read_bytes(test::temp_file(root)), test::settled_text(kIdA));
}

class LinkedStateNames : public ::testing::Test {
protected:
    void SetUp() override {
        const wchar_t* base = _wgetenv(L"QOR_STATE_LINKS");
        ASSERT_NE(base, nullptr) << "run through CTest: its fixture lays the links and sets QOR_STATE_LINKS";
        base_ = base;
    }
    Path base_;
};

TEST_F(LinkedStateNames, LinkAtEitherNameIsRefusedBeforeAnythingIsWritten) {
    const Path state_linked = base_ + L"\\state-linked";
    const Path temp_linked = base_ + L"\\temp-linked";
    test::write_bytes(test::state_file(temp_linked), test::settled_text(kIdB));

    EXPECT_EQ(publish_failure(state_linked, {kIdA, "", false}), "Launcher paths cannot use redirects");
    EXPECT_FALSE(test::exists(test::temp_file(state_linked)));
    EXPECT_EQ(publish_failure(temp_linked, {kIdA, "", false}), "Launcher paths cannot use redirects");
    EXPECT_EQ(test::read_bytes(test::state_file(temp_linked)), test::settled_text(kIdB));
    EXPECT_TRUE(test::is_folder(test::temp_file(temp_linked)));  // the link itself is left as it was
    EXPECT_TRUE(folder_listing(base_ + L"\\target").empty());
}

// Wraps the system's calls, logging each one and what the state file held at the flush.
struct RecordingCalls {
    explicit RecordingCalls(Path folder) : root(std::move(folder)) {}

    Path root;
    std::vector<std::string> log;
    std::string state_at_flush;
    std::string temp_at_flush;
    bool fail_flush = false;
    bool short_write = false;

    StateWriteCalls calls() {
        const StateWriteCalls system = system_state_write_calls();
        return {[this, system](void* file, std::string_view bytes) {
                    std::string entry = "write ";
                    entry += std::to_string(bytes.size());
                    log.push_back(entry);
                    if (short_write) {
                        system.write_all(file, bytes.substr(0, bytes.size() / 2));
                        return false;
                    }
                    return system.write_all(file, bytes);
                },
                [this, system](void* file) {
                    log.push_back("flush");
                    state_at_flush = test::read_bytes(test::state_file(root));
                    temp_at_flush = test::read_bytes(test::temp_file(root));
                    return fail_flush ? false : system.flush_to_device(file);
                }};
    }
};

TEST(PublishThroughSeam, FlushesOnceAfterTheWriteAndBeforeTheRename) {
    RecordingCalls recording(test::fresh_test_folder());
    test::write_bytes(test::state_file(recording.root), test::settled_text(kIdB));
    EXPECT_EQ(publish_failure(recording.root, {kIdB, kIdA, true}, recording.calls()), "");
    EXPECT_EQ(recording.log, (std::vector<std::string>{"write 147", "flush"}));
    EXPECT_EQ(recording.state_at_flush, test::settled_text(kIdB));
    EXPECT_EQ(recording.temp_at_flush, test::staged_text(kIdB, kIdA, true));
    EXPECT_EQ(test::read_bytes(test::state_file(recording.root)), test::staged_text(kIdB, kIdA, true));
}

TEST(PublishThroughSeam, FailingFlushCannotWriteAndKeepsTheOldState) {
    RecordingCalls recording(test::fresh_test_folder());
    recording.fail_flush = true;
    test::write_bytes(test::state_file(recording.root), test::settled_text(kIdB));
    EXPECT_EQ(publish_failure(recording.root, {kIdA, "", false}, recording.calls()), kCannotWrite);
    EXPECT_EQ(recording.log, (std::vector<std::string>{"write 84", "flush"}));
    EXPECT_EQ(test::read_bytes(test::state_file(recording.root)), test::settled_text(kIdB));
}

TEST(PublishThroughSeam, ShortWriteCannotWriteAndKeepsTheOldState) {
    RecordingCalls recording(test::fresh_test_folder());
    recording.short_write = true;
    test::write_bytes(test::state_file(recording.root), test::settled_text(kIdB));
    EXPECT_EQ(publish_failure(recording.root, {kIdA, kIdB, false}, recording.calls()), kCannotWrite);
    EXPECT_EQ(test::read_bytes(test::state_file(recording.root)), test::settled_text(kIdB));
    EXPECT_EQ(load_launcher_state(recording.root), (LauncherState{kIdB, "", false}));
}

}  // namespace
}  // namespace qor

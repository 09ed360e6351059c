#include "qor/launcher_kit.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>
#include <utility>

#include "base/unique_handle.h"
#include "process/child_process.h"
#include "qor/launcher_log.h"
#include "state/launcher_state.h"
#include "state/state_file.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qor::kit::KitError;
using qor::kit::LaunchArguments;

const std::string kV1(64, '1');
const std::string kV2 = std::string(63, 'a') + "f";
const std::string kV3 = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::wstring kToken = L"00112233445566778899aabbccddeeff";

std::string state_text(const std::string& current, const std::string& staged, bool trial) {
    return "Qor launcher 1\n" + current + "\n" + (staged.empty() ? "-" : staged) + "\n" + (trial ? "1" : "0") + "\n";
}

// The KitError text, or "" when nothing was thrown.
std::string failure_of(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const KitError& error) {
        return error.what();
    }
    return "";
}

// Another program (a scanner, an indexer) that opens a file the way the C runtime's
// streams do, without delete sharing, and lets go after hold_for (zero: when destroyed).
class HeldFile {
public:
    HeldFile(const fs::path& path, std::chrono::milliseconds hold_for)
        : handle_(::CreateFileW(path.c_str(), GENERIC_READ, /*dwShareMode=*/FILE_SHARE_READ | FILE_SHARE_WRITE,
                                /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                /*hTemplateFile=*/nullptr)),
          opened_(handle_ != INVALID_HANDLE_VALUE) {
        if (hold_for > 0ms) {
            letting_go_ = std::thread([this, hold_for] {
                std::this_thread::sleep_for(hold_for);
                let_go();
            });
        }
    }
    ~HeldFile() {
        if (letting_go_.joinable()) letting_go_.join();
        let_go();
    }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    bool opened() const { return opened_; }

private:
    void let_go() {
        const HANDLE handle = std::exchange(handle_, INVALID_HANDLE_VALUE);
        if (handle != INVALID_HANDLE_VALUE) ::CloseHandle(handle);
    }

    HANDLE handle_;
    const bool opened_;
    std::thread letting_go_;
};

// ---------------------------------------------------------------------------
// Reading the arguments the starter appends.

struct ArgumentCase {
    const char* name;
    std::vector<std::wstring> arguments;
    bool malformed;
    std::vector<std::wstring> user;
    bool started_by_starter;
    bool after_rollback;
    std::wstring root;
};

void PrintTo(const ArgumentCase& c, std::ostream* out) { *out << c.name; }

class ReadLaunchArguments : public testing::TestWithParam<ArgumentCase> {};

TEST_P(ReadLaunchArguments, SplitsReservedArgumentsFromTheUsers) {
    const ArgumentCase& c = GetParam();
    if (c.malformed) {
        EXPECT_THROW(qor::kit::read_launch_arguments(c.arguments), KitError);
        return;
    }
    const LaunchArguments launch = qor::kit::read_launch_arguments(c.arguments);
    EXPECT_EQ(launch.user_arguments, c.user);
    EXPECT_EQ(launch.started_by_starter, c.started_by_starter);
    EXPECT_EQ(launch.after_rollback, c.after_rollback);
    EXPECT_EQ(launch.launcher_root, c.root);
    EXPECT_EQ(launch.readiness_token, c.started_by_starter ? "00112233445566778899aabbccddeeff" : "");
}

const std::wstring R = L"C:\\Program Files\\Qor";
INSTANTIATE_TEST_SUITE_P(
    Table, ReadLaunchArguments,
    testing::Values(
        ArgumentCase{"nothing", {}, false, {}, false, false, L""},
        ArgumentCase{"pass_through_version", {L"--version"}, false, {L"--version"}, false, false, L""},
        ArgumentCase{"tail_only", {L"--launcher-root", R, L"--launcher-ready", kToken}, false, {}, true, false, R},
        ArgumentCase{"user_then_tail",
                     {L"a", L"b c", L"--launcher-root", R, L"--launcher-ready", kToken},
                     false,
                     {L"a", L"b c"},
                     true,
                     false,
                     R},
        ArgumentCase{"rollback_then_tail",
                     {L"--launcher-update-rollback", L"--launcher-root", R, L"--launcher-ready", kToken},
                     false,
                     {},
                     true,
                     true,
                     R},
        ArgumentCase{"user_rollback_tail",
                     {L"x", L"--launcher-update-rollback", L"--launcher-root", R, L"--launcher-ready", kToken},
                     false,
                     {L"x"},
                     true,
                     true,
                     R},
        ArgumentCase{"rollback_word_not_before_tail_is_the_users",
                     {L"--launcher-update-rollback", L"x", L"--launcher-root", R, L"--launcher-ready", kToken},
                     false,
                     {L"--launcher-update-rollback", L"x"},
                     true,
                     false,
                     R},
        ArgumentCase{"rollback_without_tail_is_the_users",
                     {L"--launcher-update-rollback"},
                     false,
                     {L"--launcher-update-rollback"},
                     false,
                     false,
                     L""},
        ArgumentCase{"root_without_ready", {L"--launcher-root", R}, true, {}, false, false, L""},
        ArgumentCase{
            "swapped_order", {L"--launcher-ready", kToken, L"--launcher-root", R}, true, {}, false, false, L""},
        ArgumentCase{
            "short_token", {L"--launcher-root", R, L"--launcher-ready", kToken.substr(1)}, true, {}, false, false, L""},
        ArgumentCase{"upper_case_token",
                     {L"--launcher-root", R, L"--launcher-ready", L"00112233445566778899AABBCCDDEEFF"},
                     true,
                     {},
                     false,
                     false,
                     L""},
        ArgumentCase{"empty_root", {L"--launcher-root", L"", L"--launcher-ready", kToken}, true, {}, false, false, L""},
        ArgumentCase{"reserved_word_among_user_arguments",
                     {L"--launcher-root", L"x", L"a", L"--launcher-root", R, L"--launcher-ready", kToken},
                     true,
                     {},
                     false,
                     false,
                     L""}),
    [](const testing::TestParamInfo<ArgumentCase>& param) { return std::string(param.param.name); });

TEST(ReadLaunchArgumentsFromArgv, SkipsTheProgramName) {
    const wchar_t* argv[] = {L"QorLauncher.exe", L"--launcher-root", L"C:\\r", L"--launcher-ready", kToken.c_str()};
    const LaunchArguments launch = qor::kit::read_launch_arguments(5, argv);
    EXPECT_TRUE(launch.user_arguments.empty());
    EXPECT_EQ(launch.launcher_root, L"C:\\r");
}

// ---------------------------------------------------------------------------
// The state grammar agrees with the starter's own reader and writer.

struct StateTextCase {
    const char* name;
    std::string bytes;
    bool valid;
};

void PrintTo(const StateTextCase& c, std::ostream* out) { *out << c.name; }

class StateGrammar : public testing::TestWithParam<StateTextCase> {};

TEST_P(StateGrammar, AcceptsExactlyWhatTheStarterAccepts) {
    const StateTextCase& c = GetParam();
    const std::optional<qor::LauncherState> starter = qor::parse_launcher_state(c.bytes);
    ASSERT_EQ(starter.has_value(), c.valid) << "the starter's reader disagrees with this table";
    if (!c.valid) {
        EXPECT_THROW(qor::kit::parse_launcher_state(c.bytes), KitError);
        return;
    }
    const qor::kit::StateRecord kit = qor::kit::parse_launcher_state(c.bytes);
    EXPECT_EQ(kit.current_version, starter->current_version);
    EXPECT_EQ(kit.staged_version, starter->staged_version);
    EXPECT_EQ(kit.trial_pending, starter->trial_pending);
    // And writing it back gives the starter's bytes.
    EXPECT_EQ(qor::kit::format_launcher_state(kit), qor::format_launcher_state(*starter));
}

INSTANTIATE_TEST_SUITE_P(
    Table, StateGrammar,
    testing::Values(StateTextCase{"settled", state_text(kV1, "", false), true},
                    StateTextCase{"staged", state_text(kV1, kV2, false), true},
                    StateTextCase{"on_trial", state_text(kV1, kV2, true), true},
                    StateTextCase{"without_final_lf", "Qor launcher 1\n" + kV1 + "\n-\n0", true},
                    StateTextCase{"extra_lf", state_text(kV1, "", false) + "\n", false},
                    StateTextCase{"crlf", "Qor launcher 1\r\n" + kV1 + "\r\n-\r\n0\r\n", false},
                    StateTextCase{"upper_case_identity", state_text(std::string(64, 'A'), "", false), false},
                    StateTextCase{"trial_without_staged", state_text(kV1, "", true), false},
                    StateTextCase{"three_lines", "Qor launcher 1\n" + kV1 + "\n-\n", false},
                    StateTextCase{"other_magic", "Qor launcher 2\n" + kV1 + "\n-\n0\n", false},
                    StateTextCase{"empty", "", false}),
    [](const testing::TestParamInfo<StateTextCase>& param) { return std::string(param.param.name); });

// ---------------------------------------------------------------------------
// Files in a real launcher root.

class KitRoot : public testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        root_ = fs::temp_directory_path() / ("qor-kit-" + std::to_string(random()));
        fs::create_directories(root_);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    std::wstring root() const { return root_.wstring(); }
    fs::path at(const std::string& name) const { return root_ / name; }

    static void write(const fs::path& path, const std::string& bytes) {
        fs::create_directories(path.parent_path());
        std::ofstream(path, std::ios::binary) << bytes;
    }
    static std::string read(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream bytes;
        bytes << in.rdbuf();
        return bytes.str();
    }
    void install(const std::string& identity) { write(at("versions") / identity / "QorLauncher.exe", "MZ"); }
    std::vector<std::string> names() const {
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(root_)) found.push_back(entry.path().filename().string());
        std::sort(found.begin(), found.end());
        return found;
    }
    LaunchArguments started() const {
        return qor::kit::read_launch_arguments({L"--launcher-root", root(), L"--launcher-ready", kToken});
    }

    fs::path root_;
};

using SignalReadiness = KitRoot;

TEST_F(SignalReadiness, WritesIdentityAndLineFeedUnderTheMarkerNameAndNothingElse) {
    qor::kit::signal_readiness(started(), kV1);
    const fs::path marker = at("ready-00112233445566778899aabbccddeeff");
    EXPECT_EQ(read(marker), kV1 + "\n");
    EXPECT_EQ(names(), std::vector<std::string>{marker.filename().string()});
}

TEST_F(SignalReadiness, RefusesABadIdentityWithoutWritingAnything) {
    EXPECT_THROW(qor::kit::signal_readiness(started(), kV1.substr(1)), KitError);
    EXPECT_THROW(qor::kit::signal_readiness(started(), std::string(64, 'A')), KitError);
    EXPECT_TRUE(names().empty());
}

TEST_F(SignalReadiness, RefusesWhenNotStartedByTheStarter) {
    EXPECT_THROW(qor::kit::signal_readiness(qor::kit::read_launch_arguments({L"--version"}), kV1), KitError);
}

TEST_F(SignalReadiness, FailsWithoutMarkerWhenItsTemporaryCannotBeCreated) {
    // A folder where the temporary file would go cannot be replaced by a file.
    fs::create_directories(at("writing-ready-00112233445566778899aabbccddeeff"));
    const std::string failure = failure_of([&] { qor::kit::signal_readiness(started(), kV1); });
    // The Windows error says why; which one a folder gives differs between Windows and Wine.
    EXPECT_TRUE(failure.starts_with("Cannot signal readiness (error ") && failure.ends_with(")") &&
                failure != "Cannot signal readiness (error 0)")
        << failure;
    EXPECT_FALSE(fs::exists(at("ready-00112233445566778899aabbccddeeff")));
}

TEST_F(SignalReadiness, RemovesTheTemporariesOfEarlierRunsAndNothingElse) {
    const std::vector<std::string> kept = {
        "launcher.log",
        "ready-ffeeddccbbaa99887766554433221100",             // a marker, not a temporary
        "writing-ready-0123456789ABCDEF0123456789ABCDEF",     // upper case: no token
        "writing-ready-ffeeddccbbaa9988776655443322110",      // 31 characters
        "writing-ready-ffeeddccbbaa99887766554433221100.txt"  // more after the token
    };
    for (const std::string& name : kept) write(at(name), "x");
    write(at("writing-ready-ffeeddccbbaa99887766554433221100"), kV2 + "\n");
    write(at("writing-ready-0000000000000000000000000000000a"), "");
    qor::kit::signal_readiness(started(), kV1);
    std::vector<std::string> expected = kept;
    expected.push_back("ready-00112233445566778899aabbccddeeff");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names(), expected);
    EXPECT_EQ(read(at("ready-00112233445566778899aabbccddeeff")), kV1 + "\n");
}

TEST(OwnVersionIdentity, RefusesAnExecutableOutsideAVersionFolder) {
    // This test program lives in a build folder, whose name is no version identity.
    EXPECT_THROW(qor::kit::own_version_identity(), KitError);
}

using StageVersion = KitRoot;

TEST_F(StageVersion, WritesTheExactStateKeepingTheCurrentVersion) {
    write(at("launcher-state"), state_text(kV1, "", false));
    write(at("launcher-state.tmp"), "the starter's own file\n");
    install(kV2);
    qor::kit::stage_version(root(), kV2);
    EXPECT_EQ(read(at("launcher-state")), "Qor launcher 1\n" + kV1 + "\n" + kV2 + "\n0\n");
    EXPECT_EQ(read(at("launcher-state.tmp")), "the starter's own file\n");
    EXPECT_EQ(names(), (std::vector<std::string>{"launcher-state", "launcher-state.tmp", "update-record", "update.lock",
                                                 "versions"}));
}

TEST_F(StageVersion, NamesTheUpdateWhoseTrialFailedAndRefusesItAgainUnlessAskedToRetry) {
    write(at("launcher-state"), state_text(kV1, "", false));
    install(kV2);
    EXPECT_EQ(qor::kit::failed_update(root()), "");
    qor::kit::stage_version(root(), kV2);
    EXPECT_EQ(qor::kit::failed_update(root()), "");           // staged, not yet tried
    write(at("launcher-state"), state_text(kV1, "", false));  // the starter's rollback
    EXPECT_EQ(qor::kit::failed_update(root()), kV2);
    EXPECT_EQ(failure_of([&] { qor::kit::stage_version(root(), kV2); }), "Update already failed its trial");
    EXPECT_EQ(read(at("launcher-state")), state_text(kV1, "", false));
    qor::kit::stage_version(root(), kV2, {.retry_failed_update = true});
    EXPECT_EQ(read(at("launcher-state")), state_text(kV1, kV2, false));
    write(at("launcher-state"), state_text(kV2, "", false));  // this time promoted
    EXPECT_EQ(qor::kit::failed_update(root()), "");
}

// The issue a scanner caused: it held update-record while a later update was staged, and the
// record of the update before, promoted long ago, named it failed once the later one was current.
TEST_F(StageVersion, ARecordThatCannotBeReplacedNeverOutlivesItsStagingAsAFailure) {
    write(at("launcher-state"), state_text(kV1, "", false));
    install(kV2);
    install(kV3);
    qor::kit::stage_version(root(), kV2);
    write(at("launcher-state"), state_text(kV2, "", false));  // the starter's promotion
    {
        const HeldFile scanner(at("update-record"), /*hold_for=*/0ms);
        ASSERT_TRUE(scanner.opened());
        EXPECT_TRUE(
            failure_of([&] { qor::kit::stage_version(root(), kV3); }).starts_with("Cannot stage version (error "));
        EXPECT_EQ(read(at("launcher-state")), state_text(kV2, "", false));
    }
    // kV3 made current all the same (staged by another tool, or killed before its record).
    write(at("launcher-state"), state_text(kV3, "", false));
    EXPECT_EQ(qor::kit::failed_update(root()), "");
    qor::kit::stage_version(root(), kV2);
    EXPECT_EQ(read(at("launcher-state")), state_text(kV3, kV2, false));
}

TEST_F(StageVersion, FailsAtOnceForAFolderOrAReadOnlyFileAtTheRecordsName) {
    install(kV2);
    for (const bool folder : {true, false}) {
        write(at("launcher-state"), state_text(kV1, "", false));
        if (folder) {
            fs::create_directories(at("update-record"));
        } else {
            write(at("update-record"), kV3 + "\n" + kV1 + "\n");
            ASSERT_TRUE(::SetFileAttributesW(at("update-record").c_str(), FILE_ATTRIBUTE_READONLY));
        }
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(failure_of([&] { qor::kit::stage_version(root(), kV2); }),
                  folder ? "Cannot stage version: update-record is a folder; remove it"
                         : "Cannot stage version: update-record is read-only; remove it");
        EXPECT_LT(std::chrono::steady_clock::now() - started, 1s) << "waited inside update.lock";
        EXPECT_EQ(read(at("launcher-state")), state_text(kV1, "", false));
        ::SetFileAttributesW(at("update-record").c_str(), FILE_ATTRIBUTE_NORMAL);
        fs::remove(at("update-record"));
    }
}

TEST_F(StageVersion, ReplacesAnEarlierStagedVersion) {
    write(at("launcher-state"), "Qor launcher 1\n" + kV1 + "\n" + kV3 + "\n0");
    install(kV2);
    qor::kit::stage_version(root(), kV2);
    EXPECT_EQ(read(at("launcher-state")), state_text(kV1, kV2, false));
}

TEST_F(StageVersion, WaitsForTheStartersPromotionOfATrialAndKeepsWhatItStaged) {
    // kV2 is on trial and has just signalled readiness; the starter promotes it a few
    // hundred milliseconds later, publishing its own record the way it always does.
    write(at("launcher-state"), state_text(kV1, kV2, true));
    install(kV3);
    std::string starter_failure;
    std::thread starter([&] {
        std::this_thread::sleep_for(300ms);
        try {
            qor::publish_launcher_state(root(), qor::LauncherState{kV2, "", false});
        } catch (const std::exception& failure) {
            starter_failure = failure.what();
        }
    });
    const std::string failure = failure_of([&] { qor::kit::stage_version(root(), kV3); });
    starter.join();
    EXPECT_EQ(failure, "");
    EXPECT_EQ(starter_failure, "");
    EXPECT_EQ(read(at("launcher-state")), state_text(kV2, kV3, false));
}

TEST_F(StageVersion, GivesUpWithoutWritingWhenATrialStaysPending) {
    // A run that ended during its trial leaves it pending until the next start drops it.
    const std::string before = "Qor launcher 1\n" + kV1 + "\n" + kV3 + "\n1";
    write(at("launcher-state"), before);
    install(kV2);
    EXPECT_EQ(failure_of([&] { qor::kit::stage_version(root(), kV2); }),
              "Cannot stage version while a trial is pending");
    EXPECT_EQ(read(at("launcher-state")), before);
    EXPECT_EQ(names(), (std::vector<std::string>{"launcher-state", "update.lock", "versions"}));
}

TEST_F(StageVersion, TheStartersReaderLoadsWhatWasStaged) {
    write(at("launcher-state"), state_text(kV1, "", false));
    install(kV3);
    qor::kit::stage_version(root(), kV3);
    const qor::LauncherState loaded = qor::load_launcher_state(root());
    EXPECT_EQ(loaded, (qor::LauncherState{kV1, kV3, false}));
}

TEST_F(StageVersion, RefusesBadIdentitiesAndLeavesTheStateAlone) {
    const std::string before = state_text(kV1, "", false);
    write(at("launcher-state"), before);
    for (const std::string& bad : {std::string(64, 'A'), kV2.substr(1), kV2 + "0", std::string(), std::string("-"),
                                   kV2.substr(0, 63) + " ", kV2.substr(0, 63) + "g"}) {
        install(bad.empty() || bad == "-" ? kV2 : bad);  // even an installed folder of that name does not help
        try {
            qor::kit::stage_version(root(), bad);
            ADD_FAILURE() << "staged \"" << bad << "\"";
        } catch (const KitError& error) {
            EXPECT_STREQ(error.what(), "Invalid version identity") << bad;
        }
        EXPECT_EQ(read(at("launcher-state")), before) << bad;
    }
}

TEST_F(StageVersion, RefusesAVersionWhoseExecutableIsMissing) {
    const std::string before = state_text(kV1, "", false);
    write(at("launcher-state"), before);
    fs::create_directories(at("versions") / kV2);                      // the folder alone
    fs::create_directories(at("versions") / kV3 / "QorLauncher.exe");  // a folder named like the executable
    for (const std::string& identity : {kV2, kV3}) {
        try {
            qor::kit::stage_version(root(), identity);
            ADD_FAILURE() << "staged " << identity;
        } catch (const KitError& error) {
            EXPECT_STREQ(error.what(), "Staged version is not installed");
        }
    }
    EXPECT_EQ(read(at("launcher-state")), before);
}

TEST_F(StageVersion, RefusesAnInvalidOrMissingStateAndChangesNothing) {
    install(kV2);
    EXPECT_THROW(qor::kit::stage_version(root(), kV2), KitError);
    EXPECT_FALSE(fs::exists(at("launcher-state")));

    const std::string crlf = "Qor launcher 1\r\n" + kV1 + "\r\n-\r\n0\r\n";
    write(at("launcher-state"), crlf);
    EXPECT_THROW(qor::kit::stage_version(root(), kV2), KitError);
    EXPECT_EQ(read(at("launcher-state")), crlf);
    EXPECT_FALSE(fs::exists(at("launcher-state.staging")));
}

TEST_F(StageVersion, NeverWritesThroughALinkPlantedAtItsTemporaryName) {
    write(at("launcher-state"), state_text(kV1, "", false));
    install(kV2);
    const fs::path victim = at("victim.txt");
    write(victim, "keep me\n");
    ASSERT_TRUE(::CreateHardLinkW(at("launcher-state.staging").c_str(), victim.c_str(), nullptr))
        << "cannot plant a hard link here, error " << ::GetLastError();
    qor::kit::stage_version(root(), kV2);
    EXPECT_EQ(read(victim), "keep me\n");
    EXPECT_EQ(read(at("launcher-state")), state_text(kV1, kV2, false));
}

TEST_F(StageVersion, FailsWithTheWindowsErrorWhenLauncherStateIsHeldPastTheBound) {
    const std::string before = state_text(kV1, "", false);
    write(at("launcher-state"), before);
    install(kV2);
    {
        const HeldFile scanner(at("launcher-state"), /*hold_for=*/0ms);
        ASSERT_TRUE(scanner.opened());
        EXPECT_EQ(failure_of([&] { qor::kit::stage_version(root(), kV2); }), "Cannot stage version (error 5)");
    }
    EXPECT_EQ(read(at("launcher-state")), before);
    EXPECT_EQ(names(), (std::vector<std::string>{"launcher-state", "update.lock", "versions"}));
}

// update-record as the kit writes it (the staged identity, then the version then current) and
// as the 1.0 kit did (the first line alone), read against launcher-state.
using FailedUpdate = KitRoot;

TEST_F(FailedUpdate, NamesAnUpdateOnlyWhileItsRollbackStands) {
    // (update-record, launcher-state, the update named failed)
    const std::string record = kV2 + "\n" + kV1 + "\n";
    const std::vector<std::tuple<std::string, std::string, std::string>> rows = {
        {record, state_text(kV1, "", false), kV2},              // rolled back
        {record, state_text(kV1, kV2, false), ""},              // staged, not yet tried
        {record, state_text(kV2, "", false), ""},               // promoted
        {record, state_text(kV3, "", false), ""},               // another made current
        {record, state_text(kV1, kV3, false), ""},              // another staged since
        {kV2 + "\n", state_text(kV1, "", false), kV2},          // the 1.0 kit's, rolled back
        {kV2, state_text(kV3, "", false), kV2},                 // the 1.0 kit's, without LF
        {kV2 + "\n", state_text(kV2, "", false), ""},           // the 1.0 kit's, promoted
        {record + kV1 + "\n", state_text(kV1, "", false), ""},  // three lines
        {"", state_text(kV1, "", false), ""},                   // empty
    };
    for (const auto& [record_text, state, failed] : rows) {
        write(at("update-record"), record_text);
        write(at("launcher-state"), state);
        EXPECT_EQ(qor::kit::failed_update(root()), failed) << record_text << " against " << state;
    }
}

// Every call that takes a root refuses one named by accident before it acts: nothing appears
// in the current folder.
TEST(LauncherRootArgument, EveryCallRefusesAnEmptyRelativeOrMissingRoot) {
    const fs::path source = fs::temp_directory_path() / "qor-kit-root-argument-source";
    fs::create_directories(source);
    std::ofstream(source / "QorLauncher.exe", std::ios::binary) << "MZ";
    const std::vector<std::pair<std::wstring, qor::kit::ErrorKind>> roots = {
        {L"", qor::kit::ErrorKind::invalid_argument},
        {L"relative-root", qor::kit::ErrorKind::invalid_argument},
        {L"C:relative-root", qor::kit::ErrorKind::invalid_argument},
        {L"\\relative-root", qor::kit::ErrorKind::invalid_argument},
        {L"C:\\qor-no-such-root", qor::kit::ErrorKind::not_launcher_root},
        {(source / "QorLauncher.exe").wstring(), qor::kit::ErrorKind::not_launcher_root},
    };
    const std::vector<std::pair<const char*, std::function<void(const std::wstring&)>>> calls = {
        {"stage_version", [](const std::wstring& root) { qor::kit::stage_version(root, kV2); }},
        {"failed_update", [](const std::wstring& root) { qor::kit::failed_update(root); }},
        {"read_launcher_state", [](const std::wstring& root) { qor::kit::read_launcher_state(root); }},
        {"install_version", [&](const std::wstring& root) { qor::kit::install_version(root, source.wstring()); }},
        {"install_version expecting",
         [&](const std::wstring& root) { qor::kit::install_version(root, source.wstring(), kV2); }},
        {"prune_versions", [](const std::wstring& root) { qor::kit::prune_versions(root); }},
        {"signal_readiness",
         [](const std::wstring& root) {
             qor::kit::signal_readiness({{}, true, false, root, "00112233445566778899aabbccddeeff"}, kV1);
         }},
    };
    for (const auto& [root, kind] : roots) {
        for (const auto& [name, call] : calls) {
            try {
                call(root);
                ADD_FAILURE() << name << " accepted \"" << fs::path(root).string() << "\"";
            } catch (const KitError& error) {
                EXPECT_EQ(error.kind(), kind) << name << " \"" << fs::path(root).string() << "\": " << error.what();
            }
        }
    }
    EXPECT_FALSE(fs::exists("versions"));
    EXPECT_FALSE(fs::exists("relative-root"));
    fs::remove_all(source);
}

using ReadLauncherState = KitRoot;

TEST_F(ReadLauncherState, SharesDeleteSoThatARenameOverTheFileStaysPossible) {
    write(at("launcher-state"), state_text(kV1, kV2, false));
    // A handle with delete access, as a rename over the file holds, admits only openers that share delete.
    const qor::UniqueHandle renaming(
        ::CreateFileW(at("launcher-state").c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                      /*hTemplateFile=*/nullptr));
    ASSERT_TRUE(renaming.valid());
    EXPECT_EQ(qor::kit::read_launcher_state(root()), (qor::kit::StateRecord{kV1, kV2, false}));
}

// ---------------------------------------------------------------------------
// Another program holds a file the kit replaces, for a moment shorter than the bound.

struct HolderCase {
    const char* name;
    const char* held;  // in the launcher root
    bool stages;       // stage_version, else signal_readiness
};

void PrintTo(const HolderCase& c, std::ostream* out) { *out << c.name; }

class SharingConflict : public KitRoot, public testing::WithParamInterface<HolderCase> {};

TEST_P(SharingConflict, IsWaitedOutWhenTheHolderLetsGoWithinTheBound) {
    const HolderCase& c = GetParam();
    write(at("launcher-state"), state_text(kV1, "", false));
    install(kV2);
    if (!fs::exists(at(c.held))) write(at(c.held), "left over\n");
    const HeldFile scanner(at(c.held), /*hold_for=*/300ms);
    ASSERT_TRUE(scanner.opened());
    if (c.stages) {
        qor::kit::stage_version(root(), kV2);
        EXPECT_EQ(read(at("launcher-state")), state_text(kV1, kV2, false));
    } else {
        qor::kit::signal_readiness(started(), kV1);
        EXPECT_EQ(read(at("ready-00112233445566778899aabbccddeeff")), kV1 + "\n");
    }
}

INSTANTIATE_TEST_SUITE_P(Table, SharingConflict,
                         testing::Values(HolderCase{"marker_in_place", "ready-00112233445566778899aabbccddeeff", false},
                                         HolderCase{"launcher_state", "launcher-state", true},
                                         HolderCase{"staging_left_over", "launcher-state.staging", true}),
                         [](const testing::TestParamInfo<HolderCase>& param) { return std::string(param.param.name); });

// ---------------------------------------------------------------------------
// A version the starter would refuse to start is not staged. CTest's fixture lays
// roots on the C: drive where kV3 is reached through a real link (make_links.sh).

class StageThroughLink : public KitRoot, public testing::WithParamInterface<const char*> {};

TEST_P(StageThroughLink, IsRefusedAndLeavesTheStateAlone) {
    const wchar_t* base = _wgetenv(L"QOR_KIT_LINKS");
    ASSERT_NE(base, nullptr) << "run through CTest: its fixture lays the links and sets QOR_KIT_LINKS";
    const fs::path linked = fs::path(base) / GetParam();
    ASSERT_TRUE(fs::is_directory(linked / "versions")) << "fixture folders missing";
    const std::string before = state_text(kV1, "", false);
    write(linked / "launcher-state", before);
    EXPECT_EQ(failure_of([&] { qor::kit::stage_version(linked.wstring(), kV3); }),
              "Launcher paths cannot use redirects");
    EXPECT_EQ(read(linked / "launcher-state"), before);
    EXPECT_FALSE(fs::exists(linked / "launcher-state.staging"));
}

INSTANTIATE_TEST_SUITE_P(Places, StageThroughLink, testing::Values("versions-link", "folder-link", "executable-link"),
                         [](const testing::TestParamInfo<const char*>& param) {
                             std::string name = param.param;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

// A link at a name the kit writes (make_links.sh), to a file outside the root or to nothing:
// the stage is refused naming it, and nothing outside is created or deleted.
using LinkAtName = KitRoot;

TEST_F(LinkAtName, RefusesTheStageAndTouchesNothingOutside) {
    const wchar_t* base = _wgetenv(L"QOR_KIT_LINKS");
    ASSERT_NE(base, nullptr) << "run through CTest: its fixture lays the links and sets QOR_KIT_LINKS";
    // (the fixture's place, the name linked there, what lies outside)
    const std::vector<std::tuple<std::string, std::string, std::vector<std::string>>> places = {
        {"lock-dangling", "update.lock", {}},
        {"staging-to-file", "launcher-state.staging", {"victim.txt"}},
        {"staging-dangling", "launcher-state.staging", {}},
    };
    for (const auto& [place, name, expected_outside] : places) {
        SCOPED_TRACE(place);
        const fs::path linked = fs::path(base) / place / "root";
        const fs::path outside = fs::path(base) / place / "outside";
        ASSERT_TRUE(fs::is_directory(linked / "versions")) << "fixture folders missing";
        const std::string before = state_text(kV1, "", false);
        write(linked / "launcher-state", before);
        EXPECT_EQ(failure_of([&] { qor::kit::stage_version(linked.wstring(), kV3); }),
                  name + " is a link; delete it: " + (linked / name).string());
        EXPECT_EQ(read(linked / "launcher-state"), before);
        std::vector<std::string> found;
        for (const auto& entry : fs::directory_iterator(outside)) found.push_back(entry.path().filename().string());
        EXPECT_EQ(found, expected_outside);
        for (const std::string& file : found) EXPECT_EQ(read(outside / file), "keep me\n");
    }
}

// ---------------------------------------------------------------------------
// The sample launcher, installed as a version and started as the starter starts it.

struct SampleCase {
    const char* name;
    const wchar_t* exit_code_argument;
    DWORD exit_code;
    bool ready;
    const char* logged;
};

void PrintTo(const SampleCase& c, std::ostream* out) { *out << c.name; }

class SampleLauncherRun : public KitRoot {
protected:
    static fs::path built_sample() {
        std::wstring self(32'768, L'\0');
        self.resize(::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
        return fs::path(self).parent_path() / "sample" / "QorLauncher.exe";
    }
    static bool wait_for_exit(qor::ChildProcess& child) {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (!child.poll_exit()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(10ms);
        }
        return true;
    }
};

class SampleLauncher : public SampleLauncherRun, public testing::WithParamInterface<SampleCase> {};

TEST_P(SampleLauncher, SignalsReadinessAsItsOwnVersionOrRefusesTheRestartCode) {
    const SampleCase& c = GetParam();
    const fs::path installed = at("versions") / kV1 / "QorLauncher.exe";
    fs::create_directories(installed.parent_path());
    fs::copy_file(built_sample(), installed);
    // Started as the starter starts a launcher: its own folder current, no window.
    qor::ChildProcess sample = qor::start_launcher_process(
        installed.wstring(),
        {L"--exit-code", c.exit_code_argument, L"--launcher-root", root(), L"--launcher-ready", kToken},
        /*inherit_standard_handles=*/false);
    ASSERT_TRUE(wait_for_exit(sample)) << "the sample did not exit";
    EXPECT_EQ(sample.exit_code(), c.exit_code);
    const fs::path marker = at("ready-00112233445566778899aabbccddeeff");
    if (c.ready) {
        EXPECT_EQ(read(marker), kV1 + "\n");
    } else {
        EXPECT_FALSE(fs::exists(marker));
    }
    EXPECT_NE(read(at("launcher.log")).find(c.logged), std::string::npos) << read(at("launcher.log"));
}

// A launcher that retries a failed update at every start: in the run of the starter that
// rolled it back (every start of it carries the notice) the kit refuses it, a later run may.
TEST_F(SampleLauncherRun, RetriesAFailedUpdateOnlyInALaterRunThanItsRollback) {
    const fs::path installed = at("versions") / kV1 / "QorLauncher.exe";
    fs::create_directories(installed.parent_path());
    fs::copy_file(built_sample(), installed);
    write(at("launcher-state"), state_text(kV1, "", false));
    const fs::path download = at("download");
    write(download / "QorLauncher.exe", "MZ an update that never gets ready");
    const std::string update = qor::kit::install_version(root(), download.wstring());
    qor::kit::stage_version(root(), update);
    write(at("launcher-state"), state_text(kV1, "", false));  // the starter's rollback
    ASSERT_EQ(qor::kit::failed_update(root()), update);

    for (const bool rollback_run : {true, false}) {
        std::vector<std::wstring> arguments = {L"--install-from", download.wstring(), L"--retry-failed"};
        if (rollback_run) arguments.emplace_back(L"--launcher-update-rollback");
        arguments.insert(arguments.end(), {L"--launcher-root", root(), L"--launcher-ready", kToken});
        qor::ChildProcess sample =
            qor::start_launcher_process(installed.wstring(), arguments, /*inherit_standard_handles=*/false);
        ASSERT_TRUE(wait_for_exit(sample));
        EXPECT_EQ(sample.exit_code(), rollback_run ? 0u : 73u) << read(at("launcher.log"));
        EXPECT_EQ(read(at("launcher-state")), state_text(kV1, rollback_run ? "" : update, false));
    }
    EXPECT_NE(read(at("launcher.log")).find("Update already failed its trial in this run; a later start may retry it"),
              std::string::npos)
        << read(at("launcher.log"));
}

INSTANTIATE_TEST_SUITE_P(Table, SampleLauncher,
                         testing::Values(SampleCase{"exit_code_5", L"5", 5, true, "ready; user arguments: (none)"},
                                         SampleCase{"exit_code_73_refused", L"73", 2, false,
                                                    "refusing --exit-code 73"}),
                         [](const testing::TestParamInfo<SampleCase>& param) { return std::string(param.param.name); });

// ---------------------------------------------------------------------------
// launcher.log

using LauncherLog = KitRoot;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST_F(LauncherLog, AppendsOneStampedLineEachWithItsOwnLineBreaksMadeSpaces) {
    qor::kit::append_launcher_log(root(), "first J\xC3\xBCrgen");
    qor::kit::append_launcher_log(root(), "two\r\nlines\n");
    const std::string pid = std::to_string(::GetCurrentProcessId());
    const std::regex stamp(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z \[)" + pid + R"(\] (.*))");
    const std::vector<std::string> lines = lines_of(read(at("launcher.log")));
    ASSERT_EQ(lines.size(), 2u);
    std::smatch match;
    ASSERT_TRUE(std::regex_match(lines[0], match, stamp)) << lines[0];
    EXPECT_EQ(match[1], "first J\xC3\xBCrgen");
    ASSERT_TRUE(std::regex_match(lines[1], match, stamp)) << lines[1];
    EXPECT_EQ(match[1], "two  lines ");
    EXPECT_EQ(failure_of([&] { qor::kit::append_launcher_log(L"relative", "x"); }),
              "Launcher root must be an absolute path");
}

TEST_F(LauncherLog, TwoWritersPastTheCapKeepEveryLineWholeInTheLogAndOneOlderLog) {
    write(at("launcher.log.1"), "the log before the last\n");
    constexpr int kLinesEach = 550;
    const std::string filler(1000, 'x');
    const auto writer = [&](char name) {
        for (int i = 0; i < kLinesEach; ++i) qor::kit::append_launcher_log(root(), name + std::to_string(i) + filler);
    };
    std::thread other(writer, 'b');
    writer('a');
    other.join();

    EXPECT_LE(fs::file_size(at("launcher.log.1")), qor::kit::kLauncherLogMaxBytes);
    std::set<std::string> written;
    for (const char* name : {"launcher.log.1", "launcher.log"}) {
        for (const std::string& line : lines_of(read(at(name)))) {
            const std::size_t text = line.find("] ");
            ASSERT_NE(text, std::string::npos) << line.substr(0, 60);
            EXPECT_TRUE(written.insert(line.substr(text + 2)).second) << "twice: " << line.substr(0, 60);
        }
    }
    EXPECT_EQ(written.size(), 2u * kLinesEach);  // the older log of before is replaced, no line lost
    EXPECT_FALSE(fs::exists(at("launcher.log.2")));
}

// Another writer moved the log to launcher.log.1 while this one waited for the lock: a line
// added to the moved log, or a second move of the fresh one over it, would lose lines.
TEST_F(LauncherLog, AWriterThatFindsTheLogMovedWhileItWaitedWritesToTheNewLog) {
    const std::string older(100, 'o');
    write(at("launcher.log"), older + "\n");
    const HANDLE other = ::CreateFileW(at("launcher.log").c_str(), FILE_READ_DATA | FILE_APPEND_DATA,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    OVERLAPPED lock{};
    lock.Offset = static_cast<DWORD>(qor::kit::kLauncherLogLockOffset);
    lock.OffsetHigh = static_cast<DWORD>(qor::kit::kLauncherLogLockOffset >> 32);
    ASSERT_TRUE(::LockFileEx(other, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &lock));
    std::thread waiting([&] { qor::kit::append_launcher_log(root(), "after the move"); });
    std::this_thread::sleep_for(300ms);
    const bool moved = ::MoveFileExW(at("launcher.log").c_str(), at("launcher.log.1").c_str(), 0);
    ::UnlockFileEx(other, 0, 1, 0, &lock);
    ::CloseHandle(other);
    waiting.join();
    ASSERT_TRUE(moved);
    EXPECT_EQ(read(at("launcher.log.1")), older + "\n");
    const std::vector<std::string> lines = lines_of(read(at("launcher.log")));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("] after the move"), std::string::npos) << lines[0];
}

TEST_F(LauncherLog, NeverWritesThroughAHardLinkOrIntoAFolder) {
    const fs::path victim = at("victim.txt");
    write(victim, "keep me\n");
    ASSERT_TRUE(::CreateHardLinkW(at("launcher.log").c_str(), victim.c_str(), nullptr))
        << "cannot plant a hard link here, error " << ::GetLastError();
    EXPECT_EQ(failure_of([&] { qor::kit::append_launcher_log(root(), "x"); }), "Launcher paths cannot use redirects");
    EXPECT_EQ(read(victim), "keep me\n");
    // A symbolic link to a file shows under Wine as the plain file it points to, so the
    // refusal of that link (a reparse point on Windows) cannot be shown here.
    fs::remove(at("launcher.log"));
    fs::create_directories(at("launcher.log"));
    EXPECT_EQ(failure_of([&] { qor::kit::append_launcher_log(root(), "x"); }), "Launcher paths cannot use redirects");
    EXPECT_TRUE(fs::is_empty(at("launcher.log")));
}

}  // namespace

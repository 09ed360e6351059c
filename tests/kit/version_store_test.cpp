// Installing and pruning versions in real launcher roots under Wine. Where a case needs
// another process (a launcher killed mid-install, a launcher running from its own version
// folder), this test program is started again as that process; see act_as_child.

#include <windows.h>
// windows.h first: shellapi.h needs its types.
#include <gtest/gtest.h>
#include <shellapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "process/child_process.h"
#include "qor/launcher_kit.h"
#include "state/state_file.h"

namespace {

namespace fs = std::filesystem;
using qor::kit::KitError;

constexpr const wchar_t* kChildOption = L"--version-store-child";

// Started with kChildOption, this program acts and exits before GoogleTest runs:
//   install <root> <source>   prune <root>
int act_as_child() {
    int count = 0;
    wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (arguments == nullptr || count < 3 || std::wstring(arguments[1]) != kChildOption) {
        ::LocalFree(arguments);
        return 0;
    }
    const std::wstring action = arguments[2];
    int exit_code = 2;
    try {
        if (action == L"install" && count == 5) {
            qor::kit::install_version(arguments[3], arguments[4]);
            exit_code = 0;
        } else if (action == L"prune" && count == 4) {
            qor::kit::prune_versions(arguments[3]);
            exit_code = 0;
        }
    } catch (const KitError& error) {
        std::fprintf(stderr, "child: %s\n", error.what());
        exit_code = 3;
    }
    ::LocalFree(arguments);
    ::ExitProcess(static_cast<UINT>(exit_code));
}

[[maybe_unused]] const int kNotAChild = act_as_child();

// The test program's own path.
fs::path this_program() {
    std::wstring path(32'768, L'\0');
    path.resize(::GetModuleFileNameW(/*hModule=*/nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path;
}

// This test program started again from program, as a child that acts (see act_as_child).
// Released while it still runs, it is ended.
qor::ChildProcess start_child(const fs::path& program, const std::vector<std::wstring>& actions) {
    std::vector<std::wstring> arguments = {std::wstring(kChildOption)};
    arguments.insert(arguments.end(), actions.begin(), actions.end());
    return qor::start_launcher_process(program.wstring(), arguments, /*inherit_standard_handles=*/false);
}

std::uint32_t exit_code_at_end(qor::ChildProcess& child) {
    while (!child.poll_exit()) ::Sleep(10);
    return child.exit_code();
}

const std::string kLauncherBytes = "MZ stand-in launcher for the version store\n";
// The identity of lay_out_download's QorLauncher.exe and readme.txt, computed outside the
// kit with Python's hashlib.
const std::string kLauncherIdentity = "4e2ac5637dbb85a1b355f21343d3162cf49d985b06f8fbb393b5f9867bce200f";
// docs/protocol.md's test vector: its files and its identity.
const std::vector<std::pair<std::string, std::string>> kVectorFiles = {
    {"QorLauncher.exe", "MZ"},
    {"QorLauncherKit.dll", "kit\n"},
    {"assets-x.txt", ""},
    {"assets/logo.txt", "logo\n"},
    {"assets/\xC3\x9C"
     "ber.txt",
     "\xC3\xBC"
     "ber\n"},
};
const std::string kVectorIdentity = "469cdca20115a00697123c532111e374c45f5c1963e1a4c99ea3a40976314d0b";
const std::string kVectorManifestStart =
    "Qor version manifest 1\n"
    "9b8db510ef42b8ed54a3712636fda55a4f8cfcd5493e20b74ab00cd4f3979f2d 2 QorLauncher.exe\n";
const std::string kCurrent(64, 'c');
const std::string kStaged(64, 'e');
const std::string kOwn(64, 'a');
const std::string kOther(64, 'b');

std::string bytes_of(std::size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
    return bytes;
}

std::string state_text(const std::string& current, const std::string& staged) {
    return "Qor launcher 1\n" + current + "\n" + (staged.empty() ? "-" : staged) + "\n0\n";
}

struct FileFacts {
    std::string bytes;  // their summary
    std::uint64_t file_index = 0;
    std::uint64_t write_time = 0;
    bool operator==(const FileFacts&) const = default;
};

void PrintTo(const FileFacts& file, std::ostream* out) {
    *out << file.bytes << ", file index " << file.file_index << ", written " << file.write_time;
}

void write(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}
std::string read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}
std::vector<std::string> names(const fs::path& folder) {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    return found;
}
// Short enough for a failure message to show: megabytes of bytes would swamp it.
std::string summary(const std::string& bytes) {
    return std::to_string(bytes.size()) + " bytes, hash " + std::to_string(std::hash<std::string>{}(bytes));
}

// Every folder and file below folder by relative path, files with a summary of their bytes.
std::map<std::string, std::string> contents(const fs::path& folder) {
    std::map<std::string, std::string> found;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        const std::string relative = entry.path().lexically_relative(folder).generic_string();
        found[relative] = entry.is_directory() ? "(folder)" : summary(read(entry.path()));
    }
    return found;
}
// The same with each file's identity on the disk and its last write: what a copy changes.
std::map<std::string, FileFacts> facts(const fs::path& folder) {
    std::map<std::string, FileFacts> found;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        FileFacts& file = found[entry.path().lexically_relative(folder).generic_string()];
        if (entry.is_directory()) continue;
        file.bytes = summary(read(entry.path()));
        const HANDLE handle =
            ::CreateFileW(entry.path().c_str(), FILE_READ_ATTRIBUTES,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
        BY_HANDLE_FILE_INFORMATION information{};
        EXPECT_TRUE(::GetFileInformationByHandle(handle, &information)) << entry.path();
        ::CloseHandle(handle);
        file.file_index = (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
        file.write_time = (std::uint64_t{information.ftLastWriteTime.dwHighDateTime} << 32) |
                          information.ftLastWriteTime.dwLowDateTime;
    }
    return found;
}

class VersionStore : public testing::Test {
protected:
    void SetUp() override {
        std::random_device random;
        base_ = fs::temp_directory_path() / ("qor-versions-" + std::to_string(random()));
        fs::create_directories(root_path());
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(base_, ignored);
    }

    fs::path root_path() const { return base_ / "launcher"; }
    std::wstring root() const { return root_path().wstring(); }
    fs::path versions() const { return root_path() / "versions"; }
    fs::path download() const { return base_ / "download"; }

    // QorLauncher.exe, a subfolder, and large files when asked.
    void lay_out_download(std::size_t large_files, std::size_t large_size) {
        write(download() / "QorLauncher.exe", kLauncherBytes);
        write(download() / "resources" / "readme.txt", "resources of this version\n");
        for (std::size_t i = 0; i < large_files; ++i) {
            write(download() / "resources" / ("data-" + std::to_string(i) + ".bin"),
                  bytes_of(large_size, static_cast<unsigned>(i)));
        }
    }

    // With an expected identity when one is given, as a launcher passes the one announced.
    std::string install_failure(const std::string& expected_identity = "") {
        try {
            if (expected_identity.empty()) {
                qor::kit::install_version(root(), download().wstring());
            } else {
                qor::kit::install_version(root(), download().wstring(), expected_identity);
            }
        } catch (const KitError& error) {
            return error.what();
        }
        return "";
    }

    fs::path base_;
};

TEST_F(VersionStore, InstallCopiesTheFolderUnderTheSha256OfItsManifestAndNothingElse) {
    for (const auto& [path, bytes] : kVectorFiles) write(download() / fs::u8path(path), bytes);
    fs::create_directories(download() / "assets" / "empty");
    // A download that is not the version announced leaves nothing under versions.
    EXPECT_EQ(install_failure(kOther),
              "Downloaded version does not match its identity: expected " + kOther + ", got " + kVectorIdentity);
    EXPECT_EQ(names(versions()), std::vector<std::string>{});
    EXPECT_EQ(install_failure(std::string(64, 'A')), "Invalid version identity");
    const std::string identity = qor::kit::install_version(root(), download().wstring(), kVectorIdentity);
    EXPECT_EQ(identity, kVectorIdentity);
    EXPECT_EQ(names(versions()), (std::vector<std::string>{kVectorIdentity, kVectorIdentity + ".manifest"}));
    fs::remove(download() / "assets" / "empty");
    EXPECT_EQ(contents(versions() / kVectorIdentity), contents(download()));
    const std::string manifest = read(versions() / (kVectorIdentity + ".manifest"));
    EXPECT_TRUE(manifest.starts_with(kVectorManifestStart)) << manifest;
    EXPECT_EQ(manifest.size(), 439u);

    // Installing twice changes nothing: the same files, not copies of them. A scanner that
    // holds the stored manifest without read sharing is waited out, up to the bound.
    const auto before = facts(versions());
    const fs::path stored = versions() / (kVectorIdentity + ".manifest");
    const auto hold = [&](DWORD milliseconds) {
        const HANDLE held = ::CreateFileW(stored.c_str(), GENERIC_READ, /*dwShareMode=*/0, nullptr, OPEN_EXISTING,
                                          FILE_ATTRIBUTE_NORMAL, nullptr);
        EXPECT_NE(held, INVALID_HANDLE_VALUE);
        return std::jthread([held, milliseconds] {
            ::Sleep(milliseconds);
            ::CloseHandle(held);
        });
    };
    {
        const std::jthread scanner = hold(500);
        EXPECT_EQ(qor::kit::install_version(root(), download().wstring()), kVectorIdentity);
    }
    EXPECT_EQ(facts(versions()), before);
    {
        const std::jthread scanner = hold(3'000);
        EXPECT_EQ(install_failure(), "Cannot read version (error 32)");
    }
    EXPECT_EQ(facts(versions()), before);
}

TEST_F(VersionStore, VerifyNamesEachFileMissingChangedOrExtraAndChecksA10VersionByItsExecutable) {
    using Kind = qor::kit::VersionProblem::Kind;
    for (const auto& [path, bytes] : kVectorFiles) write(download() / fs::u8path(path), bytes);
    const std::string identity = qor::kit::install_version(root(), download().wstring());
    EXPECT_EQ(qor::kit::verify_version(root(), identity), std::vector<qor::kit::VersionProblem>{});
    const fs::path installed = versions() / identity;
    // One byte changed, same size: only the hash shows it.
    write(installed / "QorLauncherKit.dll", "kiT\n");
    fs::remove(installed / "assets" / "logo.txt");
    write(installed / "assets" / "new.txt", "extra\n");
    EXPECT_EQ(qor::kit::verify_version(root(), identity),
              (std::vector<qor::kit::VersionProblem>{{Kind::changed, "QorLauncherKit.dll"},
                                                     {Kind::missing, "assets/logo.txt"},
                                                     {Kind::extra, "assets/new.txt"}}));

    // Installed by the 1.0 kit: no manifest, named by the SHA-256 of QorLauncher.exe ("MZ").
    const std::string old = "9b8db510ef42b8ed54a3712636fda55a4f8cfcd5493e20b74ab00cd4f3979f2d";
    write(versions() / old / "QorLauncher.exe", "MZ");
    write(versions() / old / "anything.dll", "not checked");
    EXPECT_EQ(qor::kit::verify_version(root(), old), std::vector<qor::kit::VersionProblem>{});
    write(versions() / old / "QorLauncher.exe", "MZ!");
    EXPECT_EQ(qor::kit::verify_version(root(), old),
              (std::vector<qor::kit::VersionProblem>{{Kind::changed, "QorLauncher.exe"}}));
    try {
        qor::kit::verify_version(root(), std::string(64, 'b'));
        ADD_FAILURE() << "verified a version that is not installed";
    } catch (const KitError& error) {
        EXPECT_EQ(error.kind(), qor::kit::ErrorKind::version_not_installed);
    }
}

TEST_F(VersionStore, InstallRefusesNamesAManifestCannotHoldNamingThem) {
    // Only the "\\?\" form creates such a name. Wine refuses to create device names, names
    // ending in a space below the top folder (error 123) and two names equal ignoring case,
    // as it folds case itself: the manifest's own table covers those.
    lay_out_download(/*large_files=*/0, /*large_size=*/0);
    // A folder is refused for its name alone, before anything in it is copied.
    const std::wstring target = L"\\\\?\\" + (download() / "trailing.").wstring();
    ASSERT_TRUE(::CreateDirectoryW(target.c_str(), nullptr)) << ::GetLastError();
    const std::string failure = install_failure();
    EXPECT_NE(failure.find("Version file cannot be held in a manifest: trailing. (trailing dot or space)"),
              std::string::npos)
        << failure;
    EXPECT_EQ(names(versions()), std::vector<std::string>{});
    // Only the same form removes it: the standard library's removal trims the name and loops.
    EXPECT_TRUE(::RemoveDirectoryW(target.c_str()));
}

TEST_F(VersionStore, InstallRefusesAnotherFolderUnderAnExistingIdentityAndOverwritesNothing) {
    lay_out_download(/*large_files=*/0, /*large_size=*/0);
    const fs::path taken = versions() / kLauncherIdentity;
    const fs::path stored = versions() / (kLauncherIdentity + ".manifest");
    // Another executable, none, and a stored manifest that lists another readme.
    for (const char* executable : {"MZ another build\n", "", "manifest"}) {
        fs::remove_all(versions());
        write(taken / "notes.txt", "already here\n");
        if (std::string(executable) == "manifest") {
            write(stored, "Qor version manifest 1\n" + std::string(64, '0') + " 43 QorLauncher.exe\n");
        } else if (*executable != '\0') {
            write(taken / "QorLauncher.exe", executable);
        }
        const auto before = facts(versions());
        EXPECT_EQ(install_failure(), "Another folder is installed under this version identity") << executable;
        EXPECT_EQ(facts(versions()), before) << executable;
    }
}

TEST_F(VersionStore, InstallsKilledAtRandomMomentsNeverLeaveAnIncompleteVersion) {
    lay_out_download(/*large_files=*/3, /*large_size=*/8 << 20);
    const auto expected = contents(download());
    const char* kills_text = std::getenv("QOR_INSTALL_KILLS");
    const int kills = kills_text != nullptr ? std::atoi(kills_text) : 5;
    const char* seed_text = std::getenv("QOR_SEED");
    const unsigned seed = seed_text != nullptr ? static_cast<unsigned>(std::stoul(seed_text)) : std::random_device{}();
    std::cout << "QOR_SEED=" << seed << ", " << kills << " kills (QOR_INSTALL_KILLS)\n";
    std::mt19937 random(seed);
    fs::create_directories(versions());

    // Starts an install in a child and waits until its own temporary appears: from then
    // on the child copies, and a process start (slow under Wine) does not dilute the kills.
    const auto start_install = [&] {
        const std::vector<std::string> before = names(versions());
        qor::ChildProcess child = start_child(this_program(), {L"install", root(), download().wstring()});
        for (bool begun = false; !begun && !child.poll_exit(); ::Sleep(1)) {
            for (const std::string& name : names(versions())) {
                begun = begun || (name.starts_with("installing-") &&
                                  std::find(before.begin(), before.end(), name) == before.end());
            }
        }
        return child;
    };

    // Installs left alone say how long the copy takes; the first also fills the caches.
    const std::string identity = qor::kit::install_version(root(), download().wstring());
    fs::remove_all(versions() / identity);
    fs::remove(versions() / (identity + ".manifest"));
    auto copy_time = std::chrono::milliseconds::max();
    for (int run = 0; run < 2; ++run) {
        auto child = start_install();
        const auto began = std::chrono::steady_clock::now();
        ASSERT_EQ(exit_code_at_end(child), 0u);
        copy_time = std::min(
            copy_time, std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began));
        ASSERT_EQ(contents(versions() / identity), expected);
        fs::remove_all(versions() / identity);
    }

    int finished_before_the_kill = 0;
    for (int kill = 0; kill < kills; ++kill) {
        const auto delay = std::uniform_int_distribution<long long>(0, copy_time.count())(random);
        auto child = start_install();
        ::Sleep(static_cast<DWORD>(delay));
        child.terminate();
        if (fs::exists(versions() / identity)) {
            EXPECT_EQ(contents(versions() / identity), expected) << "killed " << delay << " ms into the copy";
            // Published before the folder, so a version never shows without its manifest.
            EXPECT_TRUE(fs::exists(versions() / (identity + ".manifest")));
            fs::remove_all(versions() / identity);
            ++finished_before_the_kill;
        }
        fs::remove(versions() / (identity + ".manifest"));
    }
    std::cout << "a copy took " << copy_time.count() << " ms; " << finished_before_the_kill << " of " << kills
              << " kills came after the version was in place\n";

    EXPECT_EQ(qor::kit::install_version(root(), download().wstring()), identity);
    EXPECT_EQ(contents(versions() / identity), expected);
    write(root_path() / "launcher-state", state_text(identity, ""));
    qor::kit::prune_versions(root());
    EXPECT_EQ(names(versions()), (std::vector<std::string>{identity, identity + ".manifest"}));
}

TEST_F(VersionStore, PruneKeepsCurrentStagedAndTheLaunchersOwnVersionAndWhatIsInUse) {
    for (const std::string& identity : {kCurrent, kStaged, kOther}) {
        write(versions() / identity / "QorLauncher.exe", "MZ");
        write(versions() / identity / "resources" / "readme.txt", identity);
    }
    // The launcher that prunes runs from its own version folder.
    fs::create_directories(versions() / kOwn);
    fs::copy_file(this_program(), versions() / kOwn / "QorLauncher.exe");
    // Left by a killed install and an interrupted prune.
    write(versions() / ("installing-" + std::string(32, '1')) / "QorLauncher.exe", "MZ half");
    write(versions() / ("deleting-" + std::string(32, '2')) / "resources" / "readme.txt", "half deleted");
    // An install under way in another process holds its temporary open.
    const std::string in_use = "installing-" + std::string(32, '3');
    write(versions() / in_use / "QorLauncher.exe", "MZ being copied");
    const HANDLE held = ::CreateFileW((versions() / in_use).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    write(versions() / "notes.txt", "not a folder\n");
    // The manifests of a version kept and of one pruned, one without its folder, and an
    // install's manifest temporary left by a kill.
    for (const std::string& identity : {kCurrent, kOther, std::string(64, 'd'), "installing-" + std::string(32, '4')}) {
        write(versions() / (identity + ".manifest"), "Qor version manifest 1\n");
    }

    // Without a readable launcher-state nothing is known to be current: nothing goes.
    const std::string damaged = "Qor launcher 1\r\n" + kCurrent + "\r\n" + kStaged + "\r\n0\r\n";
    write(root_path() / "launcher-state", damaged);
    const auto before = contents(versions());
    EXPECT_THROW(qor::kit::prune_versions(root()), KitError);
    EXPECT_EQ(contents(versions()), before);

    write(root_path() / "launcher-state", state_text(kCurrent, kStaged));
    // Stray folders named like the current version but for a trailing dot or space (left by
    // tools that write "\\?\" paths): a plain path would trim them into the current one.
    // The same form lets trees deeper than 260 characters go whole on Windows; Wine has no
    // such limit, so that half cannot be shown here.
    for (const std::string& stray : {kCurrent + ".", kCurrent + " "}) {
        ASSERT_TRUE(::CreateDirectoryW((L"\\\\?\\" + (versions() / stray).wstring()).c_str(), nullptr)) << stray;
    }
    ASSERT_EQ(names(versions()).size(), 14u);
    qor::ChildProcess own = start_child(versions() / kOwn / "QorLauncher.exe", {L"prune", root()});
    EXPECT_EQ(exit_code_at_end(own), 0u);
    ::CloseHandle(held);
    EXPECT_EQ(names(versions()),
              (std::vector<std::string>{kOwn, kCurrent, kCurrent + ".manifest", kStaged, in_use, "notes.txt"}));
    EXPECT_EQ(read(versions() / kCurrent / "resources" / "readme.txt"), kCurrent);
    EXPECT_EQ(read(versions() / in_use / "QorLauncher.exe"), "MZ being copied");
}

TEST_F(VersionStore, PruneOnTrialWaitsForThePromotionAndRemovesTheVersionItReplaced) {
    for (const std::string& identity : {kCurrent, kStaged}) write(versions() / identity / "QorLauncher.exe", "MZ");
    const fs::path state = root_path() / "launcher-state";
    write(state, "Qor launcher 1\n" + kCurrent + "\n" + kStaged + "\n1\n");
    // The starter promotes the trial a moment after its readiness, with its own publication:
    // under Wine a bare rename that meets the prune's read of the file fails (error 5).
    const std::jthread starter([&] {
        ::Sleep(300);
        qor::publish_launcher_state(root(), qor::LauncherState{kStaged, "", false});
    });
    qor::kit::prune_versions(root());
    EXPECT_EQ(names(versions()), std::vector<std::string>{kStaged});
}

TEST_F(VersionStore, StageDuringAPruneInAnotherProcessFailsOnceItsVersionIsGone) {
    // Enough old versions for the prune in the child to take a while.
    for (int i = 0; i < 80; ++i) {
        const fs::path old = versions() / (std::string(60, 'd') + std::to_string(1000 + i));
        write(old / "QorLauncher.exe", "MZ");
        for (unsigned file = 0; file < 3; ++file) write(old / "resources" / std::to_string(file), bytes_of(4096, file));
    }
    write(versions() / kCurrent / "QorLauncher.exe", "MZ");
    write(root_path() / "launcher-state", state_text(kCurrent, ""));
    lay_out_download(/*large_files=*/0, /*large_size=*/0);
    ASSERT_EQ(qor::kit::install_version(root(), download().wstring()), kLauncherIdentity);

    // The update is installed and not yet staged when a prune starts elsewhere: once the
    // prune is renaming, a stage must not report success for a version it will remove.
    qor::ChildProcess prune = start_child(this_program(), {L"prune", root()});
    bool renaming = false;
    while (!renaming && !prune.poll_exit()) {
        for (const std::string& name : names(versions())) renaming = renaming || name.starts_with("deleting-");
    }
    std::string stage_failure;
    try {
        qor::kit::stage_version(root(), kLauncherIdentity);
    } catch (const KitError& error) {
        stage_failure = error.what();
    }
    EXPECT_EQ(exit_code_at_end(prune), 0u);
    std::cout << (renaming ? "staged while the prune was renaming\n" : "staged after the prune\n");
    EXPECT_EQ(stage_failure, "Staged version is not installed");
    EXPECT_EQ(read(root_path() / "launcher-state"), state_text(kCurrent, ""));
    EXPECT_EQ(names(versions()), std::vector<std::string>{kCurrent});
}

bool running_under_wine() { return ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr; }

TEST(PruneVersionsWithLinks, RemovesALinkAsALinkNeverWhatItPointsTo) {
    // make_version_links.sh lays the root with Unix symbolic links to folders outside it,
    // which Wine reports as reparse points.
    const char* base_text = std::getenv("QOR_KIT_PRUNE_LINKS");
    ASSERT_NE(base_text, nullptr) << "run through CTest: its fixture lays the folders and sets QOR_KIT_PRUNE_LINKS";
    const fs::path base = base_text;
    const fs::path versions = base / "root" / "versions";
    ASSERT_TRUE(fs::is_directory(versions / std::string(64, 'c'))) << "fixture folders missing";

    qor::kit::prune_versions((base / "root").wstring());

    EXPECT_TRUE(fs::is_directory(base / "outside" / "empty"));
    EXPECT_EQ(names(base / "outside"), (std::vector<std::string>{"empty", "full", "precious.txt"}));
    EXPECT_EQ(read(base / "outside" / "full" / "keep.txt"), "keep me\n");
    EXPECT_EQ(read(base / "outside" / "precious.txt"), "precious\n");
    // The old version holding a link to a file loses its own file; Wine shows that link as a
    // plain file and cannot remove it as a link, so it stays in the renamed folder.
    EXPECT_FALSE(fs::exists(versions / std::string(64, 'd')));
    std::vector<std::string> doomed;
    for (const std::string& name : names(versions)) {
        if (name.starts_with("deleting-")) doomed.push_back(name + "/" + names(versions / name).front());
    }
    EXPECT_EQ(doomed.size(), running_under_wine() ? 1u : 0u);
    for (const std::string& path : doomed) EXPECT_TRUE(path.ends_with("/precious.txt")) << path;
    EXPECT_TRUE(fs::is_directory(versions / std::string(64, 'c')));
    const bool links_left =
        ::GetFileAttributesW((versions / std::string(64, 'a')).c_str()) != INVALID_FILE_ATTRIBUTES ||
        ::GetFileAttributesW((versions / std::string(64, 'b')).c_str()) != INVALID_FILE_ATTRIBUTES;
    // Wine 8 opens, renames and deletes what a Unix link points to, never the link itself,
    // so there the links cannot be removed without harm, and stay.
    EXPECT_EQ(links_left, running_under_wine());
}

}  // namespace

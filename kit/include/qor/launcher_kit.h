#pragma once
// The launcher's side of the starter protocol, for launcher authors.
//
//   1. read_launch_arguments: split the starter's reserved arguments from the user's.
//   2. signal_readiness: write ready-<token> once the launcher has initialised.
//   3. stage_version + exit with kRestartExitCode: ask to be restarted into another
//      installed version; the starter tries it and rolls back if it never gets ready.
//
// Standard library and Win32 only. Every failure is a qor::kit::KitError.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qor::kit {

// A ready launcher that exits with this code is started again, into the staged version.
inline constexpr int kRestartExitCode = 73;

inline constexpr std::wstring_view kRollbackOption = L"--launcher-update-rollback";
inline constexpr std::wstring_view kRootOption = L"--launcher-root";
inline constexpr std::wstring_view kReadyOption = L"--launcher-ready";

inline constexpr std::size_t kVersionIdentityLength = 64;
inline constexpr std::size_t kReadinessTokenLength = 32;
inline constexpr std::string_view kStateMagicLine = "Qor launcher 1";
inline constexpr std::wstring_view kStateFileName = L"launcher-state";
// The kit's own temporary; "launcher-state.tmp" belongs to the starter.
inline constexpr std::wstring_view kStagingFileName = L"launcher-state.staging";
inline constexpr std::wstring_view kMarkerPrefix = L"ready-";
inline constexpr std::wstring_view kLauncherExecutableName = L"QorLauncher.exe";

class KitError : public std::runtime_error {
public:
    explicit KitError(const std::string& message) : std::runtime_error(message) {}
};

// What the starter told this launcher. Without the reserved arguments (a pass-through
// --version or --help, or a launcher started by hand) started_by_starter is false.
struct LaunchArguments {
    std::vector<std::wstring> user_arguments;
    bool started_by_starter = false;
    bool after_rollback = false;  // the version tried last did not start; this one is the old one
    std::wstring launcher_root;
    std::string readiness_token;
};

// The starter appends, always last and in this order: [--launcher-update-rollback]
// --launcher-root <root> --launcher-ready <token>. arguments excludes the program name.
// Throws KitError "Malformed launcher arguments" when the reserved ones are misplaced,
// incomplete, or carry a token that is not 32 characters of 0-9a-f.
LaunchArguments read_launch_arguments(const std::vector<std::wstring>& arguments);
LaunchArguments read_launch_arguments(int argc, const wchar_t* const* argv);  // argv[0] skipped

// Exactly 64 characters, each one of 0-9a-f.
bool is_valid_version_identity(std::string_view identity);

// The identity of the running launcher: the name of the folder its executable is in
// (<root>\versions\<identity>\QorLauncher.exe). Throws KitError when that name is no identity.
std::string own_version_identity();

// Writes <root>\ready-<token> holding the identity and LF. The file is written under
// another name and moved into place, so the starter never reads it half written.
// Throws KitError when not started by the starter, for a bad identity, or on a write failure.
void signal_readiness(const LaunchArguments& launch, std::string_view own_identity);

struct StateRecord {
    std::string current_version;
    std::string staged_version;  // empty when nothing is staged
    bool trial_pending = false;
    bool operator==(const StateRecord&) const = default;
};

// The exact grammar of launcher-state: magic, current, staged or "-", "0" or "1", each
// line ending in LF (the last LF may be missing). Throws KitError "Invalid launcher state".
StateRecord parse_launcher_state(std::string_view bytes);
std::string format_launcher_state(const StateRecord& state);

// Reads <root>\launcher-state. Throws KitError when it is missing or invalid.
StateRecord read_launcher_state(const std::wstring& launcher_root);

// Makes <root>\versions\<identity> the staged version, keeping the current version from
// launcher-state. Crash-safe: a fresh temporary of the kit's own is written, flushed to
// the device and moved over launcher-state. Throws KitError "Invalid version identity",
// "Staged version is not installed", "Invalid launcher state" or "Cannot stage version";
// launcher-state is unchanged then.
void stage_version(const std::wstring& launcher_root, std::string_view identity);

}  // namespace qor::kit

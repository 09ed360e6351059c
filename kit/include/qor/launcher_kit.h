#pragma once
// The launcher's side of the starter protocol, for launcher authors.
//
//   1. read_launch_arguments: split the starter's reserved arguments from the user's.
//   2. signal_readiness: write ready-<token> once the launcher has initialised.
//   3. stage_version + exit with kRestartExitCode: ask to be restarted into another
//      installed version; the starter tries it and rolls back if it never gets ready.
//   4. install_version before staging, prune_versions once ready: the two ends of an
//      update, a version copied in whole or not at all, and old versions removed.
//
// Standard library and Win32 only. Every failure is a qor::kit::KitError; where Windows
// refused something, its text ends in "(error <code>)". Every call that takes a launcher
// root refuses an empty or relative one ("Launcher root must be an absolute path",
// ErrorKind::invalid_argument) and one that does not exist or is a file
// (ErrorKind::not_launcher_root) before it acts. Other programs (scanners,
// indexers, sync tools) may hold a file for a moment: the kit's renames and temporaries
// wait such a sharing conflict out for up to 2 seconds before they fail.

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
// Held, unshared, by the kit's install, stage and prune while they check and change
// versions and launcher-state, so that those of different processes never interleave.
// Created when missing and never deleted; the starter never takes it.
inline constexpr std::wstring_view kUpdateLockFileName = L"update.lock";
// The identity the kit last staged and the version then current, each with LF (the 1.0 kit
// wrote the first line alone): how a launcher learns which update failed.
inline constexpr std::wstring_view kUpdateRecordFileName = L"update-record";
inline constexpr std::wstring_view kMarkerPrefix = L"ready-";
inline constexpr std::wstring_view kLauncherExecutableName = L"QorLauncher.exe";

// What went wrong, for a program that reacts to one failure and not another without
// matching texts. The values are the C interface's statuses (QOR_KIT_...).
enum class ErrorKind : int {
    failed = 1,                 // any other refusal or failure; the text says which
    invalid_argument = 2,       // an argument no call accepts: a malformed launch, text that is not UTF-8
    update_already_failed = 5,  // stage_version: this update's trial failed (see failed_update)
    version_not_installed = 6,  // the version named is not in versions
    identity_mismatch = 7,      // what was installed or downloaded is not the version announced
    invalid_identity = 8,       // not 64 characters of 0-9a-f
    root_busy = 9,              // update.lock held past the wait, or the update already downloading
    starter_running = 10,       // a starter runs in the root
    not_launcher_root = 11,     // the folder is no launcher root (missing, a file, or not ours)
    system = 12,                // Windows refused; system_error() holds its error code
    // Update delivery (qor/delivery.h):
    bad_signature = 13,    // a feed whose signature does not verify against the launcher's public key
    invalid_update = 14,   // a feed or manifest that breaks its grammar or limits, or names an unsafe path
    download_failed = 15,  // the update server: unreachable, an HTTP error, a web page, a time-out
    cancelled = 16,        // the caller's progress callback cancelled the download
    older_release = 17,    // a feed offers a release older than one installed here: a replayed feed
};

class KitError : public std::runtime_error {
public:
    explicit KitError(const std::string& message, ErrorKind kind = ErrorKind::failed, unsigned long system_error = 0)
        : std::runtime_error(message), kind_(kind), system_error_(system_error) {}
    ErrorKind kind() const { return kind_; }
    // The Windows error code of an ErrorKind::system failure (the "(error N)" of its
    // text); 0 for the other kinds.
    unsigned long system_error() const { return system_error_; }

private:
    ErrorKind kind_;
    unsigned long system_error_;
};

// What the starter told this launcher. Without the reserved arguments (a pass-through
// --version or --help, or a launcher started by hand) started_by_starter is false.
struct LaunchArguments {
    std::vector<std::wstring> user_arguments;
    bool started_by_starter = false;
    // Some update failed to start, in this run (its trial ended before readiness) or in an
    // earlier run that ended during a trial. Once set it stays set for every later start
    // of the run, including a later trial that succeeds: it does not say which version
    // this is (compare own_version_identity with the version you meant to install).
    bool after_rollback = false;
    std::wstring launcher_root;
    std::string readiness_token;
};

// The starter appends, always last and in this order: [--launcher-update-rollback]
// --launcher-root <root> --launcher-ready <token>. arguments excludes the program name.
// Arguments are compared exactly, as the starter does: only "--launcher-root" and
// "--launcher-ready" themselves are reserved ("--Launcher-Root" is a user argument).
// Throws KitError "Malformed launcher arguments" when the reserved ones are misplaced,
// incomplete, or carry a token that is not 32 characters of 0-9a-f.
LaunchArguments read_launch_arguments(const std::vector<std::wstring>& arguments);
LaunchArguments read_launch_arguments(int argc, const wchar_t* const* argv);  // argv[0] skipped

// Exactly 64 characters, each one of 0-9a-f.
bool is_valid_version_identity(std::string_view identity);

// The identity of the running launcher: the name of the folder its executable is in
// (<root>\versions\<identity>\QorLauncher.exe). Throws KitError when that name is no identity.
// That folder is also the launcher's current folder: relative paths land in it and are
// left behind by the next update, so keep data under the launcher root or elsewhere.
std::string own_version_identity();

// Writes <root>\ready-<token> holding the identity and LF. The file is written under
// another name (writing-ready-<token>) and moved into place, so the starter never reads
// it half written; such temporaries left by earlier, killed launchers are then removed.
// Throws KitError when not started by the starter, for a bad identity, or on a write failure.
void signal_readiness(const LaunchArguments& launch, std::string_view own_identity);
// The same with own_version_identity().
void signal_readiness(const LaunchArguments& launch);

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

// Reads <root>\launcher-state, sharing read, write and delete so that the starter can
// still rename over it. Throws KitError "Cannot read launcher state (error <code>)" or
// "Invalid launcher state".
StateRecord read_launcher_state(const std::wstring& launcher_root);

// Makes <root>\versions\<identity> the staged version, keeping the current version from
// launcher-state. Crash-safe: a fresh temporary of the kit's own is written, flushed to
// the device and moved over launcher-state. While launcher-state shows a trial pending
// (a trial version that has just signalled readiness, before the starter promotes it)
// it waits, for up to 5 seconds. Throws KitError, leaving launcher-state unchanged:
// "Invalid version identity"; "Launcher paths cannot use redirects" or "Cannot inspect
// launcher path (error <code>)" when the version's folders or executable are links,
// which the starter would refuse to start; "Staged version is not installed"; the
// errors of read_launcher_state; "Cannot stage version while a trial is pending";
// "Cannot stage version (error <code>)"; "Launcher root is busy with another update
// (error <code>)" when another operation holds update.lock for more than 10 seconds. It
// holds update.lock from its check that the version is installed until launcher-state
// names it, so a version it reports staged is never pruned; one pruned first is "not
// installed".
// The kit records the identity it staged (update-record), and refuses by default one
// whose trial has already failed: "Update already failed its trial" (see failed_update).
// The record is cleared before launcher-state is written and rewritten after it, so that no
// record outlives the staging it describes: while it cannot be cleared (another program
// holds it past 2 seconds) the stage fails with "Cannot stage version (error <code>)", and
// a folder or a read-only file at its name fails it at once ("Cannot stage version:
// update-record is a folder; remove it").
struct StageOptions {
    // Try an update again although its last trial failed (a fixed machine, a user's wish).
    // Never in the run of the starter that rolled it back, which a launcher started with
    // --launcher-update-rollback (after_rollback) is: it is refused, "Update already failed its
    // trial in this run; a later start may retry it", so that a launcher that retries at
    // every start cannot restart for ever. The kit reads that from the process's own command
    // line, whatever the launcher's language.
    bool retry_failed_update = false;
};
void stage_version(const std::wstring& launcher_root, std::string_view identity, const StageOptions& options = {});

// The identity of the update whose trial failed: the one the kit staged last, while the
// version that was current when it was staged is current again and nothing is staged (only
// the starter's rollback leaves that; a record of the 1.0 kit, without that version, names
// its identity when launcher-state shows it neither current nor staged). Empty when none
// failed, when the kit never staged anything in this root, and once another version has
// been staged or made current.
// A launcher started with after_rollback asks this, and stage_version then refuses that
// identity unless told to retry. Throws the errors of read_launcher_state.
std::string failed_update(const std::wstring& launcher_root);

// ---------------------------------------------------------------------------
// The two ends of an update: installing a version, and removing the old ones.
// Their temporaries under versions are folders named installing-<32 hex digits> and
// deleting-<32 hex digits>, which no identity can take.

// Installs the files of source_folder (QorLauncher.exe at its top, subfolders included)
// as <root>\versions\<identity> and returns the identity: the lowercase hex SHA-256 of the
// version's manifest, which lists every file by relative path, size and SHA-256 (exact bytes
// in docs/protocol.md). Each file is read once, hashed as it is copied. The copy is made in
// a fresh temporary under versions, flushed to the device; the manifest is written beside
// it as <root>\versions\<identity>.manifest (crash-safely), then the folder is renamed in
// one step, so the identity's name never shows a half-copied version. Empty folders are
// no part of a version and are not copied. A folder of that identity whose stored manifest
// is the same is kept as it is; anything else there is refused, and nothing is
// overwritten. Temporaries left by killed installs are removed first. Throws KitError for
// a source without QorLauncher.exe, a name a manifest cannot hold ("Version file cannot be
// held in a manifest: <path> (<why>)": "..", ":", device names, a trailing dot or space,
// two names equal ignoring case) or a link ("Version folders cannot hold links: <path>"),
// that refusal, redirects in the root, versions or the identity's folder, and failures to
// read or write ("Cannot read version (error <code>)"); its own temporary is removed then.
// It holds update.lock while it clears temporaries and creates its own, checks the
// identity's folder and publishes: "Launcher root is busy with another update (error
// <code>)" when another operation holds it for more than 10 seconds.
std::string install_version(const std::wstring& launcher_root, const std::wstring& source_folder);
// The same for a download whose identity was announced (by an update server): a source
// whose manifest hashes to anything else is refused before anything is published, leaving
// nothing behind: "Downloaded version does not match its identity: expected <announced>, got
// <identity of the files>" (identity_mismatch);
// "Invalid version identity" when expected_identity is not 64 characters of 0-9a-f.
std::string install_version(const std::wstring& launcher_root, const std::wstring& source_folder,
                            std::string_view expected_identity);

// One file of an installed version that is not as its manifest says.
struct VersionProblem {
    enum class Kind { missing = 1, changed = 2, extra = 3 } kind;
    std::string path;  // relative to the version folder, UTF-8, "/" between names
    bool operator==(const VersionProblem&) const = default;
};

// Hashes every file of <root>\versions\<identity> again and compares it with the stored
// manifest: the files missing, changed (another size or SHA-256) or extra, in the manifest's
// order and extras last by path; empty when the version is intact. A version installed by
// the 1.0 kit (no <identity>.manifest beside it) can only be checked by its QorLauncher.exe,
// whose SHA-256 was its identity. Throws KitError: invalid_identity; version_not_installed;
// identity_mismatch when the stored manifest is not the identity's; failures to read.
std::vector<VersionProblem> verify_version(const std::wstring& launcher_root, std::string_view identity);

// Removes every folder under <root>\versions that is neither the current nor the staged
// version of launcher-state nor the calling launcher's own (own_version_identity; a
// caller outside any version folder keeps only the two), the kit's temporaries, and the
// <identity>.manifest of each version removed or without its folder. A
// folder is first renamed to a temporary, then deleted; one that cannot be renamed
// because something in it is in use (a running program, an install under way) stays
// for the next call. A link is removed as a link, never followed. Other files directly
// under versions stay. While launcher-state shows a trial pending (the caller is the version on
// trial and has just signalled readiness) it first waits, for up to 5 seconds, for the
// starter to promote it, so that the version it replaced goes at once. Throws KitError,
// having removed nothing, when launcher-state cannot be read and for redirects in the
// root or versions. From its read of launcher-state to its last rename it holds
// update.lock (the renamed folders are deleted after), so a stage in any process either
// comes first and keeps its version, or comes after and fails; it fails itself with
// "Launcher root is busy with another update (error <code>)" after 10 seconds of waiting.
// Call it at start-up once ready, and never between an install and its staging: the
// version just installed is not yet in launcher-state.
void prune_versions(const std::wstring& launcher_root);

}  // namespace qor::kit

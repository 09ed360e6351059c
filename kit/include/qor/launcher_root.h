#pragma once
// A whole launcher root: its first install, a reading of it as the starter would start it,
// and its removal. For installers, for launchers that install themselves, and for support;
// QorRoot.exe is a thin shell over these. Failures are qor::kit::KitError, as in
// qor/launcher_kit.h; paths in texts are UTF-8.

#include <string>
#include <string_view>
#include <vector>

#include "qor/launcher_kit.h"

namespace qor::kit {

inline constexpr std::wstring_view kStarterExecutableName = L"QorStarter.exe";
inline constexpr std::wstring_view kStarterLockName = L"starter.lock";

// Lays out a first install in launcher_root, which must be missing (it is created) or an
// empty folder: starter_executable copied in as QorStarter.exe, version_folder installed
// as install_version does, and launcher-state written with that version current. Returns
// its identity. Everything is checked before anything is made; a failure later removes
// what this call made and nothing else. Throws KitError for a root that is a file, holds
// a launcher-state ("Launcher root already holds a launcher-state") or any other entry
// ("Launcher root is not empty"), lies behind a redirect, a missing starter, a version
// folder without QorLauncher.exe, and the errors of install_version.
std::string initialize_launcher_root(const std::wstring& launcher_root, const std::wstring& starter_executable,
                                     const std::wstring& version_folder);

// Writes the first launcher-state, with current_identity current and nothing staged:
// a fresh temporary of the kit's own, flushed to the device, then renamed into place, a
// rename that never replaces a file. Throws KitError "Invalid version identity",
// "Current version is not installed" (no versions\<identity>\QorLauncher.exe), the
// redirect errors of stage_version, "Launcher state already exists", or
// "Cannot create launcher state (error <code>)".
void create_launcher_state(const std::wstring& launcher_root, std::string_view current_identity);

// The identity of the one version installed in the root (a folder under versions named by
// an identity, holding QorLauncher.exe), for a launcher-state written after the files are in
// place. Throws KitError ErrorKind::version_not_installed "No version is installed", or
// "Several versions are installed; name the current one: <identities>".
std::string only_installed_version(const std::wstring& launcher_root);

// One thing that would stop or spoil a start, in one line saying what is wrong and what to
// do. stops_start is false for what the root starts despite (a staged version that would
// roll back, an interrupted trial, temporaries left behind).
struct RootFinding {
    bool stops_start = true;
    std::string text;
};

// Reads the root as the starter would start it: the root's path, QorStarter.exe,
// starter.lock, launcher-state line by line, the current and staged versions (their
// folders, executables and the DLLs those import), and temporaries left behind. Empty when
// nothing is found. Changes nothing. Throws KitError when the root is empty, relative,
// missing or a file.
std::vector<RootFinding> check_launcher_root(const std::wstring& launcher_root);

// Uninstalls: removes everything in the root and the root itself, holding starter.lock,
// opened without sharing, all the while, so that no starter runs meanwhile. Links are
// removed as links, never entered. Only a folder that is recognisably a launcher root is
// touched: it holds a launcher-state whose first line is "Qor launcher 1", or a versions
// folder with at least one folder named by a version identity, or nothing but names the
// kit itself creates, QorStarter.exe among them (a first install stopped after copying
// the starter). Returns the paths it had to leave (in use, or a link that cannot be
// removed as itself); empty when the root is gone whole. Throws KitError, having removed
// nothing: ErrorKind::starter_running when a starter runs ("A starter is running in this
// launcher root"); ErrorKind::not_launcher_root for a root that is missing, a file, or no
// launcher root ("Not a launcher root, nothing removed"); ErrorKind::invalid_argument for
// an empty or relative root; and for a root behind a redirect or a drive's top folder.
std::vector<std::wstring> remove_launcher_root(const std::wstring& launcher_root);

}  // namespace qor::kit

#pragma once
// File work that several of the kit's operations share: error texts with the Windows
// code, waiting out a program that holds a file for a moment, and the redirect check.
// Internal to the kit; launcher authors use qor/launcher_kit.h.

#include <windows.h>

#include <string>
#include <string_view>

namespace qor::kit::detail {

// Scanners, indexers and sync tools open new files for a moment, often without delete
// sharing; a rename over such a file fails until they let go.
inline constexpr ULONGLONG kSharingConflictBoundMilliseconds = 2'000;
inline constexpr DWORD kSharingConflictPauseMilliseconds = 20;

// Throws KitError "<message> (error <code>)".
[[noreturn]] void fail(std::string_view message, DWORD error);

// ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED or ERROR_LOCK_VIOLATION.
bool is_sharing_conflict(DWORD error);

// MoveFileExW, with sharing conflicts retried for at most the bound.
// Returns 0 on success, else the last Windows error.
DWORD move_file(const std::wstring& from, const std::wstring& to, DWORD flags);

// Throws KitError unless every prefix of the full path, from the top folder of its drive
// or share down to the path itself, is free of reparse points (links, junctions, mount
// points), as the starter checks: "Launcher paths cannot use redirects", or "Cannot
// inspect launcher path (error <code>)". Parts that do not exist yet pass.
void refuse_redirects(const std::wstring& path);

}  // namespace qor::kit::detail

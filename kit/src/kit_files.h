#pragma once
// File work that several of the kit's operations share: error texts with the Windows
// code, waiting out a program that holds a file for a moment, fresh temporaries, and
// the redirect check. Internal to the kit; launcher authors use qor/launcher_kit.h.

#include <windows.h>

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qor/launcher_kit.h"

namespace qor::kit::detail {

inline constexpr std::string_view kLowerHexDigits = "0123456789abcdef";

// Names the kit gives its own files, which QorRoot's check must know as well.
inline constexpr std::wstring_view kVersionsFolderName = L"versions";
// Prefix and 32 hex digits: never 64 hex digits, so no identity can ever take such a name.
inline constexpr std::wstring_view kInstallPrefix = L"installing-";
inline constexpr std::wstring_view kDeletionPrefix = L"deleting-";
inline constexpr std::size_t kTemporarySuffixLength = 32;
// A readiness marker while it is written, before it is moved to ready-<token>.
inline constexpr std::wstring_view kMarkerTemporaryPrefix = L"writing-ready-";

// name is prefix followed by exactly length characters of 0-9a-f.
bool has_hex_suffix(std::wstring_view name, std::wstring_view prefix, std::size_t length);

inline std::wstring widen_ascii(std::string_view ascii) { return std::wstring(ascii.begin(), ascii.end()); }

// Scanners, indexers and sync tools open new files for a moment, often without delete
// sharing; a rename over such a file fails until they let go.
inline constexpr ULONGLONG kSharingConflictBoundMilliseconds = 2'000;
inline constexpr DWORD kSharingConflictPauseMilliseconds = 20;

// Owns one handle from CreateFileW (INVALID_HANDLE_VALUE when none).
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(HANDLE handle) : handle_(handle) {}
    ~FileHandle() { close(); }
    FileHandle(FileHandle&& other) noexcept : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
    FileHandle& operator=(FileHandle&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, INVALID_HANDLE_VALUE);
        }
        return *this;
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }
    // False when CloseHandle failed (its error is then the last error).
    bool close() {
        if (!valid()) return true;
        return ::CloseHandle(std::exchange(handle_, INVALID_HANDLE_VALUE)) != FALSE;
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Owns one search handle from FindFirstFileExW.
class FindHandle {
public:
    explicit FindHandle(HANDLE handle) : handle_(handle) {}
    ~FindHandle() {
        if (valid()) ::FindClose(handle_);
    }
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;

    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// folder + "\\" + name, without doubling a separator or splitting a bare drive from its path.
std::wstring join(const std::wstring& folder, std::wstring_view name);

// UTF-8 of Windows text, for messages; a lone surrogate becomes U+FFFD.
std::string utf8(std::wstring_view text);

// Throws KitError "<message> (error <code>)", of ErrorKind::system with that code unless
// another kind is given.
[[noreturn]] void fail(std::string_view message, DWORD error, ErrorKind kind = ErrorKind::system);

// ERROR_SHARING_VIOLATION, ERROR_ACCESS_DENIED or ERROR_LOCK_VIOLATION.
bool is_sharing_conflict(DWORD error);

// Calls attempt (which returns 0 or a Windows error) again while it fails with a sharing
// conflict, for at most the bound. Returns its last result.
template <typename Attempt>
DWORD retry_sharing_conflicts(Attempt&& attempt) {
    const ULONGLONG started = ::GetTickCount64();
    for (;;) {
        const DWORD error = attempt();
        if (error == 0 || !is_sharing_conflict(error) ||
            ::GetTickCount64() - started >= kSharingConflictBoundMilliseconds) {
            return error;
        }
        ::Sleep(kSharingConflictPauseMilliseconds);
    }
}

// MoveFileExW, with sharing conflicts retried for at most the bound.
// Returns 0 on success, else the last Windows error.
DWORD move_file(const std::wstring& from, const std::wstring& to, DWORD flags);

// Writes bytes into a file created anew at path (a leftover of that name is deleted
// first, never written through), flushed to the device when asked, and closes it.
// Sharing conflicts on the leftover or the creation are retried for at most the bound.
// Returns 0 on success, else the Windows error; the file may then be left behind.
// Throws KitError "<name> is a link; delete it: <path>" when a link stands at the name.
DWORD write_fresh_file(const std::wstring& path, std::string_view bytes, bool flush_to_device);

// A version on trial signals readiness and the starter then publishes its promotion within
// one 100 ms poll, or up to 2 s later when another program holds launcher-state.
inline constexpr ULONGLONG kTrialSettleBoundMilliseconds = 5'000;
inline constexpr DWORD kTrialSettlePauseMilliseconds = 50;

// Reads launcher-state again while it shows a trial pending, for at most that bound, so
// that what the caller writes or removes next does not race the starter's own record.
// Returns the state last read: still on trial when the bound has passed.
StateRecord read_state_without_trial(const std::wstring& launcher_root);

// The full "\\?\" form of path ("\\?\C:\...", "\\?\UNC\server\share\..."), made from
// GetFullPathNameW's absolute form: Windows takes it as given, so a listed name ending in
// a dot or space is acted on as listed, not trimmed into another folder's name, and no
// 260-character limit applies. Throws KitError "Cannot inspect launcher path (error <code>)".
std::wstring extended_path(const std::wstring& path);

// Longest a holder keeps update.lock: a stage's 5 s wait for a pending trial and a few
// renames; twice that, so that only a stuck holder makes another update fail.
inline constexpr ULONGLONG kUpdateLockBoundMilliseconds = 10'000;

// Opens <root>\update.lock (created if missing, never deleted) without sharing, waiting for
// another holder for at most the bound, so that no prune removes a version between another
// operation's check and the step that relies on it. Closing the handle lets go. Throws
// KitError "Launcher root is busy with another update (error <code>)" when the wait runs
// out, "update.lock is a folder; delete it: <path>" or "update.lock is a link; delete it:
// <path>" (never created where a link points), "Cannot lock launcher root (error <code>)"
// for other failures.
FileHandle take_update_lock(const std::wstring& launcher_root);

// GetFullPathNameW's absolute form. Throws KitError "Cannot inspect launcher path (error <code>)".
std::wstring full_path_name(const std::wstring& path);

inline bool is_link(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
inline bool is_folder(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

struct FolderEntry {
    std::wstring name;
    DWORD attributes;
};

struct Listing {
    std::vector<FolderEntry> entries;
    DWORD error = 0;  // ERROR_PATH_NOT_FOUND for a missing folder
};

// The whole listing first: the callers rename and delete entries of the folder.
Listing list_folder(const std::wstring& folder);

// Names the kit owns are deleted, renamed and created only through a handle shown to be the
// listed name itself. Wine 8 shows a Unix link to a file as a plain file, opens what a link
// points to even with FILE_FLAG_OPEN_REPARSE_POINT, and deletes, renames or creates the target
// when asked by name; no attribute tells. A handle is the name itself when its final path is
// the final path of the name's folder joined with the name (case folded: the folder's final
// path undoes 8.3 names and the "\\?\" forms). Where it is not, Wine has opened a link's
// target: the link's own name cannot be removed there, so it stays and is reported. Windows
// opens a reparse point itself, which goes as the link it is.

// True when file, opened by path, is path's entry itself, not what a link there points to.
bool is_listed_name(HANDLE file, const std::wstring& path);

struct Removal {
    enum class Outcome { removed, absent, link_stays, failed } outcome;
    DWORD error = 0;  // for failed
};

// Deletes the file (or a link, as a link) at path through such a handle, read-only too.
// A folder stays (failed, ERROR_ACCESS_DENIED, as DeleteFileW answers).
Removal remove_own_file(const std::wstring& path);

// Application-defined codes (bit 29) for what stands at a name the kit owns.
inline constexpr DWORD kLinkAtName = (DWORD{1} << 29) | 1;
inline constexpr DWORD kFolderAtName = (DWORD{1} << 29) | 2;

// Creates path anew (CREATE_NEW) with access and DELETE, sharing share, and checks that it
// is the name itself: what was created elsewhere is deleted again. Returns 0, a Windows
// error, or kLinkAtName (a dangling link included).
DWORD create_own_file(const std::wstring& path, DWORD access, DWORD share, FileHandle& file);

// Opens path, created when missing, with access, sharing share, never through a link at its
// name. Returns 0, a Windows error, kLinkAtName or kFolderAtName.
DWORD open_own_file(const std::wstring& path, DWORD access, DWORD share, FileHandle& file);

// Throws KitError "<name> is a link; delete it: <path>" for kLinkAtName, "<name> is a folder;
// delete it: <path>" for kFolderAtName.
[[noreturn]] void refuse_name(const std::wstring& path, DWORD found);

// Removes a file, a link (as a link, never entered) or a folder with all it holds, read-only
// ones too; adds to left every path that stayed, a folder after what it still holds. Give it
// the "\\?\" form, so that every listed name is acted on as listed, however deep. What is
// removed is decided on the handle; the attributes a listing gave are not trusted.
void remove_entry(const std::wstring& path, DWORD listed_attributes, std::vector<std::wstring>& left);

// Renames the folder at from (a plain folder, never a link) to to, through a handle shown to
// be the name itself. Returns 0 or the Windows error (kLinkAtName for a link).
DWORD rename_own_folder(const std::wstring& from, const std::wstring& to);

// The full path and each folder above it, from its drive's or share's top folder ("C:\",
// never the bare drive, which names the current folder of that drive) down to the path.
std::vector<std::wstring> path_prefixes(const std::wstring& path);

// Throws KitError unless every prefix of the full path, from the top folder of its drive
// or share down to the path itself, is free of reparse points (links, junctions, mount
// points), as the starter checks: "Launcher paths cannot use redirects", or "Cannot
// inspect launcher path (error <code>)". Parts that do not exist yet pass.
void refuse_redirects(const std::wstring& path);

}  // namespace qor::kit::detail

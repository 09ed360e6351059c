// The launcher root's first install, its first launcher-state, and its removal.

#include "qor/launcher_root.h"

#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kit_files.h"
#include "qor/launcher_kit.h"
#include "root_argument.h"
#include "root_queries.h"

namespace qor::kit {

namespace {

using detail::attributes_of;
using detail::first_redirect;
using detail::FolderEntry;
using detail::is_folder;
using detail::is_link;
using detail::join;
using detail::kVersionsFolderName;
using detail::remove_entry;
using detail::utf8;
using detail::widen_ascii;

constexpr DWORD kCopyBufferBytes = 1 << 20;

// Copies into a file that did not exist, flushed: a power cut must not leave a starter of zeros.
void copy_new_file(const std::wstring& from, const std::wstring& to) {
    const detail::FileHandle source(::CreateFileW(from.c_str(), GENERIC_READ,
                                                  /*dwShareMode=*/FILE_SHARE_READ | FILE_SHARE_DELETE,
                                                  /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                                  FILE_FLAG_SEQUENTIAL_SCAN, /*hTemplateFile=*/nullptr));
    if (!source.valid()) {
        const DWORD error = ::GetLastError();
        detail::fail("Cannot read starter executable", error);
    }
    detail::FileHandle target;
    if (const DWORD error = detail::create_own_file(to, GENERIC_WRITE, /*share=*/0, target); error != 0) {
        if (error == detail::kLinkAtName) detail::refuse_name(to, error);
        detail::fail("Cannot copy starter executable", error);
    }
    std::vector<char> buffer(kCopyBufferBytes);
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(source.get(), buffer.data(), kCopyBufferBytes, &read, /*lpOverlapped=*/nullptr)) {
            const DWORD error = ::GetLastError();
            detail::fail("Cannot read starter executable", error);
        }
        if (read == 0) break;
        DWORD written = 0;
        if (!::WriteFile(target.get(), buffer.data(), read, &written, /*lpOverlapped=*/nullptr) || written != read) {
            const DWORD error = written != read ? DWORD{ERROR_HANDLE_DISK_FULL} : ::GetLastError();
            detail::fail("Cannot copy starter executable", error);
        }
    }
    if (!::FlushFileBuffers(target.get()) || !target.close()) {
        const DWORD error = ::GetLastError();
        detail::fail("Cannot copy starter executable", error);
    }
}

// Creates path and each missing folder above it; returns the topmost one it created
// (empty when path existed), so that a failed first install can take back what it made.
std::wstring create_folders(const std::wstring& path) {
    std::wstring topmost_created;
    for (const std::wstring& folder : detail::path_prefixes(path)) {
        if (::CreateDirectoryW(folder.c_str(), /*lpSecurityAttributes=*/nullptr)) {
            if (topmost_created.empty()) topmost_created = folder;
            continue;
        }
        const DWORD error = ::GetLastError();
        // A top folder (C:\) answers access denied rather than that it exists.
        if (error != ERROR_ALREADY_EXISTS && !attributes_of(folder)) detail::fail("Cannot create launcher root", error);
    }
    return topmost_created;
}

// ---------------------------------------------------------------------------
// remove

// Held for the whole removal: the starter opens starter.lock without sharing too, so while
// this is open no starter runs, and while one runs this cannot be opened.
detail::FileHandle lock_for_removal(const std::wstring& lock_path) {
    const std::optional<DWORD> attributes = attributes_of(lock_path);
    // A link or a folder there: no starter can lock it, so none runs; opening it would follow it.
    if (attributes && (is_link(*attributes) || is_folder(*attributes))) return detail::FileHandle();
    detail::FileHandle lock;
    const DWORD error = detail::open_own_file(lock_path, GENERIC_READ | DELETE, /*share=*/0, lock);
    if (error == detail::kLinkAtName || error == detail::kFolderAtName) return detail::FileHandle();
    if (error != 0) {
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
            throw KitError("A starter is running in this launcher root; close the launcher and try again",
                           ErrorKind::starter_running);
        }
        detail::fail("Cannot lock launcher root", error);
    }
    return lock;
}

// A launcher-state of this format: its first line is the magic line exactly. Read through
// no link, so that a file elsewhere cannot vouch for this folder.
bool holds_launcher_state(const std::wstring& launcher_root) {
    const std::wstring path = join(launcher_root, kStateFileName);
    const std::optional<DWORD> attributes = attributes_of(path);
    if (!attributes || is_folder(*attributes) || is_link(*attributes)) return false;
    const detail::FileHandle file(::CreateFileW(
        path.c_str(), GENERIC_READ, /*dwShareMode=*/FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, /*hTemplateFile=*/nullptr));
    if (!file.valid()) return false;
    std::string head(kStateMagicLine.size() + 1, '\0');
    DWORD read = 0;
    if (!::ReadFile(file.get(), head.data(), static_cast<DWORD>(head.size()), &read, /*lpOverlapped=*/nullptr)) {
        return false;
    }
    head.resize(read);
    return head == kStateMagicLine || head == std::string(kStateMagicLine) + "\n";
}

// A folder name ending in a space or a dot: Windows drops those when it makes a path
// absolute, so folders created along it would not be the ones named.
bool has_name_windows_trims(std::wstring_view path) {
    if (path.starts_with(L"\\\\?\\")) return false;  // taken as given
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find_first_of(L"\\/", start), path.size());
        const std::wstring_view name = path.substr(start, end - start);
        if (name != L"." && name != L".." && !name.empty() && (name.back() == L' ' || name.back() == L'.')) return true;
        start = end + 1;
    }
    return false;
}

bool is_identity_name(std::wstring_view name) {
    return name.size() == kVersionIdentityLength && std::all_of(name.begin(), name.end(), [](wchar_t unit) {
               return (unit >= L'0' && unit <= L'9') || (unit >= L'a' && unit <= L'f');
           });
}

bool is_kit_temporary(std::wstring_view name) {
    return detail::has_hex_suffix(name, detail::kInstallPrefix, detail::kTemporarySuffixLength) ||
           detail::has_hex_suffix(name, detail::kDeletionPrefix, detail::kTemporarySuffixLength);
}

// Only what remove may take away whole: a root whose launcher-state or installed versions say
// it is one, or a first install stopped after copying the starter, which holds nothing but
// names the kit gives its own files. A folder that merely holds a copy of QorStarter.exe
// (an installer's own folder, the folder a package was unpacked into) is none of these.
bool is_recognisably_launcher_root(const std::wstring& launcher_root) {
    if (holds_launcher_state(launcher_root)) return true;
    const auto is_plain_folder = [](DWORD attributes) { return is_folder(attributes) && !is_link(attributes); };
    const std::wstring extended_root = detail::extended_path(launcher_root);
    const std::vector<FolderEntry> entries = detail::list_entries(extended_root);
    const auto versions_entry = std::find_if(entries.begin(), entries.end(), [&](const FolderEntry& entry) {
        return entry.name == kVersionsFolderName && is_plain_folder(entry.attributes);
    });
    std::vector<FolderEntry> versions;
    if (versions_entry != entries.end()) versions = detail::list_entries(join(extended_root, versions_entry->name));
    if (std::any_of(versions.begin(), versions.end(), [&](const FolderEntry& version) {
            return is_identity_name(version.name) && is_plain_folder(version.attributes);
        })) {
        return true;
    }
    // A first install stopped after copying the starter, before a version was in place.
    const bool only_kit_files = std::all_of(entries.begin(), entries.end(), [&](const FolderEntry& entry) {
        if (versions_entry != entries.end() && &entry == &*versions_entry) return true;
        if (is_folder(entry.attributes) || is_link(entry.attributes)) return false;
        return entry.name == kStarterExecutableName || entry.name == kStarterLockName ||
               entry.name == kUpdateLockFileName || entry.name == kUpdateRecordFileName ||
               entry.name == kStagingFileName;
    });
    const bool holds_starter = std::any_of(
        entries.begin(), entries.end(), [](const FolderEntry& entry) { return entry.name == kStarterExecutableName; });
    return only_kit_files && holds_starter &&
           std::all_of(versions.begin(), versions.end(), [](const FolderEntry& v) { return is_kit_temporary(v.name); });
}

}  // namespace

void create_launcher_state(const std::wstring& launcher_root, std::string_view current_identity) {
    detail::require_launcher_root(launcher_root);
    if (!is_valid_version_identity(current_identity))
        throw KitError("Invalid version identity", ErrorKind::invalid_identity);
    const std::wstring executable =
        join(join(join(launcher_root, kVersionsFolderName), widen_ascii(current_identity)), kLauncherExecutableName);
    detail::refuse_redirects(executable);
    const std::optional<DWORD> attributes = attributes_of(executable);
    if (!attributes || is_folder(*attributes))
        throw KitError("Current version is not installed", ErrorKind::version_not_installed);
    const std::wstring state = join(launcher_root, kStateFileName);
    detail::refuse_redirects(state);
    if (attributes_of(state)) throw KitError("Launcher state already exists");

    const std::wstring temporary = join(launcher_root, kStagingFileName);
    const std::string text = format_launcher_state(StateRecord{std::string(current_identity), {}, false});
    DWORD error = detail::write_fresh_file(temporary, text, /*flush_to_device=*/true);
    // Without MOVEFILE_REPLACE_EXISTING: a state that appeared meanwhile is never replaced.
    if (error == 0) error = detail::move_file(temporary, state, MOVEFILE_WRITE_THROUGH);
    if (error != 0) {
        detail::remove_own_file(temporary);
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
            throw KitError("Launcher state already exists");
        }
        detail::fail("Cannot create launcher state", error);
    }
}

std::string only_installed_version(const std::wstring& launcher_root) {
    detail::require_launcher_root(launcher_root);
    const std::wstring versions = join(launcher_root, kVersionsFolderName);
    std::vector<std::string> installed;
    for (const FolderEntry& entry : detail::list_entries(versions)) {
        if (!is_identity_name(entry.name) || !is_folder(entry.attributes) || is_link(entry.attributes)) continue;
        if (attributes_of(join(join(versions, entry.name), kLauncherExecutableName))) {
            installed.push_back(utf8(entry.name));
        }
    }
    if (installed.empty()) throw KitError("No version is installed", ErrorKind::version_not_installed);
    if (installed.size() > 1) {
        std::string names;
        for (const std::string& identity : installed) names += (names.empty() ? "" : ", ") + identity;
        throw KitError("Several versions are installed; name the current one: " + names);
    }
    return installed.front();
}

std::string initialize_launcher_root(const std::wstring& launcher_root, const std::wstring& starter_executable,
                                     const std::wstring& version_folder) {
    if (!detail::is_absolute_root(launcher_root)) {
        throw KitError("Launcher root must be an absolute path", ErrorKind::invalid_argument);
    }
    if (has_name_windows_trims(launcher_root)) {
        throw KitError("Launcher root has a folder name ending in a space or a dot, which Windows drops: \"" +
                           utf8(launcher_root) + "\"",
                       ErrorKind::invalid_argument);
    }
    const std::optional<DWORD> starter = attributes_of(starter_executable);
    if (!starter || is_folder(*starter)) throw KitError("Starter executable not found: " + utf8(starter_executable));
    const std::optional<DWORD> launcher = attributes_of(join(version_folder, kLauncherExecutableName));
    if (!launcher || is_folder(*launcher)) {
        throw KitError("Version folder has no QorLauncher.exe: " + utf8(version_folder));
    }
    if (const std::wstring redirect = first_redirect(launcher_root); !redirect.empty()) {
        throw KitError("Launcher paths cannot use redirects: " + utf8(redirect));
    }
    if (const std::optional<DWORD> root = attributes_of(launcher_root)) {
        if (!is_folder(*root)) throw KitError("Launcher root is a file, not a folder: " + utf8(launcher_root));
        if (attributes_of(join(launcher_root, kStateFileName))) {
            throw KitError("Launcher root already holds a launcher-state");
        }
        if (!detail::list_entries(launcher_root).empty())
            throw KitError("Launcher root is not empty: " + utf8(launcher_root));
    }

    const std::wstring created = create_folders(launcher_root);
    try {
        copy_new_file(starter_executable, join(launcher_root, kStarterExecutableName));
        const std::string identity = install_version(launcher_root, version_folder);
        create_launcher_state(launcher_root, identity);
        return identity;
    } catch (...) {
        // Take back only what this call made: the root was empty, or did not exist.
        std::vector<std::wstring> left;
        if (!created.empty()) {
            remove_entry(detail::extended_path(created), FILE_ATTRIBUTE_DIRECTORY, left);
        } else {
            const std::wstring extended_root = detail::extended_path(launcher_root);
            for (const FolderEntry& entry : detail::list_entries(extended_root)) {
                remove_entry(join(extended_root, entry.name), entry.attributes, left);
            }
        }
        throw;
    }
}

std::vector<std::wstring> remove_launcher_root(const std::wstring& launcher_root) {
    detail::require_launcher_root(launcher_root);
    if (const std::wstring redirect = first_redirect(launcher_root); !redirect.empty()) {
        throw KitError("Launcher paths cannot use redirects: " + utf8(redirect));
    }
    if (detail::path_prefixes(launcher_root).size() < 2) {
        throw KitError("A drive's or share's top folder is never removed as a launcher root: " + utf8(launcher_root));
    }
    if (!is_recognisably_launcher_root(launcher_root)) {
        throw KitError("Not a launcher root, nothing removed: " + utf8(launcher_root) +
                           " holds no launcher-state and no installed version",
                       ErrorKind::not_launcher_root);
    }
    const std::wstring starter = join(launcher_root, kStarterExecutableName);
    const std::wstring lock_path = join(launcher_root, kStarterLockName);
    detail::FileHandle lock = lock_for_removal(lock_path);

    std::vector<std::wstring> left;
    // The starter goes first, so that nothing starts from a half-removed root.
    if (const std::optional<DWORD> attributes = attributes_of(starter)) remove_entry(starter, *attributes, left);
    // Listed names are acted on as listed: a plain path would trim "x." to "x".
    const std::wstring extended_root = detail::extended_path(launcher_root);
    for (const FolderEntry& entry : detail::list_entries(extended_root)) {
        if (entry.name == kStarterLockName && lock.valid()) continue;
        remove_entry(join(extended_root, entry.name), entry.attributes, left);
    }
    if (lock.valid()) {
        // Deleted through the handle that holds it, so that no starter can take it in between.
        FILE_DISPOSITION_INFO disposition{/*DeleteFile=*/TRUE};
        const bool starter_stays = attributes_of(starter).has_value();
        if (starter_stays ||
            !::SetFileInformationByHandle(lock.get(), FileDispositionInfo, &disposition, sizeof disposition)) {
            left.push_back(lock_path);
        }
        lock.close();
    }
    if (!::RemoveDirectoryW(launcher_root.c_str())) left.push_back(launcher_root);
    // Reported as a user writes them, without the "\\?\" the removal went through.
    for (std::wstring& path : left) {
        if (path.starts_with(L"\\\\?\\UNC\\")) {
            path.replace(0, 8, L"\\\\");
        } else if (path.starts_with(L"\\\\?\\")) {
            path.erase(0, 4);
        }
    }
    return left;
}

}  // namespace qor::kit

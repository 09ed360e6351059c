#include "kit_files.h"

#include <string>

#include "qor/launcher_kit.h"

namespace qor::kit::detail {

namespace {

// The length of the part that names a drive or share and its top folder:
// "C:\", "\\server\share\", "\\?\C:\", "\\?\UNC\server\share\".
std::size_t top_folder_length(const std::wstring& full) {
    auto skip_element = [&full](std::size_t at) {
        const std::size_t end = full.find(L'\\', at);
        return end == std::wstring::npos ? full.size() : end + 1;
    };
    std::size_t at = 0;
    if (full.rfind(L"\\\\?\\", 0) == 0 || full.rfind(L"\\\\.\\", 0) == 0) {
        at = 4;
        if (full.compare(at, 4, L"UNC\\") == 0) return skip_element(skip_element(at + 4));
        return skip_element(at);
    }
    if (full.rfind(L"\\\\", 0) == 0) return skip_element(skip_element(2));
    return skip_element(0);
}

bool is_folder(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void query_prefix(const std::wstring& prefix) {
    const DWORD attributes = ::GetFileAttributesW(prefix.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return;
        fail("Cannot inspect launcher path", error);
    }
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) throw KitError("Launcher paths cannot use redirects");
}

}  // namespace

std::wstring full_path_name(const std::wstring& path) {
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), /*lpFilePart=*/nullptr);
        const DWORD error = ::GetLastError();
        if (length == 0) fail("Cannot inspect launcher path", error);
        if (length < full.size()) {
            full.resize(length);
            return full;
        }
        full.resize(length);
    }
}

Listing list_folder(const std::wstring& folder) {
    Listing listing;
    WIN32_FIND_DATAW found{};
    const std::wstring pattern = join(folder, L"*");
    const FindHandle search(::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                               /*lpSearchFilter=*/nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (!search.valid()) {
        listing.error = ::GetLastError();
        return listing;
    }
    do {
        const std::wstring_view name = found.cFileName;
        if (name != L"." && name != L"..") listing.entries.push_back({std::wstring(name), found.dwFileAttributes});
    } while (::FindNextFileW(search.get(), &found));
    const DWORD error = ::GetLastError();
    if (error != ERROR_NO_MORE_FILES) listing.error = error;
    return listing;
}

bool remove_link(const std::wstring& path) {
    const FileHandle link(::CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                        /*dwShareMode=*/FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                        /*hTemplateFile=*/nullptr));
    if (!link.valid()) return false;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandleEx(link.get(), FileAttributeTagInfo, &tag, sizeof tag) ||
        !is_link(tag.FileAttributes)) {
        return false;
    }
    FILE_DISPOSITION_INFO disposition{/*DeleteFile=*/TRUE};
    return ::SetFileInformationByHandle(link.get(), FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

void remove_entry(const std::wstring& path, DWORD attributes, std::vector<std::wstring>& left) {
    if (is_link(attributes)) {
        if (!remove_link(path)) left.push_back(path);
        return;
    }
    // Windows refuses to remove a read-only file or folder (error 5); Wine drops the
    // attribute on folders, so no test here can show it for them.
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        ::SetFileAttributesW(path.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY});
    }
    if (!is_folder(attributes)) {
        if (!::DeleteFileW(path.c_str())) left.push_back(path);
        return;
    }
    const std::size_t left_before = left.size();
    for (const FolderEntry& entry : list_folder(path).entries) {
        remove_entry(join(path, entry.name), entry.attributes, left);
    }
    if (!::RemoveDirectoryW(path.c_str()) && left.size() == left_before) left.push_back(path);
}

std::wstring join(const std::wstring& folder, std::wstring_view name) {
    std::wstring path = folder;
    if (!path.empty() && path.back() != L'\\' && path.back() != L'/' && path.back() != L':') path += L'\\';
    path += name;
    return path;
}

void fail(std::string_view message, DWORD error, ErrorKind kind) {
    throw KitError(std::string(message) + " (error " + std::to_string(error) + ")", kind,
                   kind == ErrorKind::system ? error : 0);
}

bool is_sharing_conflict(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

DWORD move_file(const std::wstring& from, const std::wstring& to, DWORD flags) {
    return retry_sharing_conflicts([&]() -> DWORD {
        if (::MoveFileExW(from.c_str(), to.c_str(), flags)) return 0;
        return ::GetLastError();
    });
}

DWORD write_fresh_file(const std::wstring& path, std::string_view bytes, bool flush_to_device) {
    FileHandle file;
    const DWORD creation = retry_sharing_conflicts([&]() -> DWORD {
        // A leftover at the name may be a hard link to another file, which writing in
        // place would change. One held open by another program goes once it lets go;
        // a folder of that name never does.
        if (!::DeleteFileW(path.c_str())) {
            const DWORD removal = ::GetLastError();
            if (is_sharing_conflict(removal) && !is_folder(path)) return removal;
        }
        const HANDLE created = ::CreateFileW(path.c_str(), GENERIC_WRITE, /*dwShareMode=*/0,
                                             /*lpSecurityAttributes=*/nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                             /*hTemplateFile=*/nullptr);
        const DWORD error = ::GetLastError();
        file = FileHandle(created);
        return file.valid() ? 0 : error;
    });
    if (creation != 0) return creation;

    DWORD written = 0;
    if (!::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, /*lpOverlapped=*/nullptr)) {
        return ::GetLastError();
    }
    // A synchronous write to a disk file that succeeds short has run out of room.
    if (written != bytes.size()) return ERROR_HANDLE_DISK_FULL;
    // A rename after this is journaled, the data is not: without the flush a power cut
    // can leave the renamed file full of zeros.
    if (flush_to_device && !::FlushFileBuffers(file.get())) return ::GetLastError();
    if (!file.close()) return ::GetLastError();
    return 0;
}

StateRecord read_state_without_trial(const std::wstring& launcher_root) {
    const ULONGLONG started = ::GetTickCount64();
    for (;;) {
        StateRecord state = read_launcher_state(launcher_root);
        if (!state.trial_pending || ::GetTickCount64() - started >= kTrialSettleBoundMilliseconds) return state;
        ::Sleep(kTrialSettlePauseMilliseconds);
    }
}

std::wstring extended_path(const std::wstring& path) {
    if (path.rfind(L"\\\\?\\", 0) == 0) return path;
    const std::wstring full = full_path_name(path);
    if (full.rfind(L"\\\\?\\", 0) == 0) return full;
    if (full.rfind(L"\\\\.\\", 0) == 0) return L"\\\\?\\" + full.substr(4);
    if (full.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

FileHandle take_update_lock(const std::wstring& launcher_root) {
    const std::wstring path = join(launcher_root, kUpdateLockFileName);
    const ULONGLONG started = ::GetTickCount64();
    for (;;) {
        // GENERIC_READ alone: a read-only lock file locks as well as any.
        FileHandle lock(::CreateFileW(path.c_str(), GENERIC_READ, /*dwShareMode=*/0,
                                      /*lpSecurityAttributes=*/nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                      /*hTemplateFile=*/nullptr));
        const DWORD error = ::GetLastError();
        if (lock.valid()) return lock;
        if (error != ERROR_SHARING_VIOLATION) fail("Cannot lock launcher root", error);
        if (::GetTickCount64() - started >= kUpdateLockBoundMilliseconds) {
            fail("Launcher root is busy with another update", error, ErrorKind::root_busy);
        }
        ::Sleep(kSharingConflictPauseMilliseconds);
    }
}

bool has_hex_suffix(std::wstring_view name, std::wstring_view prefix, std::size_t length) {
    if (!name.starts_with(prefix)) return false;
    const std::wstring_view suffix = name.substr(prefix.size());
    return suffix.size() == length && suffix.find_first_not_of(L"0123456789abcdef") == std::wstring_view::npos;
}

std::vector<std::wstring> path_prefixes(const std::wstring& path) {
    const std::wstring full = full_path_name(path);
    const std::size_t top = top_folder_length(full);
    std::vector<std::wstring> prefixes{full.substr(0, top)};
    for (std::size_t at = top; at < full.size();) {
        std::size_t next = full.find(L'\\', at);
        if (next == std::wstring::npos) next = full.size();
        if (next > at) prefixes.push_back(full.substr(0, next));
        at = next + 1;
    }
    return prefixes;
}

void refuse_redirects(const std::wstring& path) {
    for (const std::wstring& prefix : path_prefixes(path)) query_prefix(prefix);
}

}  // namespace qor::kit::detail

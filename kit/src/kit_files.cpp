#include "kit_files.h"

#include <memory>
#include <optional>
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

bool is_folder_at(const std::wstring& path) {
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

std::string utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, /*dwFlags=*/0, text.data(), static_cast<int>(text.size()),
                                           /*lpMultiByteStr=*/nullptr, 0, /*lpDefaultChar=*/nullptr,
                                           /*lpUsedDefaultChar=*/nullptr);
    std::string result(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    ::WideCharToMultiByte(CP_UTF8, /*dwFlags=*/0, text.data(), static_cast<int>(text.size()), result.data(), size,
                          /*lpDefaultChar=*/nullptr, /*lpUsedDefaultChar=*/nullptr);
    return result;
}

namespace {

// As a user writes it, without the "\\?\" the kit acts through.
std::wstring shown(const std::wstring& path) {
    if (path.starts_with(L"\\\\?\\UNC\\")) return L"\\\\" + path.substr(8);
    if (path.starts_with(L"\\\\?\\")) return path.substr(4);
    return path;
}

bool same_path(std::wstring_view a, std::wstring_view b) {
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                  /*bIgnoreCase=*/TRUE) == CSTR_EQUAL;
}

// Empty when Windows cannot tell.
std::wstring final_path_of(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                                         FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(length);
    }
}

struct SplitPath {
    std::wstring folder;  // keeps a top folder's separator: "C:\\", "\\\\?\\C:\\"
    std::wstring name;
};

SplitPath split_last_name(const std::wstring& path) {
    const std::size_t separator = path.find_last_of(L"\\/");
    if (separator == std::wstring::npos) return {L".", path};
    const bool top = separator > 0 && path[separator - 1] == L':';
    return {path.substr(0, top ? separator + 1 : separator), path.substr(separator + 1)};
}

DWORD attributes_of_handle(HANDLE file) {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag)) return INVALID_FILE_ATTRIBUTES;
    return tag.FileAttributes;
}

// The entry at path itself (Windows: even a link; Wine: what a link points to), shared so
// that it never blocks another program.
FileHandle open_entry(const std::wstring& path, DWORD access) {
    return FileHandle(::CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES,
                                    /*dwShareMode=*/FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    /*hTemplateFile=*/nullptr));
}

constexpr DWORD kListingBufferBytes = 64 * 1024;

bool is_missing(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// Deletes what file holds, read-only too. Returns 0 or the Windows error.
DWORD delete_through(HANDLE file, DWORD attributes) {
    // Windows refuses to delete a read-only file or folder (error 5); cleared through the
    // handle, never by name. Wine drops the attribute on folders, so no test here shows them.
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        constexpr DWORD kSettable = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_TEMPORARY;
        FILE_BASIC_INFO basic{};  // zero times: left as they are
        basic.FileAttributes = (attributes & kSettable) != 0 ? attributes & kSettable : FILE_ATTRIBUTE_NORMAL;
        ::SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
    }
    FILE_DISPOSITION_INFO disposition{/*DeleteFile=*/TRUE};
    if (::SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition)) return 0;
    return ::GetLastError();
}

// The names a folder holds, listed through its handle: a listing by name would need a
// second open, which Wine refuses while a handle to it has delete access.
std::vector<std::wstring> names_through(HANDLE folder) {
    std::vector<std::wstring> names;
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[kListingBufferBytes]);
    for (FILE_INFO_BY_HANDLE_CLASS query = FileFullDirectoryRestartInfo;; query = FileFullDirectoryInfo) {
        if (!::GetFileInformationByHandleEx(folder, query, buffer.get(), kListingBufferBytes)) return names;
        for (std::size_t at = 0;;) {
            const auto* info = reinterpret_cast<const FILE_FULL_DIR_INFO*>(buffer.get() + at);
            const std::wstring_view name(info->FileName, info->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") names.emplace_back(name);
            if (info->NextEntryOffset == 0) break;
            at += info->NextEntryOffset;
        }
    }
}

// A folder whose entries are checked: opened as Windows resolves links above it, its final
// path undoing 8.3 names and the "\\?\" forms.
struct Folder {
    std::wstring path;
    FileHandle handle;
    std::wstring final;  // empty when unknown
};

Folder open_folder(const std::wstring& path) {
    Folder folder{path,
                  FileHandle(::CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                           /*dwShareMode=*/FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                           /*hTemplateFile=*/nullptr)),
                  {}};
    if (folder.handle.valid()) folder.final = final_path_of(folder.handle.get());
    return folder;
}

std::wstring_view without_trailing_dots_and_spaces(std::wstring_view name) {
    const std::size_t end = name.find_last_not_of(L". ");
    return end == std::wstring_view::npos ? std::wstring_view{} : name.substr(0, end + 1);
}

std::optional<std::pair<DWORD, ULONGLONG>> file_id(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(file, &information)) return std::nullopt;
    return std::pair{information.dwVolumeSerialNumber,
                     (ULONGLONG{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
}

// Whether file, opened by name in folder (held open as folder_handle), is that entry
// itself; empty when unknown.
std::optional<bool> is_entry_itself(HANDLE file, const Folder& folder, HANDLE folder_handle, std::wstring_view name) {
    const std::wstring final = final_path_of(file);
    if (final.empty() || folder.final.empty()) return std::nullopt;
    if (same_path(final, join(folder.final, name))) return true;
    // Wine's final path drops a name's trailing dots and spaces, where Windows keeps them.
    // Then the handle is the entry itself unless a sibling of that trimmed name is the same
    // file: a link to it, or what the entry as a link points to.
    const std::wstring_view trimmed = without_trailing_dots_and_spaces(name);
    if (trimmed.size() == name.size() || !same_path(final, join(folder.final, trimmed))) return false;
    const auto id = file_id(file);
    if (!id) return std::nullopt;
    for (const std::wstring& sibling : names_through(folder_handle)) {
        if (sibling == name || !same_path(without_trailing_dots_and_spaces(sibling), trimmed)) continue;
        const FileHandle other = open_entry(join(folder.path, sibling), /*access=*/0);
        if (!other.valid() || file_id(other.get()) == id) return false;
    }
    return true;
}

std::optional<bool> is_entry_itself(HANDLE file, const Folder& folder, std::wstring_view name) {
    return is_entry_itself(file, folder, folder.handle.get(), name);
}

// One entry of folder, held open as folder_handle; see remove_entry.
void remove_in(const Folder& folder, HANDLE folder_handle, std::wstring_view name, std::vector<std::wstring>& left) {
    const std::wstring path = join(folder.path, name);
    const FileHandle entry = open_entry(path, DELETE | FILE_WRITE_ATTRIBUTES | FILE_LIST_DIRECTORY | SYNCHRONIZE);
    if (!entry.valid()) {
        if (!is_missing(::GetLastError())) left.push_back(path);
        return;
    }
    const DWORD attributes = attributes_of_handle(entry.get());
    const bool itself = is_entry_itself(entry.get(), folder, folder_handle, name).value_or(false);
    if (!itself && (attributes == INVALID_FILE_ATTRIBUTES || !is_link(attributes))) {
        left.push_back(path);  // Wine: the handle holds what a link points to
        return;
    }
    if (itself && is_folder(attributes) && !is_link(attributes)) {
        const Folder inner{path, FileHandle(), final_path_of(entry.get())};
        for (const std::wstring& inner_name : names_through(entry.get())) {
            remove_in(inner, entry.get(), inner_name, left);
        }
    }
    if (delete_through(entry.get(), attributes) != 0) left.push_back(path);
}

}  // namespace

bool is_listed_name(HANDLE file, const std::wstring& path) {
    const SplitPath split = split_last_name(path);
    return is_entry_itself(file, open_folder(split.folder), split.name).value_or(false);
}

Removal remove_own_file(const std::wstring& path) {
    const FileHandle entry = open_entry(path, DELETE | FILE_WRITE_ATTRIBUTES);
    if (!entry.valid()) {
        const DWORD error = ::GetLastError();
        if (is_missing(error)) return {Removal::Outcome::absent};
        return {Removal::Outcome::failed, error};
    }
    const DWORD attributes = attributes_of_handle(entry.get());
    if (attributes == INVALID_FILE_ATTRIBUTES) return {Removal::Outcome::failed, ::GetLastError()};
    const SplitPath split = split_last_name(path);
    const std::optional<bool> itself = is_entry_itself(entry.get(), open_folder(split.folder), split.name);
    if (!itself) return {Removal::Outcome::failed, ::GetLastError()};
    if (!*itself && !is_link(attributes)) return {Removal::Outcome::link_stays};
    if (is_folder(attributes) && !is_link(attributes)) return {Removal::Outcome::failed, ERROR_ACCESS_DENIED};
    const DWORD error = delete_through(entry.get(), attributes);
    if (error != 0) return {Removal::Outcome::failed, error};
    return {Removal::Outcome::removed};
}

DWORD create_own_file(const std::wstring& path, DWORD access, DWORD share, FileHandle& file) {
    file = FileHandle(::CreateFileW(path.c_str(), access | DELETE | FILE_READ_ATTRIBUTES, share,
                                    /*lpSecurityAttributes=*/nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, /*hTemplateFile=*/nullptr));
    if (!file.valid()) {
        const DWORD error = ::GetLastError();
        // A name that exists and cannot be found: a link to nothing, whose target Windows
        // would create were the name opened by OPEN_ALWAYS.
        if ((error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) &&
            ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES && is_missing(::GetLastError())) {
            return kLinkAtName;
        }
        return error;
    }
    const std::optional<bool> itself = [&] {
        const SplitPath split = split_last_name(path);
        return is_entry_itself(file.get(), open_folder(split.folder), split.name);
    }();
    if (itself.value_or(false)) return 0;
    const DWORD error = itself ? kLinkAtName : ::GetLastError();
    // Created through a link, or where nobody can say: ours either way, so it goes again.
    delete_through(file.get(), FILE_ATTRIBUTE_NORMAL);
    file.close();
    return error;
}

DWORD open_own_file(const std::wstring& path, DWORD access, DWORD share, FileHandle& file) {
    // A folder there would answer a sharing conflict while another program lists it.
    if (const DWORD listed = ::GetFileAttributesW(path.c_str()); listed != INVALID_FILE_ATTRIBUTES) {
        if (is_link(listed)) return kLinkAtName;
        if (is_folder(listed)) return kFolderAtName;
    }
    // Created by whoever comes first; the loser opens what the winner created.
    for (int attempt = 0;; ++attempt) {
        file = FileHandle(::CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, share,
                                        /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                        /*hTemplateFile=*/nullptr));
        if (file.valid()) break;
        DWORD error = ::GetLastError();
        if (error != ERROR_FILE_NOT_FOUND) return error;
        error = create_own_file(path, access, share, file);
        if (error != ERROR_FILE_EXISTS || attempt == 2) return error;
    }
    const DWORD attributes = attributes_of_handle(file.get());
    if (attributes == INVALID_FILE_ATTRIBUTES) return ::GetLastError();
    const DWORD found = is_link(attributes) || !is_listed_name(file.get(), path) ? kLinkAtName
                        : is_folder(attributes)                                  ? kFolderAtName
                                                                                 : 0;
    if (found != 0) file.close();
    return found;
}

void refuse_name(const std::wstring& path, DWORD found) {
    const std::wstring name = split_last_name(path).name;
    throw KitError(utf8(name) + (found == kFolderAtName ? " is a folder" : " is a link") +
                   "; delete it: " + utf8(shown(path)));
}

void remove_entry(const std::wstring& path, DWORD /*listed_attributes*/, std::vector<std::wstring>& left) {
    const SplitPath split = split_last_name(path);
    const Folder folder = open_folder(split.folder);
    remove_in(folder, folder.handle.get(), split.name, left);
}

DWORD rename_own_folder(const std::wstring& from, const std::wstring& to) {
    const FileHandle folder = open_entry(from, DELETE | SYNCHRONIZE);
    if (!folder.valid()) return ::GetLastError();
    const DWORD attributes = attributes_of_handle(folder.get());
    if (attributes == INVALID_FILE_ATTRIBUTES) return ::GetLastError();
    if (is_link(attributes) || !is_listed_name(folder.get(), from)) return kLinkAtName;
    if (!is_folder(attributes)) return ERROR_DIRECTORY;
    // An NT path: Windows passes the name on as given, and Wine takes a bare name as
    // relative to the current folder, not to the folder renamed.
    const std::wstring target = L"\\??\\" + extended_path(to).substr(4);
    const std::size_t size = sizeof(FILE_RENAME_INFO) + target.size() * sizeof(wchar_t);
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[size]());
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.get());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    target.copy(rename->FileName, target.size());
    if (!::SetFileInformationByHandle(folder.get(), FileRenameInfo, rename, static_cast<DWORD>(size))) {
        return ::GetLastError();
    }
    return 0;
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
        const Removal leftover = remove_own_file(path);
        if (leftover.outcome == Removal::Outcome::link_stays) return kLinkAtName;
        if (leftover.outcome == Removal::Outcome::failed && is_sharing_conflict(leftover.error) &&
            !is_folder_at(path)) {
            return leftover.error;
        }
        return create_own_file(path, GENERIC_WRITE, /*share=*/0, file);
    });
    if (creation == kLinkAtName) refuse_name(path, creation);
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
        FileHandle lock;
        const DWORD error = open_own_file(path, GENERIC_READ, /*share=*/0, lock);
        if (error == 0) return lock;
        if (error == kLinkAtName || error == kFolderAtName) refuse_name(path, error);
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

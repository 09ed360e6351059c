#include "qor/launcher_log.h"

#include <windows.h>

#include <cstdio>
#include <string>

#include "kit_files.h"
#include "qor/launcher_kit.h"
#include "root_argument.h"

namespace qor::kit {

namespace {

using detail::FileHandle;

constexpr DWORD kLockOffsetHigh = static_cast<DWORD>(kLauncherLogLockOffset >> 32);
constexpr DWORD kLockOffsetLow = static_cast<DWORD>(kLauncherLogLockOffset);
// A writer that finds the log moved away under it opens the new one; a few rounds cover
// any number of writers moving it, each round after a move of its own.
constexpr int kReopenRounds = 4;

std::string record_of(std::string_view line) {
    SYSTEMTIME now{};
    ::GetSystemTime(&now);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ [%lu] ", now.wYear, now.wMonth, now.wDay,
                  now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, ::GetCurrentProcessId());
    std::string record = stamp;
    for (const char byte : line) record += (byte == '\r' || byte == '\n') ? ' ' : byte;
    record += '\n';
    return record;
}

// Opened as itself (a link's own reparse point, never its target), for appends only, sharing
// everything so that another writer, a reader and the move to launcher.log.1 go on.
FileHandle open_log(const std::wstring& path) {
    FileHandle log;
    const DWORD error = detail::retry_sharing_conflicts([&]() -> DWORD {
        log = FileHandle(::CreateFileW(path.c_str(), FILE_READ_DATA | FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                       /*dwShareMode=*/FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       /*lpSecurityAttributes=*/nullptr, OPEN_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                       /*hTemplateFile=*/nullptr));
        if (log.valid()) return 0;
        const DWORD failure = ::GetLastError();
        // A folder at the name cannot be opened as a file (error 5), however long one waits.
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && detail::is_folder(attributes)) return ERROR_DIRECTORY;
        return failure;
    });
    if (error == ERROR_DIRECTORY) throw KitError("Launcher paths cannot use redirects");
    if (error != 0) detail::fail("Cannot write launcher log", error);
    return log;
}

BY_HANDLE_FILE_INFORMATION information_of(const FileHandle& file) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(file.get(), &information)) {
        detail::fail("Cannot write launcher log", ::GetLastError());
    }
    return information;
}

bool same_file(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// Holds one byte of the log's range while the size is read, the log moved and the line added.
class LogLock {
public:
    explicit LogLock(const FileHandle& log) : log_(log) {
        const DWORD error = detail::retry_sharing_conflicts([&]() -> DWORD {
            OVERLAPPED at{};
            at.Offset = kLockOffsetLow;
            at.OffsetHigh = kLockOffsetHigh;
            if (::LockFileEx(log_.get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, /*dwReserved=*/0,
                             /*nNumberOfBytesToLockLow=*/1, /*nNumberOfBytesToLockHigh=*/0, &at)) {
                return 0;
            }
            return ::GetLastError();
        });
        if (error != 0) detail::fail("Cannot write launcher log", error);
    }
    ~LogLock() {
        OVERLAPPED at{};
        at.Offset = kLockOffsetLow;
        at.OffsetHigh = kLockOffsetHigh;
        ::UnlockFileEx(log_.get(), /*dwReserved=*/0, 1, 0, &at);
    }
    LogLock(const LogLock&) = delete;
    LogLock& operator=(const LogLock&) = delete;

private:
    const FileHandle& log_;
};

}  // namespace

void append_launcher_log(const std::wstring& launcher_root, std::string_view line) {
    detail::require_launcher_root(launcher_root);
    const std::wstring path = detail::join(launcher_root, kLauncherLogFileName);
    const std::string record = record_of(line);

    for (int round = 0; round < kReopenRounds; ++round) {
        const FileHandle log = open_log(path);
        const BY_HANDLE_FILE_INFORMATION opened = information_of(log);
        // A hard link shares its bytes with a file of another name, which the log must not grow.
        if (detail::is_link(opened.dwFileAttributes) || detail::is_folder(opened.dwFileAttributes) ||
            opened.nNumberOfLinks > 1) {
            throw KitError("Launcher paths cannot use redirects");
        }
        const LogLock lock(log);
        // Another writer may have moved this file to launcher.log.1 before the lock was had.
        if (!same_file(opened, information_of(open_log(path)))) continue;

        LARGE_INTEGER size{};
        if (!::GetFileSizeEx(log.get(), &size)) detail::fail("Cannot write launcher log", ::GetLastError());
        if (size.QuadPart > 0 && static_cast<std::uint64_t>(size.QuadPart) + record.size() > kLauncherLogMaxBytes) {
            // A move that fails (a reader without delete sharing) leaves the log growing past
            // its cap until a later line moves it, without waiting: the line is not lost for that.
            const std::wstring older = detail::join(launcher_root, kOlderLauncherLogFileName);
            if (::MoveFileExW(path.c_str(), older.c_str(), MOVEFILE_REPLACE_EXISTING)) continue;
        }
        DWORD written = 0;
        if (!::WriteFile(log.get(), record.data(), static_cast<DWORD>(record.size()), &written,
                         /*lpOverlapped=*/nullptr)) {
            detail::fail("Cannot write launcher log", ::GetLastError());
        }
        if (written != record.size()) detail::fail("Cannot write launcher log", ERROR_HANDLE_DISK_FULL);
        return;
    }
    detail::fail("Cannot write launcher log", ERROR_SHARING_VIOLATION);
}

}  // namespace qor::kit

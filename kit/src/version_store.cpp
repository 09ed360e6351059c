// Installing versions into <root>\versions and removing the ones no longer needed.

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <array>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kit_files.h"
#include "qor/launcher_kit.h"
#include "root_argument.h"

namespace qor::kit {

namespace {

using detail::FindHandle;
using detail::join;

using detail::kDeletionPrefix;
using detail::kInstallPrefix;
using detail::kTemporarySuffixLength;
using detail::kVersionsFolderName;
// One buffer for a whole install: large reads and writes, allocated once.
constexpr DWORD kCopyBufferBytes = 1 << 20;
using detail::kLowerHexDigits;

std::string to_hex(const unsigned char* bytes, std::size_t count) {
    std::string hex;
    hex.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        hex += kLowerHexDigits[bytes[i] >> 4];
        hex += kLowerHexDigits[bytes[i] & 0x0F];
    }
    return hex;
}

// NTSTATUS: negative values are errors.
bool succeeded(NTSTATUS status) { return status >= 0; }

std::wstring random_hex() {
    std::array<unsigned char, kTemporarySuffixLength / 2> bytes{};
    const NTSTATUS status = ::BCryptGenRandom(/*hAlgorithm=*/nullptr, bytes.data(), static_cast<ULONG>(bytes.size()),
                                              BCRYPT_USE_SYSTEM_PREFERRED_RNG);
    if (!succeeded(status)) detail::fail("Cannot name a temporary folder", static_cast<DWORD>(status));
    const std::string hex = to_hex(bytes.data(), bytes.size());
    return std::wstring(hex.begin(), hex.end());
}

bool is_temporary_name(std::wstring_view name) {
    return detail::has_hex_suffix(name, kInstallPrefix, kTemporarySuffixLength) ||
           detail::has_hex_suffix(name, kDeletionPrefix, kTemporarySuffixLength);
}

// Windows folds case in names, so "ABC..." is the folder of identity "abc...".
std::string folded_ascii(std::wstring_view name) {
    std::string folded;
    for (const wchar_t unit : name) {
        if (unit > 0x7F) return {};
        folded += static_cast<char>(unit >= L'A' && unit <= L'Z' ? unit - L'A' + L'a' : unit);
    }
    return folded;
}

bool same_name(std::wstring_view a, std::wstring_view b) {
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                  /*bIgnoreCase=*/TRUE) == CSTR_EQUAL;
}

using detail::FolderEntry;
using detail::is_folder;
using detail::is_link;
using detail::list_folder;
using detail::Listing;
using detail::remove_link;

// Best effort: what cannot go now stays, under a name no version has, for a later call.
void remove_tree(const std::wstring& folder) {
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    std::vector<std::wstring> left;
    detail::remove_entry(folder, attributes, left);
}

// Folders renamed away under update.lock, removed once it is let go: the removal of a
// large tree need not hold up another process's update.
class DoomedFolders {
public:
    DoomedFolders() = default;
    ~DoomedFolders() {
        for (const std::wstring& folder : folders_) remove_tree(folder);
    }
    DoomedFolders(const DoomedFolders&) = delete;
    DoomedFolders& operator=(const DoomedFolders&) = delete;

    // Renamed first, so that a folder half deleted never keeps a version's name. One that
    // cannot be renamed is in use (a file open in it, or an install holding its temporary)
    // and stays for a later call; no retry, a program that runs will not let go soon.
    void rename_away(const std::wstring& versions, const std::wstring& name) {
        std::wstring doomed = join(versions, std::wstring(kDeletionPrefix) + random_hex());
        if (::MoveFileExW(join(versions, name).c_str(), doomed.c_str(), /*dwFlags=*/0)) {
            folders_.push_back(std::move(doomed));
        }
    }

private:
    std::vector<std::wstring> folders_;
};

// Temporaries left by killed installs and interrupted deletions.
void rename_temporaries_away(const std::wstring& versions, DoomedFolders& doomed) {
    for (const FolderEntry& entry : list_folder(versions).entries) {
        if (is_folder(entry.attributes) && !is_link(entry.attributes) && is_temporary_name(entry.name)) {
            doomed.rename_away(versions, entry.name);
        }
    }
}

struct AlgorithmCloser {
    void operator()(BCRYPT_ALG_HANDLE algorithm) const { ::BCryptCloseAlgorithmProvider(algorithm, /*dwFlags=*/0); }
};
struct HashDestroyer {
    void operator()(BCRYPT_HASH_HANDLE hash) const { ::BCryptDestroyHash(hash); }
};

class Sha256 {
public:
    Sha256() {
        BCRYPT_ALG_HANDLE algorithm = nullptr;
        NTSTATUS status = ::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM,
                                                        /*pszImplementation=*/nullptr, /*dwFlags=*/0);
        if (!succeeded(status)) detail::fail("Cannot hash version", static_cast<DWORD>(status));
        algorithm_.reset(algorithm);
        BCRYPT_HASH_HANDLE hash = nullptr;
        status = ::BCryptCreateHash(algorithm_.get(), &hash, /*pbHashObject=*/nullptr, /*cbHashObject=*/0,
                                    /*pbSecret=*/nullptr, /*cbSecret=*/0, /*dwFlags=*/0);
        if (!succeeded(status)) detail::fail("Cannot hash version", static_cast<DWORD>(status));
        hash_.reset(hash);
    }

    void add(unsigned char* bytes, ULONG count) {
        const NTSTATUS status = ::BCryptHashData(hash_.get(), bytes, count, /*dwFlags=*/0);
        if (!succeeded(status)) detail::fail("Cannot hash version", static_cast<DWORD>(status));
    }

    // Lowercase hex of the digest; the hash is spent afterwards.
    std::string finish() {
        std::array<unsigned char, 32> digest{};
        const NTSTATUS status =
            ::BCryptFinishHash(hash_.get(), digest.data(), static_cast<ULONG>(digest.size()), /*dwFlags=*/0);
        if (!succeeded(status)) detail::fail("Cannot hash version", static_cast<DWORD>(status));
        return to_hex(digest.data(), digest.size());
    }

private:
    std::unique_ptr<void, AlgorithmCloser> algorithm_;
    std::unique_ptr<void, HashDestroyer> hash_;
};

// Waits out a program that holds the file without read sharing (a scanner, a backup
// tool), as the kit's renames do. Shares delete: never blocks someone else's rename.
detail::FileHandle open_for_reading(const std::wstring& path) {
    detail::FileHandle file;
    const DWORD error = detail::retry_sharing_conflicts([&]() -> DWORD {
        file = detail::FileHandle(::CreateFileW(path.c_str(), GENERIC_READ,
                                                /*dwShareMode=*/FILE_SHARE_READ | FILE_SHARE_DELETE,
                                                /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                                FILE_FLAG_SEQUENTIAL_SCAN, /*hTemplateFile=*/nullptr));
        return file.valid() ? 0 : ::GetLastError();
    });
    if (error != 0) detail::fail("Cannot read version", error);
    return file;
}

// Reads the next part of file into buffer; 0 only at the end of the file. A failed read
// throws: its count says nothing about where the file ends.
DWORD read_some(const detail::FileHandle& file, unsigned char* buffer) {
    DWORD read = 0;
    if (!::ReadFile(file.get(), buffer, kCopyBufferBytes, &read, /*lpOverlapped=*/nullptr)) {
        const DWORD error = ::GetLastError();
        detail::fail("Cannot read version", error);
    }
    return read;
}

std::string sha256_of_file(const std::wstring& path) {
    const detail::FileHandle file = open_for_reading(path);
    Sha256 hash;
    const std::unique_ptr<unsigned char[]> buffer(new unsigned char[kCopyBufferBytes]);
    while (const DWORD read = read_some(file, buffer.get())) hash.add(buffer.get(), read);
    return hash.finish();
}

struct PoolCloser {
    void operator()(PTP_POOL pool) const { ::CloseThreadpool(pool); }
};
struct WorkCloser {
    void operator()(PTP_WORK work) const { ::CloseThreadpoolWork(work); }
};

// A few flushes at once let the file system commit them together; more only add threads.
constexpr DWORD kFlushThreads = 4;

// Flushes copied files to the device on a small thread pool of its own while the copy
// goes on, and closes them. The folder's rename is journaled, the files' data is not:
// every file is flushed before the rename publishes the version, as when each was flushed
// at once, so a power cut still never leaves a complete-looking version full of zeros.
class Flusher {
public:
    Flusher() {
        ::InitializeSRWLock(&lock_);
        ::InitializeThreadpoolEnvironment(&environment_);
        pool_.reset(::CreateThreadpool(/*reserved=*/nullptr));
        if (!pool_) {
            const DWORD error = ::GetLastError();
            detail::fail("Cannot install version", error);
        }
        ::SetThreadpoolThreadMaximum(pool_.get(), kFlushThreads);
        ::SetThreadpoolCallbackPool(&environment_, pool_.get());
        work_.reset(::CreateThreadpoolWork(&Flusher::flush_one, this, &environment_));
        if (!work_) {
            const DWORD error = ::GetLastError();
            detail::fail("Cannot install version", error);
        }
    }
    ~Flusher() {
        if (work_) ::WaitForThreadpoolWorkCallbacks(work_.get(), /*fCancelPendingCallbacks=*/TRUE);
        ::DestroyThreadpoolEnvironment(&environment_);
    }
    Flusher(const Flusher&) = delete;
    Flusher& operator=(const Flusher&) = delete;

    void add(detail::FileHandle file) {
        ::AcquireSRWLockExclusive(&lock_);
        written_.push_back(std::move(file));
        ::ReleaseSRWLockExclusive(&lock_);
        ::SubmitThreadpoolWork(work_.get());
    }

    // Waits until every file added is flushed and closed; throws for the first that failed.
    void finish() {
        ::WaitForThreadpoolWorkCallbacks(work_.get(), /*fCancelPendingCallbacks=*/FALSE);
        if (error_ != 0) detail::fail("Cannot install version", error_);
    }

private:
    static void CALLBACK flush_one(PTP_CALLBACK_INSTANCE, void* context, PTP_WORK) {
        auto* self = static_cast<Flusher*>(context);
        ::AcquireSRWLockExclusive(&self->lock_);
        detail::FileHandle file = std::move(self->written_.front());
        self->written_.pop_front();
        ::ReleaseSRWLockExclusive(&self->lock_);
        DWORD error = 0;
        if (!::FlushFileBuffers(file.get()) || !file.close()) error = ::GetLastError();
        if (error == 0) return;
        ::AcquireSRWLockExclusive(&self->lock_);
        if (self->error_ == 0) self->error_ = error;
        ::ReleaseSRWLockExclusive(&self->lock_);
    }

    SRWLOCK lock_;
    // Handles still to flush; closed unflushed when an install fails.
    std::deque<detail::FileHandle> written_;
    DWORD error_ = 0;
    TP_CALLBACK_ENVIRON environment_;
    // Declared last, closed first: no callback runs once the members above go.
    std::unique_ptr<TP_POOL, PoolCloser> pool_;
    std::unique_ptr<TP_WORK, WorkCloser> work_;
};

// Copies a version's files into folders that did not exist, with one buffer for all.
class TreeCopier {
public:
    TreeCopier() : buffer_(new unsigned char[kCopyBufferBytes]) {}

    // Into a file that did not exist, hashing what was read when asked.
    void copy_file(const std::wstring& from, const std::wstring& to, Sha256* hash) {
        const detail::FileHandle source = open_for_reading(from);
        detail::FileHandle target(::CreateFileW(to.c_str(), GENERIC_WRITE, /*dwShareMode=*/0,
                                                /*lpSecurityAttributes=*/nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                                /*hTemplateFile=*/nullptr));
        if (!target.valid()) {
            const DWORD error = ::GetLastError();
            detail::fail("Cannot install version", error);
        }
        while (const DWORD read = read_some(source, buffer_.get())) {
            if (hash != nullptr) hash->add(buffer_.get(), read);
            DWORD written = 0;
            if (!::WriteFile(target.get(), buffer_.get(), read, &written, /*lpOverlapped=*/nullptr)) {
                const DWORD error = ::GetLastError();
                detail::fail("Cannot install version", error);
            }
            // A synchronous write to a disk file that succeeds short has run out of room.
            if (written != read) detail::fail("Cannot install version", ERROR_HANDLE_DISK_FULL);
        }
        flusher_.add(std::move(target));
    }

    void copy_tree(const std::wstring& from, const std::wstring& to, bool skip_executable) {
        const Listing listing = list_folder(from);
        if (listing.error != 0) detail::fail("Cannot read version", listing.error);
        for (const FolderEntry& entry : listing.entries) {
            if (is_link(entry.attributes)) throw KitError("Version folders cannot hold links");
            const std::wstring source = join(from, entry.name);
            const std::wstring target = join(to, entry.name);
            if (is_folder(entry.attributes)) {
                if (!::CreateDirectoryW(target.c_str(), /*lpSecurityAttributes=*/nullptr)) {
                    const DWORD error = ::GetLastError();
                    detail::fail("Cannot install version", error);
                }
                copy_tree(source, target, /*skip_executable=*/false);
            } else if (!skip_executable || !same_name(entry.name, kLauncherExecutableName)) {
                copy_file(source, target, /*hash=*/nullptr);
            }
        }
    }

    // Every file copied is on the device.
    void finish() { flusher_.finish(); }

private:
    std::unique_ptr<unsigned char[]> buffer_;
    Flusher flusher_;
};

// A fresh install temporary under versions. It is held open without delete sharing, so
// that the clean-up of another install or prune cannot rename it away (and delete it)
// while the copy is under way; a killed install's handle closes with it.
class InstallFolder {
public:
    explicit InstallFolder(const std::wstring& versions)
        : path_(join(versions, std::wstring(kInstallPrefix) + random_hex())), guard_(create_and_hold(path_)) {}
    ~InstallFolder() {
        if (published_) return;
        guard_.close();
        remove_tree(path_);
    }
    InstallFolder(const InstallFolder&) = delete;
    InstallFolder& operator=(const InstallFolder&) = delete;

    const std::wstring& path() const { return path_; }

    // One rename, never over an existing folder: the identity's name shows nothing until
    // every file is there. Returns 0 or the Windows error.
    DWORD publish(const std::wstring& final_path) {
        guard_.close();
        const DWORD error = detail::move_file(path_, final_path, MOVEFILE_WRITE_THROUGH);
        published_ = error == 0;
        return error;
    }

private:
    static detail::FileHandle create_and_hold(const std::wstring& path) {
        if (!::CreateDirectoryW(path.c_str(), /*lpSecurityAttributes=*/nullptr)) {
            const DWORD error = ::GetLastError();
            detail::fail("Cannot install version", error);
        }
        detail::FileHandle guard(::CreateFileW(path.c_str(), GENERIC_READ,
                                               /*dwShareMode=*/FILE_SHARE_READ | FILE_SHARE_WRITE,
                                               /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                               FILE_FLAG_BACKUP_SEMANTICS, /*hTemplateFile=*/nullptr));
        if (!guard.valid()) {
            const DWORD error = ::GetLastError();
            ::RemoveDirectoryW(path.c_str());
            detail::fail("Cannot install version", error);
        }
        return guard;
    }

    std::wstring path_;
    detail::FileHandle guard_;
    bool published_ = false;
};

// An installed folder of this identity that holds the same executable is the same version.
// Throws when its executable cannot be read (a program holding it too long, a read failure).
bool holds_version(const std::wstring& folder, const std::string& identity) {
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !is_folder(attributes) || is_link(attributes)) return false;
    const std::wstring executable = join(folder, kLauncherExecutableName);
    const DWORD executable_attributes = ::GetFileAttributesW(executable.c_str());
    if (executable_attributes == INVALID_FILE_ATTRIBUTES || is_folder(executable_attributes)) return false;
    return sha256_of_file(executable) == identity;
}

bool exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// What an install finds already under the identity's name: the same version, or a refusal.
std::string settle_existing(const std::wstring& final_path, const std::string& identity) {
    if (holds_version(final_path, identity)) return identity;
    throw KitError("Another folder is installed under this version identity");
}

void prune_versions_keeping(const std::wstring& launcher_root, const std::string& own_identity) {
    // Before anything is touched: without a readable state nothing is known to be current.
    // A version on trial prunes right after its readiness: waiting for its promotion lets
    // the version it replaced go in the same run. After the bound both of the trial's stay.
    detail::read_state_without_trial(launcher_root);
    const std::wstring plain_versions = join(launcher_root, kVersionsFolderName);
    detail::refuse_redirects(plain_versions);
    const std::wstring versions = detail::extended_path(plain_versions);

    DoomedFolders doomed;
    // From the state read to the last rename: a stage that reports success before it has
    // its version in the state read here, and one after it finds its version gone.
    const detail::FileHandle update_lock = detail::take_update_lock(launcher_root);
    const StateRecord state = read_launcher_state(launcher_root);
    const Listing listing = list_folder(versions);
    if (listing.error == ERROR_FILE_NOT_FOUND || listing.error == ERROR_PATH_NOT_FOUND) return;
    if (listing.error != 0) detail::fail("Cannot list versions", listing.error);

    const auto kept = [&](const std::string& name) {
        return is_valid_version_identity(name) &&
               (name == state.current_version || name == state.staged_version || name == own_identity);
    };
    for (const FolderEntry& entry : listing.entries) {
        if (!is_folder(entry.attributes) || kept(folded_ascii(entry.name))) continue;
        // Never renamed: under Wine that would move what the link points to.
        if (is_link(entry.attributes)) {
            remove_link(join(versions, entry.name));
        } else {
            doomed.rename_away(versions, entry.name);
        }
    }
}

std::string install(const std::wstring& launcher_root, const std::wstring& source_folder,
                    const std::string_view* expected_identity) {
    if (expected_identity != nullptr && !is_valid_version_identity(*expected_identity)) {
        throw KitError("Invalid version identity", ErrorKind::invalid_identity);
    }
    const std::wstring plain_versions = join(launcher_root, kVersionsFolderName);
    detail::refuse_redirects(plain_versions);
    const std::wstring versions = detail::extended_path(plain_versions);
    if (!::CreateDirectoryW(versions.c_str(), /*lpSecurityAttributes=*/nullptr)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_ALREADY_EXISTS) detail::fail("Cannot install version", error);
    }
    {
        DoomedFolders doomed;
        const detail::FileHandle update_lock = detail::take_update_lock(launcher_root);
        rename_temporaries_away(versions, doomed);
    }

    const std::wstring source = detail::extended_path(source_folder);
    const std::wstring source_executable = join(source, kLauncherExecutableName);
    const DWORD source_attributes = ::GetFileAttributesW(source_executable.c_str());
    if (source_attributes == INVALID_FILE_ATTRIBUTES || is_folder(source_attributes)) {
        throw KitError("Version to install has no QorLauncher.exe");
    }

    InstallFolder temporary(versions);
    // Flushes pending when something fails end before the temporary is removed.
    TreeCopier copier;
    // The identity comes from the bytes copied, so the folder's name always matches them.
    Sha256 hash;
    copier.copy_file(source_executable, join(temporary.path(), kLauncherExecutableName), &hash);
    const std::string identity = hash.finish();
    if (expected_identity != nullptr && identity != *expected_identity) {
        throw KitError("Downloaded version does not match its identity", ErrorKind::identity_mismatch);
    }
    const std::wstring final_path = join(versions, std::wstring(identity.begin(), identity.end()));
    detail::refuse_redirects(final_path);
    {
        // A prune renaming it away meanwhile would make it look foreign.
        const detail::FileHandle update_lock = detail::take_update_lock(launcher_root);
        if (exists(final_path)) return settle_existing(final_path, identity);
    }

    copier.copy_tree(source, temporary.path(), /*skip_executable=*/true);
    copier.finish();
    // Between letting go of the temporary and its rename, a prune could take it for a leftover.
    const detail::FileHandle update_lock = detail::take_update_lock(launcher_root);
    if (exists(final_path)) return settle_existing(final_path, identity);
    const DWORD error = temporary.publish(final_path);
    if (error != 0) detail::fail("Cannot install version", error);
    return identity;
}

}  // namespace

std::string install_version(const std::wstring& launcher_root, const std::wstring& source_folder) {
    detail::require_launcher_root(launcher_root);
    return install(launcher_root, source_folder, /*expected_identity=*/nullptr);
}

std::string install_version(const std::wstring& launcher_root, const std::wstring& source_folder,
                            std::string_view expected_identity) {
    detail::require_launcher_root(launcher_root);
    return install(launcher_root, source_folder, &expected_identity);
}

void prune_versions(const std::wstring& launcher_root) {
    detail::require_launcher_root(launcher_root);
    std::string own_identity;
    try {
        own_identity = own_version_identity();
    } catch (const KitError&) {
        // Not run from a version folder (an installer, a tool): it has no version to keep.
    }
    prune_versions_keeping(launcher_root, own_identity);
}

}  // namespace qor::kit

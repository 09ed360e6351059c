// Installing versions into <root>\versions and removing the ones no longer needed.

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <algorithm>
#include <array>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "kit_files.h"
#include "qor/launcher_kit.h"
#include "root_argument.h"
#include "version_files.h"
#include "version_install.h"
#include "version_manifest.h"

namespace qor::kit {

namespace {

using detail::FindHandle;
using detail::join;

using detail::kCopyBufferBytes;
using detail::kDeletionPrefix;
using detail::kInstallPrefix;
using detail::kTemporarySuffixLength;
using detail::kVersionsFolderName;
using detail::ManifestEntry;
using detail::open_for_reading;
using detail::read_some;
using detail::Sha256;
using detail::Sha256Algorithm;
using detail::to_hex;

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

using detail::FolderEntry;
using detail::is_folder;
using detail::is_link;
using detail::list_folder;
using detail::Listing;

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
        const std::wstring folder = join(versions, name);
        const DWORD error = detail::rename_own_folder(folder, doomed);
        if (error == 0) {
            folders_.push_back(std::move(doomed));
        } else if (error == detail::kLinkAtName) {
            // Never renamed: under Wine that would move what the link points to.
            std::vector<std::wstring> left;
            detail::remove_entry(folder, /*listed_attributes=*/0, left);
        }
    }

private:
    std::vector<std::wstring> folders_;
};

// installing-<hex>.manifest: an install's manifest before it takes the identity's name.
bool is_temporary_manifest_name(std::wstring_view name) {
    if (!name.ends_with(detail::kManifestSuffix)) return false;
    name.remove_suffix(detail::kManifestSuffix.size());
    return detail::has_hex_suffix(name, kInstallPrefix, kTemporarySuffixLength);
}

void remove_file(const std::wstring& path, DWORD attributes) {
    std::vector<std::wstring> left;
    detail::remove_entry(path, attributes, left);
}

// Temporaries left by killed installs and interrupted deletions. Under update.lock: an
// install writes and renames its manifest temporary while it holds the lock.
void rename_temporaries_away(const std::wstring& versions, DoomedFolders& doomed) {
    for (const FolderEntry& entry : list_folder(versions).entries) {
        if (is_folder(entry.attributes) && !is_link(entry.attributes) && is_temporary_name(entry.name)) {
            doomed.rename_away(versions, entry.name);
        } else if (!is_folder(entry.attributes) && is_temporary_manifest_name(entry.name)) {
            remove_file(join(versions, entry.name), entry.attributes);
        }
    }
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

[[noreturn]] void refuse_path(const std::string& path, std::string_view why) {
    throw KitError("Version file cannot be held in a manifest: " + path + " (" + std::string(why) + ")");
}

// Copies a version's files into folders that did not exist, with one buffer for all, and
// lists each in the manifest with the SHA-256 of the bytes it copied: each file read once.
// A folder is created only for the files it holds: an empty folder is no part of a version.
class TreeCopier {
public:
    explicit TreeCopier(const Sha256Algorithm& algorithm)
        : algorithm_(algorithm), buffer_(new unsigned char[kCopyBufferBytes]) {}

    void copy_tree(const std::wstring& from, const std::wstring& to) {
        from_ = from;
        to_ = to;
        copy_folder(L"");
    }

    const std::vector<ManifestEntry>& entries() const { return entries_; }

    // Every file copied is on the device.
    void finish() { flusher_.finish(); }

private:
    struct Folder {
        std::wstring path;
        bool created;
    };

    void copy_folder(const std::wstring& relative) {
        const Listing listing = list_folder(relative.empty() ? from_ : join(from_, relative));
        if (listing.error != 0) detail::fail("Cannot read version", listing.error);
        for (const FolderEntry& entry : listing.entries) {
            const std::wstring path = relative.empty() ? entry.name : relative + L"\\" + entry.name;
            const std::optional<std::string> text = detail::manifest_path_text(path);
            if (!text) refuse_path(detail::manifest_path_text(relative).value_or("") + "/?", "not valid UTF-16");
            const std::string problem = detail::name_problem(*detail::manifest_path_text(entry.name));
            if (!problem.empty()) refuse_path(*text, problem);
            if (is_link(entry.attributes)) throw KitError("Version folders cannot hold links: " + *text);
            if (is_folder(entry.attributes)) {
                pending_.push_back({join(to_, path), false});
                copy_folder(path);
                pending_.pop_back();
                continue;
            }
            if (entries_.size() == detail::kManifestMaxFiles) refuse_path(*text, "more than 100000 files");
            create_pending_folders();
            ManifestEntry& listed = entries_.emplace_back();
            listed.path = *text;
            copy_file(join(from_, path), join(to_, path), listed);
        }
    }

    void create_pending_folders() {
        for (Folder& folder : pending_) {
            if (folder.created) continue;
            if (!::CreateDirectoryW(folder.path.c_str(), /*lpSecurityAttributes=*/nullptr)) {
                const DWORD error = ::GetLastError();
                detail::fail("Cannot install version", error);
            }
            folder.created = true;
        }
    }

    // Into a file that did not exist, hashing what was read.
    void copy_file(const std::wstring& from, const std::wstring& to, ManifestEntry& listed) {
        const detail::FileHandle source = open_for_reading(from);
        detail::FileHandle target(::CreateFileW(to.c_str(), GENERIC_WRITE, /*dwShareMode=*/0,
                                                /*lpSecurityAttributes=*/nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                                /*hTemplateFile=*/nullptr));
        if (!target.valid()) {
            const DWORD error = ::GetLastError();
            detail::fail("Cannot install version", error);
        }
        Sha256 hash(algorithm_);
        while (const DWORD read = read_some(source, buffer_.get())) {
            hash.add(buffer_.get(), read);
            listed.size += read;
            DWORD written = 0;
            if (!::WriteFile(target.get(), buffer_.get(), read, &written, /*lpOverlapped=*/nullptr)) {
                const DWORD error = ::GetLastError();
                detail::fail("Cannot install version", error);
            }
            // A synchronous write to a disk file that succeeds short has run out of room.
            if (written != read) detail::fail("Cannot install version", ERROR_HANDLE_DISK_FULL);
        }
        listed.sha256 = hash.finish();
        flusher_.add(std::move(target));
    }

    const Sha256Algorithm& algorithm_;
    std::unique_ptr<unsigned char[]> buffer_;
    std::wstring from_;
    std::wstring to_;
    // The folders above the file being copied, created once the first file in them is.
    std::vector<Folder> pending_;
    std::vector<ManifestEntry> entries_;
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

bool exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// What an install finds already under the identity's name: the same version when its stored
// manifest is the one computed, else a refusal. A folder without one was installed by the
// 1.0 kit under the hash of its executable, which no manifest's hash can be.
std::string settle_existing(const std::wstring& versions, const std::wstring& final_path, const std::string& identity,
                            const std::string& manifest) {
    const DWORD attributes = ::GetFileAttributesW(final_path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && is_folder(attributes) && !is_link(attributes)) {
        std::optional<std::string> stored;
        try {
            stored = detail::read_stored_manifest(versions, identity);
        } catch (const KitError& error) {
            if (error.kind() == ErrorKind::system) throw;
        }
        if (stored == manifest) return identity;
    }
    throw KitError("Another folder is installed under this version identity");
}

// The first path, in the manifest's order, where the files copied are not those announced.
std::string first_difference(const std::vector<ManifestEntry>& announced, std::vector<ManifestEntry> copied) {
    std::sort(copied.begin(), copied.end(), [](const auto& a, const auto& b) { return a.path < b.path; });
    auto want = announced.begin();
    auto got = copied.begin();
    for (; want != announced.end() && got != copied.end(); ++want, ++got) {
        if (want->path < got->path) return want->path + " is missing";
        if (got->path < want->path) return got->path + " is not in the version announced";
        if (*want != *got) return got->path + " differs";
    }
    if (want != announced.end()) return want->path + " is missing";
    if (got != copied.end()) return got->path + " is not in the version announced";
    return "its manifest differs";
}

void prune_versions_keeping(const std::wstring& launcher_root, const std::string& own_identity) {
    detail::require_launcher_root(launcher_root);
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
    std::set<std::string> kept_folders;
    for (const FolderEntry& entry : listing.entries) {
        if (!is_folder(entry.attributes)) continue;
        if (kept(folded_ascii(entry.name))) {
            if (!is_link(entry.attributes)) kept_folders.insert(folded_ascii(entry.name));
            continue;
        }
        doomed.rename_away(versions, entry.name);
    }
    // The manifests of the versions removed, those left without their folder (an install
    // killed between the two renames) and manifest temporaries; other files stay.
    for (const FolderEntry& entry : listing.entries) {
        if (is_folder(entry.attributes)) continue;
        std::wstring_view name = entry.name;
        if (is_temporary_manifest_name(name)) {
            remove_file(join(versions, entry.name), entry.attributes);
            continue;
        }
        if (!name.ends_with(detail::kManifestSuffix)) continue;
        name.remove_suffix(detail::kManifestSuffix.size());
        const std::string identity = folded_ascii(name);
        if (is_valid_version_identity(identity) && !kept_folders.contains(identity)) {
            remove_file(join(versions, entry.name), entry.attributes);
        }
    }
}

// Publishes the manifest under versions\<identity>.manifest, written crash-safely and
// flushed, then the folder. Under update.lock: a manifest without its folder is only ever
// seen after a crash, and is replaced by the next install of that identity or pruned.
void publish(const std::wstring& versions, InstallFolder& temporary, const std::wstring& final_path,
             const std::string& identity, const std::string& manifest) {
    const std::wstring staging = temporary.path() + std::wstring(detail::kManifestSuffix);
    const std::wstring stored = detail::manifest_path(versions, identity);
    DWORD error = detail::write_fresh_file(staging, manifest, /*flush_to_device=*/true);
    if (error == 0) error = detail::move_file(staging, stored, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (error != 0) {
        detail::remove_own_file(staging);
        detail::fail("Cannot install version", error);
    }
    error = temporary.publish(final_path);
    if (error != 0) {
        detail::remove_own_file(stored);
        detail::fail("Cannot install version", error);
    }
}

// expected_manifest, when given, is the announced version's manifest; its hash the identity.
std::string install(const std::wstring& launcher_root, const std::wstring& source_folder,
                    const std::string_view* expected_identity, const std::string_view* expected_manifest) {
    detail::require_launcher_root(launcher_root);
    const Sha256Algorithm algorithm;
    std::string announced;
    std::vector<ManifestEntry> announced_entries;
    if (expected_manifest != nullptr) {
        announced_entries = detail::parse_manifest(*expected_manifest);
        announced = detail::sha256_of_bytes(algorithm, *expected_manifest);
    } else if (expected_identity != nullptr) {
        if (!is_valid_version_identity(*expected_identity)) {
            throw KitError("Invalid version identity", ErrorKind::invalid_identity);
        }
        announced = *expected_identity;
    }
    const std::wstring plain_versions = join(launcher_root, kVersionsFolderName);
    detail::refuse_redirects(plain_versions);
    const std::wstring versions = detail::extended_path(plain_versions);
    if (!::CreateDirectoryW(versions.c_str(), /*lpSecurityAttributes=*/nullptr)) {
        const DWORD error = ::GetLastError();
        if (error != ERROR_ALREADY_EXISTS) detail::fail("Cannot install version", error);
    }

    const std::wstring source = detail::extended_path(source_folder);
    const std::wstring source_executable = join(source, kLauncherExecutableName);
    const DWORD source_attributes = ::GetFileAttributesW(source_executable.c_str());
    if (source_attributes == INVALID_FILE_ATTRIBUTES || is_folder(source_attributes)) {
        throw KitError("Version to install has no QorLauncher.exe");
    }

    std::unique_ptr<InstallFolder> temporary;
    {
        DoomedFolders doomed;
        // Created under the lock, and held from then on: another install's or a prune's
        // clean-up cannot take it for a leftover between its creation and its guard.
        const detail::FileHandle update_lock = detail::take_update_lock(launcher_root);
        rename_temporaries_away(versions, doomed);
        temporary = std::make_unique<InstallFolder>(versions);
    }
    // Flushes pending when something fails end before the temporary is removed.
    TreeCopier copier(algorithm);
    copier.copy_tree(source, temporary->path());
    // The identity comes from the bytes copied, so the folder's name always matches them.
    const std::string manifest = detail::format_manifest(copier.entries());
    const std::string identity = detail::sha256_of_bytes(algorithm, manifest);
    if (!announced.empty() && identity != announced) {
        std::string message =
            "Downloaded version does not match its identity: expected " + announced + ", got " + identity;
        if (expected_manifest != nullptr) message += "; " + first_difference(announced_entries, copier.entries());
        throw KitError(message, ErrorKind::identity_mismatch);
    }
    const std::wstring final_path = join(versions, std::wstring(identity.begin(), identity.end()));
    detail::refuse_redirects(final_path);
    copier.finish();
    // Between letting go of the temporary and its rename, a prune could take it for a leftover.
    const detail::FileHandle update_lock = detail::take_update_lock(launcher_root);
    if (exists(final_path)) return settle_existing(versions, final_path, identity, manifest);
    publish(versions, *temporary, final_path, identity, manifest);
    return identity;
}

}  // namespace

std::string install_version(const std::wstring& launcher_root, const std::wstring& source_folder) {
    return install(launcher_root, source_folder, /*expected_identity=*/nullptr, /*expected_manifest=*/nullptr);
}

std::string install_version(const std::wstring& launcher_root, const std::wstring& source_folder,
                            std::string_view expected_identity) {
    return install(launcher_root, source_folder, &expected_identity, /*expected_manifest=*/nullptr);
}

std::string detail::install_version_matching(const std::wstring& launcher_root, const std::wstring& source_folder,
                                             std::string_view manifest_bytes) {
    return install(launcher_root, source_folder, /*expected_identity=*/nullptr, &manifest_bytes);
}

std::vector<VersionProblem> verify_version(const std::wstring& launcher_root, std::string_view identity) {
    detail::require_launcher_root(launcher_root);
    return detail::compare_version_files(launcher_root, identity, /*hash_contents=*/true);
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

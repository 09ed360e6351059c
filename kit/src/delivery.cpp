#include "qor/delivery.h"

#include <windows.h>

#include <algorithm>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <vector>

#include "delivery_crypto.h"
#include "delivery_http.h"
#include "kit_files.h"
#include "root_argument.h"
#include "update_feed.h"
#include "version_files.h"
#include "version_install.h"
#include "version_manifest.h"

namespace qor::kit {

namespace {

using detail::FileHandle;
using detail::join;

constexpr DWORD kFileBufferBytes = 1024 * 1024;
constexpr std::wstring_view kRecordTemporaryName = L"release-record.staging";
constexpr std::wstring_view kVersionFolderName = L"version";
constexpr std::size_t kBlobFolderNameLength = 2;
constexpr std::wstring_view kManifestSuffix = L".manifest";
// Held without sharing for a whole download, inside its folder: a handle that dies with its
// process, so a download killed midway blocks no later call. Never update.lock, whose wait
// would stall a stage or a prune for as long as a download runs.
constexpr std::wstring_view kDownloadLockName = L"download.lock";
constexpr unsigned long kDefaultTimeoutMilliseconds = 30'000;
// Files fetched at once, each on a connection of its own, and then copied at once from an
// installed version. A release is mostly small files, and under Wine each request and each
// read of WinHTTP waits on the wineserver: one connection leaves the processor idle between
// them. More connections than this only add threads.
constexpr std::size_t kFetchesInFlight = 4;

std::wstring widen_utf8(std::string_view text) {
    if (text.empty()) return {};
    const int units =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (units <= 0) throw KitError("Invalid update manifest: a path is not UTF-8", ErrorKind::invalid_update);
    std::wstring wide(static_cast<std::size_t>(units), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()), wide.data(),
                          units);
    return wide;
}

// A manifest's path ("a/b.dll") under folder. The manifest's grammar admits no "..", drive,
// stream or device name, so the result stays inside folder.
std::wstring local_path(const std::wstring& folder, std::string_view manifest_path) {
    std::wstring relative = widen_utf8(manifest_path);
    for (wchar_t& unit : relative) {
        if (unit == L'/') unit = L'\\';
    }
    return join(folder, relative);
}

FileHandle open_shared_for_reading(const std::wstring& path) {
    return FileHandle(::CreateFileW(path.c_str(), GENERIC_READ,
                                    /*dwShareMode=*/FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                                    /*hTemplateFile=*/nullptr));
}

// The whole file when it exists and is at most limit bytes; empty otherwise.
std::optional<std::string> read_small_file(const std::wstring& path, std::size_t limit) {
    const FileHandle file = open_shared_for_reading(path);
    if (!file.valid()) return std::nullopt;
    std::string bytes(limit + 1, '\0');
    std::size_t total = 0;
    for (;;) {
        DWORD read = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - total, kFileBufferBytes));
        if (want == 0) return std::nullopt;
        if (!::ReadFile(file.get(), bytes.data() + total, want, &read, /*lpOverlapped=*/nullptr)) return std::nullopt;
        if (read == 0) break;
        total += read;
    }
    bytes.resize(total);
    return bytes;
}

std::optional<std::uint64_t> file_size(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
    if (detail::is_folder(data.dwFileAttributes) || detail::is_link(data.dwFileAttributes)) return std::nullopt;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

detail::ReleaseRecord read_release_record(const std::wstring& launcher_root) {
    const std::optional<std::string> bytes = read_small_file(join(launcher_root, kReleaseRecordFileName), 64 * 1024);
    return bytes ? detail::parse_release_record(*bytes) : detail::ReleaseRecord{};
}

void write_release_record(const std::wstring& launcher_root, const detail::ReleaseRecord& record) {
    const std::wstring temporary = join(launcher_root, kRecordTemporaryName);
    DWORD error = detail::write_fresh_file(temporary, detail::format_release_record(record), /*flush_to_device=*/true);
    if (error == 0) {
        error = detail::move_file(temporary, join(launcher_root, kReleaseRecordFileName),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    }
    if (error != 0) {
        detail::remove_own_file(temporary);
        detail::fail("Cannot write release record", error);
    }
}

// Opens folder's download lock, created when missing. Returns 0, a sharing conflict while
// another call holds it, or another Windows error (kLinkAtName, kFolderAtName).
DWORD lock_download(const std::wstring& folder, FileHandle& lock) {
    const DWORD error =
        detail::open_own_file(join(folder, kDownloadLockName), GENERIC_READ | DELETE, /*share=*/0, lock);
    // A lock being deleted by the call that finished with it answers access denied.
    return detail::is_sharing_conflict(error) ? ERROR_SHARING_VIOLATION : error;
}

// Removes a download folder whose lock is held: all else while it is held, so that no other
// call starts there meanwhile, then the lock through its own handle, then the empty folder.
void remove_download(const std::wstring& folder, FileHandle lock) {
    const std::wstring extended = detail::extended_path(folder);
    std::vector<std::wstring> left;
    for (const detail::FolderEntry& entry : detail::list_folder(folder).entries) {
        if (entry.name != kDownloadLockName) detail::remove_entry(join(extended, entry.name), entry.attributes, left);
    }
    FILE_DISPOSITION_INFO disposition{/*DeleteFile=*/TRUE};
    ::SetFileInformationByHandle(lock.get(), FileDispositionInfo, &disposition, sizeof disposition);
    lock.close();
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) detail::remove_entry(extended, attributes, left);
}

std::string fetch_whole(detail::HttpClient& http, const std::string& url, std::size_t limit, std::string_view what) {
    std::string bytes;
    http.get(
        url, /*offset=*/0, [&](std::uint64_t) { bytes.clear(); },
        [&](const char* data, std::size_t count) {
            if (bytes.size() + count > limit) {
                throw KitError(
                    "Invalid " + std::string(what) + ": larger than " + std::to_string(limit) + " bytes (" + url + ")",
                    ErrorKind::invalid_update);
            }
            bytes.append(data, count);
        },
        what);
    return bytes;
}

class ExclusiveLock {
public:
    explicit ExclusiveLock(SRWLOCK& lock) : lock_(lock) { ::AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveLock() { ::ReleaseSRWLockExclusive(&lock_); }
    ExclusiveLock(const ExclusiveLock&) = delete;
    ExclusiveLock& operator=(const ExclusiveLock&) = delete;

private:
    SRWLOCK& lock_;
};

struct ThreadCloser {
    void operator()(HANDLE thread) const { ::CloseHandle(thread); }
};
using ThreadHandle = std::unique_ptr<void, ThreadCloser>;

// A file to fetch, or to copy from source, an installed version's file of the same content.
struct Job {
    std::string sha256;
    std::wstring source;
};

// Each file of the update by its content: its size and one path naming it in messages.
struct Blob {
    std::uint64_t size = 0;
    std::string path;
};

class Download {
public:
    Download(const std::wstring& launcher_root, const Update& update, const DownloadProgress& progress)
        : root_(launcher_root),
          update_(update),
          progress_(progress),
          folder_(join(launcher_root, std::wstring(kDownloadPrefix) + detail::widen_ascii(update.identity))),
          folder_url_(detail::release_folder_url(update.feed_url)),
          timeout_milliseconds_(update.timeout_milliseconds == 0 ? kDefaultTimeoutMilliseconds
                                                                 : update.timeout_milliseconds),
          http_(timeout_milliseconds_) {}

    std::string run() {
        remove_other_downloads();
        detail::refuse_redirects(folder_);
        take_lock();
        try {
            const std::string manifest = fetch_manifest();
            reclaim_assembled();
            gather();
            const std::wstring version = assemble();
            const std::string identity = detail::install_version_matching(root_, version, manifest);
            remove_download(folder_, std::move(download_lock_));
            detail::ReleaseRecord record = read_release_record(root_);
            std::uint64_t& highest = record[update_.channel];
            if (update_.release > highest) highest = update_.release;
            write_release_record(root_, record);
            return identity;
        } catch (const KitError& error) {
            // What a cancelled or interrupted transfer fetched stays for the next call, and so
            // does a whole version that found the root busy; after a refusal, the server's
            // included (an HTTP error), nothing of this update stays.
            const bool resumable =
                error.kind() == ErrorKind::cancelled ||
                (error.kind() == ErrorKind::download_failed && (http_.interrupted() || fetch_interrupted_));
            const bool keep = error.kind() == ErrorKind::root_busy || (resumable && holds_fetched_bytes());
            if (!keep && download_lock_.valid()) remove_download(folder_, std::move(download_lock_));
            throw;
        }
    }

private:
    // One download per update at a time: a second call for it is refused at once, leaving
    // the first alone.
    void take_lock() {
        for (int attempt = 0;; ++attempt) {
            if (!::CreateDirectoryW(folder_.c_str(), /*lpSecurityAttributes=*/nullptr)) {
                const DWORD error = ::GetLastError();
                if (error != ERROR_ALREADY_EXISTS) detail::fail("Cannot store download", error);
            }
            const DWORD error = lock_download(folder_, download_lock_);
            if (error == 0) return;
            if (error == ERROR_SHARING_VIOLATION) {
                throw KitError("Launcher root is busy with another download of this update", ErrorKind::root_busy);
            }
            // The call that held it has just removed the folder.
            if (error == ERROR_PATH_NOT_FOUND && attempt == 0) continue;
            const std::wstring path = join(folder_, kDownloadLockName);
            if (error == detail::kLinkAtName || error == detail::kFolderAtName) detail::refuse_name(path, error);
            detail::fail("Cannot store download", error);
        }
    }

    // The version a call assembled before its install found the root busy: its files go back
    // to their blobs, where gather checks them again. A link never moves.
    void reclaim_assembled() {
        const std::wstring version = join(detail::extended_path(folder_), kVersionFolderName);
        const DWORD attributes = ::GetFileAttributesW(version.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) return;
        if (detail::is_folder(attributes) && !detail::is_link(attributes)) {
            for (const detail::ManifestEntry& entry : entries_) {
                const std::wstring blob = detail::extended_path(blob_path(entry.sha256));
                const std::wstring placed = local_path(version, entry.path);
                if (file_size(blob) || !is_own_file(placed)) continue;
                create_folder(blob_folder(entry.sha256));
                ::MoveFileExW(placed.c_str(), blob.c_str(), /*dwFlags=*/0);
            }
        }
        std::vector<std::wstring> left;
        detail::remove_entry(version, attributes, left);
    }

    static bool is_own_file(const std::wstring& path) {
        const FileHandle file = open_shared_for_reading(path);
        return file.valid() && detail::is_listed_name(file.get(), path);
    }

    std::string fetch_manifest() {
        const std::string url = folder_url_ + "manifests/" + update_.identity;
        std::string manifest = fetch_whole(http_, url, detail::kManifestMaxBytes, "update manifest");
        if (detail::sha256_hex(manifest) != update_.identity) {
            throw KitError("Update manifest does not match the identity its feed signed (" + url + ")",
                           ErrorKind::identity_mismatch);
        }
        try {
            entries_ = detail::parse_manifest(manifest);
        } catch (const KitError& error) {
            std::string why = error.what();
            constexpr std::string_view kParsePrefix = "Invalid version manifest: ";
            if (why.starts_with(kParsePrefix)) why.erase(0, kParsePrefix.size());
            throw KitError("Invalid update manifest: " + why, ErrorKind::invalid_update);
        }
        std::uint64_t total = 0;
        for (const detail::ManifestEntry& entry : entries_) {
            if (entry.size > UINT64_MAX - total) {
                throw KitError("Invalid update manifest: sizes overflow", ErrorKind::invalid_update);
            }
            total += entry.size;
            blobs_.try_emplace(entry.sha256, Blob{entry.size, entry.path});
            if (blobs_[entry.sha256].size != entry.size) {
                throw KitError("Invalid update manifest: one SHA-256 with two sizes (" + entry.path + ")",
                               ErrorKind::invalid_update);
            }
        }
        if (total != update_.size) {
            throw KitError("Invalid update manifest: its files add up to " + std::to_string(total) +
                               " bytes, the feed signed " + std::to_string(update_.size),
                           ErrorKind::invalid_update);
        }
        return manifest;
    }

    // Every file the installed versions' manifests list, by SHA-256. A version installed
    // without a manifest, or one that cannot be read, offers nothing.
    std::map<std::string, std::wstring> installed_files() const {
        std::map<std::string, std::wstring> files;
        const std::wstring versions = join(root_, detail::kVersionsFolderName);
        for (const detail::FolderEntry& entry : detail::list_folder(versions).entries) {
            const std::wstring& name = entry.name;
            if (detail::is_folder(entry.attributes) || name.size() != kVersionIdentityLength + kManifestSuffix.size() ||
                !name.ends_with(kManifestSuffix)) {
                continue;
            }
            const std::wstring folder = join(versions, name.substr(0, kVersionIdentityLength));
            const std::optional<std::string> bytes = read_small_file(join(versions, name), detail::kManifestMaxBytes);
            if (!bytes) continue;
            try {
                for (const detail::ManifestEntry& listed : detail::parse_manifest(*bytes)) {
                    files.try_emplace(listed.sha256, local_path(folder, listed.path));
                }
            } catch (const KitError&) {
                continue;
            }
        }
        return files;
    }

    // Blobs lie in folders by their first two hex digits: Wine looks a name up that a folder
    // does not hold by reading the whole folder, about 6 ms in one of 2,000 files, and each
    // blob's creation asks for such a name. A blob is written at its own name, without a rename
    // (a wineserver request that every fetch waits on): one shorter than its manifest says is
    // resumed, and none is used before its SHA-256 is checked, in this call.
    std::wstring blob_folder(const std::string& sha256) const {
        return join(folder_, detail::widen_ascii(sha256.substr(0, kBlobFolderNameLength)));
    }
    std::wstring blob_path(const std::string& sha256) const {
        return join(blob_folder(sha256), detail::widen_ascii(sha256));
    }

    bool holds_verified(const std::string& sha256, const Blob& blob) const {
        const std::wstring path = blob_path(sha256);
        if (file_size(path) != blob.size) return false;
        detail::Sha256 hash(algorithm_);
        if (hash_file(path, hash) && hash.finish() == sha256) return true;
        detail::remove_own_file(path);
        return false;
    }

    // A blob that passes is moved into the version: a link standing at its name never does.
    static bool hash_file(const std::wstring& path, detail::Sha256& hash) {
        const FileHandle file = open_shared_for_reading(path);
        if (!file.valid() || !detail::is_listed_name(file.get(), path)) return false;
        const std::unique_ptr<char[]> buffer(new char[kFileBufferBytes]);
        for (;;) {
            DWORD read = 0;
            if (!::ReadFile(file.get(), buffer.get(), kFileBufferBytes, &read, /*lpOverlapped=*/nullptr)) return false;
            if (read == 0) return true;
            hash.add(reinterpret_cast<const unsigned char*>(buffer.get()), read);
        }
    }

    // Fetches what no installed version holds first, then copies the rest: a transfer that
    // fails leaves only fetched bytes behind, worth keeping for a resume.
    void gather() {
        const std::map<std::string, std::wstring> installed = installed_files();
        std::vector<Job> copies;
        std::vector<Job> fetches;
        for (const auto& [sha256, blob] : blobs_) {
            const auto local = installed.find(sha256);
            if (holds_verified(sha256, blob)) {
                // Fetched by an earlier call: done already, so that a resumed download keeps its
                // total and starts where the last one stopped.
                if (local == installed.end()) {
                    total_ += blob.size;
                    done_ += blob.size;
                }
                continue;
            }
            if (local != installed.end()) {
                copies.push_back(Job{sha256, local->second});
            } else {
                fetches.push_back(Job{sha256, {}});
                total_ += blob.size;
                done_ += std::min(file_size(blob_path(sha256)).value_or(0), blob.size);
            }
        }
        std::set<std::wstring> folders;
        for (const Job& job : fetches) folders.insert(blob_folder(job.sha256));
        for (const Job& job : copies) folders.insert(blob_folder(job.sha256));
        for (const std::wstring& folder : folders) {
            create_folder(folder);
            detail::refuse_redirects(folder);
        }
        report();
        run_in_flight(fetches);
        damaged_.clear();
        run_in_flight(copies);
        std::vector<Job> refetches;
        for (const std::string& sha256 : damaged_) {
            // An installed file that no longer matches its manifest (a disk fault): fetch it.
            total_ += blobs_.at(sha256).size;
            refetches.push_back(Job{sha256, {}});
        }
        run_in_flight(refetches);
    }

    // Fetches and copies on up to kFetchesInFlight threads of the kit's own, and reports
    // progress on the caller's thread, where a binding's callback must run. A byte counts as
    // done once it is bound for its part, and the fetches wait while the caller is asked: a
    // cancelled download keeps exactly the bytes its last report counted. A failed fetch lets
    // the others finish their file, so no byte already sent is lost, and starts no other.
    void run_in_flight(const std::vector<Job>& jobs) {
        if (jobs.empty()) return;
        queue_ = &jobs;
        next_ = 0;
        failure_.reset();
        cancelled_ = false;
        std::vector<ThreadHandle> threads;
        for (std::size_t i = 0; i < kFetchesInFlight && i < jobs.size(); ++i) {
            {
                ExclusiveLock lock(lock_);
                ++running_;
            }
            HANDLE thread = ::CreateThread(/*lpThreadAttributes=*/nullptr, /*dwStackSize=*/0, &Download::fetch_thread,
                                           this, /*dwCreationFlags=*/0, /*lpThreadId=*/nullptr);
            if (thread == nullptr) {
                const DWORD error = ::GetLastError();
                ExclusiveLock lock(lock_);
                --running_;
                // Fewer threads fetch the same files; none at all is a failure.
                if (threads.empty()) detail::fail("Cannot fetch update", error);
                break;
            }
            threads.emplace_back(thread);
        }
        std::exception_ptr caller_error;
        try {
            watch_fetches();
        } catch (...) {
            // The progress callback threw: stop as for a cancel, then pass its exception on.
            caller_error = std::current_exception();
            ExclusiveLock lock(lock_);
            cancelled_ = true;
        }
        std::vector<HANDLE> waited;
        for (const ThreadHandle& thread : threads) waited.push_back(thread.get());
        ::WaitForMultipleObjects(static_cast<DWORD>(waited.size()), waited.data(), /*bWaitAll=*/TRUE, INFINITE);
        queue_ = nullptr;
        if (caller_error) std::rethrow_exception(caller_error);
        if (failure_) {
            fetch_interrupted_ = failure_->interrupted;
            std::rethrow_exception(failure_->error);
        }
        if (cancelled_) throw KitError("Download cancelled", ErrorKind::cancelled);
    }

    void watch_fetches() {
        ExclusiveLock lock(lock_);
        std::uint64_t reported = done_;
        for (;;) {
            if (done_ != reported && !cancelled_) {
                reported = done_;
                if (progress_ && !progress_(done_, total_)) cancelled_ = true;
            }
            if (running_ == 0) return;
            ::SleepConditionVariableSRW(&changed_, &lock_, INFINITE, /*Flags=*/0);
        }
    }

    static DWORD WINAPI fetch_thread(void* context) {
        static_cast<Download*>(context)->fetch_queued();
        return 0;
    }

    // Nothing is thrown out of a fetch thread: a failure is kept for the caller's thread, the
    // one of the earliest file in the queue when several fail.
    void fetch_queued() {
        std::optional<detail::HttpClient> http;
        for (;;) {
            std::size_t index = 0;
            {
                ExclusiveLock lock(lock_);
                if (cancelled_ || failure_ || next_ == queue_->size()) break;
                index = next_++;
            }
            try {
                const Job& job = (*queue_)[index];
                if (!job.source.empty()) {
                    if (!copy_verified(job.source, job.sha256, blobs_.at(job.sha256))) {
                        ExclusiveLock lock(lock_);
                        damaged_.push_back(job.sha256);
                    }
                    continue;
                }
                if (!http) http.emplace(timeout_milliseconds_);
                fetch(job.sha256, blobs_.at(job.sha256), *http);
            } catch (...) {
                ExclusiveLock lock(lock_);
                if (!cancelled_ && (!failure_ || index < failure_->index)) {
                    failure_ = Failure{index, std::current_exception(), http && http->interrupted()};
                }
            }
        }
        ExclusiveLock lock(lock_);
        --running_;
        ::WakeConditionVariable(&changed_);
    }

    // Counts bytes fetched as done, unless the caller has cancelled meanwhile.
    void count_fetched(std::int64_t bytes) {
        ExclusiveLock lock(lock_);
        if (cancelled_) throw KitError("Download cancelled", ErrorKind::cancelled);
        done_ += static_cast<std::uint64_t>(bytes);
        ::WakeConditionVariable(&changed_);
    }

    void report() {
        if (progress_ && !progress_(done_, total_)) throw KitError("Download cancelled", ErrorKind::cancelled);
    }

    // Never through a link at its name: the part is truncated and written. created tells a
    // new, empty part from one an earlier call left.
    FileHandle open_part(const std::wstring& part, bool& created) const {
        constexpr DWORD kAccess = GENERIC_READ | GENERIC_WRITE;
        constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_DELETE;
        FileHandle file;
        // Most parts are new: created at once, with fewer lookups than an open that falls back to it.
        DWORD error = detail::create_own_file(part, kAccess, kShare, file);
        created = error == 0;
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
            error = detail::open_own_file(part, kAccess, kShare, file);
        }
        if (error == detail::kLinkAtName || error == detail::kFolderAtName) detail::refuse_name(part, error);
        if (error != 0) detail::fail("Cannot store download", error);
        return file;
    }

    static void append(const FileHandle& file, const char* bytes, std::size_t count) {
        DWORD written = 0;
        if (!::WriteFile(file.get(), bytes, static_cast<DWORD>(count), &written, /*lpOverlapped=*/nullptr) ||
            written != count) {
            const DWORD error = ::GetLastError();
            detail::fail("Cannot store download", error);
        }
    }

    static void truncate(const FileHandle& file) {
        LARGE_INTEGER zero{};
        if (!::SetFilePointerEx(file.get(), zero, nullptr, FILE_BEGIN) || !::SetEndOfFile(file.get())) {
            const DWORD error = ::GetLastError();
            detail::fail("Cannot store download", error);
        }
    }

    // The part already fetched by an earlier call is hashed again, then the rest is asked for.
    void fetch(const std::string& sha256, const Blob& blob, detail::HttpClient& http) {
        const std::wstring part = blob_path(sha256);
        const std::string url = folder_url_ + "files/" + sha256;
        const std::string what = "file " + blob.path;
        std::uint64_t have = 0;
        detail::Sha256 hash(algorithm_);
        {
            bool created = false;
            FileHandle file = open_part(part, created);
            std::uint64_t existing = created ? 0 : file_size(part).value_or(0);
            if (existing > blob.size || (existing > 0 && !hash_file(part, hash))) {
                count_fetched(-static_cast<std::int64_t>(std::min(existing, blob.size)));
                truncate(file);
                hash = detail::Sha256(algorithm_);
                existing = 0;
            }
            have = existing;
            if (have > 0) {
                LARGE_INTEGER end{};
                end.QuadPart = static_cast<LONGLONG>(have);
                ::SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN);
            }
            if (have < blob.size) {
                http.get(
                    url, have,
                    [&](std::uint64_t start) {
                        if (start == have) return;
                        // The server sent the whole file: start it over.
                        truncate(file);
                        hash = detail::Sha256(algorithm_);
                        count_fetched(-static_cast<std::int64_t>(have));
                        have = 0;
                    },
                    [&](const char* bytes, std::size_t count) {
                        if (have + count > blob.size) {
                            throw KitError("Downloaded " + what + " is larger than its manifest says (" + url + ")",
                                           ErrorKind::identity_mismatch);
                        }
                        count_fetched(static_cast<std::int64_t>(count));
                        append(file, bytes, count);
                        hash.add(reinterpret_cast<const unsigned char*>(bytes), count);
                        have += count;
                    },
                    what);
            }
        }
        if (have != blob.size || hash.finish() != sha256) {
            detail::remove_own_file(part);
            const std::string why = have != blob.size ? "is " + std::to_string(have) + " bytes, its manifest says " +
                                                            std::to_string(blob.size)
                                                      : "does not match its SHA-256 in the manifest";
            throw KitError("Downloaded " + what + " " + why + " (" + url + ")", ErrorKind::identity_mismatch);
        }
    }

    bool copy_verified(const std::wstring& source, const std::string& sha256, const Blob& blob) {
        const std::wstring part = blob_path(sha256);
        std::uint64_t copied = 0;
        detail::Sha256 hash(algorithm_);
        {
            const FileHandle from = open_shared_for_reading(source);
            if (!from.valid()) return false;
            bool created = false;
            const FileHandle to = open_part(part, created);
            if (!created) truncate(to);
            const std::unique_ptr<char[]> buffer(new char[kFileBufferBytes]);
            for (;;) {
                DWORD read = 0;
                if (!::ReadFile(from.get(), buffer.get(), kFileBufferBytes, &read, /*lpOverlapped=*/nullptr)) break;
                if (read == 0) break;
                append(to, buffer.get(), read);
                hash.add(reinterpret_cast<const unsigned char*>(buffer.get()), read);
                copied += read;
            }
        }
        if (copied != blob.size || hash.finish() != sha256) {
            detail::remove_own_file(part);
            return false;
        }
        return true;
    }

    // The version as install_version takes it: each file at its path, moved from its blob
    // at its last use, copied before.
    std::wstring assemble() {
        const std::wstring version = join(detail::extended_path(folder_), kVersionFolderName);
        const DWORD attributes = ::GetFileAttributesW(version.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            std::vector<std::wstring> left;
            detail::remove_entry(version, attributes, left);
        }
        std::map<std::string, std::size_t> uses;
        for (const detail::ManifestEntry& entry : entries_) ++uses[entry.sha256];
        create_folder(version);
        for (const detail::ManifestEntry& entry : entries_) {
            const std::wstring target = local_path(version, entry.path);
            for (std::size_t at = version.size() + 1; (at = target.find(L'\\', at)) != std::wstring::npos; ++at) {
                create_folder(target.substr(0, at));
            }
            const std::wstring blob = detail::extended_path(blob_path(entry.sha256));
            const bool last_use = --uses[entry.sha256] == 0;
            const bool placed = last_use ? ::MoveFileExW(blob.c_str(), target.c_str(), /*dwFlags=*/0) != FALSE
                                         : ::CopyFileW(blob.c_str(), target.c_str(), /*bFailIfExists=*/TRUE) != FALSE;
            if (!placed) {
                const DWORD error = ::GetLastError();
                detail::fail("Cannot store download", error);
            }
        }
        return join(folder_, kVersionFolderName);
    }

    static void create_folder(const std::wstring& path) {
        if (!::CreateDirectoryW(path.c_str(), /*lpSecurityAttributes=*/nullptr)) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_ALREADY_EXISTS) detail::fail("Cannot store download", error);
        }
    }

    bool holds_fetched_bytes() const {
        for (const detail::FolderEntry& folder : detail::list_folder(folder_).entries) {
            if (!detail::is_folder(folder.attributes) || detail::is_link(folder.attributes) ||
                folder.name.size() != kBlobFolderNameLength) {
                continue;
            }
            const std::wstring path = join(folder_, folder.name);
            for (const detail::FolderEntry& entry : detail::list_folder(path).entries) {
                if (!detail::is_folder(entry.attributes) && file_size(join(path, entry.name)).value_or(0) > 0) {
                    return true;
                }
            }
        }
        return false;
    }

    // Only one download is kept to resume: that of the update asked for now. One that another
    // call is running stays.
    void remove_other_downloads() const {
        const std::wstring own = std::wstring(kDownloadPrefix) + detail::widen_ascii(update_.identity);
        for (const detail::FolderEntry& entry : detail::list_folder(root_).entries) {
            if (entry.name == own || !detail::has_hex_suffix(entry.name, kDownloadPrefix, kVersionIdentityLength)) {
                continue;
            }
            const std::wstring folder = join(root_, entry.name);
            if (detail::is_folder(entry.attributes) && !detail::is_link(entry.attributes)) {
                FileHandle lock;
                const DWORD error = lock_download(folder, lock);
                if (error == ERROR_SHARING_VIOLATION) continue;
                if (error == 0) {
                    remove_download(folder, std::move(lock));
                    continue;
                }
            }
            std::vector<std::wstring> left;
            detail::remove_entry(detail::extended_path(folder), entry.attributes, left);
        }
    }

    const std::wstring& root_;
    const Update& update_;
    const DownloadProgress& progress_;
    const std::wstring folder_;
    const std::string folder_url_;
    const unsigned long timeout_milliseconds_;
    detail::HttpClient http_;
    FileHandle download_lock_;
    const detail::Sha256Algorithm algorithm_;
    std::vector<detail::ManifestEntry> entries_;
    std::map<std::string, Blob> blobs_;
    std::uint64_t total_ = 0;

    // What fetch threads share, under lock_.
    struct Failure {
        std::size_t index = 0;
        std::exception_ptr error;
        bool interrupted = false;
    };
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    std::uint64_t done_ = 0;
    const std::vector<Job>* queue_ = nullptr;
    std::vector<std::string> damaged_;
    std::size_t next_ = 0;
    std::size_t running_ = 0;
    bool cancelled_ = false;
    std::optional<Failure> failure_;
    // The failure passed on was a connection's: what it fetched is worth resuming.
    bool fetch_interrupted_ = false;
};

}  // namespace

std::optional<Update> check_for_update(const std::wstring& launcher_root, std::string_view feed_url,
                                       std::string_view public_key, const DeliveryOptions& options) {
    detail::require_launcher_root(launcher_root);
    const detail::EcdsaPublicKey key = detail::parse_public_key(public_key);
    detail::release_folder_url(feed_url);
    const unsigned long timeout =
        options.timeout_milliseconds == 0 ? kDefaultTimeoutMilliseconds : options.timeout_milliseconds;
    detail::HttpClient http(timeout);
    const std::string url(feed_url);
    const detail::Feed feed = detail::parse_feed(fetch_whole(http, url, detail::kFeedMaxBytes, "update feed"));
    if (!detail::signature_verifies(key, feed.signed_bytes, feed.signature)) {
        throw KitError("Update feed signature does not verify: not signed by this launcher's key (" + url + ")",
                       ErrorKind::bad_signature);
    }
    const detail::ReleaseRecord record = read_release_record(launcher_root);
    const auto installed = record.find(feed.channel);
    if (installed != record.end() && feed.release < installed->second) {
        throw KitError("Update feed offers release " + std::to_string(feed.release) + " of channel " + feed.channel +
                           ", older than release " + std::to_string(installed->second) + " installed here (" + url +
                           ")",
                       ErrorKind::older_release);
    }
    const StateRecord state = read_launcher_state(launcher_root);
    if (feed.identity == state.current_version || feed.identity == state.staged_version) return std::nullopt;
    if (!options.retry_failed_update && feed.identity == failed_update(launcher_root)) {
        throw KitError(
            "Update already failed its trial: release " + std::to_string(feed.release) + ", " + feed.identity,
            ErrorKind::update_already_failed);
    }
    return Update{url, feed.channel, feed.release, feed.identity, feed.size, feed.notes, timeout};
}

std::string download_update(const std::wstring& launcher_root, const Update& update, const DownloadProgress& progress) {
    detail::require_launcher_root(launcher_root);
    if (!is_valid_version_identity(update.identity)) {
        throw KitError("Invalid version identity", ErrorKind::invalid_identity);
    }
    if (!detail::is_valid_channel(update.channel)) {
        throw KitError("Invalid update: bad channel name", ErrorKind::invalid_argument);
    }
    return Download(launcher_root, update, progress).run();
}

}  // namespace qor::kit

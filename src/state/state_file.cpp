#include "state/state_file.h"

#include <windows.h>

#include "base/failure.h"
#include "base/unique_handle.h"
#include "layout/file_queries.h"
#include "layout/path_safety.h"
#include "process/clock.h"

namespace qor {

namespace {

Path state_path(const Path& root) { return append_path(root, to_path_text(kStateFileName)); }
Path temp_path(const Path& root) { return append_path(root, to_path_text(kStateTempFileName)); }

bool write_all_to_file(void* file, std::string_view bytes) {
    DWORD written = 0;
    const BOOL ok = ::WriteFile(static_cast<HANDLE>(file), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                                /*lpOverlapped=*/nullptr);
    return ok && written == bytes.size();
}

bool flush_file_to_device(void* file) { return ::FlushFileBuffers(static_cast<HANDLE>(file)) != FALSE; }

enum class Attempt { done, held, failed };

// Whether the failure just reported is another program holding the file for a moment.
// A folder or a read-only file standing at the name answers with the same code, but
// never lets go.
Attempt held_or_failed(const Path& name) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED && error != ERROR_LOCK_VIOLATION) {
        return Attempt::failed;
    }
    const std::uint32_t attributes = query_file_attributes(name).attributes;
    const bool lasting = attributes != kInvalidFileAttributes &&
                         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0;
    return lasting ? Attempt::failed : Attempt::held;
}

// Repeats an attempt while the file it needs is held, until the bound has passed.
template <typename Step>
bool retry_while_held(Step attempt) {
    const std::int64_t give_up = monotonic_now() + kSharingConflictBoundMilliseconds * kNanosecondsPerMillisecond;
    for (;;) {
        const Attempt outcome = attempt();
        if (outcome != Attempt::held) return outcome == Attempt::done;
        if (monotonic_now() >= give_up) return false;
        sleep_for(kSharingConflictPauseMilliseconds);
    }
}

// Only ever write a file created here: a leftover name may be a hard link to some
// other file, which truncating in place would overwrite.
UniqueHandle create_fresh_file(const Path& path) {
    UniqueHandle file;
    retry_while_held([&] {
        // Still there and held: creating it anew would only find the old file.
        if (!::DeleteFileW(path.c_str()) && held_or_failed(path) == Attempt::held) return Attempt::held;
        const HANDLE created = ::CreateFileW(path.c_str(), GENERIC_WRITE,
                                             /*dwShareMode=*/FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             /*lpSecurityAttributes=*/nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                             /*hTemplateFile=*/nullptr);
        if (created == INVALID_HANDLE_VALUE) return held_or_failed(path);
        file.reset(created);
        return Attempt::done;
    });
    return file;
}

}  // namespace

LauncherState load_launcher_state(const Path& launcher_root) {
    const Path path = state_path(launcher_root);
    inspect_launcher_path(path);
    if (query_file_size(path) > kStateFileLimit) throw Failure("Launcher state is oversized");

    // One byte past the limit is enough: no valid file is that long.
    std::string bytes;
    const bool read = read_file_prefix(path, kStateFileLimit + 1, bytes);
    std::optional<LauncherState> state;
    if (read) state = parse_launcher_state(bytes);
    if (!state) throw Failure("Invalid launcher state; restore the launcher package");
    return *state;
}

StateWriteCalls system_state_write_calls() { return {write_all_to_file, flush_file_to_device}; }

void publish_launcher_state(const Path& launcher_root, const LauncherState& state, const StateWriteCalls& calls) {
    if (!satisfies_state_invariants(state)) throw Failure("Invalid launcher state transition");
    const Path published = state_path(launcher_root);
    const Path temporary = temp_path(launcher_root);
    inspect_launcher_path(published);
    inspect_launcher_path(temporary);
    const std::string text = format_launcher_state(state);

    {
        UniqueHandle file = create_fresh_file(temporary);
        if (!file) throw Failure("Cannot write launcher state");
        // The rename is journaled but the data may still sit in the cache: without
        // this flush a power cut can leave an empty or zero-filled launcher-state.
        if (!calls.write_all(file.get(), text) || !calls.flush_to_device(file.get())) {
            throw Failure("Cannot write launcher state");
        }
    }

    const bool moved = retry_while_held([&] {
        if (::MoveFileExW(temporary.c_str(), published.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return Attempt::done;
        }
        return held_or_failed(published);
    });
    if (!moved) throw Failure("Cannot publish launcher state");
}

}  // namespace qor

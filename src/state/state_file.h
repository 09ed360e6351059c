#pragma once
// Loading "launcher-state" and publishing a new one so that it is never seen half written.

#include <cstdint>
#include <functional>
#include <string_view>

#include "base/path_grammar.h"
#include "state/launcher_state.h"

namespace qor {

// Reads and validates <root>\launcher-state; never changes a file.
// Failures: path inspection, filesystem_error("file_size"), "Launcher state is oversized",
// "Invalid launcher state; restore the launcher package".
LauncherState load_launcher_state(const Path& launcher_root);

// The few calls on the temporary file whose failures tests must be able to inject.
struct StateWriteCalls {
    std::function<bool(void* file, std::string_view bytes)> write_all;
    std::function<bool(void* file)> flush_to_device;
};
StateWriteCalls system_state_write_calls();

// Scanners, indexers and sync tools open new and changed files for a moment, often
// without delete sharing: creating the temporary and renaming it wait such a
// conflict out for at most this long, then fail as they would have at once. A folder
// standing at either name answers like a held file but never lets go: no wait for it.
inline constexpr std::int64_t kSharingConflictBoundMilliseconds = 2'000;
inline constexpr std::int64_t kSharingConflictPauseMilliseconds = 20;

// Writes a fresh launcher-state.tmp, flushes it to the device and moves it over
// launcher-state. Failures: "Invalid launcher state transition", path inspection,
// "Cannot write launcher state", "Cannot publish launcher state".
void publish_launcher_state(const Path& launcher_root, const LauncherState& state,
                            const StateWriteCalls& calls = system_state_write_calls());

}  // namespace qor

#include "starter/startup.h"

#include <windows.h>

#include "base/failure.h"
#include "base/unique_handle.h"
#include "layout/path_safety.h"
#include "layout/version_layout.h"
#include "process/child_process.h"
#include "process/clock.h"
#include "starter/launch_attempt.h"
#include "starter/outcome.h"
#include "state/state_file.h"

namespace qor {

namespace {

constexpr std::int64_t kPassThroughDeadlineNanoseconds = 30'000'000'000;

bool is_pass_through_request(const ArgumentList& forwarded) {
    return forwarded.size() == 1 && (forwarded[0] == L"--version" || forwarded[0] == L"--help");
}

UniqueHandle open_lock_file(const Path& lock_path, DWORD disposition) {
    return UniqueHandle(::CreateFileW(lock_path.c_str(), GENERIC_READ | GENERIC_WRITE, /*dwShareMode=*/0,
                                      /*lpSecurityAttributes=*/nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                                      /*hTemplateFile=*/nullptr));
}

// The lock is the open handle itself: nobody can open the file while it is held. It is
// opened before it is created: Wine shows no link to nothing at the name, and creating
// through such a link would create its target, outside the root.
UniqueHandle lock_launcher_root(const Path& launcher_root) {
    const Path lock_path = append_path(launcher_root, to_path_text(kLockFileName));
    inspect_launcher_path(lock_path);
    UniqueHandle lock = open_lock_file(lock_path, OPEN_EXISTING);
    if (!lock && ::GetLastError() == ERROR_FILE_NOT_FOUND) {
        lock = open_lock_file(lock_path, CREATE_NEW);
        // A name that exists and cannot be found is a link to nothing.
        if (!lock && ::GetLastError() == ERROR_FILE_EXISTS &&
            ::GetFileAttributesW(lock_path.c_str()) == INVALID_FILE_ATTRIBUTES &&
            ::GetLastError() == ERROR_FILE_NOT_FOUND) {
            throw Failure(std::string(kRedirectRefusal));
        }
    }
    if (!lock) throw Failure("The launcher is already running, or its folder is read-only");
    return lock;
}

// The current version answers --version or --help on the starter's own handles.
int pass_through(const Path& launcher_root, const LauncherState& state, const ArgumentList& forwarded) {
    const Path executable = launcher_executable_path(version_directory_path(launcher_root, state.current_version));
    ChildProcess child = start_launcher_process(executable, forwarded, /*inherit_standard_handles=*/true);
    const std::int64_t deadline = monotonic_now() + kPassThroughDeadlineNanoseconds;
    for (;;) {
        if (child.poll_exit()) return static_cast<int>(child.exit_code());
        if (monotonic_now() >= deadline) {
            child.terminate();
            return 1;
        }
        sleep_for(kPollIntervalMilliseconds);
    }
}

}  // namespace

int run_startup_sequence(const Path& launcher_root, const ArgumentList& forwarded) {
    inspect_launcher_path(launcher_root);
    const UniqueHandle lock = lock_launcher_root(launcher_root);

    StarterRun run{launcher_root, forwarded, load_launcher_state(launcher_root), false};
    if (is_pass_through_request(forwarded)) return pass_through(launcher_root, run.state, forwarded);

    if (run.state.trial_pending) {
        // The previous run ended during a trial: that trial failed.
        LauncherState settled = run.state;
        settled.staged_version.clear();
        settled.trial_pending = false;
        publish_run_state(run, settled);
        run.rollback_notice = true;
    }

    for (;;) {
        const AttemptOutcome outcome = run_launch_attempt(run);
        if (const auto exit_code = decide_after_attempt(outcome, run)) return static_cast<int>(*exit_code);
    }
}

}  // namespace qor

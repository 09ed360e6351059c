#include "starter/outcome.h"

#include "base/failure.h"
#include "state/state_file.h"

namespace qor {

std::optional<std::uint32_t> decide_after_attempt(const AttemptOutcome& outcome, StarterRun& run) {
    if (outcome.ready && outcome.result == kRestartExitCode) {
        // The launcher staged a version on disk; only a complete load replaces the working copy.
        LauncherState reloaded = load_launcher_state(run.launcher_root);
        run.state = reloaded;
        if (run.state.staged_version.empty()) throw Failure("Restart requested without a staged launcher");
        return std::nullopt;
    }
    if (outcome.ready) return outcome.result;
    if (!outcome.trial) {
        throw Failure("Launcher did not initialize. Restore the launcher package or check launcher.log.");
    }
    run.rollback_notice = true;
    LauncherState rolled_back = run.state;
    rolled_back.staged_version.clear();
    rolled_back.trial_pending = false;
    publish_run_state(run, rolled_back);
    return std::nullopt;
}

}  // namespace qor

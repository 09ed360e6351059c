#include "starter/launch_attempt.h"

#include <windows.h>

#include <exception>
#include <random>

#include "base/failure.h"
#include "layout/file_queries.h"
#include "layout/path_safety.h"
#include "layout/version_layout.h"
#include "process/child_process.h"
#include "process/clock.h"
#include "state/state_file.h"

namespace qor {

namespace {

// The answers of the existence test that mean "no marker yet".
bool means_absent(std::uint32_t error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_BAD_NETPATH:
        case ERROR_INVALID_NAME:
        case ERROR_DIRECTORY:
            return true;
        default:
            return false;
    }
}

bool marker_exists(const Path& marker) {
    const AttributeAnswer answer = query_file_attributes(marker);
    if (answer.attributes != kInvalidFileAttributes) return true;
    if (means_absent(answer.error)) return false;
    throw_filesystem_error("exists", marker, answer.error);
}

bool marker_shows_readiness(const Path& marker, std::string_view identity) {
    if (!marker_exists(marker)) return false;
    inspect_launcher_path(marker);
    if (query_file_size(marker) > kReadinessMarkerLimit) throw Failure("Invalid launcher readiness marker");
    // A marker that cannot be opened (still being created) reads as an empty line.
    std::string bytes;
    read_file_prefix(marker, kReadinessMarkerLimit, bytes);
    return marker_proves_readiness(bytes, identity);
}

// Removes the marker however the attempt ends, after the launcher is gone.
class MarkerRemoval {
public:
    explicit MarkerRemoval(Path marker) : marker_(std::move(marker)) {}
    ~MarkerRemoval() { remove_path_quietly(marker_); }
    MarkerRemoval(const MarkerRemoval&) = delete;
    MarkerRemoval& operator=(const MarkerRemoval&) = delete;

private:
    Path marker_;
};

void supervise(StarterRun& run, AttemptOutcome& outcome, const std::string& chosen, const Path& executable,
               const ArgumentList& arguments, const Path& marker) {
    ChildProcess child = start_launcher_process(executable, arguments, /*inherit_standard_handles=*/false);
    const std::int64_t deadline = monotonic_now() + kReadinessDeadlineNanoseconds;
    for (;;) {
        // The marker is read before the exit is tested, so a launcher that proves
        // readiness and exits between two passes still counts as ready.
        if (!outcome.ready && marker_shows_readiness(marker, chosen)) {
            outcome.ready = true;
            if (outcome.trial) {
                publish_run_state(run, LauncherState{chosen, "", false});
            }
        }
        if (child.poll_exit()) {
            outcome.result = child.exit_code();
            break;
        }
        if (!outcome.ready && monotonic_now() >= deadline) {
            child.terminate();
            break;
        }
        sleep_for(kPollIntervalMilliseconds);
    }
    child.clear_terminate_on_release();
    child.release();
}

}  // namespace

void publish_run_state(StarterRun& run, const LauncherState& next) {
    publish_launcher_state(run.launcher_root, next);
    run.state = next;
}

std::string make_readiness_token() {
    std::random_device source;
    std::string token;
    token.reserve(kReadinessTokenLength);
    for (std::size_t i = 0; i < kReadinessTokenLength; ++i) token += kLowerHexDigits[source() & 0xFu];
    return token;
}

ArgumentList build_launch_arguments(const ArgumentList& forwarded, bool rollback_notice, const Path& launcher_root,
                                    std::string_view token) {
    ArgumentList arguments = forwarded;
    if (rollback_notice) arguments.emplace_back(L"--launcher-update-rollback");
    arguments.emplace_back(L"--launcher-root");
    arguments.push_back(launcher_root);
    arguments.emplace_back(L"--launcher-ready");
    arguments.push_back(to_path_text(token));
    return arguments;
}

bool marker_proves_readiness(std::string_view marker_bytes, std::string_view identity) {
    return marker_bytes.substr(0, marker_bytes.find('\n')) == identity;
}

AttemptOutcome run_launch_attempt(StarterRun& run) {
    AttemptOutcome outcome;
    outcome.trial = !run.state.staged_version.empty();
    const std::string chosen = outcome.trial ? run.state.staged_version : run.state.current_version;
    Path executable;
    try {
        executable = launcher_executable_path(version_directory_path(run.launcher_root, chosen));
        inspect_launcher_path(executable);
    } catch (const Failure& refusal) {
        // A staged version that can never be started must not stop every later start:
        // it fails as a trial, and the caller drops it. Only a refusal of its own folder
        // or executable does so: one the current version meets too (a link at versions or
        // above) is the root's, and dropping the update for it would lose the update.
        if (!outcome.trial || !is_path_refusal(refusal)) throw;
        const Path current = version_directory_path(run.launcher_root, run.state.current_version);
        inspect_launcher_path(launcher_executable_path(current));
        return outcome;
    }

    const std::string token = make_readiness_token();
    const Path marker = append_path(run.launcher_root, to_path_text(std::string(kReadinessMarkerPrefix) + token));
    const ArgumentList arguments = build_launch_arguments(run.forwarded, run.rollback_notice, run.launcher_root, token);

    if (outcome.trial) {
        // Published before the start, so a run that dies mid-trial leaves it on disk.
        LauncherState on_trial = run.state;
        on_trial.trial_pending = true;
        publish_run_state(run, on_trial);
    }

    MarkerRemoval removal(marker);
    try {
        supervise(run, outcome, chosen, executable, arguments, marker);
    } catch (const std::exception&) {
        // A failing trial ends as a failed attempt (the launcher was ended when
        // its record went out of scope); outside a trial the failure is the run's.
        if (!outcome.trial) throw;
    }
    return outcome;
}

}  // namespace qor

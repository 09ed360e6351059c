#pragma once
// One launch of a launcher version, supervised until it proves readiness and ends.

#include <cstdint>
#include <string>
#include <string_view>

#include "base/path_grammar.h"
#include "process/command_line.h"
#include "state/launcher_state.h"

namespace qor {

inline constexpr std::int64_t kReadinessDeadlineNanoseconds = 30'000'000'000;
inline constexpr std::int64_t kPollIntervalMilliseconds = 100;
inline constexpr std::size_t kReadinessTokenLength = 32;
inline constexpr std::uint64_t kReadinessMarkerLimit = 65;
inline constexpr std::string_view kReadinessMarkerPrefix = "ready-";

// What one run carries from attempt to attempt.
struct StarterRun {
    Path launcher_root;
    ArgumentList forwarded;
    LauncherState state;
    bool rollback_notice = false;
};

// Publishes a changed state and only then makes it the run's working copy, so the
// copy never holds what launcher-state does not.
void publish_run_state(StarterRun& run, const LauncherState& next);

struct AttemptOutcome {
    bool ready = false;
    std::uint32_t result = 1;
    bool trial = false;
};

// 32 characters of "0123456789abcdef" from the system's random source.
std::string make_readiness_token();

// Forwarded arguments, [--launcher-update-rollback], --launcher-root <root>, --launcher-ready <token>.
ArgumentList build_launch_arguments(const ArgumentList& forwarded, bool rollback_notice, const Path& launcher_root,
                                    std::string_view token);

// The marker's first line (up to the first LF) is exactly the identity.
bool marker_proves_readiness(std::string_view marker_bytes, std::string_view identity);

// May publish the run's state: trial pending before a trial, promotion at readiness.
// A trial whose own folder or executable is refused by path inspection ends unready before
// anything is published; a refusal the current version meets as well is the run's failure.
AttemptOutcome run_launch_attempt(StarterRun& run);

}  // namespace qor

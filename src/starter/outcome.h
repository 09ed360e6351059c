#pragma once
// What follows a launch attempt: the starter's exit code, another attempt, or a failure.

#include <cstdint>
#include <optional>

#include "starter/launch_attempt.h"

namespace qor {

inline constexpr std::uint32_t kRestartExitCode = 73;

// An exit code to end the run with, or nothing when another attempt must run.
std::optional<std::uint32_t> decide_after_attempt(const AttemptOutcome& outcome, StarterRun& run);

}  // namespace qor

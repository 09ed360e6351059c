#pragma once
// One run of the starter: lock the launcher root, load the state, then either
// pass --version/--help through or run launch attempts until one settles.

#include "base/path_grammar.h"
#include "process/command_line.h"

namespace qor {

inline constexpr std::string_view kLockFileName = "starter.lock";

// Returns the starter's exit code; every failure leaves as an exception.
int run_startup_sequence(const Path& launcher_root, const ArgumentList& forwarded);

}  // namespace qor

#pragma once
// The launcher state record and the exact text of the "launcher-state" file:
//   Qor launcher 1 LF  <current> LF  <staged or "-"> LF  <"0" or "1"> LF

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace qor {

struct LauncherState {
    std::string current_version;
    std::string staged_version;  // empty when nothing is staged
    bool trial_pending = false;

    bool operator==(const LauncherState&) const = default;
};

inline constexpr std::string_view kStateFileName = "launcher-state";
inline constexpr std::string_view kStateTempFileName = "launcher-state.tmp";
inline constexpr std::string_view kStateMagicLine = "Qor launcher 1";
inline constexpr std::size_t kStateFileLimit = 160;

// Current version valid; staged version empty or valid; trial pending only with a staged version.
bool satisfies_state_invariants(const LauncherState& state);

// The whole file for a record (always with the final LF); the record must satisfy the invariants.
std::string format_launcher_state(const LauncherState& state);

// The record the bytes describe, or nothing when they break the grammar in any way.
std::optional<LauncherState> parse_launcher_state(std::string_view bytes);

}  // namespace qor

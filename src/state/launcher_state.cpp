#include "state/launcher_state.h"

#include "layout/version_layout.h"

namespace qor {

namespace {

constexpr std::string_view kNoStagedVersion = "-";

// getline semantics: a line runs to the next LF (consumed, not kept) or to the
// end; a read fails only when not a single byte is left.
std::optional<std::string_view> next_line(std::string_view& rest) {
    if (rest.empty()) return std::nullopt;
    const std::size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
    return line;
}

}  // namespace

bool satisfies_state_invariants(const LauncherState& state) {
    if (!is_valid_version_identity(state.current_version)) return false;
    if (!state.staged_version.empty() && !is_valid_version_identity(state.staged_version)) return false;
    return !state.trial_pending || !state.staged_version.empty();
}

std::string format_launcher_state(const LauncherState& state) {
    std::string text;
    text.reserve(147);
    text.append(kStateMagicLine).append("\n");
    text.append(state.current_version).append("\n");
    text.append(state.staged_version.empty() ? kNoStagedVersion : state.staged_version).append("\n");
    text.append(state.trial_pending ? "1" : "0").append("\n");
    return text;
}

std::optional<LauncherState> parse_launcher_state(std::string_view bytes) {
    std::string_view rest = bytes;
    std::string_view lines[4];
    for (std::string_view& line : lines) {
        const auto read = next_line(rest);
        if (!read) return std::nullopt;
        line = *read;
    }
    if (next_line(rest)) return std::nullopt;

    const auto [magic, current, staged, trial] = lines;
    if (magic != kStateMagicLine) return std::nullopt;
    if (!is_valid_version_identity(current)) return std::nullopt;
    if (staged != kNoStagedVersion && !is_valid_version_identity(staged)) return std::nullopt;
    if (trial != "0" && trial != "1") return std::nullopt;
    if (trial == "1" && staged == kNoStagedVersion) return std::nullopt;

    LauncherState state;
    state.current_version = std::string(current);
    if (staged != kNoStagedVersion) state.staged_version = std::string(staged);
    state.trial_pending = trial == "1";
    return state;
}

}  // namespace qor

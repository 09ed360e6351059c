#pragma once
// launcher.log: the file the starter's box sends the user to when a launcher did not get
// ready ("... or check launcher.log"). The kit writes it for launchers in any language, so
// that what a launcher says before it fails is where support staff look.

#include <cstdint>
#include <string>
#include <string_view>

namespace qor::kit {

inline constexpr std::wstring_view kLauncherLogFileName = L"launcher.log";
// The log before the last one; replaced each time launcher.log reaches its cap.
inline constexpr std::wstring_view kOlderLauncherLogFileName = L"launcher.log.1";
inline constexpr std::uint64_t kLauncherLogMaxBytes = 1024 * 1024;
// A writer holds an exclusive lock (LockFileEx) on this one byte of launcher.log, far past any
// end the log reaches, from its check of the log's size to its line; so does one that moves it.
inline constexpr std::uint64_t kLauncherLogLockOffset = 0x7FFFFFFF'00000000;

// Appends one line to <root>\launcher.log: "<UTC time> [<process id>] <line>" and LF, with
// CR and LF inside line made spaces, so one call is one line. line is UTF-8, written as given.
// A log that the line would take past kLauncherLogMaxBytes is first moved to launcher.log.1,
// replacing the older one. Several processes may write at once (a launcher and an updater):
// each line is one append, and the move happens under a byte-range lock on the log, so no
// line is lost to a second move. Never writes through a link: a launcher.log that is a link,
// a folder or a file with another name (a hard link) is refused.
// Throws KitError: the errors of a launcher root argument; "Launcher paths cannot use
// redirects" for such a log; "Cannot write launcher log (error <code>)".
void append_launcher_log(const std::wstring& launcher_root, std::string_view line);

}  // namespace qor::kit

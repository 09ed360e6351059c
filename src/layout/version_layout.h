#pragma once
// Version identities and the folder layout under the launcher root:
//   <root>\versions\<identity>\QorLauncher.exe

#include <string_view>

#include "base/path_grammar.h"

namespace qor {

inline constexpr std::size_t kVersionIdentityLength = 64;
inline constexpr std::string_view kLowerHexDigits = "0123456789abcdef";
inline constexpr std::string_view kLauncherExecutableName = "QorLauncher.exe";
inline constexpr std::string_view kVersionsFolderName = "versions";

// Exactly 64 characters, each one of "0123456789abcdef".
bool is_valid_version_identity(std::string_view identity);

// The inspected version folder of an identity. Throws Failure "Invalid launcher
// version identity" before touching anything, or a path inspection failure.
Path version_directory_path(const Path& launcher_root, std::string_view identity);

// The executable inside a version folder (not inspected here).
Path launcher_executable_path(const Path& version_directory);

}  // namespace qor

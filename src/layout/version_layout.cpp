#include "layout/version_layout.h"

#include "base/failure.h"
#include "layout/path_safety.h"

namespace qor {

bool is_valid_version_identity(std::string_view identity) {
    if (identity.size() != kVersionIdentityLength) return false;
    for (char c : identity) {
        if (kLowerHexDigits.find(c) == std::string_view::npos) return false;
    }
    return true;
}

Path version_directory_path(const Path& launcher_root, std::string_view identity) {
    if (!is_valid_version_identity(identity)) throw Failure("Invalid launcher version identity");
    const Path versions = append_path(launcher_root, to_path_text(kVersionsFolderName));
    Path directory = append_path(versions, to_path_text(identity));
    inspect_launcher_path(directory);
    return directory;
}

Path launcher_executable_path(const Path& version_directory) {
    return append_path(version_directory, to_path_text(kLauncherExecutableName));
}

}  // namespace qor

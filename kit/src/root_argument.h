#pragma once
// What every kit call that takes a launcher root asks of it first. Internal to the kit.

#include <string>

namespace qor::kit::detail {

// A root is named absolutely: "C:\..." or "\\server\share\..." (or their "\\?\" forms).
// An empty text would mean the current folder, and a relative one whatever folder the
// process happens to be in: the kit never acts on a folder named by accident.
bool is_absolute_root(const std::wstring& launcher_root);

// Throws KitError, ErrorKind::invalid_argument, for an empty or relative root
// ("Launcher root must be an absolute path"), and ErrorKind::not_launcher_root for one that
// does not exist or is a file.
void require_launcher_root(const std::wstring& launcher_root);

}  // namespace qor::kit::detail

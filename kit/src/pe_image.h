#pragma once
// Reading a Windows executable's PE headers without loading it. Internal to the kit.

#include <optional>
#include <string>
#include <vector>

namespace qor::kit::detail {

// Names of the DLLs in the import table, or nullopt when the file is no PE image.
std::optional<std::vector<std::string>> imported_dlls(const std::wstring& executable);

}  // namespace qor::kit::detail

#pragma once
// What the launcher root's install, check and removal all ask of a root's files. Internal to the kit.

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kit_files.h"

namespace qor::kit::detail {

std::optional<DWORD> attributes_of(const std::wstring& path);

// The first prefix that is a reparse point (link, junction, mount point), which the
// starter refuses; empty when none.
std::wstring first_redirect(const std::wstring& path);

inline std::vector<FolderEntry> list_entries(const std::wstring& folder) { return list_folder(folder).entries; }

}  // namespace qor::kit::detail

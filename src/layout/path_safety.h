#pragma once
// Refuses any launcher path that passes through a redirect (symbolic link,
// junction, mount point, any reparse point), walking from the top down.

#include <cstdint>
#include <functional>

#include "base/path_grammar.h"

namespace qor {

inline constexpr std::uint32_t kInvalidFileAttributes = 0xFFFFFFFFu;
inline constexpr std::uint32_t kReparsePointAttribute = 0x400u;

// What GetFileAttributesW answered, and GetLastError when it failed.
struct AttributeAnswer {
    std::uint32_t attributes = kInvalidFileAttributes;
    std::uint32_t error = 0;
};
using AttributeQuery = std::function<AttributeAnswer(const Path&)>;

AttributeAnswer query_file_attributes(const Path& path);

// The full path name as the system resolves it (relative to the current directory).
// Throws Failure "filesystem error: absolute: <reason> [<path>]" when the system refuses.
Path absolute_path(const Path& path);

// Throws Failure "Launcher paths cannot use redirects" or "Cannot inspect launcher path".
void inspect_launcher_path(const Path& path, const AttributeQuery& query = query_file_attributes);

}  // namespace qor

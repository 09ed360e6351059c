#pragma once
// Refuses any launcher path that passes through a redirect (symbolic link,
// junction, mount point, any reparse point), walking from the top down.

#include <cstdint>
#include <exception>
#include <functional>
#include <string_view>

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

inline constexpr std::string_view kRedirectRefusal = "Launcher paths cannot use redirects";
inline constexpr std::string_view kInspectionRefusal = "Cannot inspect launcher path";

// Throws Failure kRedirectRefusal or kInspectionRefusal.
void inspect_launcher_path(const Path& path, const AttributeQuery& query = query_file_attributes);

// Whether a failure is one of inspect_launcher_path's two refusals.
bool is_path_refusal(const std::exception& failure);

}  // namespace qor

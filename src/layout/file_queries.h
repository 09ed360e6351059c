#pragma once
// File-system queries that report failures in the standard library's wording
// (std::filesystem::filesystem_error naming the operation and the path).

#include <cstdint>
#include <string>

#include "base/path_grammar.h"

namespace qor {

[[noreturn]] void throw_filesystem_error(const std::string& operation, const Path& path, std::uint32_t windows_error);

// Size in bytes; a folder counts as 0.
std::uint64_t query_file_size(const Path& path);

// Reads at most max_bytes from the start of a file, sharing it with everyone.
// Returns false when the file cannot be opened or read.
bool read_file_prefix(const Path& path, std::size_t max_bytes, std::string& bytes);

// Removes a file (or an empty folder, or a link) by name; the outcome is not reported.
void remove_path_quietly(const Path& path);

}  // namespace qor

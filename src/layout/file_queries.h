#pragma once
// File-system queries whose failures keep the standard library's wording,
// "filesystem error: <operation>: <reason> [<path>]", formatted here in UTF-8:
// the library's own error type would bring its whole locale machinery along.

#include <cstdint>
#include <string>
#include <string_view>

#include "base/path_grammar.h"

namespace qor {

// The system's text for an error code as the standard library words it: the
// message of the user's language without its closing ".\r\n", or "Unknown error code".
std::string system_error_reason(std::uint32_t windows_error);

// The library's text for a failed query; a missing file or folder reads
// "No such file or directory".
std::string filesystem_error_text(std::string_view operation, const Path& path, std::uint32_t windows_error);

// Throws Failure with filesystem_error_text.
[[noreturn]] void throw_filesystem_error(const std::string& operation, const Path& path, std::uint32_t windows_error);

// Size in bytes; a folder counts as 0.
std::uint64_t query_file_size(const Path& path);

// Reads at most max_bytes from the start of a file, sharing it with everyone.
// Returns false when the file cannot be opened or read.
bool read_file_prefix(const Path& path, std::size_t max_bytes, std::string& bytes);

// Removes a file (or an empty folder, or a link) by name; the outcome is not reported.
void remove_path_quietly(const Path& path);

}  // namespace qor

#pragma once
// The Windows path grammar the starter relies on, as pure text functions.
// The toolchain's std::filesystem::path does not know server names or device
// prefixes, so the grammar is written out here over plain UTF-16 text.

#include <string>
#include <string_view>
#include <vector>

namespace qor {

using Path = std::wstring;

struct PathParts {
    std::wstring_view root_name;       // "D:", "\\server", "\\?", or empty
    std::wstring_view root_directory;  // the separator run after the root name, or empty
    std::wstring_view relative;        // everything after the root directory
};

bool is_separator(wchar_t c);
PathParts split_path(std::wstring_view path);

// The standard append rule: a separator goes between the parts unless the left
// one is empty, ends in a separator or is a bare drive; a right part with a root
// directory or a root name of its own replaces what it must.
Path append_path(std::wstring_view left, std::wstring_view right);

// Lexically normal form: separators unified, "." and "name\.." removed, a ".."
// right after the root directory dropped, an empty result becomes ".".
Path lexically_normal(std::wstring_view path);

// Root name, root directory, each file name, and one empty element when the
// path ends in a separator that is not its root directory.
std::vector<Path> path_elements(std::wstring_view path);

// Drops the last element and the separators in front of it; never the root.
Path parent_path(std::wstring_view path);

// ASCII names (file names, version identities) as path text, unit for unit.
Path to_path_text(std::string_view ascii);

}  // namespace qor

#include "base/path_grammar.h"

namespace qor {

namespace {

bool is_drive_letter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

std::size_t root_name_length(std::wstring_view p) {
    if (p.size() < 2) return 0;
    if (is_drive_letter(p[0]) && p[1] == L':') return 2;
    // Device prefixes: "\\?\", "\\.\" and "\??\", with any separator.
    if (p.size() >= 4 && is_separator(p[0]) && is_separator(p[3])) {
        const bool device = (is_separator(p[1]) && (p[2] == L'?' || p[2] == L'.')) || (p[1] == L'?' && p[2] == L'?');
        if (device && (p.size() == 4 || !is_separator(p[4]))) return 3;
    }
    if (is_separator(p[0]) && is_separator(p[1]) && p.size() > 2 && !is_separator(p[2])) {
        std::size_t end = 2;
        while (end < p.size() && !is_separator(p[end])) ++end;
        return end;
    }
    return 0;
}

bool has_filename(const PathParts& parts) { return !parts.relative.empty() && !is_separator(parts.relative.back()); }

}  // namespace

bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

PathParts split_path(std::wstring_view path) {
    const std::size_t name = root_name_length(path);
    std::size_t dir_end = name;
    while (dir_end < path.size() && is_separator(path[dir_end])) ++dir_end;
    return {path.substr(0, name), path.substr(name, dir_end - name), path.substr(dir_end)};
}

Path append_path(std::wstring_view left, std::wstring_view right) {
    const PathParts l = split_path(left);
    const PathParts r = split_path(right);
    const bool right_absolute = !r.root_name.empty() && !r.root_directory.empty();
    if (right_absolute || (!r.root_name.empty() && r.root_name != l.root_name)) return Path(right);
    if (!r.root_directory.empty()) {
        Path result(l.root_name);
        result += right.substr(r.root_name.size());
        return result;
    }
    Path result(left);
    if (has_filename(l)) result += L'\\';
    result += right.substr(r.root_name.size());
    return result;
}

Path lexically_normal(std::wstring_view path) {
    if (path.empty()) return Path();
    const PathParts parts = split_path(path);

    std::vector<std::wstring_view> names;
    bool trailing_separator = false;
    std::wstring_view rest = parts.relative;
    while (!rest.empty()) {
        std::size_t end = 0;
        while (end < rest.size() && !is_separator(rest[end])) ++end;
        const std::wstring_view name = rest.substr(0, end);
        std::size_t next = end;
        while (next < rest.size() && is_separator(rest[next])) ++next;
        rest = rest.substr(next);
        const bool followed_by_separator = end < next;

        if (name == L".") {
            trailing_separator = !names.empty();
        } else if (name == L"..") {
            if (!names.empty() && names.back() != L"..") {
                names.pop_back();
                trailing_separator = !names.empty();
            } else if (names.empty() && !parts.root_directory.empty()) {
                // ".." directly after the root directory goes nowhere.
            } else {
                names.push_back(name);
                trailing_separator = followed_by_separator;
            }
        } else {
            names.push_back(name);
            trailing_separator = followed_by_separator;
        }
    }
    if (!names.empty() && names.back() == L"..") trailing_separator = false;

    Path result;
    for (wchar_t c : parts.root_name) result += is_separator(c) ? L'\\' : c;
    if (!parts.root_directory.empty()) result += L'\\';
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) result += L'\\';
        result += names[i];
    }
    if (trailing_separator && !names.empty()) result += L'\\';
    if (result.empty()) result = L".";
    return result;
}

std::vector<Path> path_elements(std::wstring_view path) {
    const PathParts parts = split_path(path);
    std::vector<Path> elements;
    if (!parts.root_name.empty()) elements.emplace_back(parts.root_name);
    if (!parts.root_directory.empty()) elements.emplace_back(parts.root_directory);
    std::wstring_view rest = parts.relative;
    while (!rest.empty()) {
        std::size_t end = 0;
        while (end < rest.size() && !is_separator(rest[end])) ++end;
        elements.emplace_back(rest.substr(0, end));
        std::size_t next = end;
        while (next < rest.size() && is_separator(rest[next])) ++next;
        rest = rest.substr(next);
        if (rest.empty() && next > end) elements.emplace_back();
    }
    return elements;
}

Path parent_path(std::wstring_view path) {
    const PathParts parts = split_path(path);
    if (parts.relative.empty()) return Path(path);
    const std::size_t root_length = parts.root_name.size() + parts.root_directory.size();
    std::size_t end = path.size();
    while (end > root_length && !is_separator(path[end - 1])) --end;
    while (end > root_length && is_separator(path[end - 1])) --end;
    return Path(path.substr(0, end));
}

Path to_path_text(std::string_view ascii) {
    Path result;
    result.reserve(ascii.size());
    for (char c : ascii) result += static_cast<wchar_t>(static_cast<unsigned char>(c));
    return result;
}

}  // namespace qor

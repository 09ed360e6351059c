#include "layout/path_safety.h"

#include <windows.h>

#include <vector>

#include "base/failure.h"
#include "layout/file_queries.h"

namespace qor {

namespace {

// A drive is the only root name of two characters.
bool is_bare_drive(std::wstring_view path) { return path.size() == 2 && split_path(path).root_name.size() == 2; }

// "\\?", "\\." and "\??" as a root name: what follows is a name the object manager resolves.
bool is_device_prefix(std::wstring_view root_name) { return root_name.size() == 3 && is_separator(root_name[0]); }

bool equals_ignoring_case(std::wstring_view text, std::wstring_view ascii) {
    if (text.size() != ascii.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i] >= L'a' && text[i] <= L'z' ? static_cast<wchar_t>(text[i] - L'a' + L'A') : text[i];
        if (c != ascii[i]) return false;
    }
    return true;
}

// Each prefix of an absolute, normal path that names an object on the way, from the
// top down; never one whose meaning depends on a current folder.
std::vector<Path> inspected_prefixes(const Path& normal) {
    const std::vector<Path> elements = path_elements(normal);
    std::vector<Path> prefixes;
    Path prefix;
    std::size_t next = 0;
    if (is_device_prefix(split_path(normal).root_name) && elements.size() > 2) {
        // "\\?\D:\x" and "\\?\UNC\server\share\x": the walk starts at the volume's
        // top folder, written under the prefix; "D:" alone would be resolved again.
        prefix = elements[0] + L"\\" + elements[2];
        next = 3;
        if (equals_ignoring_case(elements[2], L"UNC")) {
            for (; next < 5 && next < elements.size(); ++next) prefix += L"\\" + elements[next];
        }
        prefix += L'\\';
        prefixes.push_back(prefix);
    }
    for (; next < elements.size(); ++next) {
        prefix = append_path(prefix, elements[next]);
        // A bare drive names the current folder of that drive, not the drive.
        if (!is_bare_drive(prefix)) prefixes.push_back(prefix);
    }
    return prefixes;
}

}  // namespace

AttributeAnswer query_file_attributes(const Path& path) {
    AttributeAnswer answer;
    answer.attributes = ::GetFileAttributesW(path.c_str());
    if (answer.attributes == INVALID_FILE_ATTRIBUTES) answer.error = ::GetLastError();
    return answer;
}

Path absolute_path(const Path& path) {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()), buffer.data(), /*lpFilePart=*/nullptr);
        const DWORD error = ::GetLastError();
        if (length == 0) throw_filesystem_error("absolute", path, error);
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        buffer.resize(length);  // too small: length is the size needed, terminator included
    }
}

void inspect_launcher_path(const Path& path, const AttributeQuery& query) {
    if (path.empty()) return;
    for (const Path& prefix : inspected_prefixes(lexically_normal(absolute_path(path)))) {
        const AttributeAnswer answer = query(prefix);
        if (answer.attributes == kInvalidFileAttributes) {
            if (answer.error == ERROR_FILE_NOT_FOUND || answer.error == ERROR_PATH_NOT_FOUND) continue;
            throw Failure(std::string(kInspectionRefusal));
        }
        if ((answer.attributes & kReparsePointAttribute) != 0) {
            throw Failure(std::string(kRedirectRefusal));
        }
    }
}

bool is_path_refusal(const std::exception& failure) {
    const std::string_view text = failure.what();
    return text == kRedirectRefusal || text == kInspectionRefusal;
}

}  // namespace qor

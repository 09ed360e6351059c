#include "layout/path_safety.h"

#include <windows.h>

#include "base/failure.h"
#include "layout/file_queries.h"

namespace qor {

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
    const Path normal = lexically_normal(absolute_path(path));
    Path prefix;
    for (const Path& element : path_elements(normal)) {
        prefix = append_path(prefix, element);
        const AttributeAnswer answer = query(prefix);
        if (answer.attributes == kInvalidFileAttributes) {
            if (answer.error == ERROR_FILE_NOT_FOUND || answer.error == ERROR_PATH_NOT_FOUND) continue;
            throw Failure("Cannot inspect launcher path");
        }
        if ((answer.attributes & kReparsePointAttribute) != 0) {
            throw Failure("Launcher paths cannot use redirects");
        }
    }
}

}  // namespace qor

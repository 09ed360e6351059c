#include "root_queries.h"

#include "qor/launcher_kit.h"

namespace qor::kit::detail {

std::optional<DWORD> attributes_of(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return std::nullopt;
    return attributes;
}

std::wstring first_redirect(const std::wstring& path) {
    for (const std::wstring& prefix : path_prefixes(path)) {
        if (const std::optional<DWORD> attributes = attributes_of(prefix); attributes && is_link(*attributes)) {
            return prefix;
        }
    }
    return {};
}

}  // namespace qor::kit::detail

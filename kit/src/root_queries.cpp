#include "root_queries.h"

#include <algorithm>

#include "qor/launcher_kit.h"

namespace qor::kit::detail {

std::string utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, /*dwFlags=*/0, text.data(), static_cast<int>(text.size()),
                                           /*lpMultiByteStr=*/nullptr, 0, /*lpDefaultChar=*/nullptr,
                                           /*lpUsedDefaultChar=*/nullptr);
    std::string result(static_cast<std::size_t>(std::max(size, 0)), '\0');
    ::WideCharToMultiByte(CP_UTF8, /*dwFlags=*/0, text.data(), static_cast<int>(text.size()), result.data(), size,
                          /*lpDefaultChar=*/nullptr, /*lpUsedDefaultChar=*/nullptr);
    return result;
}

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

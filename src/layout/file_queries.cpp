#include "layout/file_queries.h"

#include <windows.h>

#include <utility>

#include "base/failure.h"
#include "base/unique_handle.h"
#include "base/utf8_text.h"

namespace qor {

namespace {

// Windows' text for a message ends like this; the library cuts it off.
constexpr std::wstring_view kMessageEnd = L".\r\n";

struct LocalMemory {
    wchar_t* text = nullptr;
    ~LocalMemory() { ::LocalFree(text); }
};

// A numbered insert (%1 to %99) needs an argument that no caller has.
bool has_numbered_insert(std::wstring_view text) {
    for (std::size_t at = text.find(L'%'); at != std::wstring_view::npos && at + 1 < text.size();
         at = text.find(L'%', at + 2)) {
        if (text[at + 1] >= L'1' && text[at + 1] <= L'9') return true;
    }
    return false;
}

DWORD format_system_message(std::uint32_t windows_error, DWORD flags, LocalMemory& message) {
    return ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | flags,
                            /*lpSource=*/nullptr, windows_error,
                            /*dwLanguageId=*/MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                            reinterpret_cast<wchar_t*>(&message.text), /*nSize=*/0, /*Arguments=*/nullptr);
}

}  // namespace

std::string system_error_reason(std::uint32_t windows_error) {
    // Read with inserts ignored first: formatting a message that has numbered inserts
    // without arguments would read past them. The library's own formatting fails on such
    // a message and says "Unknown error code"; other escapes (%n, %%) it expands.
    LocalMemory message;
    DWORD length = format_system_message(windows_error, FORMAT_MESSAGE_IGNORE_INSERTS, message);
    if (length == 0 || message.text == nullptr) return "Unknown error code";
    if (has_numbered_insert({message.text, length})) return "Unknown error code";
    if (std::wstring_view(message.text, length).find(L'%') != std::wstring_view::npos) {
        LocalMemory expanded;
        length = format_system_message(windows_error, /*flags=*/0, expanded);
        if (length == 0 || expanded.text == nullptr) return "Unknown error code";
        std::swap(message.text, expanded.text);
    }
    std::wstring_view text(message.text, length);
    if (text.size() > kMessageEnd.size() && text.ends_with(kMessageEnd)) text.remove_suffix(kMessageEnd.size());
    return to_utf8(text);
}

std::string filesystem_error_text(std::string_view operation, const Path& path, std::uint32_t windows_error) {
    // Missing files keep the portable wording of the C library.
    const bool missing = windows_error == ERROR_FILE_NOT_FOUND || windows_error == ERROR_PATH_NOT_FOUND;
    std::string text = "filesystem error: ";
    text.append(operation).append(": ");
    text.append(missing ? "No such file or directory" : system_error_reason(windows_error));
    text.append(" [").append(to_utf8(path)).append("]");
    return text;
}

void throw_filesystem_error(const std::string& operation, const Path& path, std::uint32_t windows_error) {
    throw Failure(filesystem_error_text(operation, path, windows_error));
}

std::uint64_t query_file_size(const Path& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        const DWORD error = ::GetLastError();
        throw_filesystem_error("file_size", path, error);
    }
    if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return 0;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool read_file_prefix(const Path& path, std::size_t max_bytes, std::string& bytes) {
    bytes.clear();
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                    /*dwShareMode=*/FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                    /*hTemplateFile=*/nullptr));
    if (!file) return false;
    bytes.resize(max_bytes);
    std::size_t filled = 0;
    while (filled < max_bytes) {
        DWORD got = 0;
        if (!::ReadFile(file.get(), bytes.data() + filled, static_cast<DWORD>(max_bytes - filled), &got,
                        /*lpOverlapped=*/nullptr)) {
            bytes.clear();
            return false;
        }
        if (got == 0) break;
        filled += got;
    }
    bytes.resize(filled);
    return true;
}

void remove_path_quietly(const Path& path) {
    if (!::DeleteFileW(path.c_str())) ::RemoveDirectoryW(path.c_str());
}

}  // namespace qor

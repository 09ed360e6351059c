#include "layout/file_queries.h"

#include <windows.h>

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

}  // namespace

std::string system_error_reason(std::uint32_t windows_error) {
    LocalMemory message;
    // Inserts are ignored: with no arguments to fill them, a message that has some
    // would be read past its end.
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        /*lpSource=*/nullptr, windows_error, /*dwLanguageId=*/MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<wchar_t*>(&message.text), /*nSize=*/0, /*Arguments=*/nullptr);
    if (length == 0 || message.text == nullptr) return "Unknown error code";
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

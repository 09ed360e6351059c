#include "layout/file_queries.h"

#include <windows.h>

#include <filesystem>
#include <system_error>

#include "base/unique_handle.h"

namespace qor {

void throw_filesystem_error(const std::string& operation, const Path& path, std::uint32_t windows_error) {
    // Missing files keep the portable wording ("No such file or directory").
    const std::error_code code = (windows_error == ERROR_FILE_NOT_FOUND || windows_error == ERROR_PATH_NOT_FOUND)
                                     ? std::make_error_code(std::errc::no_such_file_or_directory)
                                     : std::error_code(static_cast<int>(windows_error), std::system_category());
    throw std::filesystem::filesystem_error(operation, std::filesystem::path(path), code);
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

#include "root_argument.h"

#include <windows.h>

#include "kit_files.h"
#include "qor/launcher_kit.h"

namespace qor::kit::detail {

namespace {

bool is_separator(wchar_t unit) { return unit == L'\\' || unit == L'/'; }

bool is_drive_letter(wchar_t unit) { return (unit >= L'A' && unit <= L'Z') || (unit >= L'a' && unit <= L'z'); }

}  // namespace

bool is_absolute_root(const std::wstring& root) {
    // "C:\..." and "C:/...": a drive and its top folder. "C:x" and "\x" hang on the current folder.
    if (root.size() >= 3 && is_drive_letter(root[0]) && root[1] == L':' && is_separator(root[2])) return true;
    // "\\server\share..." and the device forms "\\?\..." and "\\.\...".
    return root.size() >= 3 && is_separator(root[0]) && is_separator(root[1]) && !is_separator(root[2]);
}

void require_launcher_root(const std::wstring& launcher_root) {
    if (!is_absolute_root(launcher_root)) {
        throw KitError("Launcher root must be an absolute path", ErrorKind::invalid_argument);
    }
    const DWORD attributes = ::GetFileAttributesW(launcher_root.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME) {
            throw KitError("Launcher root does not exist", ErrorKind::not_launcher_root);
        }
        fail("Cannot inspect launcher path", error);
    }
    if (!is_folder(attributes)) throw KitError("Launcher root is a file, not a folder", ErrorKind::not_launcher_root);
}

}  // namespace qor::kit::detail

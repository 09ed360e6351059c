#include "update_record.h"

#include <windows.h>

#include "kit_files.h"

namespace qor::kit {

namespace detail {

namespace {

constexpr std::wstring_view kRecordTemporaryName = L"update-record.staging";
// An identity and its LF; anything longer is not ours.
constexpr DWORD kRecordReadLimit = kVersionIdentityLength + 2;

}  // namespace

std::string read_update_record(const std::wstring& launcher_root) {
    const std::wstring path = join(launcher_root, kUpdateRecordFileName);
    const FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                        /*dwShareMode=*/FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                        /*hTemplateFile=*/nullptr));
    if (!file.valid()) return {};
    std::string bytes(kRecordReadLimit, '\0');
    DWORD read = 0;
    if (!::ReadFile(file.get(), bytes.data(), kRecordReadLimit, &read, /*lpOverlapped=*/nullptr)) return {};
    bytes.resize(read);
    if (bytes.ends_with('\n')) bytes.pop_back();
    return is_valid_version_identity(bytes) ? bytes : std::string{};
}

std::string failed_identity(const std::string& recorded, const StateRecord& state) {
    if (recorded.empty() || recorded == state.current_version || recorded == state.staged_version) return {};
    return recorded;
}

void write_update_record(const std::wstring& launcher_root, std::string_view identity) {
    const std::wstring temporary = join(launcher_root, kRecordTemporaryName);
    DWORD error = write_fresh_file(temporary, std::string(identity) + "\n", /*flush_to_device=*/true);
    if (error == 0) {
        error = move_file(temporary, join(launcher_root, kUpdateRecordFileName),
                          MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    }
    if (error != 0) remove_own_file(temporary);
}

}  // namespace detail

std::string failed_update(const std::wstring& launcher_root) {
    const std::string recorded = detail::read_update_record(launcher_root);
    if (recorded.empty()) return {};
    return detail::failed_identity(recorded, read_launcher_state(launcher_root));
}

}  // namespace qor::kit

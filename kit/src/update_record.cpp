#include "update_record.h"

#include <windows.h>

#include "kit_files.h"
#include "root_argument.h"

namespace qor::kit {

namespace detail {

namespace {

constexpr std::wstring_view kRecordTemporaryName = L"update-record.staging";
// Two identities and their LFs; anything longer is not ours.
constexpr DWORD kRecordReadLimit = 2 * (kVersionIdentityLength + 1) + 1;

}  // namespace

UpdateRecord read_update_record(const std::wstring& launcher_root) {
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
    // The last LF may be missing, as the 1.0 kit's reader allowed.
    if (bytes.ends_with('\n')) bytes.pop_back();
    const std::size_t split = bytes.find('\n');
    UpdateRecord record{bytes.substr(0, split), split == std::string::npos ? std::string{} : bytes.substr(split + 1)};
    const bool two_lines = split != std::string::npos;
    if (!is_valid_version_identity(record.staged) || (two_lines && !is_valid_version_identity(record.current))) {
        return {};
    }
    return record;
}

std::string format_update_record(const UpdateRecord& record) {
    if (record.staged.empty()) return {};
    return record.staged + '\n' + (record.current.empty() ? std::string{} : record.current + '\n');
}

std::string failed_identity(const UpdateRecord& record, const StateRecord& state) {
    if (record.staged.empty() || record.staged == state.current_version) return {};
    if (record.current.empty()) return record.staged == state.staged_version ? std::string{} : record.staged;
    return state.staged_version.empty() && state.current_version == record.current ? record.staged : std::string{};
}

void refuse_unwritable_update_record(const std::wstring& launcher_root) {
    const DWORD attributes = ::GetFileAttributesW(join(launcher_root, kUpdateRecordFileName).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (is_folder(attributes)) throw KitError("Cannot stage version: update-record is a folder; remove it");
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        throw KitError("Cannot stage version: update-record is read-only; remove it");
    }
}

DWORD replace_update_record(const std::wstring& launcher_root, std::string_view bytes) {
    const std::wstring path = join(launcher_root, kUpdateRecordFileName);
    if (bytes.empty() && ::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return 0;
    const std::wstring temporary = join(launcher_root, kRecordTemporaryName);
    DWORD error = write_fresh_file(temporary, bytes, /*flush_to_device=*/true);
    if (error == 0) error = move_file(temporary, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (error != 0) ::DeleteFileW(temporary.c_str());
    return error;
}

}  // namespace detail

std::string failed_update(const std::wstring& launcher_root) {
    detail::require_launcher_root(launcher_root);
    const detail::UpdateRecord record = detail::read_update_record(launcher_root);
    if (record.staged.empty()) return {};
    return detail::failed_identity(record, read_launcher_state(launcher_root));
}

}  // namespace qor::kit

#pragma once
// What the kit last staged, kept in <root>\update-record, so that a launcher started after a
// rollback can tell which update failed. Internal to the kit.

#include <windows.h>

#include <string>
#include <string_view>

#include "qor/launcher_kit.h"

namespace qor::kit::detail {

// Two lines, each ending in LF: the identity staged, then the version that was current when
// it was staged. The 1.0 kit wrote the first line alone.
struct UpdateRecord {
    std::string staged;   // empty when there is no record (never staged by the kit, or unreadable)
    std::string current;  // empty in the one-line form
};

UpdateRecord read_update_record(const std::wstring& launcher_root);
std::string format_update_record(const UpdateRecord& record);

// The staged identity of the record when its trial failed: the version it was staged from is
// current again and nothing is staged, which only the starter's rollback leaves. A later
// promotion, or a stage the record missed, never names it. The one-line form keeps the 1.0
// rule: named when launcher-state shows it neither current nor staged.
std::string failed_identity(const UpdateRecord& record, const StateRecord& state);

// Throws KitError when a folder or a read-only file stands at update-record: a rename over
// either fails as a sharing conflict would, and no program ever lets go of it.
void refuse_unwritable_update_record(const std::wstring& launcher_root);

// Replaces update-record with bytes crash-safely; empty bytes clear it (nothing to do when
// there is none). Returns 0 or the Windows error.
DWORD replace_update_record(const std::wstring& launcher_root, std::string_view bytes);

}  // namespace qor::kit::detail

#pragma once
// The identity the kit last staged, kept in <root>\update-record, so that a launcher
// started after a rollback can tell which update failed. Internal to the kit.

#include <string>
#include <string_view>

#include "qor/launcher_kit.h"

namespace qor::kit::detail {

// The recorded identity, or empty when there is none (never staged by the kit, or unreadable).
std::string read_update_record(const std::wstring& launcher_root);

// The recorded identity when launcher-state shows it neither current nor staged: only
// the starter's rollback drops a staged version without making it current.
std::string failed_identity(const std::string& recorded, const StateRecord& state);

// Best effort, after the staging is published: a staging stands without its record,
// which only makes a later failure of it unnamed.
void write_update_record(const std::wstring& launcher_root, std::string_view identity);

}  // namespace qor::kit::detail

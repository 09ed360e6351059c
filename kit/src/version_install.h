#pragma once
// Installing a version whose whole manifest was announced (by the kit's delivery code).
// Internal to the kit.

#include <string>
#include <string_view>

namespace qor::kit::detail {

// install_version(root, folder, identity) where identity is the SHA-256 of manifest_bytes,
// with a refusal that also names the first file, in the manifest's order, that differs:
// "Downloaded version does not match its identity: expected <a>, got <b>; <path> differs" (or
// "is missing", "is not in the version announced"), ErrorKind::identity_mismatch. Throws KitError "Invalid version
// manifest: ..." for bytes that are no canonical manifest.
std::string install_version_matching(const std::wstring& launcher_root, const std::wstring& folder,
                                     std::string_view manifest_bytes);

}  // namespace qor::kit::detail

#pragma once
// The manifest of a version: every file of its folder by relative path, size and SHA-256,
// in one canonical text whose SHA-256 is the version's identity. Pure: no file system here,
// so that the bytes are tested directly and a release tool in any language can match them.
// Internal to the kit.
//
// The bytes, exactly:
//   line 1    "Qor version manifest 1"
//   per file  <sha-256: 64 characters 0-9a-f> SP <size: decimal, no leading zeros> SP <path>
//   each line ends in one LF; nothing after the last LF; no BOM, no CR.
//   <path>    relative to the version folder, UTF-8, names joined by "/", files only
//             (a folder shows only through the files it holds; an empty folder is no part of
//             a version).
//   order     by the paths' UTF-8 bytes, ascending, unsigned.
// The identity is the lowercase hex SHA-256 of all these bytes.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qor::kit::detail {

inline constexpr std::string_view kManifestMagicLine = "Qor version manifest 1";

struct ManifestEntry {
    std::string path;    // UTF-8, "/" between names
    std::uint64_t size = 0;
    std::string sha256;  // 64 characters of 0-9a-f
    bool operator==(const ManifestEntry&) const = default;
};

// Why one name (one element of a path) cannot be held in a manifest, or empty when it can:
// ".", "..", empty, a character below 0x20 or one of <>:"/\|?*, a trailing dot or space,
// a device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9, with or without an extension).
std::string name_problem(std::string_view name);

// The canonical bytes of a manifest of these entries, in any order given. Throws KitError
// (ErrorKind::failed) naming the path for a path a manifest cannot hold (an absolute or drive
// path, a bad name as above, two paths equal ignoring case, no QorLauncher.exe at the top).
std::string format_manifest(std::vector<ManifestEntry> entries);

// The entries of canonical manifest bytes; throws KitError for anything that format_manifest
// would not have written, and beyond the limits below.
std::vector<ManifestEntry> parse_manifest(std::string_view bytes);

inline constexpr std::size_t kManifestMaxFiles = 100'000;
inline constexpr std::size_t kManifestMaxPathBytes = 1'024;
inline constexpr std::size_t kManifestMaxBytes = 16 * 1024 * 1024;

}  // namespace qor::kit::detail

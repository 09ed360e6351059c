#pragma once
// Hashing a version's files and comparing an installed version with its manifest, for
// install, verify and QorRoot's check. Internal to the kit.

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kit_files.h"
#include "qor/launcher_kit.h"

namespace qor::kit::detail {

// Beside the version folder, outside what it describes: versions\<identity>.manifest.
inline constexpr std::wstring_view kManifestSuffix = L".manifest";
std::wstring manifest_path(const std::wstring& versions, std::string_view identity);

// Reads and writes of a version go in pieces of this size, with one buffer per operation.
inline constexpr DWORD kCopyBufferBytes = 1 << 20;

std::string to_hex(const unsigned char* bytes, std::size_t count);

// The system's SHA-256, opened once per install or verify.
class Sha256Algorithm {
public:
    Sha256Algorithm();
    BCRYPT_ALG_HANDLE get() const { return algorithm_.get(); }

private:
    struct Closer {
        void operator()(BCRYPT_ALG_HANDLE algorithm) const;
    };
    std::unique_ptr<void, Closer> algorithm_;
};

class Sha256 {
public:
    explicit Sha256(const Sha256Algorithm& algorithm);
    void add(const unsigned char* bytes, std::size_t count);
    // Lowercase hex of the digest; the hash is spent afterwards.
    std::string finish();

private:
    struct Destroyer {
        void operator()(BCRYPT_HASH_HANDLE hash) const;
    };
    std::unique_ptr<void, Destroyer> hash_;
};

std::string sha256_of_bytes(const Sha256Algorithm& algorithm, std::string_view bytes);

// Waits out a program that holds the file without read sharing (a scanner, a backup
// tool), as the kit's renames do. Shares delete: never blocks someone else's rename.
// Throws KitError "Cannot read version (error <code>)".
FileHandle open_for_reading(const std::wstring& path);

// Reads the next part of file into buffer (kCopyBufferBytes); 0 only at the end of the file.
DWORD read_some(const FileHandle& file, unsigned char* buffer);

// The UTF-8 form of a name or path, "/" for "\"; nullopt when it has none (a lone surrogate).
std::optional<std::string> manifest_path_text(std::wstring_view relative);

// The stored manifest of an installed version; nullopt when it has none: a version installed
// by the 1.0 kit. Throws KitError when it cannot be read or is no manifest.
std::optional<std::string> read_stored_manifest(const std::wstring& versions, std::string_view identity);

// An installed version against its manifest: each file missing, changed (another size, or
// another SHA-256 when hash_contents) or extra, in the manifest's order, extras last. A
// version installed by the 1.0 kit is checked by its QorLauncher.exe alone (its identity is
// that file's SHA-256). Throws KitError: invalid_identity, version_not_installed for no
// such folder, and failures to read.
std::vector<VersionProblem> compare_version_files(const std::wstring& launcher_root, std::string_view identity,
                                                  bool hash_contents);

// The version has a stored manifest (else the 1.0 kit installed it).
bool has_stored_manifest(const std::wstring& launcher_root, std::string_view identity);

}  // namespace qor::kit::detail

// Hashing a version's files and comparing an installed version with its manifest.

#include "version_files.h"

#include <algorithm>
#include <array>
#include <set>

#include "root_argument.h"
#include "version_manifest.h"

namespace qor::kit::detail {

namespace {

// NTSTATUS: negative values are errors.
bool succeeded(NTSTATUS status) { return status >= 0; }

void check_hash_status(NTSTATUS status) {
    if (!succeeded(status)) fail("Cannot hash version", static_cast<DWORD>(status));
}

std::wstring wide_path(std::string_view utf8) {
    if (utf8.empty()) return {};
    const int size = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                                           /*lpWideCharStr=*/nullptr, 0);
    if (size <= 0) throw KitError("Invalid version manifest: a path that is not UTF-8");
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    return wide;
}

// Windows compares names ignoring case by upper-casing them, as the file system does.
std::wstring upper(std::wstring_view text) {
    std::wstring result(text);
    if (!result.empty()) {
        ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.data(), static_cast<int>(text.size()),
                        result.data(), static_cast<int>(result.size()), nullptr, nullptr, 0);
    }
    return result;
}

std::string shown_path(std::wstring_view relative) {
    if (std::optional<std::string> text = manifest_path_text(relative)) return *text;
    // A name with no UTF-8 form is still named, its lone surrogates as U+FFFD.
    std::wstring replaced(relative);
    for (wchar_t& unit : replaced) {
        if (unit >= 0xD800 && unit <= 0xDFFF) unit = 0xFFFD;
    }
    return manifest_path_text(replaced).value_or("?");
}

std::string sha256_of_file(const Sha256Algorithm& algorithm, const std::wstring& path, unsigned char* buffer) {
    const FileHandle file = open_for_reading(path);
    Sha256 hash(algorithm);
    while (const DWORD read = read_some(file, buffer)) hash.add(buffer, read);
    return hash.finish();
}

// Every file (and link) below folder, by relative path; links are listed, never entered.
void list_files(const std::wstring& folder, const std::wstring& relative, std::vector<std::wstring>& found) {
    const Listing listing = list_folder(relative.empty() ? folder : join(folder, relative));
    if (listing.error != 0) fail("Cannot read version", listing.error);
    for (const FolderEntry& entry : listing.entries) {
        const std::wstring path = relative.empty() ? entry.name : join(relative, entry.name);
        if (is_folder(entry.attributes) && !is_link(entry.attributes)) {
            list_files(folder, path, found);
        } else {
            found.push_back(path);
        }
    }
}

std::wstring version_folder(const std::wstring& launcher_root, std::string_view identity, std::wstring& versions) {
    require_launcher_root(launcher_root);
    if (!is_valid_version_identity(identity)) throw KitError("Invalid version identity", ErrorKind::invalid_identity);
    const std::wstring plain_versions = join(launcher_root, kVersionsFolderName);
    const std::wstring plain_folder = join(plain_versions, widen_ascii(identity));
    refuse_redirects(plain_folder);
    versions = extended_path(plain_versions);
    std::wstring folder = join(versions, widen_ascii(identity));
    const DWORD attributes = ::GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !is_folder(attributes)) {
        throw KitError("Version is not installed", ErrorKind::version_not_installed);
    }
    return folder;
}

}  // namespace

std::wstring manifest_path(const std::wstring& versions, std::string_view identity) {
    return join(versions, widen_ascii(identity) + std::wstring(kManifestSuffix));
}

std::string to_hex(const unsigned char* bytes, std::size_t count) {
    std::string hex;
    hex.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        hex += kLowerHexDigits[bytes[i] >> 4];
        hex += kLowerHexDigits[bytes[i] & 0x0F];
    }
    return hex;
}

Sha256Algorithm::Sha256Algorithm() {
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    check_hash_status(::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM,
                                                    /*pszImplementation=*/nullptr, /*dwFlags=*/0));
    algorithm_.reset(algorithm);
}

void Sha256Algorithm::Closer::operator()(BCRYPT_ALG_HANDLE algorithm) const {
    ::BCryptCloseAlgorithmProvider(algorithm, /*dwFlags=*/0);
}

Sha256::Sha256(const Sha256Algorithm& algorithm) {
    BCRYPT_HASH_HANDLE hash = nullptr;
    check_hash_status(::BCryptCreateHash(algorithm.get(), &hash, /*pbHashObject=*/nullptr, /*cbHashObject=*/0,
                                         /*pbSecret=*/nullptr, /*cbSecret=*/0, /*dwFlags=*/0));
    hash_.reset(hash);
}

void Sha256::Destroyer::operator()(BCRYPT_HASH_HANDLE hash) const { ::BCryptDestroyHash(hash); }

void Sha256::add(const unsigned char* bytes, std::size_t count) {
    while (count > 0) {
        const ULONG part = static_cast<ULONG>(std::min<std::size_t>(count, 1u << 30));
        // BCryptHashData does not write its input; its parameter is not const.
        check_hash_status(::BCryptHashData(hash_.get(), const_cast<unsigned char*>(bytes), part, /*dwFlags=*/0));
        bytes += part;
        count -= part;
    }
}

std::string Sha256::finish() {
    std::array<unsigned char, 32> digest{};
    check_hash_status(::BCryptFinishHash(hash_.get(), digest.data(), static_cast<ULONG>(digest.size()), /*dwFlags=*/0));
    return to_hex(digest.data(), digest.size());
}

std::string sha256_of_bytes(const Sha256Algorithm& algorithm, std::string_view bytes) {
    Sha256 hash(algorithm);
    hash.add(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    return hash.finish();
}

FileHandle open_for_reading(const std::wstring& path) {
    FileHandle file;
    const DWORD error = retry_sharing_conflicts([&]() -> DWORD {
        file = FileHandle(::CreateFileW(path.c_str(), GENERIC_READ,
                                        /*dwShareMode=*/FILE_SHARE_READ | FILE_SHARE_DELETE,
                                        /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                                        /*hTemplateFile=*/nullptr));
        return file.valid() ? 0 : ::GetLastError();
    });
    if (error != 0) fail("Cannot read version", error);
    return file;
}

DWORD read_some(const FileHandle& file, unsigned char* buffer) {
    DWORD read = 0;
    // A failed read throws: its count says nothing about where the file ends.
    if (!::ReadFile(file.get(), buffer, kCopyBufferBytes, &read, /*lpOverlapped=*/nullptr)) {
        const DWORD error = ::GetLastError();
        fail("Cannot read version", error);
    }
    return read;
}

std::optional<std::string> manifest_path_text(std::wstring_view relative) {
    if (relative.empty()) return std::string();
    const int size = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, relative.data(),
                                           static_cast<int>(relative.size()), /*lpMultiByteStr=*/nullptr, 0,
                                           /*lpDefaultChar=*/nullptr, /*lpUsedDefaultChar=*/nullptr);
    if (size <= 0) return std::nullopt;
    std::string text(static_cast<std::size_t>(size), '\0');
    ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, relative.data(), static_cast<int>(relative.size()),
                          text.data(), size, /*lpDefaultChar=*/nullptr, /*lpUsedDefaultChar=*/nullptr);
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

std::optional<std::string> read_stored_manifest(const std::wstring& versions, std::string_view identity) {
    const std::wstring path = manifest_path(versions, identity);
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::nullopt;
        fail("Cannot read version manifest", error);
    }
    if (is_folder(attributes) || is_link(attributes)) throw KitError("Invalid version manifest: not a file");
    const FileHandle file = open_for_reading(path);
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size)) {
        const DWORD error = ::GetLastError();
        fail("Cannot read version manifest", error);
    }
    if (static_cast<unsigned long long>(size.QuadPart) > kManifestMaxBytes) {
        throw KitError("Invalid version manifest: longer than 16 MiB");
    }
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD read = 0;
        if (!::ReadFile(file.get(), bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &read, nullptr)) {
            const DWORD error = ::GetLastError();
            fail("Cannot read version manifest", error);
        }
        if (read == 0) break;
        done += read;
    }
    bytes.resize(done);
    return bytes;
}

bool has_stored_manifest(const std::wstring& launcher_root, std::string_view identity) {
    std::wstring versions;
    version_folder(launcher_root, identity, versions);
    return ::GetFileAttributesW(manifest_path(versions, identity).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<VersionProblem> compare_version_files(const std::wstring& launcher_root, std::string_view identity,
                                                  bool hash_contents) {
    std::wstring versions;
    const std::wstring folder = version_folder(launcher_root, identity, versions);
    const Sha256Algorithm algorithm;
    const std::unique_ptr<unsigned char[]> buffer(hash_contents ? new unsigned char[kCopyBufferBytes] : nullptr);
    std::vector<VersionProblem> problems;

    const std::optional<std::string> stored = read_stored_manifest(versions, identity);
    std::vector<ManifestEntry> entries;
    if (stored) {
        entries = parse_manifest(*stored);
        if (sha256_of_bytes(algorithm, *stored) != identity) {
            throw KitError("Stored version manifest does not match its identity", ErrorKind::identity_mismatch);
        }
    } else {
        // Installed by the 1.0 kit: its identity is the hash of QorLauncher.exe, and that is all it names.
        entries.push_back({"QorLauncher.exe", 0, std::string(identity)});
    }

    std::set<std::wstring> expected;
    for (const ManifestEntry& entry : entries) {
        const std::wstring relative = wide_path(entry.path);
        expected.insert(upper(relative));
        const std::wstring path = join(folder, relative);
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) || is_folder(data.dwFileAttributes)) {
            problems.push_back({VersionProblem::Kind::missing, entry.path});
            continue;
        }
        const std::uint64_t size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
        const bool changed = is_link(data.dwFileAttributes) || (stored && size != entry.size) ||
                             (hash_contents && sha256_of_file(algorithm, path, buffer.get()) != entry.sha256);
        if (changed) problems.push_back({VersionProblem::Kind::changed, entry.path});
    }
    if (!stored) return problems;

    std::vector<std::wstring> found;
    list_files(folder, L"", found);
    std::vector<std::string> extras;
    for (const std::wstring& relative : found) {
        if (!expected.contains(upper(relative))) extras.push_back(shown_path(relative));
    }
    std::sort(extras.begin(), extras.end());
    for (std::string& path : extras) problems.push_back({VersionProblem::Kind::extra, std::move(path)});
    return problems;
}

}  // namespace qor::kit::detail

// The whole launcher root: first install, the reading behind QorRoot check, uninstall.

#include "qor/launcher_root.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kit_files.h"
#include "qor/launcher_kit.h"

namespace qor::kit {

namespace {

using detail::FindHandle;
using detail::join;

using detail::has_hex_suffix;
using detail::kDeletionPrefix;
using detail::kInstallPrefix;
using detail::kMarkerTemporaryPrefix;
using detail::kTemporarySuffixLength;
using detail::kVersionsFolderName;
using detail::widen_ascii;
// The starter's own temporary, beside the kit's kStagingFileName.
constexpr std::wstring_view kStarterStateTemporary = L"launcher-state.tmp";
// The starter refuses a larger launcher-state.
constexpr std::uint64_t kStateSizeLimit = 160;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr DWORD kCopyBufferBytes = 1 << 20;

// ---------------------------------------------------------------------------
// Text

std::string utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, /*dwFlags=*/0, text.data(), static_cast<int>(text.size()),
                                           /*lpMultiByteStr=*/nullptr, 0, /*lpDefaultChar=*/nullptr,
                                           /*lpUsedDefaultChar=*/nullptr);
    std::string result(static_cast<std::size_t>(std::max(size, 0)), '\0');
    ::WideCharToMultiByte(CP_UTF8, /*dwFlags=*/0, text.data(), static_cast<int>(text.size()), result.data(), size,
                          /*lpDefaultChar=*/nullptr, /*lpUsedDefaultChar=*/nullptr);
    return result;
}

// Why an identity line breaks the grammar, or empty. A line 3 of "-" is read by the caller.
std::string identity_problem(std::string_view line) {
    if (line.empty()) return "is empty; write a version identity (64 characters of 0-9 and a-f)";
    if (line.find_first_of(" \t") != std::string_view::npos) return "has blanks; remove them";
    if (line.size() != kVersionIdentityLength) {
        return "is " + std::to_string(line.size()) +
               " characters long; a version identity is 64 characters of 0-9 and a-f";
    }
    if (line.find_first_of("ABCDEF") != std::string_view::npos) {
        return "has upper-case letters; write the identity in lower case (0-9, a-f)";
    }
    const std::size_t bad = line.find_first_not_of(detail::kLowerHexDigits);
    if (bad != std::string_view::npos) {
        return "has a character other than 0-9 and a-f at position " + std::to_string(bad + 1) +
               "; write the version identity only";
    }
    return {};
}

// The first reason, as "line N ...; what to do", why bytes are no valid launcher-state,
// read as the starter reads them; empty when they are valid.
std::string diagnose_state_bytes(std::string_view bytes) {
    if (bytes.empty()) return "is empty; it needs four lines";
    if (bytes.starts_with(kByteOrderMark)) {
        return "line 1 starts with a byte order mark; save the file as plain ASCII, without a BOM";
    }
    std::vector<std::string_view> lines;
    for (std::string_view rest = bytes; !rest.empty();) {
        const std::size_t end = rest.find('\n');
        lines.push_back(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].find('\r') != std::string_view::npos) {
            return "line " + std::to_string(i + 1) + " ends in CR LF; save the file with LF line ends only";
        }
    }
    if (lines[0] != kStateMagicLine) {
        return "line 1 is not \"" + std::string(kStateMagicLine) +
               "\" (exactly, case and spacing too); this is not a launcher-state of this format";
    }
    if (lines.size() < 4) {
        return "line " + std::to_string(lines.size() + 1) +
               " is missing; the file has four lines: the magic line, the current version, the staged version or"
               " -, and 0 or 1";
    }
    if (lines.size() > 4) return "has more after line 4 (an empty line?); the file ends with line 4 and its LF";
    if (lines[1] == "-") return "line 2 is -; the current version is always a version identity";
    if (std::string problem = identity_problem(lines[1]); !problem.empty()) return "line 2 " + problem;
    if (lines[2] != "-") {
        if (std::string problem = identity_problem(lines[2]); !problem.empty()) {
            return "line 3 " + problem + ", or - when nothing is staged";
        }
    }
    if (lines[3] != "0" && lines[3] != "1") return "line 4 is neither 0 nor 1; write 0 (no trial under way)";
    if (lines[2] == "-" && lines[3] == "1") {
        return "line 4 is 1 (a trial pending) while line 3 stages nothing (-); write 0";
    }
    return {};
}

// ---------------------------------------------------------------------------
// The file system

using detail::FolderEntry;
using detail::is_folder;
using detail::is_link;
using detail::remove_entry;

std::optional<DWORD> attributes_of(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return std::nullopt;
    return attributes;
}

// The first prefix that is a reparse point (link, junction, mount point), which the
// starter refuses; empty when none.
std::wstring first_redirect(const std::wstring& path) {
    for (const std::wstring& prefix : detail::path_prefixes(path)) {
        if (const std::optional<DWORD> attributes = attributes_of(prefix); attributes && is_link(*attributes)) {
            return prefix;
        }
    }
    return {};
}

std::vector<FolderEntry> list_folder(const std::wstring& folder) { return detail::list_folder(folder).entries; }

// Copies into a file that did not exist, flushed: a power cut must not leave a starter of zeros.
void copy_new_file(const std::wstring& from, const std::wstring& to) {
    const detail::FileHandle source(::CreateFileW(from.c_str(), GENERIC_READ,
                                                  /*dwShareMode=*/FILE_SHARE_READ | FILE_SHARE_DELETE,
                                                  /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING,
                                                  FILE_FLAG_SEQUENTIAL_SCAN, /*hTemplateFile=*/nullptr));
    if (!source.valid()) {
        const DWORD error = ::GetLastError();
        detail::fail("Cannot read starter executable", error);
    }
    detail::FileHandle target;
    if (const DWORD error = detail::create_own_file(to, GENERIC_WRITE, /*share=*/0, target); error != 0) {
        if (error == detail::kLinkAtName) detail::refuse_name(to, error);
        detail::fail("Cannot copy starter executable", error);
    }
    std::vector<char> buffer(kCopyBufferBytes);
    for (;;) {
        DWORD read = 0;
        if (!::ReadFile(source.get(), buffer.data(), kCopyBufferBytes, &read, /*lpOverlapped=*/nullptr)) {
            const DWORD error = ::GetLastError();
            detail::fail("Cannot read starter executable", error);
        }
        if (read == 0) break;
        DWORD written = 0;
        if (!::WriteFile(target.get(), buffer.data(), read, &written, /*lpOverlapped=*/nullptr) || written != read) {
            const DWORD error = written != read ? DWORD{ERROR_HANDLE_DISK_FULL} : ::GetLastError();
            detail::fail("Cannot copy starter executable", error);
        }
    }
    if (!::FlushFileBuffers(target.get()) || !target.close()) {
        const DWORD error = ::GetLastError();
        detail::fail("Cannot copy starter executable", error);
    }
}

// Creates path and each missing folder above it; returns the topmost one it created
// (empty when path existed), so that a failed first install can take back what it made.
std::wstring create_folders(const std::wstring& path) {
    std::wstring topmost_created;
    for (const std::wstring& folder : detail::path_prefixes(path)) {
        if (::CreateDirectoryW(folder.c_str(), /*lpSecurityAttributes=*/nullptr)) {
            if (topmost_created.empty()) topmost_created = folder;
            continue;
        }
        const DWORD error = ::GetLastError();
        // A top folder (C:\) answers access denied rather than that it exists.
        if (error != ERROR_ALREADY_EXISTS && !attributes_of(folder)) detail::fail("Cannot create launcher root", error);
    }
    return topmost_created;
}

// ---------------------------------------------------------------------------
// The DLLs an executable imports, read from its PE import table.

class ImageFile {
public:
    explicit ImageFile(const std::wstring& path)
        : file_(::CreateFileW(path.c_str(), GENERIC_READ, /*dwShareMode=*/FILE_SHARE_READ | FILE_SHARE_DELETE,
                              /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              /*hTemplateFile=*/nullptr)) {}
    bool valid() const { return file_.valid(); }

    bool read(std::uint64_t offset, void* into, DWORD size) const {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD read = 0;
        return ::ReadFile(file_.get(), into, size, &read, &at) && read == size;
    }
    template <typename T>
    std::optional<T> value(std::uint64_t offset) const {
        T result{};
        if (!read(offset, &result, sizeof result)) return std::nullopt;
        return result;
    }

private:
    detail::FileHandle file_;
};

struct Section {
    std::uint32_t virtual_address;
    std::uint32_t virtual_size;
    std::uint32_t raw_size;
    std::uint32_t raw_offset;
};

constexpr std::uint32_t kImportDirectoryIndex = 1;
constexpr std::size_t kImportDescriptorSize = 20;
constexpr std::size_t kMaxDllNameLength = 256;
constexpr std::size_t kMaxImportedDlls = 4096;

// Names of the DLLs in the import table, or nullopt when the file is no PE image.
std::optional<std::vector<std::string>> imported_dlls(const std::wstring& executable) {
    const ImageFile image(executable);
    if (!image.valid()) return std::nullopt;
    const auto mz = image.value<std::uint16_t>(0);
    const auto pe_offset = image.value<std::uint32_t>(0x3C);
    if (!mz || *mz != 0x5A4D || !pe_offset) return std::nullopt;
    const auto signature = image.value<std::uint32_t>(*pe_offset);
    if (!signature || *signature != 0x00004550) return std::nullopt;  // "PE\0\0"
    const std::uint64_t coff = *pe_offset + std::uint64_t{4};
    const auto section_count = image.value<std::uint16_t>(coff + 2);
    const auto optional_size = image.value<std::uint16_t>(coff + 16);
    const std::uint64_t optional_header = coff + 20;
    const auto magic = image.value<std::uint16_t>(optional_header);
    if (!section_count || !optional_size || !magic || (*magic != 0x10B && *magic != 0x20B)) return std::nullopt;
    // PE32 and PE32+ differ in where the data directories start.
    const std::uint64_t directories = optional_header + (*magic == 0x20B ? 112 : 96);
    const auto directory_count = image.value<std::uint32_t>(directories - 4);
    if (!directory_count) return std::nullopt;
    std::vector<std::string> names;
    if (*directory_count <= kImportDirectoryIndex) return names;
    const auto import_rva = image.value<std::uint32_t>(directories + 8 * kImportDirectoryIndex);
    if (!import_rva) return std::nullopt;
    if (*import_rva == 0) return names;

    std::vector<Section> sections;
    for (std::uint16_t i = 0; i < *section_count; ++i) {
        const std::uint64_t header = optional_header + *optional_size + 40 * std::uint64_t{i};
        const auto virtual_size = image.value<std::uint32_t>(header + 8);
        const auto virtual_address = image.value<std::uint32_t>(header + 12);
        const auto raw_size = image.value<std::uint32_t>(header + 16);
        const auto raw_offset = image.value<std::uint32_t>(header + 20);
        if (!virtual_size || !virtual_address || !raw_size || !raw_offset) return std::nullopt;
        sections.push_back({*virtual_address, *virtual_size, *raw_size, *raw_offset});
    }
    const auto file_offset = [&sections](std::uint32_t rva) -> std::optional<std::uint64_t> {
        for (const Section& section : sections) {
            const std::uint32_t extent = std::max(section.virtual_size, section.raw_size);
            if (rva >= section.virtual_address && rva - section.virtual_address < extent) {
                return std::uint64_t{section.raw_offset} + (rva - section.virtual_address);
            }
        }
        return std::nullopt;
    };

    const std::optional<std::uint64_t> table = file_offset(*import_rva);
    if (!table) return std::nullopt;
    for (std::size_t i = 0; i < kMaxImportedDlls; ++i) {
        std::uint8_t descriptor[kImportDescriptorSize] = {};
        if (!image.read(*table + i * kImportDescriptorSize, descriptor, sizeof descriptor)) return std::nullopt;
        if (std::all_of(std::begin(descriptor), std::end(descriptor), [](std::uint8_t b) { return b == 0; })) {
            return names;
        }
        std::uint32_t name_rva = 0;
        std::memcpy(&name_rva, descriptor + 12, sizeof name_rva);
        const std::optional<std::uint64_t> name_offset = file_offset(name_rva);
        if (!name_offset) return std::nullopt;
        std::string name;
        for (std::size_t j = 0; j < kMaxDllNameLength; ++j) {
            const auto byte = image.value<char>(*name_offset + j);
            if (!byte) return std::nullopt;
            if (*byte == '\0') break;
            name += *byte;
        }
        names.push_back(name);
    }
    return std::nullopt;
}

std::wstring system_folder() {
    std::wstring folder(MAX_PATH, L'\0');
    const UINT length = ::GetSystemDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
    folder.resize(length < folder.size() ? length : 0);
    return folder;
}

bool starts_with_ignoring_case(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
               return lower(a) == lower(b);
           });
}

// A DLL the loader finds on a clean Windows: an API set, one in the system folder, or
// one shipped beside the executable.
bool dll_is_found(const std::string& dll, const std::wstring& system, const std::wstring& beside) {
    if (starts_with_ignoring_case(dll, "api-ms-win-") || starts_with_ignoring_case(dll, "ext-ms-win-")) return true;
    const std::wstring name = widen_ascii(dll);
    const auto is_file = [](const std::wstring& path) {
        const std::optional<DWORD> attributes = attributes_of(path);
        return attributes && !is_folder(*attributes);
    };
    return (!system.empty() && is_file(join(system, name))) || is_file(join(beside, name));
}

// ---------------------------------------------------------------------------
// check

class Checker {
public:
    explicit Checker(const std::wstring& root) : root_(root) {}

    std::vector<RootFinding> run() {
        if (const std::wstring redirect = first_redirect(root_); !redirect.empty()) {
            stop("the launcher root lies behind a redirect (link, junction or mount point) at " + utf8(redirect) +
                 "; the starter refuses it: install to a plain folder on a local drive");
        }
        check_starter();
        check_lock();
        check_versions_folder();
        if (const std::optional<StateRecord> state = check_state()) {
            check_version(state->current_version, "current", /*stops_start=*/true);
            if (!state->staged_version.empty()) {
                check_version(state->staged_version, "staged", /*stops_start=*/false);
            }
            if (state->trial_pending) {
                note("launcher-state shows a trial of " + state->staged_version.substr(0, 12) +
                     "... pending: a run ended during it; the next start drops it and runs the current version with "
                     "--launcher-update-rollback");
            }
        }
        check_leftovers();
        return std::move(findings_);
    }

private:
    void stop(std::string text) { findings_.push_back({true, std::move(text)}); }
    void note(std::string text) { findings_.push_back({false, std::move(text)}); }
    void add(bool stops_start, std::string text) { findings_.push_back({stops_start, std::move(text)}); }

    std::wstring at_root(std::wstring_view name) const { return join(root_, name); }

    void check_starter() {
        const std::optional<DWORD> attributes = attributes_of(at_root(kStarterExecutableName));
        if (!attributes || is_folder(*attributes)) {
            // The starter takes its root from its own location, whatever its name.
            note(
                "no QorStarter.exe in the root, so a shortcut to it starts nothing; copy it in (QorRoot init does), "
                "unless the starter ships here under another name");
        }
    }

    void check_lock() {
        const std::optional<DWORD> attributes = attributes_of(at_root(kStarterLockName));
        if (!attributes) return;  // the first start creates it
        if (is_link(*attributes)) {
            stop("starter.lock is a link; the starter refuses it: delete the link (the next start makes the file)");
        } else if (is_folder(*attributes)) {
            stop("starter.lock is a folder; the starter cannot lock it: delete that folder");
        }
    }

    void check_versions_folder() {
        const std::optional<DWORD> attributes = attributes_of(at_root(kVersionsFolderName));
        if (attributes && is_link(*attributes)) {
            stop(
                "versions is a link, junction or mount point; the starter refuses every version under it: "
                "make it a plain folder and install the versions again");
            versions_refused_ = true;
        }
    }

    std::optional<StateRecord> check_state() {
        const std::wstring path = at_root(kStateFileName);
        const std::optional<DWORD> attributes = attributes_of(path);
        if (!attributes) {
            stop(
                "launcher-state is missing; the installer must create it (QorRoot init, or create_launcher_state) "
                "naming the installed version as current");
            return std::nullopt;
        }
        if (is_link(*attributes)) {
            stop("launcher-state is a link; the starter refuses it: replace it with the file itself");
            return std::nullopt;
        }
        if (is_folder(*attributes)) {
            stop("launcher-state is a folder; delete it and write the four-line file");
            return std::nullopt;
        }
        const detail::FileHandle file(::CreateFileW(
            path.c_str(), GENERIC_READ, /*dwShareMode=*/FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, /*hTemplateFile=*/nullptr));
        LARGE_INTEGER size{};
        if (!file.valid() || !::GetFileSizeEx(file.get(), &size)) {
            const DWORD error = ::GetLastError();
            stop("launcher-state cannot be read (error " + std::to_string(error) +
                 "); check that no other program holds it and that the folder is readable");
            return std::nullopt;
        }
        if (static_cast<std::uint64_t>(size.QuadPart) > kStateSizeLimit) {
            stop("launcher-state is " + std::to_string(size.QuadPart) +
                 " bytes, over the starter's limit of 160; it holds four short lines: write it again");
            return std::nullopt;
        }
        std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
        DWORD read = 0;
        if (!bytes.empty() &&
            (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, /*lpOverlapped=*/nullptr) ||
             read != bytes.size())) {
            const DWORD error = ::GetLastError();
            stop("launcher-state cannot be read (error " + std::to_string(error) + "); check the disk");
            return std::nullopt;
        }
        if (const std::string problem = diagnose_state_bytes(bytes); !problem.empty()) {
            stop("launcher-state " + problem);
            return std::nullopt;
        }
        try {
            return parse_launcher_state(bytes);
        } catch (const KitError&) {
            stop("launcher-state breaks the four-line grammar; write it again (docs: protocol.md)");
            return std::nullopt;
        }
    }

    void check_version(const std::string& identity, const std::string& role, bool stops_start) {
        if (versions_refused_) return;
        const std::wstring folder = join(at_root(kVersionsFolderName), widen_ascii(identity));
        const std::string shown = "versions\\" + identity;
        // What the starter does with a staged version it cannot start: it rolls back.
        const std::string consequence = stops_start ? "" : " (the next start tries it and rolls back)";
        const std::optional<DWORD> attributes = attributes_of(folder);
        if (!attributes || !is_folder(*attributes)) {
            add(stops_start, "the " + role + " version is not installed: " + shown + " is missing" + consequence +
                                 "; install it again (install_version)");
            return;
        }
        if (is_link(*attributes)) {
            add(stops_start, "the " + role + " version's folder " + shown +
                                 " is a link or junction, which the starter refuses" + consequence +
                                 "; install it as a plain folder (install_version)");
            return;
        }
        const std::wstring executable = join(folder, kLauncherExecutableName);
        const std::optional<DWORD> executable_attributes = attributes_of(executable);
        if (!executable_attributes || is_folder(*executable_attributes)) {
            add(stops_start, "the " + role + " version has no " + shown + "\\QorLauncher.exe" + consequence +
                                 "; install it again (install_version)");
            return;
        }
        if (is_link(*executable_attributes)) {
            add(stops_start, shown + "\\QorLauncher.exe is a link, which the starter refuses" + consequence +
                                 "; install the version again (install_version)");
            return;
        }
        const std::optional<std::vector<std::string>> dlls = imported_dlls(executable);
        if (!dlls) {
            add(stops_start, shown + "\\QorLauncher.exe is not a Windows program (no valid PE image)" + consequence +
                                 "; install the version again");
            return;
        }
        for (const std::string& dll : *dlls) {
            if (dll_is_found(dll, system_, folder)) continue;
            add(stops_start, shown + "\\QorLauncher.exe imports " + dll +
                                 ", which is neither a system DLL nor beside it, so it cannot start" + consequence +
                                 "; link the launcher with -static, or ship the DLL in its folder");
        }
    }

    void check_leftovers() {
        for (const FolderEntry& entry : list_folder(root_)) {
            const std::wstring_view name = entry.name;
            if (name == kStarterStateTemporary || name == kStagingFileName ||
                has_hex_suffix(name, kMarkerTemporaryPrefix, kReadinessTokenLength) ||
                has_hex_suffix(name, kMarkerPrefix, kReadinessTokenLength)) {
                note("temporary " + utf8(name) +
                     " left behind by an interrupted start or write; delete it while no launcher runs");
            }
        }
        if (versions_refused_) return;
        for (const FolderEntry& entry : list_folder(at_root(kVersionsFolderName))) {
            const std::wstring_view name = entry.name;
            if (has_hex_suffix(name, kInstallPrefix, kTemporarySuffixLength) ||
                has_hex_suffix(name, kDeletionPrefix, kTemporarySuffixLength)) {
                note("temporary versions\\" + utf8(name) +
                     " left behind by an interrupted install or prune; the launcher's next prune removes it, or "
                     "delete it while no launcher runs");
            }
        }
    }

    std::wstring root_;
    std::wstring system_ = system_folder();
    bool versions_refused_ = false;
    std::vector<RootFinding> findings_;
};

void require_folder(const std::wstring& launcher_root) {
    const std::optional<DWORD> attributes = attributes_of(launcher_root);
    if (!attributes) {
        throw KitError("Launcher root does not exist: " + utf8(launcher_root), ErrorKind::not_launcher_root);
    }
    if (!is_folder(*attributes)) {
        throw KitError("Launcher root is a file, not a folder: " + utf8(launcher_root), ErrorKind::not_launcher_root);
    }
}

// ---------------------------------------------------------------------------
// remove

// Held for the whole removal: the starter opens starter.lock without sharing too, so while
// this is open no starter runs, and while one runs this cannot be opened.
detail::FileHandle lock_for_removal(const std::wstring& lock_path) {
    const std::optional<DWORD> attributes = attributes_of(lock_path);
    // A link or a folder there: no starter can lock it, so none runs; opening it would follow it.
    if (attributes && (is_link(*attributes) || is_folder(*attributes))) return detail::FileHandle();
    detail::FileHandle lock;
    const DWORD error = detail::open_own_file(lock_path, GENERIC_READ | DELETE, /*share=*/0, lock);
    if (error == detail::kLinkAtName || error == detail::kFolderAtName) return detail::FileHandle();
    if (error != 0) {
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
            throw KitError("A starter is running in this launcher root; close the launcher and try again",
                           ErrorKind::starter_running);
        }
        detail::fail("Cannot lock launcher root", error);
    }
    return lock;
}

}  // namespace

void create_launcher_state(const std::wstring& launcher_root, std::string_view current_identity) {
    if (!is_valid_version_identity(current_identity)) throw KitError("Invalid version identity", ErrorKind::invalid_identity);
    const std::wstring executable =
        join(join(join(launcher_root, kVersionsFolderName), widen_ascii(current_identity)), kLauncherExecutableName);
    detail::refuse_redirects(executable);
    const std::optional<DWORD> attributes = attributes_of(executable);
    if (!attributes || is_folder(*attributes)) throw KitError("Current version is not installed", ErrorKind::version_not_installed);
    const std::wstring state = join(launcher_root, kStateFileName);
    detail::refuse_redirects(state);
    if (attributes_of(state)) throw KitError("Launcher state already exists");

    const std::wstring temporary = join(launcher_root, kStagingFileName);
    const std::string text = format_launcher_state(StateRecord{std::string(current_identity), {}, false});
    DWORD error = detail::write_fresh_file(temporary, text, /*flush_to_device=*/true);
    // Without MOVEFILE_REPLACE_EXISTING: a state that appeared meanwhile is never replaced.
    if (error == 0) error = detail::move_file(temporary, state, MOVEFILE_WRITE_THROUGH);
    if (error != 0) {
        detail::remove_own_file(temporary);
        if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) {
            throw KitError("Launcher state already exists");
        }
        detail::fail("Cannot create launcher state", error);
    }
}

std::string initialize_launcher_root(const std::wstring& launcher_root, const std::wstring& starter_executable,
                                     const std::wstring& version_folder) {
    const std::optional<DWORD> starter = attributes_of(starter_executable);
    if (!starter || is_folder(*starter)) throw KitError("Starter executable not found: " + utf8(starter_executable));
    const std::optional<DWORD> launcher = attributes_of(join(version_folder, kLauncherExecutableName));
    if (!launcher || is_folder(*launcher)) {
        throw KitError("Version folder has no QorLauncher.exe: " + utf8(version_folder));
    }
    if (const std::wstring redirect = first_redirect(launcher_root); !redirect.empty()) {
        throw KitError("Launcher paths cannot use redirects: " + utf8(redirect));
    }
    if (const std::optional<DWORD> root = attributes_of(launcher_root)) {
        if (!is_folder(*root)) throw KitError("Launcher root is a file, not a folder: " + utf8(launcher_root));
        if (attributes_of(join(launcher_root, kStateFileName))) {
            throw KitError("Launcher root already holds a launcher-state");
        }
        if (!list_folder(launcher_root).empty()) throw KitError("Launcher root is not empty: " + utf8(launcher_root));
    }

    const std::wstring created = create_folders(launcher_root);
    try {
        copy_new_file(starter_executable, join(launcher_root, kStarterExecutableName));
        const std::string identity = install_version(launcher_root, version_folder);
        create_launcher_state(launcher_root, identity);
        return identity;
    } catch (...) {
        // Take back only what this call made: the root was empty, or did not exist.
        std::vector<std::wstring> left;
        if (!created.empty()) {
            remove_entry(detail::extended_path(created), FILE_ATTRIBUTE_DIRECTORY, left);
        } else {
            const std::wstring extended_root = detail::extended_path(launcher_root);
            for (const FolderEntry& entry : list_folder(extended_root)) {
                remove_entry(join(extended_root, entry.name), entry.attributes, left);
            }
        }
        throw;
    }
}

std::vector<RootFinding> check_launcher_root(const std::wstring& launcher_root) {
    require_folder(launcher_root);
    return Checker(launcher_root).run();
}

std::vector<std::wstring> remove_launcher_root(const std::wstring& launcher_root) {
    require_folder(launcher_root);
    if (const std::wstring redirect = first_redirect(launcher_root); !redirect.empty()) {
        throw KitError("Launcher paths cannot use redirects: " + utf8(redirect));
    }
    if (detail::path_prefixes(launcher_root).size() < 2) {
        throw KitError("A drive's or share's top folder is never removed as a launcher root: " + utf8(launcher_root));
    }
    const std::wstring starter = join(launcher_root, kStarterExecutableName);
    if (!attributes_of(starter) && !attributes_of(join(launcher_root, kStateFileName))) {
        throw KitError("Not a launcher root (no QorStarter.exe or launcher-state): " + utf8(launcher_root),
                       ErrorKind::not_launcher_root);
    }
    const std::wstring lock_path = join(launcher_root, kStarterLockName);
    detail::FileHandle lock = lock_for_removal(lock_path);

    std::vector<std::wstring> left;
    // The starter goes first, so that nothing starts from a half-removed root.
    if (const std::optional<DWORD> attributes = attributes_of(starter)) remove_entry(starter, *attributes, left);
    // Listed names are acted on as listed: a plain path would trim "x." to "x".
    const std::wstring extended_root = detail::extended_path(launcher_root);
    for (const FolderEntry& entry : list_folder(extended_root)) {
        if (entry.name == kStarterLockName && lock.valid()) continue;
        remove_entry(join(extended_root, entry.name), entry.attributes, left);
    }
    if (lock.valid()) {
        // Deleted through the handle that holds it, so that no starter can take it in between.
        FILE_DISPOSITION_INFO disposition{/*DeleteFile=*/TRUE};
        const bool starter_stays = attributes_of(starter).has_value();
        if (starter_stays ||
            !::SetFileInformationByHandle(lock.get(), FileDispositionInfo, &disposition, sizeof disposition)) {
            left.push_back(lock_path);
        }
        lock.close();
    }
    if (!::RemoveDirectoryW(launcher_root.c_str())) left.push_back(launcher_root);
    // Reported as a user writes them, without the "\\?\" the removal went through.
    for (std::wstring& path : left) {
        if (path.starts_with(L"\\\\?\\UNC\\")) {
            path.replace(0, 8, L"\\\\");
        } else if (path.starts_with(L"\\\\?\\")) {
            path.erase(0, 4);
        }
    }
    return left;
}

}  // namespace qor::kit

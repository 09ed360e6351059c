// QorRoot check: the launcher root read as the starter would start it, each finding with its fix.

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kit_files.h"
#include "pe_image.h"
#include "qor/launcher_kit.h"
#include "qor/launcher_root.h"
#include "root_argument.h"
#include "root_queries.h"
#include "version_files.h"

namespace qor::kit {

namespace {

using detail::attributes_of;
using detail::first_redirect;
using detail::FolderEntry;
using detail::has_hex_suffix;
using detail::is_folder;
using detail::is_link;
using detail::join;
using detail::kDeletionPrefix;
using detail::kInstallPrefix;
using detail::kMarkerTemporaryPrefix;
using detail::kTemporarySuffixLength;
using detail::kVersionsFolderName;
using detail::PeImage;
using detail::read_pe_image;
using detail::utf8;
using detail::widen_ascii;

// The starter's own temporary, beside the kit's kStagingFileName.
constexpr std::wstring_view kStarterStateTemporary = L"launcher-state.tmp";
// The starter refuses a larger launcher-state.
constexpr std::uint64_t kStateSizeLimit = 160;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// More than any launcher-state, enough to name a UTF-16 one as such.
constexpr DWORD kStateReadLimit = 4096;
// CreateProcessW starts no program whose full path, with its terminator, passes MAX_PATH.
constexpr std::size_t kMaxStartablePathLength = MAX_PATH - 1;
// DLLs beside a launcher whose own imports are read; real launchers ship a handful.
constexpr std::size_t kMaxDllsBeside = 64;
// Loaded at run time by the Go, Rust, Node and C# bindings, so absent from the import table.
constexpr std::string_view kKitDllName = "QorLauncherKit.dll";

// Text saved as UTF-16 (Notepad's "Unicode"): a BOM of either order, or ASCII with every other byte NUL.
bool is_utf16_text(std::string_view bytes) {
    if (bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF")) return true;
    return bytes.size() >= 4 && bytes[0] != '\0' && bytes[1] == '\0' && bytes[2] != '\0' && bytes[3] == '\0';
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
    if (is_utf16_text(bytes))
        return "is saved as UTF-16 text; save it as plain ASCII, without a BOM, with LF line ends";
    if (bytes.find('\0') != std::string_view::npos) {
        return "holds NUL bytes, so it is damaged (a crash or power cut while it was written?); delete it and write "
               "it again (QorRoot create-state)";
    }
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

bool is_file(const std::wstring& path) {
    const std::optional<DWORD> attributes = attributes_of(path);
    return attributes && !is_folder(*attributes);
}

// Resolved by the loader itself on every Windows since 7, never a file to ship.
bool is_api_set(const std::string& dll) {
    return starts_with_ignoring_case(dll, "api-ms-win-") || starts_with_ignoring_case(dll, "ext-ms-win-");
}

std::string lower_ascii(std::string text) {
    for (char& c : text) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return text;
}

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
        check_update_lock();
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
        } else {
            // Opened as the starter opens it: while one runs, this fails as a second start would.
            const detail::FileHandle lock(::CreateFileW(at_root(kStarterLockName).c_str(), GENERIC_READ,
                                                        /*dwShareMode=*/0, /*lpSecurityAttributes=*/nullptr,
                                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                                        /*hTemplateFile=*/nullptr));
            const DWORD error = lock.valid() ? 0 : ::GetLastError();
            if (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION) {
                starter_running_ = true;
                stop(
                    "a starter is already running in this root (it holds starter.lock), so another start fails with "
                    "\"The launcher is already running\"; use the running launcher, or close it and start again");
            }
        }
    }

    void check_update_lock() {
        const std::optional<DWORD> attributes = attributes_of(at_root(kUpdateLockFileName));
        if (attributes && (is_link(*attributes) || is_folder(*attributes))) {
            note(std::string("update.lock is a ") + (is_link(*attributes) ? "link" : "folder") +
                 ", so no update can run (install, stage and prune refuse to lock the root); delete it while no "
                 "launcher runs, and the kit makes the file again");
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
                "launcher-state is missing; write one naming an installed version as current: QorRoot create-state \"" +
                utf8(root_) + "\" [<identity>] (create_launcher_state)");
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
        const auto length = static_cast<std::uint64_t>(size.QuadPart);
        std::string bytes(static_cast<std::size_t>(std::min<std::uint64_t>(length, kStateReadLimit)), '\0');
        DWORD read = 0;
        if (!bytes.empty() &&
            (!::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, /*lpOverlapped=*/nullptr) ||
             read != bytes.size())) {
            const DWORD error = ::GetLastError();
            stop("launcher-state cannot be read (error " + std::to_string(error) + "); check the disk");
            return std::nullopt;
        }
        // Named before its size: UTF-16 doubles a state past the limit.
        if (is_utf16_text(bytes)) {
            stop("launcher-state " + diagnose_state_bytes(bytes));
            return std::nullopt;
        }
        if (length > kStateSizeLimit) {
            stop("launcher-state is " + std::to_string(length) +
                 " bytes, over the starter's limit of 160; it holds four short lines: write it again");
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
        const std::wstring full_path = detail::full_path_name(executable);
        if (full_path.size() > kMaxStartablePathLength) {
            add(stops_start, shown + "\\QorLauncher.exe's full path is " + std::to_string(full_path.size()) +
                                 " characters, longer than Windows starts a program from (259)" + consequence +
                                 "; install the launcher root in a shorter path");
        }
        const std::optional<PeImage> image = read_pe_image(executable);
        if (!image) {
            add(stops_start, shown + "\\QorLauncher.exe is not a Windows program (no valid PE image)" + consequence +
                                 "; install the version again");
            return;
        }
        if (image->machine != detail::kMachineAmd64 && image->machine != detail::kMachineI386) {
            add(stops_start, shown + "\\QorLauncher.exe is built for " + detail::machine_name(image->machine) +
                                 ", which x64 Windows does not start" + consequence +
                                 "; install a build for x64 (or x86)");
        }
        if (image->truncated) {
            add(stops_start, shown + "\\QorLauncher.exe is cut short: its sections reach past the end of the file" +
                                 consequence + "; install the version again (the copy or download was interrupted)");
        }
        check_dlls(folder, shown, *image, stops_start, consequence);
        check_files(identity, shown);
    }

    // Presence and sizes against the version's manifest, without hashing: QorRoot verify
    // hashes. The starter still starts such a version, so these only spoil it.
    void check_files(const std::string& identity, const std::string& shown) {
        static constexpr const char* kWhat[] = {"", "is missing", "has another size than released",
                                                "is not in the release"};
        std::vector<VersionProblem> problems;
        try {
            problems = detail::compare_version_files(root_, identity, /*hash_contents=*/false);
        } catch (const KitError& error) {
            note(shown + "'s files cannot be compared with its manifest (" + error.what() +
                 "); install the version again");
            return;
        }
        for (const VersionProblem& problem : problems) {
            std::string path = problem.path;
            std::replace(path.begin(), path.end(), '/', '\\');
            note(shown + "\\" + path + " " + kWhat[static_cast<int>(problem.kind)] +
                 "; install the version again (QorRoot verify hashes every file)");
        }
    }

    // The loader looks beside the launcher first, then in the system folder, and loads each
    // DLL's own imports the same way: a DLL shipped beside it pulls in what it needs in turn.
    void check_dlls(const std::wstring& folder, const std::string& shown, const PeImage& launcher, bool stops_start,
                    const std::string& consequence) {
        std::vector<std::pair<std::string, std::vector<std::string>>> pending{
            {"QorLauncher.exe", launcher.imported_dlls}};
        const auto is_beside = [&](const std::string& dll) { return is_file(join(folder, widen_ascii(dll))); };
        const bool imports_kit =
            std::any_of(launcher.imported_dlls.begin(), launcher.imported_dlls.end(),
                        [](const std::string& dll) { return lower_ascii(dll) == "qorlauncherkit.dll"; });
        if (!imports_kit && detail::file_names_text(join(folder, kLauncherExecutableName), kKitDllName)) {
            if (is_beside(std::string(kKitDllName))) {
                pending.push_back({"QorLauncher.exe", {std::string(kKitDllName)}});
            } else {
                add(stops_start, shown +
                                     "\\QorLauncher.exe loads QorLauncherKit.dll at run time (its bytes name it), "
                                     "and that DLL is not beside it, so the launcher fails as it starts" +
                                     consequence + "; ship QorLauncherKit.dll in the version's folder");
            }
        }
        std::vector<std::string> seen;
        while (!pending.empty() && seen.size() < kMaxDllsBeside) {
            const auto [importer, dlls] = std::move(pending.back());
            pending.pop_back();
            for (const std::string& dll : dlls) {
                if (is_api_set(dll)) continue;
                if (!is_beside(dll)) {
                    if (!system_.empty() && is_file(join(system_, widen_ascii(dll)))) continue;
                    const std::string by = importer == "QorLauncher.exe" ? "" : " (beside QorLauncher.exe)";
                    add(stops_start, shown + "\\" + importer + by + " imports " + dll +
                                         ", which is neither a system DLL nor beside it, so it cannot start" +
                                         consequence +
                                         (by.empty() ? "; link the launcher with -static, or ship the DLL in its folder"
                                                     : "; ship " + dll + " in the version's folder too"));
                    continue;
                }
                if (std::find(seen.begin(), seen.end(), lower_ascii(dll)) != seen.end()) continue;
                seen.push_back(lower_ascii(dll));
                const std::optional<PeImage> image = read_pe_image(join(folder, widen_ascii(dll)));
                if (!image || image->truncated || image->machine != launcher.machine) {
                    const std::string why = !image ? " is not a valid DLL (no PE image)"
                                            : image->truncated
                                                ? " is cut short"
                                                : " is built for " + detail::machine_name(image->machine) +
                                                      ", the launcher for " + detail::machine_name(launcher.machine);
                    add(stops_start, shown + "\\" + dll + why + ", so the launcher cannot start" + consequence +
                                         "; ship a working copy of " + dll + " for the launcher's machine");
                    continue;
                }
                pending.push_back({dll, image->imported_dlls});
            }
        }
    }

    void check_leftovers() {
        for (const FolderEntry& entry : detail::list_entries(root_)) {
            const std::wstring_view name = entry.name;
            const bool marker = has_hex_suffix(name, kMarkerTemporaryPrefix, kReadinessTokenLength) ||
                                has_hex_suffix(name, kMarkerPrefix, kReadinessTokenLength);
            // While a starter runs, a marker is its live launcher's, not a leftover.
            if (marker && starter_running_) continue;
            if (name == kStarterStateTemporary || name == kStagingFileName || marker) {
                note("temporary " + utf8(name) +
                     " left behind by an interrupted start or write; delete it while no launcher runs");
            }
        }
        if (versions_refused_) return;
        for (const FolderEntry& entry : detail::list_entries(at_root(kVersionsFolderName))) {
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
    bool starter_running_ = false;
    std::vector<RootFinding> findings_;
};

}  // namespace

std::vector<RootFinding> check_launcher_root(const std::wstring& launcher_root) {
    detail::require_launcher_root(launcher_root);
    return Checker(launcher_root).run();
}

}  // namespace qor::kit

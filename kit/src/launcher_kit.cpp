#include "qor/launcher_kit.h"

#include <windows.h>

#include "kit_files.h"
#include "root_argument.h"
#include "update_record.h"

namespace qor::kit {

namespace {

using detail::FindHandle;
using detail::join;
using detail::kLowerHexDigits;

// Nothing valid is longer than 147 bytes; the starter refuses more than 160.
constexpr DWORD kStateReadLimit = 161;
using detail::kMarkerTemporaryPrefix;
using detail::widen_ascii;

bool is_lower_hex(std::string_view text, std::size_t length) {
    return text.size() == length && text.find_first_not_of(kLowerHexDigits) == std::string_view::npos;
}

std::string narrow_ascii(std::wstring_view text) {
    std::string result;
    result.reserve(text.size());
    for (const wchar_t unit : text) {
        if (unit > 0x7F) return {};  // no identity or token can hold it
        result += static_cast<char>(unit);
    }
    return result;
}

bool is_regular_file(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A launcher killed while it signalled readiness leaves its temporary behind. Only
// names of exactly that shape go; the caller's own has already been moved into place.
void remove_stale_marker_temporaries(const std::wstring& launcher_root) {
    WIN32_FIND_DATAW found{};
    const std::wstring pattern = join(launcher_root, std::wstring(kMarkerTemporaryPrefix) + L"*");
    const FindHandle search(::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                                               /*lpSearchFilter=*/nullptr, /*dwAdditionalFlags=*/0));
    if (!search.valid()) return;
    do {
        const std::wstring_view name = found.cFileName;
        if (detail::has_hex_suffix(name, kMarkerTemporaryPrefix, kReadinessTokenLength)) {
            ::DeleteFileW(join(launcher_root, name).c_str());  // one still held stays for a later run
        }
    } while (::FindNextFileW(search.get(), &found));
}

bool same_folder(const std::wstring& a, const std::wstring& b) {
    auto trimmed = [](std::wstring path) {
        while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
        return path;
    };
    const std::wstring full_a = trimmed(detail::full_path_name(a));
    const std::wstring full_b = trimmed(detail::full_path_name(b));
    return ::CompareStringOrdinal(full_a.c_str(), static_cast<int>(full_a.size()), full_b.c_str(),
                                  static_cast<int>(full_b.size()), /*bIgnoreCase=*/TRUE) == CSTR_EQUAL;
}

// Whether this process is a start, in launcher_root, of a run in which the starter rolled an
// update back: it passes --launcher-update-rollback to every later start of that run. Read from
// the command line Windows holds, so that it answers for launchers in any language.
bool started_after_rollback_in(const std::wstring& launcher_root) {
    using SplitCommandLine = LPWSTR*(WINAPI*)(LPCWSTR, int*);
    // Loaded here rather than imported: every launcher would otherwise load shell32 and user32
    // at start-up for a call made only when it stages.
    const HMODULE shell = ::LoadLibraryExW(L"shell32.dll", /*hFile=*/nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (shell == nullptr) return false;
    const auto split =
        reinterpret_cast<SplitCommandLine>(reinterpret_cast<void (*)()>(::GetProcAddress(shell, "CommandLineToArgvW")));
    int count = 0;
    wchar_t** const argv = split == nullptr ? nullptr : split(::GetCommandLineW(), &count);
    std::vector<std::wstring> arguments;
    for (int i = 1; argv != nullptr && i < count; ++i) arguments.emplace_back(argv[i]);
    if (argv != nullptr) ::LocalFree(argv);
    ::FreeLibrary(shell);
    try {
        const LaunchArguments launch = read_launch_arguments(arguments);
        return launch.after_rollback && same_folder(launch.launcher_root, launcher_root);
    } catch (const KitError&) {
        return false;  // not a start by the starter
    }
}

}  // namespace

LaunchArguments read_launch_arguments(const std::vector<std::wstring>& arguments) {
    LaunchArguments launch;
    const std::size_t count = arguments.size();
    const bool has_tail = count >= 4 && arguments[count - 4] == kRootOption && arguments[count - 2] == kReadyOption;
    std::size_t user_count = count;
    if (has_tail) {
        launch.started_by_starter = true;
        launch.launcher_root = arguments[count - 3];
        launch.readiness_token = narrow_ascii(arguments[count - 1]);
        if (launch.launcher_root.empty() || !is_lower_hex(launch.readiness_token, kReadinessTokenLength)) {
            throw KitError("Malformed launcher arguments", ErrorKind::invalid_argument);
        }
        user_count = count - 4;
        // The notice only ever comes right before the tail.
        if (user_count > 0 && arguments[user_count - 1] == kRollbackOption) {
            launch.after_rollback = true;
            --user_count;
        }
    }
    // The starter refuses these from the user, so anywhere else they mean a broken start.
    for (std::size_t i = 0; i < user_count; ++i) {
        if (arguments[i] == kRootOption || arguments[i] == kReadyOption)
            throw KitError("Malformed launcher arguments", ErrorKind::invalid_argument);
    }
    launch.user_arguments.assign(arguments.begin(), arguments.begin() + static_cast<std::ptrdiff_t>(user_count));
    return launch;
}

LaunchArguments read_launch_arguments(int argc, const wchar_t* const* argv) {
    std::vector<std::wstring> arguments;
    for (int i = 1; i < argc; ++i) arguments.emplace_back(argv[i]);
    return read_launch_arguments(arguments);
}

bool is_valid_version_identity(std::string_view identity) { return is_lower_hex(identity, kVersionIdentityLength); }

std::string own_version_identity() {
    std::wstring buffer(32'768, L'\0');
    const DWORD length = ::GetModuleFileNameW(/*hModule=*/nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    const DWORD error = ::GetLastError();
    if (length == 0 || length >= buffer.size()) detail::fail("Cannot locate launcher executable", error);
    buffer.resize(length);
    const std::size_t file_start = buffer.find_last_of(L"\\/");
    if (file_start == std::wstring::npos) throw KitError("Launcher is not inside a version folder");
    const std::wstring folder = buffer.substr(0, file_start);
    const std::size_t name_start = folder.find_last_of(L"\\/");
    const std::string identity = narrow_ascii(folder.substr(name_start == std::wstring::npos ? 0 : name_start + 1));
    if (!is_valid_version_identity(identity)) throw KitError("Launcher is not inside a version folder");
    return identity;
}

void signal_readiness(const LaunchArguments& launch, std::string_view own_identity) {
    if (!launch.started_by_starter) throw KitError("Not started by the starter", ErrorKind::invalid_argument);
    detail::require_launcher_root(launch.launcher_root);
    if (!is_valid_version_identity(own_identity))
        throw KitError("Invalid version identity", ErrorKind::invalid_identity);
    const std::wstring token = widen_ascii(launch.readiness_token);
    const std::wstring marker = join(launch.launcher_root, std::wstring(kMarkerPrefix) + token);
    // Any other name will do: the starter only ever looks for the exact marker name.
    const std::wstring temporary = join(launch.launcher_root, std::wstring(kMarkerTemporaryPrefix) + token);
    DWORD error = detail::write_fresh_file(temporary, std::string(own_identity) + "\n", /*flush_to_device=*/false);
    if (error == 0) error = detail::move_file(temporary, marker, MOVEFILE_REPLACE_EXISTING);
    if (error != 0) {
        ::DeleteFileW(temporary.c_str());
        detail::fail("Cannot signal readiness", error);
    }
    remove_stale_marker_temporaries(launch.launcher_root);
}

void signal_readiness(const LaunchArguments& launch) {
    if (!launch.started_by_starter) throw KitError("Not started by the starter", ErrorKind::invalid_argument);
    signal_readiness(launch, own_version_identity());
}

StateRecord parse_launcher_state(std::string_view bytes) {
    std::vector<std::string_view> lines;
    while (!bytes.empty()) {
        const std::size_t end = bytes.find('\n');
        lines.push_back(bytes.substr(0, end));
        bytes = end == std::string_view::npos ? std::string_view{} : bytes.substr(end + 1);
    }
    if (lines.size() != 4 || lines[0] != kStateMagicLine || !is_valid_version_identity(lines[1]) ||
        (lines[2] != "-" && !is_valid_version_identity(lines[2])) || (lines[3] != "0" && lines[3] != "1") ||
        (lines[2] == "-" && lines[3] == "1")) {
        throw KitError("Invalid launcher state");
    }
    return StateRecord{std::string(lines[1]), lines[2] == "-" ? std::string{} : std::string(lines[2]), lines[3] == "1"};
}

std::string format_launcher_state(const StateRecord& state) {
    std::string text(kStateMagicLine);
    text += '\n';
    text += state.current_version + '\n';
    text += (state.staged_version.empty() ? std::string("-") : state.staged_version) + '\n';
    text += state.trial_pending ? "1\n" : "0\n";
    return text;
}

StateRecord read_launcher_state(const std::wstring& launcher_root) {
    detail::require_launcher_root(launcher_root);
    const std::wstring path = join(launcher_root, kStateFileName);
    // Delete sharing too: the starter replaces the file by a rename, which any handle
    // open without it would make fail (under Wine any open handle does, so it is brief).
    const detail::FileHandle file(::CreateFileW(path.c_str(), GENERIC_READ,
                                                /*dwShareMode=*/FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                /*lpSecurityAttributes=*/nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                                /*hTemplateFile=*/nullptr));
    if (!file.valid()) {
        const DWORD error = ::GetLastError();
        detail::fail("Cannot read launcher state", error);
    }
    std::string bytes(kStateReadLimit, '\0');
    DWORD read = 0;
    if (!::ReadFile(file.get(), bytes.data(), kStateReadLimit, &read, /*lpOverlapped=*/nullptr)) {
        const DWORD error = ::GetLastError();
        detail::fail("Cannot read launcher state", error);
    }
    bytes.resize(read);
    return parse_launcher_state(bytes);
}

void stage_version(const std::wstring& launcher_root, std::string_view identity, const StageOptions& options) {
    detail::require_launcher_root(launcher_root);
    if (!is_valid_version_identity(identity)) throw KitError("Invalid version identity", ErrorKind::invalid_identity);
    const std::wstring executable =
        join(join(join(launcher_root, detail::kVersionsFolderName), widen_ascii(identity)), kLauncherExecutableName);
    // The starter would refuse to start it, so its trial could only fail.
    detail::refuse_redirects(executable);
    // Held until launcher-state names the version, so that no prune removes it in between.
    const detail::FileHandle update_lock = detail::take_update_lock(launcher_root);
    if (!is_regular_file(executable))
        throw KitError("Staged version is not installed", ErrorKind::version_not_installed);

    // The starter writes launcher-state itself while a trial is pending (the promotion at
    // readiness, or the rollback): a staging written before that would be overwritten, or
    // would keep the old version as current.
    StateRecord state = detail::read_state_without_trial(launcher_root);
    if (state.trial_pending) throw KitError("Cannot stage version while a trial is pending");
    const detail::UpdateRecord previous = detail::read_update_record(launcher_root);
    if (detail::failed_identity(previous, state) == identity) {
        if (!options.retry_failed_update) {
            throw KitError("Update already failed its trial", ErrorKind::update_already_failed);
        }
        // A launcher that retries at every start would otherwise try it for ever in one run.
        if (started_after_rollback_in(launcher_root)) {
            throw KitError("Update already failed its trial in this run; a later start may retry it",
                           ErrorKind::update_already_failed);
        }
    }
    const detail::UpdateRecord record{std::string(identity), state.current_version};
    state.staged_version = std::string(identity);
    state.trial_pending = false;

    // No record may outlive the staging it describes, or a later rollback to its current
    // version would name a good update as failed: it is cleared before the staging is
    // published, and the stage fails while it cannot be. A staging whose own record is then
    // lost (killed between the two) only leaves its failure unnamed.
    detail::refuse_unwritable_update_record(launcher_root);
    DWORD error = detail::replace_update_record(launcher_root, {});
    if (error != 0) detail::fail("Cannot stage version", error);
    const std::wstring temporary = join(launcher_root, kStagingFileName);
    error = detail::write_fresh_file(temporary, format_launcher_state(state), /*flush_to_device=*/true);
    if (error == 0) {
        error = detail::move_file(temporary, join(launcher_root, kStateFileName),
                                  MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    }
    if (error != 0) {
        ::DeleteFileW(temporary.c_str());
        detail::replace_update_record(launcher_root, detail::format_update_record(previous));
        detail::fail("Cannot stage version", error);
    }
    detail::replace_update_record(launcher_root, detail::format_update_record(record));
}

}  // namespace qor::kit

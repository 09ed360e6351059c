// QorRoot.exe: lays out, checks and removes a launcher root.
//
//   QorRoot init <root> <version-folder>   first install; the starter is the QorStarter.exe beside QorRoot.exe
//   QorRoot check <root>                   one line per finding, each saying what to do
//   QorRoot remove <root>                  uninstall, refused while a starter runs
//   QorRoot create-state <root> [<identity>]
//                                          a launcher-state naming an installed version current (the only
//                                          one when none is named), for a root that has lost its own
//
// Exit codes, for installer scripts:
//   0  done; for check: nothing found, the root starts
//   1  check: the root starts, but something found spoils it (listed)
//   2  check: the root would not start (listed)
//   3  refused or failed, nothing changed by mistake (one line on standard error)
//   4  remove: removed what it could, the paths left are listed
//   64 usage: an unknown verb or a wrong number of arguments

#include <windows.h>

#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "qor/launcher_root.h"

namespace {

constexpr int kDone = 0;
constexpr int kStartsWithFindings = 1;
constexpr int kWouldNotStart = 2;
constexpr int kRefused = 3;
constexpr int kLeftBehind = 4;
constexpr int kUsage = 64;

constexpr std::string_view kUsageText =
    "usage: QorRoot init <root> <version-folder> | check <root> | remove <root> | create-state <root> [<identity>]";

std::string utf8(std::wstring_view text) {
    if (text.empty()) return {};
    const int size = ::WideCharToMultiByte(CP_UTF8, /*dwFlags=*/0, text.data(), static_cast<int>(text.size()),
                                           /*lpMultiByteStr=*/nullptr, 0, /*lpDefaultChar=*/nullptr,
                                           /*lpUsedDefaultChar=*/nullptr);
    std::string result(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    ::WideCharToMultiByte(CP_UTF8, /*dwFlags=*/0, text.data(), static_cast<int>(text.size()), result.data(), size,
                          /*lpDefaultChar=*/nullptr, /*lpUsedDefaultChar=*/nullptr);
    return result;
}

// A console shows UTF-16 as written; a pipe or file gets UTF-8, whatever the code page.
void write_line(DWORD which, std::string_view text) {
    const HANDLE output = ::GetStdHandle(which);
    if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
    const std::string line = std::string(text) + "\r\n";
    DWORD mode = 0;
    if (::GetConsoleMode(output, &mode)) {
        std::wstring wide(line.size(), L'\0');
        const int length = ::MultiByteToWideChar(CP_UTF8, /*dwFlags=*/0, line.data(), static_cast<int>(line.size()),
                                                 wide.data(), static_cast<int>(wide.size()));
        DWORD written = 0;
        ::WriteConsoleW(output, wide.data(), static_cast<DWORD>(length > 0 ? length : 0), &written,
                        /*lpReserved=*/nullptr);
        return;
    }
    DWORD written = 0;
    ::WriteFile(output, line.data(), static_cast<DWORD>(line.size()), &written, /*lpOverlapped=*/nullptr);
}

void say(std::string_view text) { write_line(STD_OUTPUT_HANDLE, text); }
void complain(std::string_view text) { write_line(STD_ERROR_HANDLE, "QorRoot: " + std::string(text)); }

std::wstring beside_this_program(std::wstring_view name) {
    std::wstring path(32'768, L'\0');
    const DWORD length = ::GetModuleFileNameW(/*hModule=*/nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) throw qor::kit::KitError("Cannot locate QorRoot.exe");
    path.resize(length);
    return path.substr(0, path.find_last_of(L"\\/") + 1) + std::wstring(name);
}

// The kit acts only on roots named absolutely; a user names them as a shell does, from the
// current folder. An empty argument stays empty, for the kit to refuse.
std::wstring absolute(const std::wstring& path) {
    if (path.empty()) return path;
    // Making it absolute drops a last name's trailing spaces and dots: "C:\\x " would become C:\\x.
    const std::wstring_view name = std::wstring_view(path).substr(path.find_last_of(L"\\/") + 1);
    if (name != L"." && name != L".." && (path.back() == L' ' || path.back() == L'.')) {
        throw qor::kit::KitError(
            "Path ends in a space or a dot, which Windows drops, so it names another folder: \"" + utf8(path) + "\"",
            qor::kit::ErrorKind::invalid_argument);
    }
    std::wstring full(::GetFullPathNameW(path.c_str(), 0, /*lpBuffer=*/nullptr, /*lpFilePart=*/nullptr), L'\0');
    const DWORD length =
        ::GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), /*lpFilePart=*/nullptr);
    if (length == 0 || length >= full.size()) {
        const DWORD error = ::GetLastError();
        throw qor::kit::KitError("Cannot make the path absolute (error " + std::to_string(error) + "): " + utf8(path),
                                 qor::kit::ErrorKind::invalid_argument);
    }
    full.resize(length);
    return full;
}

int initialize(const std::wstring& root, const std::wstring& version_folder) {
    const std::string identity =
        qor::kit::initialize_launcher_root(root, beside_this_program(qor::kit::kStarterExecutableName), version_folder);
    say("initialized " + utf8(root) + " with version " + identity);
    return kDone;
}

int check(const std::wstring& root) {
    const std::vector<qor::kit::RootFinding> findings = qor::kit::check_launcher_root(root);
    bool stops = false;
    for (const qor::kit::RootFinding& finding : findings) {
        say((finding.stops_start ? "error: " : "warning: ") + finding.text);
        stops = stops || finding.stops_start;
    }
    if (findings.empty()) say("ok: " + utf8(root) + " would start");
    if (stops) return kWouldNotStart;
    return findings.empty() ? kDone : kStartsWithFindings;
}

int remove(const std::wstring& root) {
    const std::vector<std::wstring> left = qor::kit::remove_launcher_root(root);
    for (const std::wstring& path : left) say("left: " + utf8(path));
    if (!left.empty()) return kLeftBehind;
    say("removed " + utf8(root));
    return kDone;
}

int create_state(const std::wstring& root, const wchar_t* identity_argument) {
    const std::string identity =
        identity_argument == nullptr ? qor::kit::only_installed_version(root) : utf8(identity_argument);
    qor::kit::create_launcher_state(root, identity);
    say("wrote launcher-state of " + utf8(root) + " with version " + identity + " current");
    return kDone;
}

int run(int argc, wchar_t** argv) {
    const std::wstring_view verb = argc > 1 ? argv[1] : L"";
    if (verb == L"init" && argc == 4) return initialize(absolute(argv[2]), absolute(argv[3]));
    if (verb == L"check" && argc == 3) return check(absolute(argv[2]));
    if (verb == L"remove" && argc == 3) return remove(absolute(argv[2]));
    if (verb == L"create-state" && (argc == 3 || argc == 4)) {
        return create_state(absolute(argv[2]), argc == 4 ? argv[3] : nullptr);
    }
    if (verb == L"init" || verb == L"check" || verb == L"remove" || verb == L"create-state") {
        complain("wrong number of arguments for " + utf8(verb) + "; " + std::string(kUsageText));
    } else {
        complain((verb.empty() ? std::string("no verb") : "unknown verb \"" + utf8(verb) + "\"") + "; " +
                 std::string(kUsageText));
    }
    return kUsage;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& failure) {
        complain(failure.what());
        return kRefused;
    }
}

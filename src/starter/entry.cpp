#include "starter/entry.h"

#include <windows.h>

#include <cstdio>
#include <exception>

#include "base/failure.h"
#include "starter/startup.h"

namespace qor {

namespace {

constexpr std::wstring_view kBootstrapVersionOption = L"--bootstrap-version";
constexpr std::wstring_view kLauncherRootOption = L"--launcher-root";
constexpr std::wstring_view kLauncherReadyOption = L"--launcher-ready";

// USER32 is loaded only when a failure must be shown: bringing it up costs more
// than the rest of a normal start. It comes from System32 and nowhere else.
void show_failure(const char* message) {
    HMODULE user32 = ::LoadLibraryExW(L"user32.dll", /*hFile=*/nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (user32 == nullptr) return;
    using MessageBoxAFunction = int(WINAPI*)(HWND, LPCSTR, LPCSTR, UINT);
    const auto message_box =
        reinterpret_cast<MessageBoxAFunction>(reinterpret_cast<void (*)()>(::GetProcAddress(user32, "MessageBoxA")));
    if (message_box != nullptr) message_box(/*hWnd=*/nullptr, message, kErrorCaption, MB_ICONERROR);
}

}  // namespace

EntryRequest read_starter_arguments(int argc, const wchar_t* const* argv) {
    EntryRequest request;
    for (int i = 1; i < argc; ++i) {
        const std::wstring_view argument = argv[i];
        if (argument == kBootstrapVersionOption) return EntryRequest{true, {}};
        if (argument == kLauncherRootOption || argument == kLauncherReadyOption) {
            throw Failure("Reserved launcher argument");
        }
        request.forwarded.emplace_back(argument);
    }
    return request;
}

Path locate_launcher_root() {
    std::wstring buffer(kModulePathBufferUnits, L'\0');
    const DWORD length = ::GetModuleFileNameW(/*hModule=*/nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0 || length >= kModulePathBufferUnits) throw Failure("Cannot locate launcher starter");
    buffer.resize(length);
    return parent_path(buffer);
}

int run_entry(int argc, const wchar_t* const* argv) {
    try {
        EntryRequest request = read_starter_arguments(argc, argv);
        if (request.answer_bootstrap_version) {
            std::fputs("1\n", stdout);  // text mode: the bytes are "1" CR LF
            return 0;
        }
        return run_startup_sequence(locate_launcher_root(), request.forwarded);
    } catch (const std::exception& failure) {
        show_failure(failure.what());
        return 1;
    }
}

}  // namespace qor

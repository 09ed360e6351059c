// Times one install_version and one `xcopy /E` of the same tree, from inside Wine and on
// the performance counter, in the order given. Prints one JSON object; bench.py runs the
// rounds, alternates the order and clears the targets between them.
//
//   install_timer <source folder> <launcher root for the install> <xcopy target> install-first|xcopy-first

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "performance_clock.h"
#include "qor/launcher_kit.h"

namespace {

// Wine's own xcopy, as a user would run it; its time includes its process start.
double time_xcopy(const std::wstring& source, const std::wstring& target) {
    std::wstring line = L"xcopy.exe /E /I /Q /Y \"" + source + L"\" \"" + target + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    const double started = now_ms();
    if (!CreateProcessW(/*lpApplicationName=*/nullptr, line.data(), nullptr, nullptr, /*bInheritHandles=*/FALSE,
                        /*dwCreationFlags=*/0, nullptr, nullptr, &startup, &info)) {
        std::fprintf(stderr, "install_timer: cannot start xcopy (error %lu)\n", GetLastError());
        std::exit(2);
    }
    WaitForSingleObject(info.hProcess, INFINITE);
    const double took = now_ms() - started;
    DWORD code = 1;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    if (code != 0) {
        std::fprintf(stderr, "install_timer: xcopy exited with %lu\n", code);
        std::exit(2);
    }
    return took;
}

double time_install(const std::wstring& source, const std::wstring& root) {
    const double started = now_ms();
    try {
        qor::kit::install_version(root, source);
    } catch (const qor::kit::KitError& error) {
        std::fprintf(stderr, "install_timer: %s\n", error.what());
        std::exit(2);
    }
    return now_ms() - started;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: install_timer <source> <install root> <xcopy target> install-first|xcopy-first\n");
        return 2;
    }
    const bool install_first = std::wstring(argv[4]) == L"install-first";
    double install_ms = 0;
    double xcopy_ms = 0;
    if (install_first) install_ms = time_install(argv[1], argv[2]);
    xcopy_ms = time_xcopy(argv[1], argv[3]);
    if (!install_first) install_ms = time_install(argv[1], argv[2]);
    std::printf("{\"install_ms\": %.1f, \"xcopy_ms\": %.1f}\n", install_ms, xcopy_ms);
    return 0;
}

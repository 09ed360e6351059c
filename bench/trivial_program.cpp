// The baseline: a Windows program of the same kind as the starter (GUI
// subsystem, wide entry, static runtime) that does nothing, prints one line
// when asked to with any argument, or sleeps for "--sleep <ms>".

#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc > 2 && std::wcscmp(argv[1], L"--sleep") == 0) {
        Sleep(static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
        return 0;
    }
    if (argc > 1) std::fputs("1\n", stdout);
    return 0;
}

// A launcher for measurements: the very first thing it does is read the
// performance counter, so the time from a process start to this launcher's own
// code can be taken on one clock. Then it behaves as a well-mannered launcher:
// it writes "first-instruction" beside itself (the counter value), writes the
// readiness marker with its identity (its folder's name), optionally stays
// alive for the milliseconds in "hold-ms" beside itself, and exits 0.

#include <windows.h>

#include <fstream>
#include <string>

namespace {

std::wstring folder_of(const std::wstring& path) { return path.substr(0, path.find_last_of(L"\\/")); }

std::string ascii(const std::wstring& text) { return std::string(text.begin(), text.end()); }

}  // namespace

int wmain(int argc, wchar_t** argv) {
    LARGE_INTEGER first{};
    QueryPerformanceCounter(&first);

    std::wstring self(MAX_PATH * 4, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    const std::wstring folder = folder_of(self);
    const std::wstring identity = folder.substr(folder.find_last_of(L"\\/") + 1);

    std::wstring root;
    std::wstring token;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::wstring(argv[i]) == L"--launcher-root") root = argv[i + 1];
        if (std::wstring(argv[i]) == L"--launcher-ready") token = argv[i + 1];
    }

    {
        // Written under another name and moved, so a reader never sees half a number.
        const std::wstring partial = folder + L"\\first-instruction.partial";
        std::ofstream(partial.c_str(), std::ios::binary) << first.QuadPart;
        MoveFileExW(partial.c_str(), (folder + L"\\first-instruction").c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    if (!root.empty() && !token.empty()) {
        std::ofstream((root + L"\\ready-" + token).c_str(), std::ios::binary) << ascii(identity) << '\n';
    }
    unsigned long hold = 0;
    std::ifstream((folder + L"\\hold-ms").c_str()) >> hold;
    if (hold > 0) Sleep(hold);
    return 0;
}

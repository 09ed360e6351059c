// A windowless child process for the process tests. Its arguments are verbs, run in order:
//   exit <code>     end now with that exit code
//   sleep <ms>
//   print <text>    the text and a line feed on standard output
//   cwd             the current directory and a line feed on standard output
// Without "exit" it ends with 0. Output is UTF-8 and written unbuffered, so
// nothing is lost when the process is terminated.

#include <windows.h>

#include <cwchar>
#include <string>

namespace {

void write_line(const std::wstring& text) {
    std::string bytes;
    if (!text.empty()) {
        const int size =
            WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
        bytes.resize(static_cast<std::size_t>(size));
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr,
                            nullptr);
    }
    bytes += '\n';
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
              /*lpOverlapped=*/nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::wstring verb = argv[i];
        if (verb == L"cwd") {
            std::wstring cwd(32768, L'\0');
            cwd.resize(GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data()));
            write_line(cwd);
            continue;
        }
        if (i + 1 >= argc) return 2;  // a verb that needs a value came last
        const wchar_t* value = argv[++i];
        if (verb == L"exit") {
            ExitProcess(static_cast<UINT>(std::wcstoul(value, nullptr, 10)));
        } else if (verb == L"sleep") {
            Sleep(static_cast<DWORD>(std::wcstoul(value, nullptr, 10)));
        } else if (verb == L"print") {
            write_line(value);
        } else {
            return 2;
        }
    }
    return 0;
}

// Plays QorLauncher.exe for the tests. It reads "script.txt" beside itself and
// appends one JSON line per run to "received.jsonl" (arguments, current folder).
//
// Script lines, run in order; "@N " in front limits a line to the N-th run:
//   ready [exact|lf|crlf|wrong|oversized|empty|partial]   write the readiness marker
//   ready-from <file>                                       the marker holds that file's bytes
//   stage <identity>                                        stage a version in launcher-state
//   snapshot <file>                                         copy launcher-state (as it is now) beside itself
//   ready-folder                                            make a folder where the marker belongs
//   spawn <command line>                                    run it, wait, print "exit-code <32-bit code>"
//   sleep <ms>
//   print <text>                                            one line on standard output
//   exit <code>
//   announce <file>                                         write the readiness token to that file
//   wait-for <file>                                         wait (at most 60 s) until that file exists
//   hold <file>                                             open that file of the root without delete sharing,
//                                                           as a scanner or indexer does, until "let-go"
//   let-go
//   cd <folder>                                             the current folder of later "spawn"s
//   load <dll>                                              LoadLibrary it, as a binding loads the kit; exit 1 if
//                                                           that fails
// Without "exit" it ends with 0. The identity it claims is its folder's name.

#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size, nullptr, nullptr);
    return result;
}

std::wstring widen(const std::string& text) {
    if (text.empty()) return {};
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring result(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size);
    return result;
}

std::string json_string(const std::wstring& text) {
    std::string out = "\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", static_cast<unsigned>(c));
            out += buffer;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::wstring folder_of(const std::wstring& path) { return path.substr(0, path.find_last_of(L"\\/")); }

void write_file(const std::wstring& path, const std::string& bytes) {
    std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string read_file(const std::wstring& path) {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

int count_runs(const std::wstring& log) {
    std::ifstream in(std::filesystem::path(log), std::ios::binary);
    int runs = 0;
    for (std::string line; std::getline(in, line);) ++runs;
    return runs;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring self(32768, L'\0');
    self.resize(GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    const std::wstring folder = folder_of(self);
    const std::string identity = narrow(folder.substr(folder.find_last_of(L"\\/") + 1));

    std::wstring root;
    std::wstring token;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::wstring(argv[i]) == L"--launcher-root") root = argv[i + 1];
        if (std::wstring(argv[i]) == L"--launcher-ready") token = argv[i + 1];
    }

    const std::wstring log = folder + L"\\received.jsonl";
    const int run = count_runs(log) + 1;
    {
        std::wstring cwd(32768, L'\0');
        cwd.resize(GetCurrentDirectoryW(static_cast<DWORD>(cwd.size()), cwd.data()));
        std::string line = "{\"run\": " + std::to_string(run) + ", \"cwd\": " + json_string(cwd) +
                           ", \"command_line\": " + json_string(GetCommandLineW()) + ", \"args\": [";
        for (int i = 1; i < argc; ++i) line += (i > 1 ? ", " : "") + json_string(argv[i]);
        line += "]}\n";
        std::ofstream out(std::filesystem::path(log), std::ios::binary | std::ios::app);
        out << line;
    }

    std::vector<HANDLE> held;
    std::ifstream script(std::filesystem::path(folder + L"\\script.txt"), std::ios::binary);
    for (std::string line; std::getline(script, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind('@', 0) == 0) {
            const std::size_t space = line.find(' ');
            if (std::stoi(line.substr(1, space - 1)) != run) continue;
            line = line.substr(space + 1);
        }
        std::istringstream words(line);
        std::string verb;
        std::string argument;
        words >> verb;
        std::getline(words >> std::ws, argument);

        if (verb == "ready" && !token.empty()) {
            const std::wstring marker = root + L"\\ready-" + token;
            std::string wrong(64, '0');
            if (argument.empty() || argument == "lf")
                write_file(marker, identity + "\n");
            else if (argument == "exact")
                write_file(marker, identity);
            else if (argument == "crlf")
                write_file(marker, identity + "\r\n");
            else if (argument == "wrong")
                write_file(marker, (identity == wrong ? std::string(64, '1') : wrong) + "\n");
            else if (argument == "oversized")
                write_file(marker, identity + "\n" + std::string(40, 'x'));
            else if (argument == "empty")
                write_file(marker, "");
            else if (argument == "partial") {
                write_file(marker, identity.substr(0, 20));
                Sleep(400);
                write_file(marker, identity + "\n");
            }
        } else if (verb == "ready-from" && !token.empty()) {
            write_file(root + L"\\ready-" + token,
                       read_file(folder + L"\\" + std::wstring(argument.begin(), argument.end())));
        } else if (verb == "stage") {
            const std::wstring state = root + L"\\launcher-state";
            std::istringstream lines(read_file(state));
            std::string magic;
            std::string current;
            std::getline(lines, magic);
            std::getline(lines, current);
            write_file(state, "Qor launcher 1\n" + current + "\n" + argument + "\n0\n");
        } else if (verb == "ready-folder" && !token.empty()) {
            CreateDirectoryW((root + L"\\ready-" + token).c_str(), nullptr);
        } else if (verb == "spawn") {
            // The Unix side of Wine sees only the low 8 bits of an exit code; this sees all 32.
            std::wstring command_line = widen(argument);
            STARTUPINFOW startup{};
            startup.cb = sizeof startup;
            PROCESS_INFORMATION process{};
            if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                                &process)) {
                std::printf("spawn-failed %lu\n", GetLastError());
                return 2;
            }
            WaitForSingleObject(process.hProcess, INFINITE);
            DWORD code = 0;
            GetExitCodeProcess(process.hProcess, &code);
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
            std::printf("exit-code %lu\n", code);
            std::fflush(stdout);
        } else if (verb == "snapshot") {
            write_file(folder + L"\\" + std::wstring(argument.begin(), argument.end()),
                       read_file(root + L"\\launcher-state"));
        } else if (verb == "announce") {
            write_file(folder + L"\\" + std::wstring(argument.begin(), argument.end()),
                       std::string(token.begin(), token.end()));
        } else if (verb == "wait-for") {
            const std::filesystem::path awaited(folder + L"\\" + std::wstring(argument.begin(), argument.end()));
            for (int waited = 0; waited < 60'000 && !std::filesystem::exists(awaited); waited += 20) Sleep(20);
        } else if (verb == "hold") {
            held.push_back(CreateFileW((root + L"\\" + widen(argument)).c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
        } else if (verb == "let-go") {
            for (HANDLE file : held) CloseHandle(file);
            held.clear();
        } else if (verb == "cd") {
            SetCurrentDirectoryW(widen(argument).c_str());
        } else if (verb == "sleep") {
            Sleep(static_cast<DWORD>(std::stoul(argument)));
        } else if (verb == "print") {
            std::printf("%s\n", argument.c_str());
            std::fflush(stdout);
        } else if (verb == "load") {
            if (LoadLibraryW(widen(argument).c_str()) == nullptr) return 1;
        } else if (verb == "exit") {
            return static_cast<int>(std::stoul(argument));
        }
    }
    return 0;
}

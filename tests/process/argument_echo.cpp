// Reports how this process's command line was split, for the round-trip tests.
// Standard output gets two blocks, each a header line with a count followed by
// one line per argument holding its UTF-16 code units as four hex digits each:
//   runtime <n>   the C runtime's wmain argv
//   split <n>     CommandLineToArgvW(GetCommandLineW())
// Hex keeps blanks, line feeds and lone surrogates intact on the way back.

#include <windows.h>
// shellapi.h needs windows.h first.
#include <shellapi.h>

#include <string>

namespace {

void append_hex(std::string& out, const wchar_t* argument) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (const wchar_t* unit = argument; *unit != L'\0'; ++unit) {
        const auto value = static_cast<unsigned>(*unit);
        for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xfu];
    }
    out += '\n';
}

void append_block(std::string& out, const char* name, int count, wchar_t** arguments) {
    out += name;
    out += ' ';
    out += std::to_string(count);
    out += '\n';
    for (int i = 0; i < count; ++i) append_hex(out, arguments[i]);
}

bool write_all(const std::string& bytes) {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    std::size_t written_total = 0;
    while (written_total < bytes.size()) {
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(bytes.size() - written_total);
        if (!WriteFile(output, bytes.data() + written_total, chunk, &written, /*lpOverlapped=*/nullptr)) return false;
        written_total += written;
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::string report;
    append_block(report, "runtime", argc, argv);

    int split_count = 0;
    wchar_t** split = CommandLineToArgvW(GetCommandLineW(), &split_count);
    if (split == nullptr) return 2;
    append_block(report, "split", split_count, split);
    LocalFree(split);

    return write_all(report) ? 0 : 3;
}

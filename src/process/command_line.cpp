#include "process/command_line.h"

namespace qor {

std::wstring quote_argument(std::wstring_view argument) {
    std::wstring quoted;
    quoted.reserve(argument.size() * 2 + 3);
    quoted += L'"';
    std::size_t pending_backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++pending_backslashes;
            continue;
        }
        if (c == L'"') {
            quoted.append(pending_backslashes * 2 + 1, L'\\');
        } else {
            quoted.append(pending_backslashes, L'\\');
        }
        quoted += c;
        pending_backslashes = 0;
    }
    quoted.append(pending_backslashes * 2, L'\\');
    quoted += L'"';
    return quoted;
}

std::wstring build_command_line(std::wstring_view executable_path, const ArgumentList& arguments) {
    std::wstring line = quote_argument(executable_path);
    for (const std::wstring& argument : arguments) {
        line += L' ';
        line += quote_argument(argument);
    }
    return line;
}

}  // namespace qor

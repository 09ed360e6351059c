#include "argument_generator.h"

namespace qor::test {

namespace {

constexpr std::wstring_view kWordCharacters = L"abcXYZ019-_=/:.,;'&|<>^%!*?()[]{}~`$#@+";
constexpr std::wstring_view kNonAscii[] = {L"\u00e9", L"\u00df", L"\u03a9", L"\u0416", L"\u4e2d\u6587",
                                           L"\u00a0", L"\u3000", L"\u2028", L"\ufffd", L"\ufeff"};
constexpr std::wstring_view kControls[] = {L"\n", L"\r", L"\r\n", L"\x0001", L"\x001f", L"\x007f", L"\x000b"};

std::size_t quoted_worst_case(std::size_t length) { return 2 * length + 3; }

}  // namespace

void ArgumentListGenerator::append_piece(std::wstring& argument) {
    switch (below(12)) {
        case 0:
        case 1:
            for (std::size_t n = 1 + below(8); n > 0; --n) argument += kWordCharacters[below(kWordCharacters.size())];
            break;
        case 2:
            argument.append(1 + below(3), L' ');
            break;
        case 3:
            argument += L'\t';
            break;
        case 4:
            argument += L'"';
            break;
        case 5:  // a backslash run; whatever comes next (or the end) decides how it is read
            argument.append(1 + below(6), L'\\');
            break;
        case 6:
            argument.append(1 + below(6), L'\\');
            argument += L'"';
            break;
        case 7:
            argument += kNonAscii[below(std::size(kNonAscii))];
            break;
        case 8: {
            const auto code_point = static_cast<std::uint32_t>(0x10000 + below(0x100000));
            argument += static_cast<wchar_t>(0xd800 + ((code_point - 0x10000) >> 10));
            argument += static_cast<wchar_t>(0xdc00 + ((code_point - 0x10000) & 0x3ff));
            break;
        }
        case 9:
            argument += kControls[below(std::size(kControls))];
            break;
        case 10:  // a lone surrogate is still one ordinary code unit
            argument += static_cast<wchar_t>((below(2) == 0 ? 0xd800 : 0xdc00) + below(0x400));
            break;
        default:
            argument += L"\\\\server\\share\\dir\\";
            break;
    }
}

std::wstring ArgumentListGenerator::next_argument() {
    std::wstring argument;
    const std::size_t kind = below(40);
    if (kind < 6) return argument;  // empty
    if (kind == 6) {                // long
        const std::size_t target = 1'000 + below(6'000);
        while (argument.size() < target) append_piece(argument);
        return argument;
    }
    for (std::size_t pieces = 1 + below(7); pieces > 0; --pieces) append_piece(argument);
    return argument;
}

ArgumentList ArgumentListGenerator::next() {
    ArgumentList list;
    std::size_t budget = quoted_budget_;
    for (std::size_t count = below(13); count > 0; --count) {
        std::wstring argument = next_argument();
        const std::size_t cost = quoted_worst_case(argument.size()) + 1;
        if (cost > budget) break;
        budget -= cost;
        list.push_back(std::move(argument));
    }
    return list;
}

}  // namespace qor::test

#pragma once
// One Windows command line from an executable path and arguments, such that the
// child's runtime splits it back into exactly the same arguments.

#include <string>
#include <string_view>
#include <vector>

namespace qor {

using ArgumentList = std::vector<std::wstring>;

// Always quoted. A run of n backslashes before a quote (or before the closing
// quote) becomes 2n backslashes, and the quote itself becomes \"; every other
// backslash and every other code unit is copied unchanged.
std::wstring quote_argument(std::wstring_view argument);

// The quoted executable path, then each quoted argument after one blank.
std::wstring build_command_line(std::wstring_view executable_path, const ArgumentList& arguments);

}  // namespace qor

#pragma once
// UTF-16 text as UTF-8, the encoding of every narrow text the starter shows.

#include <string>
#include <string_view>

namespace qor {

// Surrogate pairs become one four-byte sequence; a surrogate without its partner
// becomes U+FFFD, so that a strange file name can still be named in a message.
std::string to_utf8(std::wstring_view text);

}  // namespace qor

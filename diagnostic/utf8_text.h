#pragma once
// Text for people and scripts: what the configuration holds (UTF-16, possibly with lone
// surrogates) and what the check reports (one byte per unit) as valid UTF-8.

#include <string>
#include <string_view>

namespace halcyra {

// UTF-8 of `text`; a surrogate without its partner becomes U+FFFD.
std::string utf8FromUtf16(std::u16string_view text);

// UTF-8 of `bytes` read as Latin-1, one character per byte: the check's failure texts
// carry the low byte of every unit of a path, which need not be valid UTF-8.
std::string utf8FromLatin1(std::string_view bytes);

}  // namespace halcyra

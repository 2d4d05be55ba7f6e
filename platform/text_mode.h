#pragma once
// The C runtime's text-mode reading on Windows, as a pure function so that every
// platform reads configuration files the same way: each CR LF pair becomes LF, a lone
// CR stays, and the first byte 0x1A ends the content.

#include <string>
#include <string_view>

namespace halcyra::platform {

std::string applyTextMode(std::string_view bytes);

// Each byte as the UTF-16 unit of the same value (Latin-1): how the configuration's bytes
// and the system's 8-bit texts become UTF-16, never decoded, never sign-extended.
std::u16string widenBytes(std::string_view bytes);

// UTF-8 of `text`; a surrogate without its partner becomes U+FFFD.
std::string utf8FromUtf16(std::u16string_view text);

// UTF-8 of `bytes` read as Latin-1, one character per byte: the check's failure texts
// carry the low byte of every unit of a path, which need not be valid UTF-8.
std::string utf8FromLatin1(std::string_view bytes);

}  // namespace halcyra::platform

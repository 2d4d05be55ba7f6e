#pragma once
// The two byte-per-unit text conversions of the update check. Neither encodes nor
// decodes UTF-8: the update server and the updater's error texts see the low byte of
// every UTF-16 unit, and the manifest's bytes come back one unit each.

#include <string>
#include <string_view>

namespace halcyra {

// One byte per UTF-16 code unit, its low 8 bits (U+00E9 gives 0xE9, U+20AC gives 0xAC).
// The text ends at its first U+0000.
std::string narrowByTruncation(std::u16string_view text);

// One UTF-16 code unit per byte, the byte read as a signed 8-bit value and sign-extended
// (0x41 gives U+0041, 0xC3 gives U+FFC3). The text ends at its first zero byte.
std::u16string widenBySignExtension(std::string_view text);

}  // namespace halcyra

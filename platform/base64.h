#pragma once
// Base64 encoder (crypt32).

#include "platform/types.h"

namespace halcyra::platform {

inline constexpr Dword kCryptStringBase64 = 0x1;
inline constexpr Dword kCryptStringNoCrlf = 0x40000000;

// With a null `text`, stores in *length the units needed including the terminator.
// Otherwise writes the text and its terminator into `text` (*length units available).
Bool CryptBinaryToStringW(const std::uint8_t* data, Dword size, Dword flags, char16_t* text, Dword* length);

}  // namespace halcyra::platform

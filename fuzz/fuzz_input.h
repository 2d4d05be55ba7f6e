#pragma once
// Turning libFuzzer's bytes into the service's inputs, and the check that ends a run
// when an invariant breaks.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <type_traits>

namespace halcyra::fuzz {

// Little-endian pairs of bytes as UTF-16 code units; an odd last byte is dropped.
inline std::u16string utf16FromBytes(const std::uint8_t* data, std::size_t size) {
  std::u16string text;
  text.reserve(size / 2);
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  return text;
}

// An invariant that does not hold is a finding: abort, so that libFuzzer saves the input.
inline void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

// strtoll in base 10 clamped to 32 bits: the C library's own reading, which the service's
// readings of decimal text must agree with. Characters outside ASCII, and U+0000, end the
// number as any other non-digit does, so they are replaced before the C library sees them.
template <typename Char>
std::int32_t referenceDecimal(std::basic_string_view<Char> text) {
  std::string ascii;
  for (Char const c : text) {
    auto const unit = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<Char>>(c));
    ascii.push_back(unit == 0 || unit >= 0x80 ? 'x' : static_cast<char>(unit));
  }
  long long const value = std::strtoll(ascii.c_str(), nullptr, 10);
  if (value > INT32_MAX) {
    return INT32_MAX;
  }
  if (value < INT32_MIN) {
    return INT32_MIN;
  }
  return static_cast<std::int32_t>(value);
}

}  // namespace halcyra::fuzz

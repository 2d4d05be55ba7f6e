#pragma once
// Decimal numbers as text, the way the C library reads and writes them, for every
// character width the system uses.

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

namespace halcyra {

// Reads `text` as strtol(text, nullptr, 10) does with a 32-bit long in the C locale:
// leading white space, an optional sign, then decimal digits up to the first other
// character. No digits gives 0; a value beyond the 32-bit range is clamped to its nearest
// end, however many digits follow.
template <typename Char>
std::int32_t readDecimalLikeStrtol(std::basic_string_view<Char> text) {
  auto const isSpace = [](Char c) {
    return c == Char(' ') || c == Char('\t') || c == Char('\n') || c == Char('\v') || c == Char('\f') ||
           c == Char('\r');
  };
  std::size_t i = 0;
  while (i < text.size() && isSpace(text[i])) {
    ++i;
  }
  bool negative = false;
  if (i < text.size() && (text[i] == Char('+') || text[i] == Char('-'))) {
    negative = text[i] == Char('-');
    ++i;
  }
  // The magnitude stops growing once it is past the range, so any number of digits is safe.
  constexpr std::int64_t kMaxMagnitude = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  for (; i < text.size() && text[i] >= Char('0') && text[i] <= Char('9'); ++i) {
    if (magnitude <= kMaxMagnitude) {
      magnitude = magnitude * 10 + (text[i] - Char('0'));
    }
  }
  std::int64_t const value = negative ? -magnitude : magnitude;
  if (value > std::numeric_limits<std::int32_t>::max()) {
    return std::numeric_limits<std::int32_t>::max();
  }
  if (value < std::numeric_limits<std::int32_t>::min()) {
    return std::numeric_limits<std::int32_t>::min();
  }
  return static_cast<std::int32_t>(value);
}

// `value` in unsigned decimal, as UTF-16 text.
inline std::u16string decimalText(std::uint64_t value) {
  char16_t digits[20];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  } while (value != 0);
  std::u16string text;
  text.reserve(count);
  while (count > 0) {
    text.push_back(digits[--count]);
  }
  return text;
}

}  // namespace halcyra

#include "update/text_conversion.h"

#include <cstdint>

namespace halcyra {

std::string narrowByTruncation(std::u16string_view text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (char16_t const unit : text) {
    if (unit == u'\0') {
      break;
    }
    narrow.push_back(static_cast<char>(static_cast<std::uint8_t>(unit & 0xFFu)));
  }
  return narrow;
}

std::u16string widenBySignExtension(std::string_view text) {
  std::u16string wide;
  wide.reserve(text.size());
  for (char const byte : text) {
    if (byte == '\0') {
      break;
    }
    // Bytes with the top bit set are negative as signed 8-bit values: their extension
    // fills the high byte with ones.
    auto const value = static_cast<std::uint8_t>(byte);
    wide.push_back(static_cast<char16_t>(value < 0x80u ? value : 0xFF00u | value));
  }
  return wide;
}

}  // namespace halcyra

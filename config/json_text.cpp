#include "config/json_text.h"

namespace halcyra {

std::string jsonBytesOf(std::u16string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (char16_t const unit : text) {
    if (unit == 0) {
      break;
    }
    if (unit < 0x80) {
      bytes.push_back(static_cast<char>(unit));
    } else if (unit < 0x800) {
      bytes.push_back(static_cast<char>(0xC0 | unit >> 6));
      bytes.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    } else {
      bytes.push_back(static_cast<char>(0xE0 | unit >> 12));
      bytes.push_back(static_cast<char>(0x80 | (unit >> 6 & 0x3F)));
      bytes.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    }
  }
  return bytes;
}

std::u16string unitsOfJsonBytes(std::string_view bytes) {
  std::u16string units;
  units.reserve(bytes.size());
  std::size_t i = 0;
  // The six payload bits of the next continuation byte (none past the end, which a string
  // the parser read never reaches: it holds whole sequences only).
  auto const continuation = [&bytes, &i]() -> char32_t {
    return i < bytes.size() ? static_cast<unsigned char>(bytes[i++]) & 0x3F : 0;
  };
  while (i < bytes.size()) {
    char32_t const lead = static_cast<unsigned char>(bytes[i++]);
    if (lead < 0x80) {
      units.push_back(static_cast<char16_t>(lead));
    } else if (lead < 0xE0) {
      units.push_back(static_cast<char16_t>((lead & 0x1F) << 6 | continuation()));
    } else if (lead < 0xF0) {
      char32_t const high = (lead & 0x0F) << 12 | continuation() << 6;
      units.push_back(static_cast<char16_t>(high | continuation()));
    } else {
      // Four bytes: the parser joined a pair of escapes into one character; split it again.
      char32_t character = (lead & 0x07) << 18 | continuation() << 12;
      character |= continuation() << 6;
      character = (character | continuation()) - 0x10000;
      units.push_back(static_cast<char16_t>(0xD800 + (character >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + (character & 0x3FF)));
    }
  }
  return units;
}

}  // namespace halcyra

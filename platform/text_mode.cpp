#include "platform/text_mode.h"

#include <cstdint>

namespace halcyra::platform {

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

bool isHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool isLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void appendUtf8(std::string& out, char32_t code) {
  auto const byte = [&out](char32_t value) { out.push_back(static_cast<char>(static_cast<std::uint8_t>(value))); };
  if (code < 0x80) {
    byte(code);
  } else if (code < 0x800) {
    byte(0xC0 | (code >> 6));
    byte(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    byte(0xE0 | (code >> 12));
    byte(0x80 | ((code >> 6) & 0x3F));
    byte(0x80 | (code & 0x3F));
  } else {
    byte(0xF0 | (code >> 18));
    byte(0x80 | ((code >> 12) & 0x3F));
    byte(0x80 | ((code >> 6) & 0x3F));
    byte(0x80 | (code & 0x3F));
  }
}

}  // namespace

std::string utf8FromUtf16(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char16_t const unit = text[i];
    if (isHighSurrogate(unit) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
      appendUtf8(out, 0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00));
      ++i;
    } else if (isHighSurrogate(unit) || isLowSurrogate(unit)) {
      appendUtf8(out, kReplacementCharacter);
    } else {
      appendUtf8(out, unit);
    }
  }
  return out;
}

std::string utf8FromLatin1(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (char const byte : bytes) {
    appendUtf8(out, static_cast<std::uint8_t>(byte));
  }
  return out;
}

std::string applyTextMode(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    char const c = bytes[i];
    if (c == '\x1A') {
      break;
    }
    if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
      continue;  // the LF that follows is kept
    }
    text.push_back(c);
  }
  return text;
}

std::u16string widenBytes(std::string_view bytes) {
  std::u16string wide;
  wide.reserve(bytes.size());
  for (char const byte : bytes) {
    wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(byte)));
  }
  return wide;
}

}  // namespace halcyra::platform

#include "platform/text_mode.h"

namespace halcyra::platform {

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

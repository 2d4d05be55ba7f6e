// CryptBinaryToStringW of the simulated machine: standard base64 (RFC 4648 alphabet,
// "=" padding), in lines of 64 characters each ended by CR LF unless CRYPT_STRING_NOCRLF.

#include "platform/base64.h"
#include "platform/sim/sim_machine.h"

namespace halcyra::platform {

using namespace sim::detail;

namespace {

inline constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
inline constexpr std::size_t kLineLength = 64;

std::u16string encode(const std::uint8_t* data, Dword size, bool lineBreaks) {
  std::u16string out;
  for (Dword i = 0; i < size; i += 3) {
    std::uint32_t group = std::uint32_t{data[i]} << 16;
    Dword const available = size - i < 3 ? size - i : 3;
    if (available > 1) {
      group |= std::uint32_t{data[i + 1]} << 8;
    }
    if (available > 2) {
      group |= data[i + 2];
    }
    for (Dword k = 0; k < 4; ++k) {
      out.push_back(k <= available ? static_cast<char16_t>(kAlphabet[(group >> (18 - 6 * k)) & 0x3F]) : u'=');
    }
  }
  if (!lineBreaks) {
    return out;
  }
  std::u16string lines;
  for (std::size_t at = 0; at < out.size(); at += kLineLength) {
    lines += out.substr(at, kLineLength);
    lines += u"\r\n";
  }
  return lines;
}

}  // namespace

Bool CryptBinaryToStringW(const std::uint8_t* data, Dword size, Dword flags, char16_t* text, Dword* length) {
  if (enterFails("CryptBinaryToStringW", "size=" + std::to_string(size) + " flags=" + hex(flags) +
                                             " text=" + (text == nullptr ? "null" : "buffer") + " length=" +
                                             (length == nullptr ? std::string("null") : std::to_string(*length)))) {
    return kFalse;
  }
  if ((flags & ~kCryptStringNoCrlf) != kCryptStringBase64 || length == nullptr || (data == nullptr && size > 0)) {
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  std::u16string const encoded = encode(data, size, (flags & kCryptStringNoCrlf) == 0);
  auto const needed = static_cast<Dword>(encoded.size() + 1);
  if (text == nullptr) {
    *length = needed;
    return kTrue;
  }
  if (*length < needed) {
    setLastError(kErrorMoreData);
    return kFalse;
  }
  std::copy(encoded.begin(), encoded.end(), text);
  text[encoded.size()] = u'\0';
  *length = needed - 1;
  return kTrue;
}

}  // namespace halcyra::platform

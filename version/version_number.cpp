#include "version/version_number.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "platform/version_info.h"

namespace halcyra {

namespace {

// The white space that wcstol skips in the C locale.
bool isLeadingSpace(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\n' || c == u'\v' || c == u'\f' || c == u'\r';
}

// One piece read like wcstol(piece, nullptr, 10) with a 32-bit long: white space, an
// optional sign, then decimal digits up to the first other character. No digits gives 0;
// a value beyond the 32-bit range is clamped to its nearest end.
std::int32_t readLikeWcstol(std::u16string_view piece) {
  std::size_t i = 0;
  while (i < piece.size() && isLeadingSpace(piece[i])) {
    ++i;
  }
  bool negative = false;
  if (i < piece.size() && (piece[i] == u'+' || piece[i] == u'-')) {
    negative = piece[i] == u'-';
    ++i;
  }
  // The magnitude is accumulated in 64 bits and stops growing once it is past the range,
  // so that any number of digits is safe.
  constexpr std::int64_t kMaxMagnitude = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  for (; i < piece.size() && piece[i] >= u'0' && piece[i] <= u'9'; ++i) {
    if (magnitude <= kMaxMagnitude) {
      magnitude = magnitude * 10 + (piece[i] - u'0');
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

// The low 16 bits of the two's complement form: -1 is 65535, 65536 is 0.
std::uint16_t low16(std::int32_t value) {
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(value) & 0xFFFFu);
}

void appendDecimal(std::u16string& text, unsigned value) {
  for (char const c : std::to_string(value)) {
    text.push_back(static_cast<char16_t>(c));
  }
}

std::u16string formatParts(unsigned major, unsigned minor, unsigned build, unsigned revision) {
  std::u16string text;
  appendDecimal(text, major);
  text.push_back(u'.');
  appendDecimal(text, minor);
  text.push_back(u'.');
  appendDecimal(text, build);
  text.push_back(u'.');
  appendDecimal(text, revision);
  return text;
}

// Version information larger than this is not read.
constexpr platform::Dword kVersionInfoBufferSize = 2048;

}  // namespace

bool parseVersionNumber(std::u16string_view text, VersionNumber& target) {
  // Split at every dot, keeping empty pieces; anything but four pieces is refused
  // before a single field is touched.
  std::array<std::u16string_view, 4> pieces;
  std::size_t count = 0;
  std::size_t start = 0;
  while (true) {
    std::size_t const dot = text.find(u'.', start);
    if (count == pieces.size()) {
      return false;
    }
    pieces[count++] = text.substr(start, dot == std::u16string_view::npos ? std::u16string_view::npos : dot - start);
    if (dot == std::u16string_view::npos) {
      break;
    }
    start = dot + 1;
  }
  if (count != pieces.size()) {
    return false;
  }
  target.major = low16(readLikeWcstol(pieces[0]));
  target.minor = low16(readLikeWcstol(pieces[1]));
  target.build = low16(readLikeWcstol(pieces[2]));
  target.revision = low16(readLikeWcstol(pieces[3]));
  return true;
}

std::u16string formatVersionNumber(const VersionNumber& version) {
  return formatParts(version.major, version.minor, version.build, version.revision);
}

std::u16string readProductVersion(const std::u16string& path) {
  constexpr std::u16string_view none = u"0.0.0.0";
  platform::Dword const size = platform::GetFileVersionInfoSizeW(path.c_str(), nullptr);
  if (size == 0 || size > kVersionInfoBufferSize) {
    return std::u16string(none);
  }
  alignas(platform::FixedFileInfo) std::array<unsigned char, kVersionInfoBufferSize> buffer{};
  if (platform::GetFileVersionInfoW(path.c_str(), 0, size, buffer.data()) != platform::kTrue) {
    return std::u16string(none);
  }
  void* root = nullptr;
  unsigned rootLength = 0;
  if (platform::VerQueryValueA(buffer.data(), "\\", &root, &rootLength) != platform::kTrue) {
    return std::u16string(none);
  }
  // A root block shorter than the fixed structure would make us read past it; such a
  // resource is damaged and counts as having no version.
  if (root == nullptr || rootLength < sizeof(platform::FixedFileInfo)) {
    return std::u16string(none);
  }
  platform::FixedFileInfo info{};
  std::memcpy(&info, root, sizeof info);
  return formatParts(info.dwProductVersionMS >> 16, info.dwProductVersionMS & 0xFFFFu, info.dwProductVersionLS >> 16,
                     info.dwProductVersionLS & 0xFFFFu);
}

}  // namespace halcyra

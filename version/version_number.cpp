#include "version/version_number.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "platform/decimal_text.h"
#include "platform/version_info.h"

namespace halcyra {

namespace {

// The low 16 bits of the two's complement form: -1 is 65535, 65536 is 0.
std::uint16_t low16(std::int32_t value) {
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(value) & 0xFFFFu);
}

std::u16string formatParts(unsigned major, unsigned minor, unsigned build, unsigned revision) {
  std::u16string text = decimalText(major);
  for (unsigned const part : {minor, build, revision}) {
    text += u'.';
    text += decimalText(part);
  }
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
  target.major = low16(readDecimalLikeStrtol(pieces[0]));
  target.minor = low16(readDecimalLikeStrtol(pieces[1]));
  target.build = low16(readDecimalLikeStrtol(pieces[2]));
  target.revision = low16(readDecimalLikeStrtol(pieces[3]));
  return true;
}

std::u16string formatVersionNumber(const VersionNumber& version) {
  return formatParts(version.major, version.minor, version.build, version.revision);
}

std::u16string readProductVersion(const std::u16string& path) {
  // Zeros, "0.0.0.0", unless the executable has usable version information.
  platform::FixedFileInfo info{};
  alignas(platform::FixedFileInfo) std::array<unsigned char, kVersionInfoBufferSize> buffer{};
  platform::Dword const size = platform::GetFileVersionInfoSizeW(path.c_str(), nullptr);
  void* root = nullptr;
  unsigned rootLength = 0;
  // A root block shorter than the fixed structure would make us read past it; such a
  // resource is damaged and counts as having no version.
  if (size != 0 && size <= kVersionInfoBufferSize &&
      platform::GetFileVersionInfoW(path.c_str(), 0, size, buffer.data()) != platform::kFalse &&
      platform::VerQueryValueA(buffer.data(), "\\", &root, &rootLength) != platform::kFalse && root != nullptr &&
      rootLength >= sizeof(platform::FixedFileInfo)) {
    std::memcpy(&info, root, sizeof info);
  }
  return formatParts(info.dwProductVersionMS >> 16, info.dwProductVersionMS & 0xFFFFu, info.dwProductVersionLS >> 16,
                     info.dwProductVersionLS & 0xFFFFu);
}

}  // namespace halcyra

#include "update/version_mark.h"

#include <cstdint>

#include "platform/registry.h"

namespace halcyra {

namespace {

// A version's dotted text is at most 23 units; a value much longer is not a mark.
constexpr platform::Dword kMaxMarkBytes = 64 * sizeof(char16_t);

// Closes the key on every path out.
struct OpenKey {
  platform::Hkey key = nullptr;
  OpenKey() = default;
  OpenKey(const OpenKey&) = delete;
  OpenKey& operator=(const OpenKey&) = delete;
  ~OpenKey() {
    if (key != nullptr) {
      static_cast<void>(platform::RegCloseKey(key));
    }
  }
};

}  // namespace

bool versionBefore(const VersionNumber& a, const VersionNumber& b) {
  if (a.major != b.major) {
    return a.major < b.major;
  }
  if (a.minor != b.minor) {
    return a.minor < b.minor;
  }
  if (a.build != b.build) {
    return a.build < b.build;
  }
  return a.revision < b.revision;
}

std::optional<VersionNumber> readVersionMark(const std::u16string& address) {
  OpenKey open;
  if (platform::RegOpenKeyExW(platform::kHkeyLocalMachine, kVersionMarkKey, 0, platform::kKeyQueryValue, &open.key) !=
      platform::kErrorSuccess) {
    return std::nullopt;
  }
  std::uint8_t bytes[kMaxMarkBytes] = {};
  platform::Dword type = 0;
  platform::Dword size = kMaxMarkBytes;
  if (platform::RegQueryValueExW(open.key, address.c_str(), &type, bytes, &size) != platform::kErrorSuccess ||
      type != platform::kRegSz) {
    return std::nullopt;
  }
  std::u16string text;
  for (platform::Dword i = 0; i + 1 < size; i += 2) {
    auto const unit = static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
    if (unit == u'\0') {
      break;
    }
    text.push_back(unit);
  }
  VersionNumber version;
  if (!parseVersionNumber(text, version)) {
    return std::nullopt;
  }
  return version;
}

bool writeVersionMark(const std::u16string& address, const VersionNumber& version) {
  OpenKey open;
  if (platform::RegCreateKeyExW(platform::kHkeyLocalMachine, kVersionMarkKey, platform::kRegOptionNonVolatile,
                                platform::kKeySetValue, &open.key) != platform::kErrorSuccess) {
    return false;
  }
  std::u16string const text = formatVersionNumber(version);
  // The dotted text is at most 23 units; REG_SZ data holds its terminator, which the
  // zeros after the text give.
  std::uint8_t bytes[kMaxMarkBytes] = {};
  platform::Dword size = 0;
  for (char16_t const unit : text) {
    bytes[size++] = static_cast<std::uint8_t>(unit & 0xFF);
    bytes[size++] = static_cast<std::uint8_t>(unit >> 8);
  }
  size += 2;
  return platform::RegSetValueExW(open.key, address.c_str(), platform::kRegSz, bytes, size) == platform::kErrorSuccess;
}

}  // namespace halcyra

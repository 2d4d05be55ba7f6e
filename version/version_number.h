#pragma once
// Version numbers: four unsigned 16-bit parts with a dotted text form.

#include <cstdint>
#include <string>
#include <string_view>

namespace halcyra {

struct VersionNumber {
  std::uint16_t major = 0;
  std::uint16_t minor = 0;
  std::uint16_t build = 0;
  std::uint16_t revision = 0;

  friend bool operator==(const VersionNumber&, const VersionNumber&) = default;
};

// Fills `target` from four dot-separated parts, each read like wcstol in base 10 with a
// 32-bit long and truncated to 16 bits. False, with `target` untouched, unless there are
// exactly four parts.
bool parseVersionNumber(std::u16string_view text, VersionNumber& target);

// The dotted text form, e.g. 1.2.30.4.
std::u16string formatVersionNumber(const VersionNumber& version);

// The product version of the executable at `path` in text form, or "0.0.0.0" when it
// has no usable version information.
std::u16string readProductVersion(const std::u16string& path);

}  // namespace halcyra

// Version numbers: any bytes, read as UTF-16 text. A text is accepted exactly when it has
// three dots; each part agrees with the C library's strtoll clamped to 32 bits and cut to
// 16; a refused text leaves the target untouched; and a parsed version formats and
// parses back to the same value.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "version/version_number.h"

namespace {

std::vector<std::u16string_view> splitAtDots(std::u16string_view text) {
  std::vector<std::u16string_view> parts;
  std::size_t start = 0;
  for (std::size_t dot = text.find(u'.'); dot != std::u16string_view::npos; dot = text.find(u'.', start)) {
    parts.push_back(text.substr(start, dot - start));
    start = dot + 1;
  }
  parts.push_back(text.substr(start));
  return parts;
}

std::uint16_t expectedPart(std::u16string_view part) {
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(halcyra::fuzz::referenceDecimal(part)) & 0xFFFFu);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halcyra;
  std::u16string const text = fuzz::utf16FromBytes(data, size);
  std::vector<std::u16string_view> const parts = splitAtDots(text);

  constexpr VersionNumber kUntouched{11, 22, 33, 44};
  VersionNumber version = kUntouched;
  bool const parsed = parseVersionNumber(text, version);
  fuzz::require(parsed == (parts.size() == 4), "exactly four parts are accepted");
  if (!parsed) {
    fuzz::require(version == kUntouched, "a refused text leaves the target untouched");
    return 0;
  }
  fuzz::require(version == VersionNumber{expectedPart(parts[0]), expectedPart(parts[1]), expectedPart(parts[2]),
                                         expectedPart(parts[3])},
                "each part is read like the C library's strtoll, cut to 16 bits");

  std::u16string const formatted = formatVersionNumber(version);
  VersionNumber reparsed;
  fuzz::require(parseVersionNumber(formatted, reparsed), "a formatted version is accepted");
  fuzz::require(reparsed == version, "a formatted version parses back to the same value");
  return 0;
}

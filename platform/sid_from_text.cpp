#include <cstdint>
#include <iterator>

#include "platform/accounts.h"

namespace halcyra::platform {

namespace {

constexpr std::size_t kMaxSubAuthorities = 15;

}  // namespace

Sid sidFromText(std::u16string_view text) {
  if (text.substr(0, 2) != u"S-") {
    return {};
  }
  std::uint64_t numbers[kMaxSubAuthorities + 2] = {};
  std::size_t count = 0;
  bool digit = false;
  for (std::size_t i = 2; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == u'-') {
      if (!digit || count == std::size(numbers)) {
        return {};
      }
      ++count;
      digit = false;
    } else if (text[i] >= u'0' && text[i] <= u'9' && numbers[count] <= 0xFFFFFFFFFFFFull) {
      numbers[count] = numbers[count] * 10 + static_cast<std::uint64_t>(text[i] - u'0');
      digit = true;
    } else {
      return {};
    }
  }
  if (count < 2 || numbers[0] > 0xFF || numbers[1] > 0xFFFFFFFFFFFFull) {
    return {};
  }
  Sid sid;
  sid.push_back(static_cast<char>(numbers[0]));
  sid.push_back(static_cast<char>(count - 2));
  for (int shift = 40; shift >= 0; shift -= 8) {
    sid.push_back(static_cast<char>(numbers[1] >> shift));
  }
  for (std::size_t i = 2; i < count; ++i) {
    if (numbers[i] > 0xFFFFFFFFu) {
      return {};
    }
    for (int shift = 0; shift < 32; shift += 8) {
      sid.push_back(static_cast<char>(numbers[i] >> shift));
    }
  }
  return sid;
}

}  // namespace halcyra::platform

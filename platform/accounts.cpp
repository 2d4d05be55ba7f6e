#include "platform/accounts.h"

#include <cstdint>
#include <cstring>

#include "platform/security.h"

namespace halcyra::platform {

namespace {

constexpr std::size_t kHeaderSize = 8;
constexpr std::size_t kMaxSubAuthorities = 15;

void appendDecimal(std::u16string& text, std::uint64_t value) {
  char16_t digits[20];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0) {
    text.push_back(digits[--count]);
  }
}

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

Sid sidAt(const void* sid) {
  const auto* bytes = static_cast<const char*>(sid);
  std::size_t const subAuthorities = static_cast<unsigned char>(bytes[1]);
  return {bytes, kHeaderSize + 4 * subAuthorities};
}

std::u16string sidText(const Sid& sid) {
  if (sid.size() < kHeaderSize) {
    return {};
  }
  const auto byte = [&sid](std::size_t i) { return static_cast<std::uint64_t>(static_cast<unsigned char>(sid[i])); };
  std::uint64_t authority = 0;
  for (std::size_t i = 2; i < kHeaderSize; ++i) {
    authority = authority << 8 | byte(i);
  }
  std::u16string text = u"S-";
  appendDecimal(text, byte(0));
  text += u'-';
  appendDecimal(text, authority);
  for (std::size_t at = kHeaderSize; at + 4 <= sid.size(); at += 4) {
    text += u'-';
    appendDecimal(text, byte(at) | byte(at + 1) << 8 | byte(at + 2) << 16 | byte(at + 3) << 24);
  }
  return text;
}

ProcessAccount processAccount() {
  ProcessAccount self;
  alignas(TokenUser) unsigned char buffer[128];
  Dword length = 0;
  if (GetTokenInformation(kCurrentProcessToken, kTokenUser, buffer, sizeof buffer, &length) != kFalse) {
    TokenUser user{};
    std::memcpy(&user, buffer, sizeof user);
    self.user = sidAt(user.Sid);
  }
  Sid administrators = sidFromText(kSidAdministrators);
  Bool member = kFalse;
  self.administrator = CheckTokenMembership(nullptr, administrators.data(), &member) != kFalse && member != kFalse;
  return self;
}

bool isTrustedAccount(const Sid& sid, const ProcessAccount& self) {
  for (const char16_t* trusted : {kSidLocalSystem, kSidAdministrators, kSidTrustedInstaller}) {
    if (sid == sidFromText(trusted)) {
      return true;
    }
  }
  return self.administrator && !self.user.empty() && sid == self.user;
}

}  // namespace halcyra::platform

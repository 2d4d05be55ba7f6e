#include "platform/accounts.h"

#include <cstdint>
#include <cstring>

#include "platform/decimal_text.h"
#include "platform/security.h"

namespace halcyra::platform {

namespace {

constexpr std::size_t kHeaderSize = 8;

}  // namespace

Sid sidAt(const void* sid) {
  const auto* bytes = static_cast<const char*>(sid);
  std::size_t const subAuthorities = static_cast<unsigned char>(bytes[1]);
  return {bytes, kHeaderSize + 4 * subAuthorities};
}

std::u16string sidText(std::string_view sid) {
  if (sid.size() < kHeaderSize) {
    return {};
  }
  const auto* const bytes = reinterpret_cast<const unsigned char*>(sid.data());
  std::uint64_t authority = 0;
  for (std::size_t i = 2; i < kHeaderSize; ++i) {
    authority = authority << 8 | bytes[i];
  }
  std::u16string text = u"S-";
  text += decimalText(bytes[0]);
  text += u'-';
  text += decimalText(authority);
  for (std::size_t at = kHeaderSize; at + 4 <= sid.size(); at += 4) {
    text += u'-';
    text += decimalText(std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8 |
                        std::uint32_t{bytes[at + 2]} << 16 | std::uint32_t{bytes[at + 3]} << 24);
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
  alignas(Dword) char administrators[kAdministratorsSid.size()];  // the call takes a writable SID
  kAdministratorsSid.copy(administrators, sizeof administrators);
  Bool member = kFalse;
  self.administrator = CheckTokenMembership(nullptr, administrators, &member) != kFalse && member != kFalse;
  return self;
}

bool isTrustedAccount(const Sid& sid, const ProcessAccount& self) {
  return sid == kLocalSystemSid || sid == kAdministratorsSid || sid == kTrustedInstallerSid ||
         (self.administrator && !self.user.empty() && sid == self.user);
}

}  // namespace halcyra::platform

#include "service/trust_boundary.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "config/config_file.h"
#include "config/updater_settings.h"
#include "platform/files.h"
#include "platform/module_path.h"
#include "platform/security.h"
#include "service/pass_update_check.h"
#include "service/service_events.h"

namespace halcyra {

using platform::Dword;

namespace {

constexpr char16_t kEveryone[] = u"Everyone";

// What lets an account change what runs: the content (write, append, add a file or a
// sub-folder, delete a child), the object itself (delete), its access list or owner, and
// the generic rights that include them. Attributes and extended attributes change no code.
constexpr Dword kWriteAccess = 0x2 | 0x4 | 0x40 | 0x10000 | 0x40000 | 0x80000 | 0x40000000 | 0x10000000;
// What lets an account read the content: read data, generic read, generic all.
constexpr Dword kReadAccess = 0x1 | 0x80000000 | 0x10000000;

bool isTrusted(std::u16string_view sid, std::u16string_view trustedSelf) {
  return sid == platform::kSidLocalSystem || sid == platform::kSidAdministrators ||
         sid == platform::kSidTrustedInstaller || (!trustedSelf.empty() && sid == trustedSelf);
}

void addOnce(std::vector<std::u16string>& accounts, const std::u16string& account) {
  if (std::find(accounts.begin(), accounts.end(), account) == accounts.end()) {
    accounts.push_back(account);
  }
}

std::u16string decimal(std::uint64_t value) {
  std::string const text = std::to_string(value);
  return {text.begin(), text.end()};
}

// A SID in its binary form (revision, count, 48-bit big-endian authority, little-endian
// 32-bit sub-authorities) as "S-1-5-...".
std::u16string sidText(const void* sid) {
  const auto* bytes = static_cast<const unsigned char*>(sid);
  std::uint64_t authority = 0;
  for (int i = 2; i < 8; ++i) {
    authority = authority << 8 | bytes[i];
  }
  std::u16string text = u"S-";
  text += decimal(bytes[0]);
  text += u'-';
  text += decimal(authority);
  for (std::size_t i = 0; i < bytes[1]; ++i) {
    std::uint32_t part = 0;
    std::memcpy(&part, bytes + 8 + std::size_t{4} * i, sizeof part);
    text += u'-';
    text += decimal(part);
  }
  return text;
}

// "DOMAIN\name", or the SID's text when no account has it.
std::u16string accountName(void* sid) {
  char16_t name[256];
  char16_t domain[256];
  Dword nameSize = 256;
  Dword domainSize = 256;
  int use = 0;
  if (platform::LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use) == platform::kFalse) {
    return sidText(sid);
  }
  std::u16string const domainText(domain, domainSize);
  std::u16string account = domainText;
  if (!account.empty()) {
    account += u'\\';
  }
  return account.append(name, nameSize);
}

// The owner and access list of `path`; none with `error` 0 when nothing is there.
std::optional<ObjectSecurity> readSecurity(const std::u16string& path, Dword& error) {
  void* owner = nullptr;
  void* dacl = nullptr;
  void* descriptor = nullptr;
  error = platform::GetNamedSecurityInfoW(path.c_str(), platform::kSeFileObject,
                                          platform::kOwnerSecurityInformation | platform::kDaclSecurityInformation,
                                          &owner, nullptr, &dacl, nullptr, &descriptor);
  if (error != 0) {
    if (error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound) {
      error = 0;
    }
    return std::nullopt;
  }
  ObjectSecurity security;
  security.ownerSid = sidText(owner);
  security.ownerAccount = accountName(owner);
  platform::AclSizeInformation size{};
  if (dacl != nullptr) {
    security.dacl.emplace();
    if (platform::GetAclInformation(dacl, &size, sizeof size, platform::kAclSizeInformation) == platform::kFalse) {
      error = platform::GetLastError();
    }
  }
  for (Dword index = 0; error == 0 && index < size.AceCount; ++index) {
    void* ace = nullptr;
    if (platform::GetAce(dacl, index, &ace) == platform::kFalse) {
      error = platform::GetLastError();
      break;
    }
    platform::AccessAce fields{};
    std::memcpy(&fields, ace, offsetof(platform::AccessAce, SidStart));
    std::uint8_t const type = fields.Header.AceType;
    if (type != platform::kAccessAllowedAceType && type != platform::kAccessDeniedAceType) {
      continue;  // object and callback entries name no plain account
    }
    void* const sid = static_cast<unsigned char*>(ace) + offsetof(platform::AccessAce, SidStart);
    security.dacl->push_back(AccessEntry{type == platform::kAccessAllowedAceType, fields.Header.AceFlags, fields.Mask,
                                         sidText(sid), accountName(sid)});
  }
  platform::LocalFree(descriptor);
  if (error != 0) {
    return std::nullopt;
  }
  return security;
}

// The SID of the account this process runs as, when it is an administrator: its own write
// access gives nobody anything they do not have. Under Wine, where every file belongs to
// the prefix's user and that user is an administrator, this is what keeps that owner
// trusted; on Windows the service's own account is SYSTEM.
std::u16string trustedSelf() {
  alignas(4) unsigned char administrators[16] = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 0x02, 0, 0};
  platform::Bool member = platform::kFalse;
  if (platform::CheckTokenMembership(nullptr, administrators, &member) == platform::kFalse ||
      member == platform::kFalse) {
    return {};
  }
  alignas(8) unsigned char buffer[128];
  Dword length = 0;
  if (platform::GetTokenInformation(platform::kCurrentProcessToken, platform::kTokenUser, buffer, sizeof buffer,
                                    &length) == platform::kFalse) {
    return {};
  }
  platform::TokenUser user{};
  std::memcpy(&user, buffer, sizeof user);
  return sidText(user.Sid);
}

std::u16string joined(const std::u16string& folder, std::u16string_view name) {
  std::u16string path = folder;
  if (!path.empty() && path.back() != u'\\' && path.back() != u'/') {
    path += u'\\';
  }
  return path += name;
}

// The updater's full path, resolved as its launch resolves it: against the current directory.
std::optional<std::u16string> updaterPathOf(const std::u16string& configFile) {
  std::string bytes;
  if (platform::ReadTextModeFile(configFile.c_str(), bytes) == platform::kFalse) {
    return std::nullopt;
  }
  std::u16string const text(bytes.begin(), bytes.end());  // one unit per byte, as the pass reads it
  UpdaterSettings settings;
  if (!settings.fromJson(text) || settings.updaterPath.empty()) {
    return std::nullopt;
  }
  std::u16string full(platform::kMaxPath, u'\0');
  Dword length =
      platform::GetFullPathNameW(settings.updaterPath.c_str(), static_cast<Dword>(full.size()), full.data(), nullptr);
  if (length >= full.size()) {
    full.assign(length, u'\0');
    length = platform::GetFullPathNameW(settings.updaterPath.c_str(), length, full.data(), nullptr);
  }
  if (length == 0 || length >= full.size()) {
    return std::nullopt;
  }
  full.resize(length);
  return full;
}

std::u16string listed(const std::vector<std::u16string>& accounts) {
  std::u16string text;
  for (const std::u16string& account : accounts) {
    text += text.empty() ? u"" : u", ";
    text += account;
  }
  return text;
}

}  // namespace

UntrustedAccess untrustedAccess(const ObjectSecurity& security, bool readMatters, std::u16string_view trustedSelf) {
  UntrustedAccess access;
  if (!security.dacl) {
    addOnce(access.writers, kEveryone);
    if (readMatters) {
      addOnce(access.readers, kEveryone);
    }
    return access;
  }
  bool ownerRightsListed = false;
  std::vector<std::pair<std::u16string, Dword>> denied;  // by SID, what earlier entries denied
  for (const AccessEntry& entry : *security.dacl) {
    if ((entry.flags & platform::kInheritOnlyAce) != 0) {
      continue;  // inherit-only: for the children, not for the object
    }
    bool const ownerRights = entry.sid == platform::kSidOwnerRights;
    ownerRightsListed = ownerRightsListed || ownerRights;
    const std::u16string& sid = ownerRights ? security.ownerSid : entry.sid;
    const std::u16string& account = ownerRights ? security.ownerAccount : entry.account;
    auto found = std::find_if(denied.begin(), denied.end(), [&sid](const auto& d) { return d.first == sid; });
    if (!entry.allow) {
      if (found == denied.end()) {
        denied.emplace_back(sid, entry.mask);
      } else {
        found->second |= entry.mask;
      }
      continue;
    }
    if (isTrusted(sid, trustedSelf)) {
      continue;
    }
    Dword const mask = entry.mask & ~(found == denied.end() ? 0 : found->second);
    if ((mask & kWriteAccess) != 0) {
      addOnce(access.writers, account);
    }
    if (readMatters && (mask & kReadAccess) != 0) {
      addOnce(access.readers, account);
    }
  }
  // Without an OWNER RIGHTS entry the owner may always rewrite the access list.
  if (!ownerRightsListed && !isTrusted(security.ownerSid, trustedSelf)) {
    addOnce(access.writers, security.ownerAccount);
  }
  return access;
}

std::vector<TrustFinding> checkTrustBoundary() {
  std::optional<std::u16string> const module = platform::modulePath();
  if (!module) {
    return {};
  }
  std::u16string const root = installRootOf(*module);
  std::u16string const configFile = joined(root, u"resources\\updater\\config.json");
  std::vector<std::pair<std::u16string, bool>> objects = {
      {root, false},
      {joined(root, kServerFileName), false},
      {joined(root, u"bin"), false},
      {joined(root, u"resources\\updater"), false},
      {configFile, true},
  };
  if (std::optional<std::u16string> const updater = updaterPathOf(configFile)) {
    objects.emplace_back(*updater, false);
    objects.emplace_back(parentPath(*updater), false);
  }

  std::u16string const self = trustedSelf();
  std::vector<TrustFinding> findings;
  std::vector<std::u16string> seen;
  for (const auto& [path, readMatters] : objects) {
    if (std::find(seen.begin(), seen.end(), path) != seen.end()) {
      continue;
    }
    seen.push_back(path);
    TrustFinding finding{path, {}, 0};
    if (std::optional<ObjectSecurity> const security = readSecurity(path, finding.error)) {
      finding.access = untrustedAccess(*security, readMatters, self);
    }
    if (finding.error != 0 || !finding.access.writers.empty() || !finding.access.readers.empty()) {
      findings.push_back(std::move(finding));
    }
  }
  return findings;
}

std::u16string describeFinding(const TrustFinding& finding) {
  std::u16string text = finding.path + u": ";
  if (finding.error != 0) {
    text += u"its access list could not be read (error ";
    text += decimal(finding.error);
    return text += u')';
  }
  if (!finding.access.writers.empty()) {
    text += u"writable by ";
    text += listed(finding.access.writers);
  }
  if (!finding.access.readers.empty()) {
    text += finding.access.writers.empty() ? u"readable by " : u"; readable by ";
    text += listed(finding.access.readers);
  }
  return text;
}

void warnIfTrustBoundaryOpen() noexcept {
  try {
    std::u16string lines;
    for (const TrustFinding& finding : checkTrustBoundary()) {
      lines += lines.empty() ? u"" : u"\r\n";
      lines += describeFinding(finding);
    }
    if (!lines.empty()) {
      reportTrustBoundaryOpen(lines);
    }
  } catch (...) {
    // Only a warning is lost (no memory for its text); the service goes on.
  }
}

}  // namespace halcyra

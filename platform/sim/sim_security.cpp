// Security in the simulated machine: per-path owners and access lists, kept as Windows'
// own binary SIDs and ACLs inside the descriptor that GetNamedSecurityInfoW hands out, so
// that the code above the seam walks the same structures as on Windows.
#include "platform/sim/sim_security.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/accounts.h"
#include "platform/security.h"
#include "platform/sim/sim_machine.h"

namespace halcyra::sim {

namespace detail {

struct Account {
  std::u16string domain;
  std::u16string name;
};

struct SecurityState {
  std::map<std::u16string, FileSecurity> files;  // key: as the file system's
  std::map<std::u16string, Account> accounts;    // key: SID text
  std::u16string processUser = platform::kSidLocalSystem;
  bool administrator = true;
};

namespace {

using platform::kSidAdministrators;
using platform::kSidAuthenticatedUsers;
using platform::kSidEveryone;
using platform::kSidLocalSystem;
using platform::kSidUsers;
constexpr Dword kFullControl = 0x1F01FF;

SecurityState& security() {
  std::shared_ptr<SecurityState>& state = machine().security;
  if (!state) {
    state = std::make_shared<SecurityState>();
    state->accounts = {
        {kSidLocalSystem, {u"NT AUTHORITY", u"SYSTEM"}},
        {kSidAdministrators, {u"BUILTIN", u"Administrators"}},
        {kSidUsers, {u"BUILTIN", u"Users"}},
        {kSidEveryone, {u"", u"Everyone"}},
        {kSidAuthenticatedUsers, {u"NT AUTHORITY", u"Authenticated Users"}},
        {platform::kSidTrustedInstaller, {u"NT SERVICE", u"TrustedInstaller"}},
        {platform::kSidCreatorOwner, {u"", u"CREATOR OWNER"}},
        {platform::kSidOwnerRights, {u"", u"OWNER RIGHTS"}},
    };
  }
  return *state;
}

FileSecurity defaultSecurity() {
  return {kSidAdministrators, std::vector<AccessEntry>{{true, 0, kFullControl, kSidLocalSystem, {}},
                                                       {true, 0, kFullControl, kSidAdministrators, {}}}};
}

// SIDs through the system's one account model.
std::string sidBytes(const std::u16string& text) { return platform::sidFromText(text); }
using platform::sidText;

void append(std::string& buffer, const void* data, std::size_t size) {
  buffer.append(static_cast<const char*>(data), size);
}

// The ACL: its 8-byte header, then each ACE with its SID.
std::string aclBytes(const std::vector<AccessEntry>& entries) {
  std::string aces;
  for (const AccessEntry& entry : entries) {
    std::string const sid = sidBytes(entry.sid);
    platform::AccessAce ace{};
    ace.Header.AceType =
        entry.type.value_or(entry.allow ? platform::kAccessAllowedAceType : platform::kAccessDeniedAceType);
    ace.Header.AceFlags = entry.flags;
    ace.Header.AceSize = static_cast<std::uint16_t>(offsetof(platform::AccessAce, SidStart) + sid.size());
    ace.Mask = entry.mask;
    append(aces, &ace, offsetof(platform::AccessAce, SidStart));
    aces += sid;
  }
  std::string acl;
  std::uint16_t const header[4] = {2, static_cast<std::uint16_t>(8 + aces.size()),
                                   static_cast<std::uint16_t>(entries.size()), 0};
  append(acl, header, sizeof header);
  return acl + aces;
}

}  // namespace
std::string binarySid(const std::u16string& text) { return sidBytes(text); }
std::u16string textSid(const void* sid) { return platform::sidText(sid); }
const std::u16string& processUser() { return security().processUser; }

Dword describeSecurity(const std::u16string& key, Dword securityInfo, void** owner, void** dacl, void** descriptor) {
  auto const found = security().files.find(key);
  sim::FileSecurity const file = found != security().files.end() ? found->second : defaultSecurity();

  // Owner SID, padded to 4 bytes, then the ACL; the buffer is a descriptor that LocalFree knows.
  std::string bytes = sidBytes(file.owner);
  bytes.resize((bytes.size() + 3) / 4 * 4);
  std::size_t const aclOffset = bytes.size();
  if (file.dacl) {
    bytes += aclBytes(*file.dacl);
  }
  // Long enough to live on the heap, where it is aligned for the ACEs' masks.
  auto* const memory = new std::u16string(std::max<std::size_t>(64, bytes.size() / 2 + 1), u'\0');
  std::memcpy(memory->data(), bytes.data(), bytes.size());
  machine().securityDescriptors.insert(memory);
  auto* const base = reinterpret_cast<unsigned char*>(memory->data());
  *descriptor = memory;
  if (owner != nullptr) {
    *owner = (securityInfo & platform::kOwnerSecurityInformation) != 0 ? base : nullptr;
  }
  if (dacl != nullptr) {
    *dacl = (securityInfo & platform::kDaclSecurityInformation) != 0 && file.dacl ? base + aclOffset : nullptr;
  }
  return platform::kErrorSuccess;
}

}  // namespace detail

void setFileSecurity(const std::u16string& path, FileSecurity security) {
  detail::security().files[detail::pathKey(path)] = std::move(security);
}

void addAccount(const std::u16string& sid, const std::u16string& domain, const std::u16string& name) {
  detail::security().accounts[sid] = {domain, name};
}

void setProcessUser(const std::u16string& sid, bool administrator) {
  detail::security().processUser = sid;
  detail::security().administrator = administrator;
}

std::size_t openSecurityDescriptors() { return detail::machine().securityDescriptors.size(); }

}  // namespace halcyra::sim

namespace halcyra::platform {

using namespace sim::detail;  // NOLINT(google-build-using-namespace): the backend's own internals

Dword GetNamedSecurityInfoW(const char16_t* name, int objectType, Dword securityInfo, void** owner, void** group,
                            void** dacl, void** sacl, void** descriptor) {
  if (enterFails("GetNamedSecurityInfoW", text(name) + " info=" + hex(securityInfo))) {
    return GetLastError();
  }
  if (name == nullptr || descriptor == nullptr || objectType != kSeFileObject || group != nullptr || sacl != nullptr) {
    return kErrorInvalidParameter;
  }
  std::u16string key = pathKey(name);
  if (std::optional<Dword> const error = pathErrorFor(key)) {
    return *error;
  }
  const FsNode* node = findNode(key);
  if (node != nullptr && node->link && *node->link != sim::LinkKind::hard) {
    key = node->linkTarget;
    node = findNode(key);
  }
  if (node == nullptr) {
    return missingPathError(key);
  }
  return describeSecurity(key, securityInfo, owner, dacl, descriptor);
}

Bool GetAclInformation(void* acl, void* information, Dword length, int informationClass) {
  if (enterFails("GetAclInformation", {})) {
    return kFalse;
  }
  if (acl == nullptr || information == nullptr || informationClass != kAclSizeInformation ||
      length < sizeof(AclSizeInformation)) {
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  std::uint16_t header[4];
  std::memcpy(header, acl, sizeof header);
  *static_cast<AclSizeInformation*>(information) = {header[2], header[1], 0};
  return kTrue;
}

Bool GetAce(void* acl, Dword index, void** ace) {
  if (enterFails("GetAce", "index=" + std::to_string(index))) {
    return kFalse;
  }
  std::uint16_t header[4];
  std::memcpy(header, acl, sizeof header);
  if (ace == nullptr || index >= header[2]) {
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  auto* at = static_cast<unsigned char*>(acl) + 8;
  for (Dword i = 0; i < index; ++i) {
    at += reinterpret_cast<AceHeader*>(at)->AceSize;
  }
  *ace = at;
  return kTrue;
}

Bool LookupAccountSidW(const char16_t* systemName, void* sid, char16_t* name, Dword* nameSize, char16_t* domainName,
                       Dword* domainSize, int* use) {
  std::u16string const sidString = sid == nullptr ? std::u16string() : sidText(sid);
  if (enterFails("LookupAccountSidW", utf8(sidString))) {
    return kFalse;
  }
  if (systemName != nullptr || sid == nullptr || nameSize == nullptr || domainSize == nullptr || use == nullptr) {
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  auto const found = security().accounts.find(sidString);
  if (found == security().accounts.end()) {
    setLastError(kErrorNoneMapped);
    return kFalse;
  }
  const Account& account = found->second;
  if (*nameSize <= account.name.size() || *domainSize <= account.domain.size() || name == nullptr ||
      domainName == nullptr) {
    *nameSize = static_cast<Dword>(account.name.size() + 1);
    *domainSize = static_cast<Dword>(account.domain.size() + 1);
    setLastError(kErrorInsufficientBuffer);
    return kFalse;
  }
  std::copy(account.name.c_str(), account.name.c_str() + account.name.size() + 1, name);
  std::copy(account.domain.c_str(), account.domain.c_str() + account.domain.size() + 1, domainName);
  *nameSize = static_cast<Dword>(account.name.size());
  *domainSize = static_cast<Dword>(account.domain.size());
  *use = 1;  // SidTypeUser
  return kTrue;
}

Bool GetTokenInformation(Handle token, int informationClass, void* information, Dword length, Dword* returnLength) {
  if (enterFails("GetTokenInformation", handleText(token) + " class=" + std::to_string(informationClass))) {
    return kFalse;
  }
  if (token != kCurrentProcessToken && lookupHandle(token, Kind::token) == nullptr) {
    setLastError(kErrorInvalidHandle);
    return kFalse;
  }
  if (informationClass != kTokenUser || returnLength == nullptr) {
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  std::string const sid = sidBytes(security().processUser);
  *returnLength = static_cast<Dword>(sizeof(TokenUser) + sid.size());
  if (information == nullptr || length < *returnLength) {
    setLastError(kErrorInsufficientBuffer);
    return kFalse;
  }
  auto* const user = static_cast<TokenUser*>(information);
  user->Sid = user + 1;
  user->Attributes = 0;
  std::memcpy(user->Sid, sid.data(), sid.size());
  return kTrue;
}

Bool IsWellKnownSid(void* sid, int wellKnownSidType) {
  enterFails("IsWellKnownSid", std::to_string(wellKnownSidType));
  std::u16string const text = sidText(sid);
  return (wellKnownSidType == kWinLocalSystemSid && text == kSidLocalSystem) ||
                 (wellKnownSidType == kWinBuiltinAdministratorsSid && text == kSidAdministrators)
             ? kTrue
             : kFalse;
}

Bool EqualSid(void* first, void* second) {
  enterFails("EqualSid", {});
  return sidText(first) == sidText(second) ? kTrue : kFalse;
}

Bool CheckTokenMembership(Handle token, void* sid, Bool* isMember) {
  if (enterFails("CheckTokenMembership", handleText(token))) {
    return kFalse;
  }
  if ((token != nullptr && lookupHandle(token, Kind::token) == nullptr) || sid == nullptr || isMember == nullptr) {
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  std::u16string const group = sidText(sid);
  bool const member = group == security().processUser || group == kSidEveryone || group == kSidAuthenticatedUsers ||
                      (group == kSidAdministrators && security().administrator);
  *isMember = member ? kTrue : kFalse;
  return kTrue;
}

Bool SetDefaultDllDirectories(Dword directoryFlags) {
  return enterFails("SetDefaultDllDirectories", hex(directoryFlags)) ? kFalse : kTrue;
}

}  // namespace halcyra::platform

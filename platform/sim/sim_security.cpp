// Security in the simulated machine: each file's record, handed out as Windows' own binary
// SIDs and ACLs inside the descriptor that GetNamedSecurityInfoW and GetSecurityInfo give, so
// that the code above the seam walks the same structures as on Windows; and the records
// that SDDL texts give new files.
#include "platform/sim/sim_security.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/accounts.h"
#include "platform/files.h"
#include "platform/security.h"
#include "platform/sim/sim_machine.h"

namespace halcyra::sim {

namespace detail {

struct Account {
  std::u16string domain;
  std::u16string name;
};

struct SecurityState {
  std::map<std::u16string, Account> accounts;  // key: SID text
  std::u16string processUser = platform::kSidLocalSystem;
  bool administrator = true;
};

namespace {

using platform::kSidAdministrators;
using platform::kSidAuthenticatedUsers;
using platform::kSidEveryone;
using platform::kSidLocalSystem;
using platform::kSidUsers;

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

// The owner and DACL, each when asked for, in a descriptor that LocalFree knows: the owner's
// SID padded to 4 bytes, then the ACL.
Dword describe(const FileSecurity& file, Dword securityInfo, void** owner, void** dacl, void** descriptor) {
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

// SDDL's two-letter names of the SIDs, entry flags and file rights that the machine reads.
constexpr std::pair<std::u16string_view, const char16_t*> kSddlSids[] = {
    {u"SY", kSidLocalSystem}, {u"BA", kSidAdministrators}, {u"BU", kSidUsers}, {u"WD", kSidEveryone}};
constexpr std::pair<std::u16string_view, Dword> kSddlFlags[] = {
    {u"OI", 0x1}, {u"CI", 0x2}, {u"IO", 0x8}, {u"ID", 0x10}};
constexpr std::pair<std::u16string_view, Dword> kSddlRights[] = {
    {u"FA", kFileAllAccess}, {u"FR", 0x120089}, {u"FW", 0x120116}, {u"FX", 0x1200A0}};
constexpr std::uint8_t kInheritedAce = 0x10;

template <typename Names>
auto named(const Names& names, std::u16string_view name) {
  auto const found = std::find_if(std::begin(names), std::end(names), [&](auto const& n) { return n.first == name; });
  return found == std::end(names) ? std::nullopt : std::optional(found->second);
}

// The sum of the names run together in `text`.
template <std::size_t N>
std::optional<Dword> sddlBits(std::u16string_view text, const std::pair<std::u16string_view, Dword> (&names)[N]) {
  Dword bits = 0;
  for (; text.size() >= 2; text.remove_prefix(2)) {
    std::optional<Dword> const bit = named(names, text.substr(0, 2));
    if (!bit) {
      return std::nullopt;
    }
    bits |= *bit;
  }
  return text.empty() ? std::optional(bits) : std::nullopt;
}

}  // namespace

std::optional<FileSecurity> createdSecurity(const FileSecurity& folder, const std::u16string* sddl) {
  FileSecurity record{security().processUser, folder.dacl};
  if (sddl == nullptr) {
    for (std::size_t i = 0; record.dacl && i < record.dacl->size(); ++i) {
      (*record.dacl)[i].flags |= kInheritedAce;
    }
    return record;
  }
  // "D:", its flags (protected, auto-inherited: only the entries given stand here, as the
  // machine inherits nothing into them), then each "(type;flags;rights;;;SID)".
  std::u16string_view text = *sddl;
  std::size_t const open = std::min(text.find(u'('), text.size());
  if (!text.starts_with(u"D:") || text.substr(2, open - 2).find_first_not_of(u"PAIR") != text.npos) {
    return std::nullopt;
  }
  record.dacl.emplace();
  for (text.remove_prefix(open); text.starts_with(u'(');) {
    std::size_t const close = text.find(u')');
    std::u16string_view entry = text.substr(1, close == text.npos ? 0 : close - 1);
    if (close == text.npos || std::count(entry.begin(), entry.end(), u';') != 5) {
      return std::nullopt;
    }
    std::u16string_view fields[6];
    for (std::u16string_view& field : fields) {
      std::size_t const end = std::min(entry.find(u';'), entry.size());
      field = entry.substr(0, end);
      entry.remove_prefix(std::min(end + 1, entry.size()));
    }
    std::optional<Dword> const flags = sddlBits(fields[1], kSddlFlags);
    std::optional<Dword> const rights = sddlBits(fields[2], kSddlRights);
    std::optional<const char16_t*> const sid = named(kSddlSids, fields[5]);
    if ((fields[0] != u"A" && fields[0] != u"D") || !flags || !rights || !sid || !fields[3].empty() ||
        !fields[4].empty()) {
      return std::nullopt;
    }
    record.dacl->push_back({fields[0] == u"A", static_cast<std::uint8_t>(*flags), *rights, *sid});
    text.remove_prefix(close + 1);
  }
  return text.empty() ? std::optional(record) : std::nullopt;
}

}  // namespace detail

void setFileSecurity(const std::u16string& path, FileSecurity security) {
  detail::machine().fs.at(detail::fileKeyOf(detail::pathKey(path), false)).security = std::move(security);
}

std::optional<FileSecurity> fileSecurity(const std::u16string& path) {
  detail::FsNode const* const node = detail::findNode(detail::fileKeyOf(detail::pathKey(path), false));
  return node != nullptr ? std::optional(node->security) : std::nullopt;
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
  std::u16string const key = pathKey(name);
  if (std::optional<Dword> const error = pathErrorFor(key)) {
    return *error;
  }
  std::u16string const target = fileKeyOf(key, true);
  const FsNode* const node = findNode(target);
  return node == nullptr ? missingPathError(target) : describe(node->security, securityInfo, owner, dacl, descriptor);
}

Dword GetSecurityInfo(Handle object, int objectType, Dword securityInformation, void** owner, void** group, void** dacl,
                      void** sacl, void** descriptor) {
  if (enterFails("GetSecurityInfo", handleText(object) + " type=" + std::to_string(objectType) +
                                        " information=" + hex(securityInformation))) {
    return GetLastError();
  }
  HandleEntry const* const entry = lookupHandle(object, Kind::file);
  if (entry == nullptr || objectType != kSeFileObject) {
    return kErrorInvalidHandle;
  }
  if ((entry->access & kReadControl) == 0) {
    return kErrorAccessDenied;
  }
  if (descriptor == nullptr || group != nullptr || sacl != nullptr) {
    return kErrorInvalidParameter;
  }
  FsNode const* const node = findNode(machine().files.at(entry->object).key);
  return node == nullptr ? kErrorFileNotFound : describe(node->security, securityInformation, owner, dacl, descriptor);
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

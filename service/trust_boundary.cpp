#include "service/trust_boundary.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_file.h"
#include "platform/accounts.h"
#include "platform/decimal_text.h"
#include "platform/files.h"
#include "platform/module_path.h"
#include "platform/security.h"
#include "service/pass_update_check.h"
#include "service/service_events.h"

namespace halcyra {

using platform::Dword;
using platform::Sid;

namespace {

// File access rights, after the generic ones are mapped onto them.
constexpr Dword kReadData = 0x1;
constexpr Dword kWriteData = 0x2;   // a folder: add a file
constexpr Dword kAppendData = 0x4;  // a folder: add a sub-folder
constexpr Dword kDeleteChild = 0x40;
constexpr Dword kWriteAttributes = 0x100;
constexpr Dword kDelete = 0x10000;
constexpr Dword kWriteDac = 0x40000;
constexpr Dword kWriteOwner = 0x80000;
constexpr Dword kSpecificRights = 0x1F01FF;

Dword mapGeneric(Dword mask) {
  constexpr Dword kGenericAll = 0x10000000;
  constexpr Dword kGenericExecute = 0x20000000;
  constexpr Dword kGenericWrite = 0x40000000;
  constexpr Dword kGenericRead = 0x80000000;
  Dword mapped = mask & kSpecificRights;
  mapped |= (mask & kGenericAll) != 0 ? kSpecificRights : 0;
  mapped |= (mask & kGenericWrite) != 0 ? 0x120116 : 0;
  mapped |= (mask & kGenericRead) != 0 ? 0x120089 : 0;
  mapped |= (mask & kGenericExecute) != 0 ? 0x1200A0 : 0;
  return mapped;
}

// What a component is to the paths that pass through it; they decide which rights count.
enum Role : unsigned {
  kAbove = 1,         // it holds the next component: deleting children counts
  kHoldsCode = 2,     // it holds an executable or the configuration: adding files counts
  kFile = 4,          // an executable or the configuration: writing counts
  kMissingBelow = 8,  // what the path names below it does not exist: creating it counts
  kSecret = 16,       // the configuration: reading counts
  kDownloads = 32,    // tempFolder: the updater installs what is put there
};

Dword writeRights(unsigned roles) {
  Dword rights = kWriteDac | kWriteOwner | kDelete;
  rights |= (roles & (kAbove | kDownloads)) != 0 ? kDeleteChild : 0;
  rights |= (roles & kHoldsCode) != 0 ? kWriteData : 0;
  rights |= (roles & (kFile | kMissingBelow | kDownloads)) != 0 ? kWriteData | kAppendData : 0;
  return rights;
}

// A reparse point's own access list: whoever may write it may point it elsewhere.
constexpr Dword kRepointRights = kWriteDac | kWriteOwner | kDelete | kWriteData | kAppendData | kWriteAttributes;

// Access entry types as sets, one bit per type number.
constexpr std::uint32_t kAllowTypes =
    1u << platform::kAccessAllowedAceType | 1u << platform::kAccessAllowedObjectAceType |
    1u << platform::kAccessAllowedCallbackAceType | 1u << platform::kAccessAllowedCallbackObjectAceType;
constexpr std::uint32_t kDenyTypes = 1u << platform::kAccessDeniedAceType | 1u << platform::kAccessDeniedObjectAceType |
                                     1u << platform::kAccessDeniedCallbackAceType |
                                     1u << platform::kAccessDeniedCallbackObjectAceType;
// Those with an object type's flags and GUIDs before the SID.
constexpr std::uint32_t kObjectTypes =
    1u << platform::kAccessAllowedObjectAceType | 1u << platform::kAccessDeniedObjectAceType |
    1u << platform::kAccessAllowedCallbackObjectAceType | 1u << platform::kAccessDeniedCallbackObjectAceType;
// Audit, alarm, label and policy entries, which never grant access.
constexpr std::uint32_t kNoAccessTypes = 1u << 2 | 1u << 3 | 1u << 7 | 1u << 8 | 0x1FFu << 13;

bool isOf(std::uint32_t types, std::uint8_t type) { return type < 32 && (types >> type & 1) != 0; }

struct AccessEntry {
  std::uint8_t type = 0;
  std::uint8_t flags = 0;
  Dword mask = 0;
  Sid sid;  // empty when the entry's layout is not known
};

struct ObjectSecurity {
  Sid owner;
  bool nullDacl = false;  // full access for everyone
  std::vector<AccessEntry> dacl;
};

// Where an entry's SID starts, by its type; 0 when the layout is not known.
std::size_t sidOffset(const unsigned char* ace, std::uint8_t type) {
  if (isOf(kObjectTypes, type)) {
    Dword flags = 0;
    std::memcpy(&flags, ace + 8, sizeof flags);
    return std::size_t{12} + ((flags & platform::kAceObjectTypePresent) != 0 ? 16u : 0u) +
           ((flags & platform::kAceInheritedObjectTypePresent) != 0 ? 16u : 0u);
  }
  return isOf(kAllowTypes | kDenyTypes, type) ? offsetof(platform::AccessAce, SidStart) : 0;
}

// The owner and entries of a descriptor's parts; 0 or the error of the ACL's reading.
Dword parseSecurity(void* owner, void* dacl, ObjectSecurity& security) {
  security.owner = owner != nullptr ? platform::sidAt(owner) : Sid();
  security.nullDacl = dacl == nullptr;
  if (security.nullDacl) {
    return 0;
  }
  platform::AclSizeInformation size{};
  if (platform::GetAclInformation(dacl, &size, sizeof size, platform::kAclSizeInformation) == platform::kFalse) {
    return platform::GetLastError();
  }
  security.dacl = std::vector<AccessEntry>(size.AceCount);
  for (Dword index = 0; index < size.AceCount; ++index) {
    void* ace = nullptr;
    if (platform::GetAce(dacl, index, &ace) == platform::kFalse) {
      return platform::GetLastError();
    }
    const auto* const bytes = static_cast<const unsigned char*>(ace);
    platform::AccessAce fields{};
    std::memcpy(&fields, bytes, offsetof(platform::AccessAce, SidStart));
    AccessEntry& entry = security.dacl[index];
    entry.type = fields.Header.AceType;
    entry.flags = fields.Header.AceFlags;
    entry.mask = fields.Mask;
    std::size_t const at = sidOffset(bytes, entry.type);
    if (at != 0 && at + 8 <= fields.Header.AceSize &&
        at + 8 + std::size_t{4} * bytes[at + 1] <= fields.Header.AceSize) {
      entry.sid = platform::sidAt(bytes + at);
    }
  }
  return 0;
}

// The object's owner and access list: a reparse point's own when `own` (opened without
// following it), otherwise those of what the path leads to.
Dword readSecurity(const std::u16string& path, bool own, ObjectSecurity& security) {
  constexpr Dword kParts = platform::kOwnerSecurityInformation | platform::kDaclSecurityInformation;
  void* owner = nullptr;
  void* dacl = nullptr;
  void* descriptor = nullptr;
  Dword error = 0;
  if (own) {
    platform::Handle const link = platform::CreateFileW(
        path.c_str(), platform::kReadControl,
        platform::kFileShareRead | platform::kFileShareWrite | platform::kFileShareDelete, nullptr,
        platform::kOpenExisting, platform::kFileFlagBackupSemantics | platform::kFileFlagOpenReparsePoint, nullptr);
    if (link == platform::kInvalidHandle) {
      return platform::GetLastError();
    }
    error =
        platform::GetSecurityInfo(link, platform::kSeFileObject, kParts, &owner, nullptr, &dacl, nullptr, &descriptor);
    platform::CloseHandle(link);
  } else {
    error = platform::GetNamedSecurityInfoW(path.c_str(), platform::kSeFileObject, kParts, &owner, nullptr, &dacl,
                                            nullptr, &descriptor);
  }
  if (error == 0) {
    error = parseSecurity(owner, dacl, security);
    platform::LocalFree(descriptor);
  }
  return error;
}

// "DOMAIN\name", or the SID's text when no account has it; an entry's SID that could not be
// read (empty) has no name.
std::u16string accountName(const Sid& sid) {
  if (sid.empty()) {
    return u"an access entry without a readable SID";
  }
  char16_t name[256] = {};
  char16_t domain[256] = {};
  Dword nameSize = 256;
  Dword domainSize = 256;
  int use = 0;
  // The lookup only reads the SID.
  if (platform::LookupAccountSidW(nullptr, const_cast<char*>(sid.data()), name, &nameSize, domain, &domainSize, &use) ==
      platform::kFalse) {
    return platform::sidText(sid);
  }
  name[255] = u'\0';
  domain[255] = u'\0';
  std::u16string account = domain;
  if (!account.empty()) {
    account += u'\\';
  }
  account += name;
  return account;
}

void addOnce(std::vector<std::u16string>& accounts, const std::u16string& account) {
  for (const std::u16string& listed : accounts) {
    if (listed == account) {
      return;
    }
  }
  std::u16string copy = account;
  accounts.push_back(std::move(copy));
}

// Whether an entry takes part in the object's own access: not inherit-only, and of a type
// that can grant or deny.
bool applies(const AccessEntry& entry) {
  return (entry.flags & platform::kInheritOnlyAce) == 0 && !isOf(kNoAccessTypes, entry.type);
}

// The account an entry is for: OWNER RIGHTS stand for the owner.
const Sid& holderOf(const AccessEntry& entry, const ObjectSecurity& security) {
  return entry.sid == platform::kOwnerRightsSid ? security.owner : entry.sid;
}

// The accounts beyond the trusted ones that hold any of `write` (or `read`) on the object.
// Entries apply in order: a plain deny entry takes rights away from later entries for the
// same SID (Everyone's from every SID); deny entries with a condition or an object type may
// not apply and take nothing away. Group membership is not known here, so other denies are
// not weighed against other accounts.
void untrustedHolders(const ObjectSecurity& security, Dword write, Dword read, const platform::ProcessAccount& self,
                      UntrustedAccess& access) {
  if (security.nullDacl) {
    Sid const everyone(platform::kEveryoneSid);
    addOnce(access.writers, accountName(everyone));
    if (read != 0) {
      addOnce(access.readers, accountName(everyone));
    }
    return;
  }
  bool ownerRightsListed = false;
  for (auto entry = security.dacl.begin(); entry != security.dacl.end(); ++entry) {
    if (!applies(*entry)) {
      continue;
    }
    ownerRightsListed = ownerRightsListed || entry->sid == platform::kOwnerRightsSid;
    const Sid& sid = holderOf(*entry, security);
    if (isOf(kDenyTypes, entry->type) || entry->sid == platform::kCreatorOwnerSid ||
        (!sid.empty() && platform::isTrustedAccount(sid, self))) {
      continue;
    }
    if (!isOf(kAllowTypes, entry->type)) {
      // A type not known here may grant anything to anyone.
      std::u16string unknown = u"an access entry of type ";
      addOnce(access.writers, unknown += decimalText(entry->type));
      continue;
    }
    Dword mask = mapGeneric(entry->mask);
    for (auto earlier = security.dacl.begin(); earlier != entry; ++earlier) {
      if (earlier->type == platform::kAccessDeniedAceType && applies(*earlier)) {
        const Sid& denied = holderOf(*earlier, security);
        mask &= denied == sid || denied == platform::kEveryoneSid ? ~mapGeneric(earlier->mask) : ~Dword{0};
      }
    }
    std::u16string const holder = accountName(sid);
    if ((mask & write) != 0) {
      addOnce(access.writers, holder);
    }
    if ((mask & read) != 0) {
      addOnce(access.readers, holder);
    }
  }
  // Without an OWNER RIGHTS entry the owner may always rewrite the access list.
  if (!ownerRightsListed && !security.owner.empty() && !platform::isTrustedAccount(security.owner, self)) {
    addOnce(access.writers, accountName(security.owner));
  }
}

// One folder or file of the paths checked, with what it is to them.
struct Component {
  std::u16string path;
  unsigned roles = 0;
  bool reparsePoint = false;
  bool entry = false;  // found in a folder of code, not on a path: a link is not followed
};

Component* find(std::vector<Component>& components, const std::u16string& path) {
  for (Component& component : components) {
    if (component.path == path) {
      return &component;
    }
  }
  return nullptr;
}

// Adds the folders from the volume root down to `object`, and the object with `roles`, as
// far as they exist: the last one that does gets the right to create what is missing
// counted. An empty path names nothing.
void addPath(std::vector<Component>& components, std::u16string object, unsigned roles) {
  if (object.empty()) {
    return;
  }
  std::vector<std::u16string> chain;  // the object, then each folder above it up to the volume root
  for (std::u16string path = std::move(object); chain.empty() || path != chain.back();
       path = parentPath(chain.back())) {
    chain.push_back(std::move(path));
  }
  // A UNC path starts at its share: "\\server\" itself has no security to read.
  std::size_t top = chain.size();
  if (top > 1 && (chain.back().size() < 2 || chain.back()[1] != u':')) {
    --top;
  }
  Component* above = nullptr;  // the last one walked; nothing is added before it is marked
  for (std::size_t i = top; i-- > 0;) {
    unsigned const own = i == 0 ? roles : kAbove | (i == 1 && (roles & kFile) != 0 ? unsigned{kHoldsCode} : 0u);
    if (Component* const known = find(components, chain[i])) {
      known->roles |= own;
      above = known;
      continue;
    }
    // The object's own attributes: a reparse point is not followed.
    platform::FileAttributeData data{};
    if (platform::GetFileAttributesExW(chain[i].c_str(), &data) == platform::kFalse) {
      Dword const error = platform::GetLastError();
      if (error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound) {
        if (above != nullptr) {
          above->roles |= kMissingBelow;
        }
        return;
      }
    }
    components.push_back({std::move(chain[i]), own, (data.fileAttributes & platform::kFileAttributeReparsePoint) != 0});
    above = &components.back();
  }
}

TrustFinding checkComponent(const Component& component, const platform::ProcessAccount& self) {
  TrustFinding finding{component.path, {}, 0, component.reparsePoint};
  Dword const read = (component.roles & kSecret) != 0 ? kReadData : 0;
  ObjectSecurity security;
  if (finding.reparsePoint) {
    finding.error = readSecurity(component.path, true, security);
    if (finding.error != 0) {
      return finding;
    }
    untrustedHolders(security, kRepointRights, read, self, finding.access);
    if (component.entry) {
      return finding;
    }
  }
  finding.error = readSecurity(component.path, false, security);
  if (finding.error == platform::kErrorFileNotFound || finding.error == platform::kErrorPathNotFound) {
    finding.error = 0;  // gone since the walk, or a link that leads nowhere: nothing to change there
  } else if (finding.error == 0) {
    untrustedHolders(security, writeRights(component.roles), read, self, finding.access);
  }
  return finding;
}

bool sameName(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    char16_t const x = a[i] >= u'a' && a[i] <= u'z' ? static_cast<char16_t>(a[i] - 32) : a[i];
    char16_t const y = b[i] >= u'a' && b[i] <= u'z' ? static_cast<char16_t>(b[i] - 32) : b[i];
    if (x != y) {
      return false;
    }
  }
  return true;
}

// How many entries of one folder are read: a folder that the installation fills holds a few
// dozen, and whatever a user left in it before the lock is owned by that user, so the first
// of them already shows.
constexpr std::size_t kEntriesPerFolder = 1000;

// Adds what `folder` holds (not what lies deeper) beside the paths already walked: a file
// there, a DLL say, may be loaded by the programs of that folder, and a sub-folder may be
// searched by them, so each counts as a file the programs run: an untrusted owner, writing,
// replacing or re-permitting it. A reparse point there counts with its own security only.
// An empty path names no folder.
void addEntries(std::vector<Component>& components, const std::u16string& folder) {
  if (folder.empty()) {
    return;
  }
  std::u16string prefix = folder;
  if (prefix.back() != u'\\') {
    prefix += u'\\';
  }
  platform::FindData data{};
  prefix += u'*';
  platform::Handle const search = platform::FindFirstFileW(prefix.c_str(), &data);
  if (search == platform::kInvalidHandle) {
    return;  // a folder that does not exist holds nothing; the walk counts who may create it
  }
  prefix.pop_back();  // the folder's path again, for its entries' paths
  std::size_t read = 0;
  do {
    if (std::u16string_view const name = data.fileName; name == u"." || name == u"..") {
      continue;
    }
    std::u16string path = prefix + data.fileName;
    bool walked = false;
    for (const Component& component : components) {
      walked = walked || sameName(component.path, path);
    }
    if (!walked) {
      components.push_back(
          {std::move(path), kFile, (data.fileAttributes & platform::kFileAttributeReparsePoint) != 0, true});
    }
  } while (++read < kEntriesPerFolder && platform::FindNextFileW(search, &data) != platform::kFalse);
  platform::FindClose(search);
}

// `path` made absolute; empty when it is empty or the system rejects it.
std::u16string fullPathIfAny(const std::u16string& path) { return path.empty() ? path : fullPathOf(path); }

// The folder of the updater that `settings` names; empty when it names none.
std::u16string updaterFolder(const UpdaterSettings& settings) {
  std::u16string const updater = fullPathIfAny(settings.updaterPath);
  return updater.empty() ? updater : parentPath(updater);
}

// The open objects among `components`; without who may only read them unless `readers`.
std::vector<TrustFinding> checkComponents(const std::vector<Component>& components, bool readers) {
  platform::ProcessAccount const self = platform::processAccount();
  std::vector<TrustFinding> findings;
  for (const Component& component : components) {
    TrustFinding finding = checkComponent(component, self);
    if (!readers) {
      finding.access.readers.clear();
    }
    if (finding.error != 0 || !finding.access.writers.empty() || !finding.access.readers.empty()) {
      findings.push_back(std::move(finding));
    }
  }
  return findings;
}

void addConfiguredPaths(std::vector<Component>& components, const UpdaterSettings& settings, bool downloads) {
  if (std::optional<std::u16string> const configFile = configFilePath(kPassConfigPath)) {
    addPath(components, *configFile, kFile | kSecret);
  }
  addPath(components, fullPathIfAny(settings.updaterPath), kFile);
  if (downloads) {
    addPath(components, fullPathIfAny(settings.tempFolder), kDownloads);
  }
}

void appendAccounts(std::u16string& text, const char16_t* label, const std::vector<std::u16string>& accounts) {
  text += label;
  for (std::size_t i = 0; i < accounts.size(); ++i) {
    if (i != 0) {
      text += u", ";
    }
    text += accounts[i];
  }
}

std::u16string describeAll(const std::vector<TrustFinding>& findings, const char16_t* separator) {
  std::u16string lines;
  for (const TrustFinding& finding : findings) {
    if (!lines.empty()) {
      lines += separator;
    }
    lines += describeFinding(finding);
  }
  return lines;
}

}  // namespace

std::vector<TrustFinding> checkTrustBoundary() {
  std::optional<std::u16string> const module = platform::modulePath();
  if (!module) {
    return {};
  }
  std::u16string root = installRootOf(*module);
  if (root.empty() || root.back() != u'\\') {
    root += u'\\';
  }
  std::vector<Component> components;
  addPath(components, root + kServerFileName, kFile);
  addPath(components, root + u"bin\\HalcyraService.exe", kFile);
  UpdaterSettings settings;
  loadUpdaterConfig(settings, kPassConfigPath);  // a configuration that cannot be read names no updater
  addConfiguredPaths(components, settings, true);
  // What an install root or download folder created before the installation may still hold.
  for (const char16_t* const folder : {u"", u"bin", u"resources", u"resources\\updater"}) {
    addEntries(components, root + folder);
  }
  addEntries(components, updaterFolder(settings));
  addEntries(components, fullPathIfAny(settings.tempFolder));  // what the updater installs from
  return checkComponents(components, true);
}

UpdaterPathVerdict checkUpdaterPath(const UpdaterSettings& settings) {
  std::vector<Component> components;
  addConfiguredPaths(components, settings, false);
  // What the updater's folder holds is loaded by the updater as readily as the updater itself.
  addEntries(components, updaterFolder(settings));
  // Who may only read the configuration changes nothing the updater runs.
  std::vector<TrustFinding> const open = checkComponents(components, false);
  return {!open.empty(), describeAll(open, u"; ")};
}

std::u16string describeFinding(const TrustFinding& finding) {
  std::u16string text = finding.path;
  text += finding.reparsePoint ? u" (a reparse point): " : u": ";
  if (finding.error != 0) {
    text += u"its access list could not be read (error ";
    text += decimalText(finding.error);
    text += u')';
    return text;
  }
  if (!finding.access.writers.empty()) {
    appendAccounts(text, u"writable by ", finding.access.writers);
  }
  if (!finding.access.readers.empty()) {
    appendAccounts(text, finding.access.writers.empty() ? u"readable by " : u"; readable by ", finding.access.readers);
  }
  return text;
}

void warnIfTrustBoundaryOpen() noexcept {
  try {
    std::u16string const lines = describeAll(checkTrustBoundary(), u"\r\n");
    if (!lines.empty()) {
      reportTrustBoundaryOpen(lines);
    }
  } catch (...) {
    // Only a warning is lost (no memory for its text); the service goes on.
  }
}

}  // namespace halcyra

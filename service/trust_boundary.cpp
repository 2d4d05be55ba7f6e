#include "service/trust_boundary.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_file.h"
#include "platform/accounts.h"
#include "platform/files.h"
#include "platform/module_path.h"
#include "platform/security.h"
#include "service/pass_update_check.h"
#include "service/service_events.h"
#include "version/decimal_text.h"

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

struct AccessEntry {
  std::uint8_t type = 0;
  std::uint8_t flags = 0;
  Dword mask = 0;
  Sid sid;  // empty when the entry's layout is not known
};

struct ObjectSecurity {
  Sid owner;
  std::optional<std::vector<AccessEntry>> dacl;  // none: a NULL DACL, full access for everyone
};

// Where an entry's SID starts, by its type; 0 when the layout is not known.
std::size_t sidOffset(const unsigned char* ace, std::uint8_t type) {
  switch (type) {
    case platform::kAccessAllowedAceType:
    case platform::kAccessDeniedAceType:
    case platform::kAccessAllowedCallbackAceType:
    case platform::kAccessDeniedCallbackAceType:
      return offsetof(platform::AccessAce, SidStart);
    case platform::kAccessAllowedObjectAceType:
    case platform::kAccessDeniedObjectAceType:
    case platform::kAccessAllowedCallbackObjectAceType:
    case platform::kAccessDeniedCallbackObjectAceType: {
      Dword flags = 0;
      std::memcpy(&flags, ace + 8, sizeof flags);
      return std::size_t{12} + ((flags & platform::kAceObjectTypePresent) != 0 ? 16u : 0u) +
             ((flags & platform::kAceInheritedObjectTypePresent) != 0 ? 16u : 0u);
    }
    default:
      return 0;
  }
}

// The owner and entries of a descriptor's parts; 0 or the error of the ACL's reading.
Dword parseSecurity(void* owner, void* dacl, ObjectSecurity& security) {
  security.owner = owner != nullptr ? platform::sidAt(owner) : Sid();
  if (dacl == nullptr) {
    security.dacl.reset();
    return 0;
  }
  security.dacl.emplace();
  platform::AclSizeInformation size{};
  if (platform::GetAclInformation(dacl, &size, sizeof size, platform::kAclSizeInformation) == platform::kFalse) {
    return platform::GetLastError();
  }
  for (Dword index = 0; index < size.AceCount; ++index) {
    void* ace = nullptr;
    if (platform::GetAce(dacl, index, &ace) == platform::kFalse) {
      return platform::GetLastError();
    }
    const auto* const bytes = static_cast<const unsigned char*>(ace);
    platform::AccessAce fields{};
    std::memcpy(&fields, bytes, offsetof(platform::AccessAce, SidStart));
    AccessEntry entry{fields.Header.AceType, fields.Header.AceFlags, fields.Mask, {}};
    std::size_t const at = sidOffset(bytes, entry.type);
    if (at != 0 && at + 8 <= fields.Header.AceSize &&
        at + 8 + std::size_t{4} * bytes[at + 1] <= fields.Header.AceSize) {
      entry.sid = platform::sidAt(bytes + at);
    }
    security.dacl->push_back(std::move(entry));
  }
  return 0;
}

// The object's security as the path reaches it: a link followed to what it leads to.
Dword readFollowed(const std::u16string& path, ObjectSecurity& security) {
  void* owner = nullptr;
  void* dacl = nullptr;
  void* descriptor = nullptr;
  Dword error = platform::GetNamedSecurityInfoW(
      path.c_str(), platform::kSeFileObject, platform::kOwnerSecurityInformation | platform::kDaclSecurityInformation,
      &owner, nullptr, &dacl, nullptr, &descriptor);
  if (error == 0) {
    error = parseSecurity(owner, dacl, security);
    platform::LocalFree(descriptor);
  }
  return error;
}

// A reparse point's own security, opened without following it.
Dword readOwn(const std::u16string& path, ObjectSecurity& security) {
  platform::Handle const link = platform::CreateFileW(
      path.c_str(), platform::kReadControl,
      platform::kFileShareRead | platform::kFileShareWrite | platform::kFileShareDelete, nullptr,
      platform::kOpenExisting, platform::kFileFlagBackupSemantics | platform::kFileFlagOpenReparsePoint, nullptr);
  if (link == platform::kInvalidHandle) {
    return platform::GetLastError();
  }
  void* owner = nullptr;
  void* dacl = nullptr;
  void* descriptor = nullptr;
  Dword error = platform::GetSecurityInfo(link, platform::kSeFileObject,
                                          platform::kOwnerSecurityInformation | platform::kDaclSecurityInformation,
                                          &owner, nullptr, &dacl, nullptr, &descriptor);
  platform::CloseHandle(link);
  if (error == 0) {
    error = parseSecurity(owner, dacl, security);
    platform::LocalFree(descriptor);
  }
  return error;
}

// "DOMAIN\name", or the SID's text when no account has it.
std::u16string accountName(const Sid& sid) {
  char16_t name[256] = {};
  char16_t domain[256] = {};
  Dword nameSize = 256;
  Dword domainSize = 256;
  int use = 0;
  Sid copy = sid;
  if (platform::LookupAccountSidW(nullptr, copy.data(), name, &nameSize, domain, &domainSize, &use) ==
      platform::kFalse) {
    return platform::sidText(sid);
  }
  name[255] = u'\0';
  domain[255] = u'\0';
  std::u16string account = domain;
  return account.empty() ? std::u16string(name) : account + u'\\' + name;
}

void addOnce(std::vector<std::u16string>& accounts, std::u16string account) {
  if (std::find(accounts.begin(), accounts.end(), account) == accounts.end()) {
    accounts.push_back(std::move(account));
  }
}

bool isAllowType(std::uint8_t type) {
  return type == platform::kAccessAllowedAceType || type == platform::kAccessAllowedObjectAceType ||
         type == platform::kAccessAllowedCallbackAceType || type == platform::kAccessAllowedCallbackObjectAceType;
}

// Audit, alarm, label and policy entries, which never grant access.
bool grantsNothing(std::uint8_t type) {
  return type == 2 || type == 3 || type == 7 || type == 8 || (type >= 13 && type <= 21);
}
bool isDenyType(std::uint8_t type) {
  return type == platform::kAccessDeniedAceType || type == platform::kAccessDeniedObjectAceType ||
         type == platform::kAccessDeniedCallbackAceType || type == platform::kAccessDeniedCallbackObjectAceType;
}

// The accounts beyond the trusted ones that hold any of `write` (or `read`) on the object.
// Entries apply in order: a plain deny entry takes rights away from later entries for the
// same SID (Everyone's from every SID); deny entries with a condition or an object type may
// not apply and take nothing away. Group membership is not known here, so other denies are
// not weighed against other accounts.
void untrustedHolders(const ObjectSecurity& security, Dword write, Dword read, const platform::ProcessAccount& self,
                      UntrustedAccess& access) {
  const Sid everyone = platform::sidFromText(platform::kSidEveryone);
  const Sid ownerRights = platform::sidFromText(platform::kSidOwnerRights);
  const Sid creatorOwner = platform::sidFromText(platform::kSidCreatorOwner);
  if (!security.dacl) {
    addOnce(access.writers, accountName(everyone));
    if (read != 0) {
      addOnce(access.readers, accountName(everyone));
    }
    return;
  }
  bool ownerRightsListed = false;
  std::vector<std::pair<Sid, Dword>> denied;
  const auto deniedTo = [&denied, &everyone](const Sid& sid) {
    Dword mask = 0;
    for (const auto& [deniedSid, deniedMask] : denied) {
      mask |= deniedSid == sid || deniedSid == everyone ? deniedMask : 0;
    }
    return mask;
  };
  for (const AccessEntry& entry : *security.dacl) {
    if ((entry.flags & platform::kInheritOnlyAce) != 0 || grantsNothing(entry.type)) {
      continue;
    }
    bool const isOwnerRights = entry.sid == ownerRights;
    ownerRightsListed = ownerRightsListed || isOwnerRights;
    const Sid& sid = isOwnerRights ? security.owner : entry.sid;
    if (entry.type == platform::kAccessDeniedAceType) {
      denied.emplace_back(sid, mapGeneric(entry.mask));
      continue;
    }
    if (isDenyType(entry.type) || entry.sid == creatorOwner ||
        (!sid.empty() && platform::isTrustedAccount(sid, self))) {
      continue;
    }
    Dword const mask = mapGeneric(entry.mask) & ~deniedTo(sid);
    if (!isAllowType(entry.type)) {
      // A type not known here may grant anything to anyone.
      addOnce(access.writers, u"an access entry of type " + decimalText(entry.type));
      continue;
    }
    std::u16string const holder = sid.empty() ? u"an access entry without a readable SID" : accountName(sid);
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

enum class ObjectKind { executable, configuration, downloads };

// Adds the folders from the volume root down to `object`, and the object, as far as they
// exist: the last one that does gets the right to create what is missing counted.
void addPath(std::vector<Component>& components, const std::u16string& object, ObjectKind kind) {
  std::vector<std::u16string> chain = {object};
  for (std::u16string parent = parentPath(object); parent != chain.back(); parent = parentPath(parent)) {
    chain.push_back(parent);
  }
  // A UNC path starts at its share: "\\server\" itself has no security to read.
  if (chain.size() > 1 && (chain.back().size() < 2 || chain.back()[1] != u':')) {
    chain.pop_back();
  }
  std::reverse(chain.begin(), chain.end());
  for (std::size_t i = 0; i < chain.size(); ++i) {
    bool const leaf = i + 1 == chain.size();
    unsigned roles = 0;
    if (!leaf) {
      roles |= kAbove;
    } else if (kind == ObjectKind::downloads) {
      roles |= kDownloads;
    } else {
      roles |= kFile | (kind == ObjectKind::configuration ? unsigned{kSecret} : 0u);
    }
    if (i + 2 == chain.size() && kind != ObjectKind::downloads) {
      roles |= kHoldsCode;
    }
    auto const known =
        std::find_if(components.begin(), components.end(), [&](const Component& c) { return c.path == chain[i]; });
    if (known != components.end()) {
      known->roles |= roles;
      continue;
    }
    // The object's own attributes: a reparse point is not followed.
    platform::FileAttributeData data{};
    if (platform::GetFileAttributesExW(chain[i].c_str(), &data) == platform::kFalse) {
      Dword const error = platform::GetLastError();
      if (error == platform::kErrorFileNotFound || error == platform::kErrorPathNotFound) {
        if (i > 0) {
          std::find_if(components.begin(), components.end(), [&](const Component& c) {
            return c.path == chain[i - 1];
          })->roles |= kMissingBelow;
        }
        return;
      }
    }
    components.push_back({chain[i], roles, (data.fileAttributes & platform::kFileAttributeReparsePoint) != 0});
  }
}

TrustFinding checkComponent(const Component& component, const platform::ProcessAccount& self) {
  TrustFinding finding{component.path, {}, 0, component.reparsePoint};
  Dword const write = writeRights(component.roles);
  Dword const read = (component.roles & kSecret) != 0 ? kReadData : 0;
  ObjectSecurity security;
  if (finding.reparsePoint) {
    finding.error = readOwn(component.path, security);
    if (finding.error != 0) {
      return finding;
    }
    untrustedHolders(security, kRepointRights, read, self, finding.access);
    if (component.entry) {
      return finding;
    }
  }
  finding.error = readFollowed(component.path, security);
  if (finding.error == platform::kErrorFileNotFound || finding.error == platform::kErrorPathNotFound) {
    finding.error = 0;  // gone since the walk, or a link that leads nowhere: nothing to change there
  } else if (finding.error == 0) {
    untrustedHolders(security, write, read, self, finding.access);
  }
  return finding;
}

bool sameName(std::u16string_view a, std::u16string_view b) {
  const auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char16_t x, char16_t y) { return upper(x) == upper(y); });
}

// How many entries of one folder are read: a folder that the installation fills holds a few
// dozen, and whatever a user left in it before the lock is owned by that user, so the first
// of them already shows.
constexpr std::size_t kEntriesPerFolder = 1000;

// Adds what `folder` holds (not what lies deeper) beside the paths already walked: a file
// there, a DLL say, may be loaded by the programs of that folder, and a sub-folder may be
// searched by them, so each counts as a file the programs run: an untrusted owner, writing,
// replacing or re-permitting it. A reparse point there counts with its own security only.
void addEntries(std::vector<Component>& components, const std::u16string& folder) {
  std::u16string const prefix = !folder.empty() && folder.back() == u'\\' ? folder : folder + u'\\';
  platform::FindData data{};
  platform::Handle const search = platform::FindFirstFileW((prefix + u'*').c_str(), &data);
  if (search == platform::kInvalidHandle) {
    return;  // a folder that does not exist holds nothing; the walk counts who may create it
  }
  std::size_t read = 0;
  do {
    std::u16string path = prefix + data.fileName;
    if (data.fileName == u"." || data.fileName == u".." ||
        std::any_of(components.begin(), components.end(), [&](const Component& c) { return sameName(c.path, path); })) {
      continue;
    }
    components.push_back(
        {std::move(path), kFile, (data.fileAttributes & platform::kFileAttributeReparsePoint) != 0, true});
  } while (++read < kEntriesPerFolder && platform::FindNextFileW(search, &data) != platform::kFalse);
  platform::FindClose(search);
}

// The folder of the updater that `settings` names; empty when it names none.
std::u16string updaterFolder(const UpdaterSettings& settings) {
  std::u16string const updater = settings.updaterPath.empty() ? std::u16string() : fullPathOf(settings.updaterPath);
  return updater.empty() ? updater : parentPath(updater);
}

std::vector<TrustFinding> checkComponents(const std::vector<Component>& components) {
  platform::ProcessAccount const self = platform::processAccount();
  std::vector<TrustFinding> findings;
  for (const Component& component : components) {
    TrustFinding finding = checkComponent(component, self);
    if (finding.error != 0 || !finding.access.writers.empty() || !finding.access.readers.empty()) {
      findings.push_back(std::move(finding));
    }
  }
  return findings;
}

void addConfiguredPaths(std::vector<Component>& components, const UpdaterSettings& settings, bool downloads) {
  if (std::optional<std::u16string> const configFile = configFilePath(kPassConfigPath)) {
    addPath(components, *configFile, ObjectKind::configuration);
  }
  if (!settings.updaterPath.empty()) {
    if (std::u16string const updater = fullPathOf(settings.updaterPath); !updater.empty()) {
      addPath(components, updater, ObjectKind::executable);
    }
  }
  if (downloads && !settings.tempFolder.empty()) {
    if (std::u16string const folder = fullPathOf(settings.tempFolder); !folder.empty()) {
      addPath(components, folder, ObjectKind::downloads);
    }
  }
}

std::u16string listed(const std::vector<std::u16string>& accounts) {
  std::u16string text;
  for (const std::u16string& account : accounts) {
    text += text.empty() ? u"" : u", ";
    text += account;
  }
  return text;
}

std::u16string describeAll(const std::vector<TrustFinding>& findings, std::u16string_view separator) {
  std::u16string lines;
  for (const TrustFinding& finding : findings) {
    lines += lines.empty() ? u"" : separator;
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
  std::u16string const root = installRootOf(*module);
  std::u16string const separator = !root.empty() && root.back() == u'\\' ? u"" : u"\\";
  std::vector<Component> components;
  addPath(components, root + separator + kServerFileName, ObjectKind::executable);
  addPath(components, root + separator + u"bin\\HalcyraService.exe", ObjectKind::executable);
  UpdaterSettings settings;
  loadUpdaterConfig(settings, kPassConfigPath);  // a configuration that cannot be read names no updater
  addConfiguredPaths(components, settings, true);
  // What an install root or download folder created before the installation may still hold.
  for (const char16_t* const folder : {u"", u"bin", u"resources", u"resources\\updater"}) {
    addEntries(components, *folder == u'\0' ? root : root + separator + folder);
  }
  if (std::u16string const folder = updaterFolder(settings); !folder.empty()) {
    addEntries(components, folder);
  }
  if (std::u16string const downloads = settings.tempFolder.empty() ? u"" : fullPathOf(settings.tempFolder);
      !downloads.empty()) {
    addEntries(components, downloads);  // what the updater installs from
  }
  return checkComponents(components);
}

UpdaterPathVerdict checkUpdaterPath(const UpdaterSettings& settings) {
  std::vector<Component> components;
  addConfiguredPaths(components, settings, false);
  // What the updater's folder holds is loaded by the updater as readily as the updater itself.
  if (std::u16string const folder = updaterFolder(settings); !folder.empty()) {
    addEntries(components, folder);
  }
  std::vector<TrustFinding> const findings = checkComponents(components);
  // Who may only read the configuration changes nothing the updater runs.
  std::vector<TrustFinding> open;
  for (const TrustFinding& finding : findings) {
    if (finding.error != 0 || !finding.access.writers.empty()) {
      open.push_back(finding);
      open.back().access.readers.clear();
    }
  }
  return {!open.empty(), describeAll(open, u"; ")};
}

std::u16string describeFinding(const TrustFinding& finding) {
  std::u16string text = finding.path + (finding.reparsePoint ? u" (a reparse point): " : u": ");
  if (finding.error != 0) {
    return text + u"its access list could not be read (error " + decimalText(finding.error) + u')';
  }
  if (!finding.access.writers.empty()) {
    text += u"writable by " + listed(finding.access.writers);
  }
  if (!finding.access.readers.empty()) {
    text += finding.access.writers.empty() ? u"readable by " : u"; readable by ";
    text += listed(finding.access.readers);
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

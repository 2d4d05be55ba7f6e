#pragma once
// Control of the simulated machine's security: owners and access lists of files and
// folders, the accounts that names are looked up in, and the user the processes run as.
//
// A path without an access list of its own has the one of a locked installation: owner
// BUILTIN\Administrators, full control for SYSTEM and the Administrators, nothing for anyone
// else. The processes run as SYSTEM, a member of the Administrators.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"

namespace halcyra::sim {

// SIDs in their text form, e.g. "S-1-5-18".
struct AccessEntry {
  bool allow = true;  // an access-allowed entry, else access-denied
  std::uint8_t flags = 0;
  platform::Dword mask = 0;
  std::u16string sid;
  // Another ACE type with the plain layout (a callback entry), instead of allow or deny.
  std::optional<std::uint8_t> type;
};
struct FileSecurity {
  std::u16string owner;
  std::optional<std::vector<AccessEntry>> dacl;  // none: a NULL DACL
};
void setFileSecurity(const std::u16string& path, FileSecurity security);

// LookupAccountSidW finds `domain`\`name` for `sid`; the well-known accounts are there
// from the start.
void addAccount(const std::u16string& sid, const std::u16string& domain, const std::u16string& name);

// The user every process's token holds, and whether it holds the Administrators group.
void setProcessUser(const std::u16string& sid, bool administrator);

}  // namespace halcyra::sim

namespace halcyra::sim {
// Descriptors handed out by GetNamedSecurityInfoW and ConvertStringSecurityDescriptor-
// ToSecurityDescriptorW that LocalFree has not freed yet.
std::size_t openSecurityDescriptors();
}  // namespace halcyra::sim

namespace halcyra::sim::detail {
// SIDs between their text form ("S-1-5-18") and Windows' binary form, and the user every
// token holds, for the other parts of the simulated machine.
std::string binarySid(const std::u16string& text);
std::u16string textSid(const void* sid);
const std::u16string& processUser();
// The descriptor of the object under `key` (never followed), as GetNamedSecurityInfoW
// hands it out.
platform::Dword describeSecurity(const std::u16string& key, platform::Dword securityInfo, void** owner, void** dacl,
                                 void** descriptor);
}  // namespace halcyra::sim::detail

#pragma once
// Control of the simulated machine's security: the security record of each file and
// folder, the accounts that names are looked up in, and the user the processes run as.
//
// Each file or folder has one record, its owner and access list, which every name of it
// shares and which goes with its last name. What the tests add gets the record of a locked
// installation: owner BUILTIN\Administrators, full control for SYSTEM and the
// Administrators, nothing for anyone else. What a process creates belongs to the process's
// user and gets the access list of the descriptor it gave, or without one its folder's
// entries, marked inherited. The processes run as SYSTEM, a member of the Administrators.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/security.h"
#include "platform/types.h"

namespace halcyra::sim {

// SIDs in their text form, e.g. "S-1-5-18".
struct AccessEntry {
  bool allow = true;  // an access-allowed entry, else access-denied
  std::uint8_t flags = 0;
  platform::Dword mask = 0;
  std::u16string sid;
  // Another ACE type with the plain layout (a callback entry), instead of allow or deny.
  std::optional<std::uint8_t> type{};
  bool operator==(const AccessEntry&) const = default;
};
inline constexpr platform::Dword kFileAllAccess = 0x1F01FF;
struct FileSecurity {
  std::u16string owner = platform::kSidAdministrators;
  std::optional<std::vector<AccessEntry>> dacl =  // none: a NULL DACL
      std::vector<AccessEntry>{{true, 0, kFileAllAccess, platform::kSidLocalSystem},
                               {true, 0, kFileAllAccess, platform::kSidAdministrators}};
  bool operator==(const FileSecurity&) const = default;
};
// The record of the object at `path`, which must exist: a hard link's is its file's, a
// symbolic link's or junction's its own.
void setFileSecurity(const std::u16string& path, FileSecurity security);
std::optional<FileSecurity> fileSecurity(const std::u16string& path);

// LookupAccountSidW finds `domain`\`name` for `sid`; the well-known accounts are there
// from the start.
void addAccount(const std::u16string& sid, const std::u16string& domain, const std::u16string& name);

// The user every process's token holds, and whether it holds the Administrators group.
void setProcessUser(const std::u16string& sid, bool administrator);

// Descriptors handed out by GetNamedSecurityInfoW, GetSecurityInfo and
// ConvertStringSecurityDescriptorToSecurityDescriptorW that LocalFree has not freed yet.
std::size_t openSecurityDescriptors();

}  // namespace halcyra::sim

namespace halcyra::sim::detail {
// The record of what a process creates in a folder whose record is `folder`, with the
// descriptor of the SDDL text `sddl` (null: none); none when the machine cannot read it.
// The SDDL's owner and DACL stand where it gives them.
std::optional<FileSecurity> createdSecurity(const FileSecurity& folder, const std::u16string* sddl);
}  // namespace halcyra::sim::detail

#pragma once
// The trust boundary of the installation. The service runs as LocalSystem and starts
// HalcyraServer.exe from the install root and the configured updater, so whoever can write
// the install root, the server, bin\, resources\updater, config.json, the updater or the
// updater's folder can run code as SYSTEM; and whoever can read config.json has the update
// server's password. Only SYSTEM, the Administrators and TrustedInstaller may.
//
// This is a warning, not a refusal: the service and HalcyraUpdateCheck.exe report what
// they find and go on.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/types.h"

namespace halcyra {

// One entry of an access list, with its SID in text form and the account's name.
struct AccessEntry {
  bool allow = true;  // access-allowed, else access-denied
  std::uint8_t flags = 0;
  platform::Dword mask = 0;
  std::u16string sid;
  std::u16string account;
};

struct ObjectSecurity {
  std::u16string ownerSid;
  std::u16string ownerAccount;
  std::optional<std::vector<AccessEntry>> dacl;  // none: a NULL DACL, full access for everyone
};

// The accounts beyond the trusted ones that can write the object (change its content,
// its access list or owner, or delete it) and, when `readMatters`, read its content.
// Trusted are SYSTEM, the Administrators, TrustedInstaller and `trustedSelf` (the SID of
// the account the check runs as when that account is itself an administrator; empty for
// none). The owner may always rewrite the access list, so an untrusted owner can write;
// OWNER RIGHTS entries stand for the owner. Entries for other accounts that deny access
// are not weighed: group membership is not known here.
struct UntrustedAccess {
  std::vector<std::u16string> writers;
  std::vector<std::u16string> readers;
};
UntrustedAccess untrustedAccess(const ObjectSecurity& security, bool readMatters, std::u16string_view trustedSelf);

// What the check found about one object.
struct TrustFinding {
  std::u16string path;
  UntrustedAccess access;
  platform::Dword error = 0;  // its security could not be read (other than: it does not exist)
};

// Checks the install root and the objects below it, and the updater named by the
// configuration (relative to the current directory, which both programs make the install
// root). Only objects that are open, or whose security could not be read, are returned.
std::vector<TrustFinding> checkTrustBoundary();

// One line per finding, e.g. "C:\Halcyra\bin: writable by BUILTIN\Users".
std::u16string describeFinding(const TrustFinding& finding);

// The service's start-up check: a warning event when the boundary is open.
void warnIfTrustBoundaryOpen() noexcept;

}  // namespace halcyra

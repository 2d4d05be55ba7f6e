#pragma once
// Accounts as the installation sees them: SIDs held in Windows' binary form and compared
// byte for byte, and the one answer to "may this account change what the service runs?".
//
// Trusted are SYSTEM, the Administrators, TrustedInstaller and the account the process runs
// as when that account is one of the Administrators: its own rights give nobody anything
// they do not have. The service's account is SYSTEM; under Wine it is the prefix's user,
// an administrator who owns every file.

#include <string>
#include <string_view>

namespace halcyra::platform {

// A SID's bytes: revision, sub-authority count, 48-bit big-endian authority, then the
// sub-authorities as 32-bit little-endian numbers.
using Sid = std::string;

// Well-known SIDs in that form, to compare with (platform/security.h has their text forms).
inline constexpr std::string_view kEveryoneSid("\x01\x01\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00", 12);
inline constexpr std::string_view kCreatorOwnerSid("\x01\x01\x00\x00\x00\x00\x00\x03\x00\x00\x00\x00", 12);
inline constexpr std::string_view kOwnerRightsSid("\x01\x01\x00\x00\x00\x00\x00\x03\x04\x00\x00\x00", 12);
inline constexpr std::string_view kLocalSystemSid("\x01\x01\x00\x00\x00\x00\x00\x05\x12\x00\x00\x00", 12);
inline constexpr std::string_view kAdministratorsSid("\x01\x02\x00\x00\x00\x00\x00\x05\x20\x00\x00\x00\x20\x02\x00\x00",
                                                     16);
inline constexpr std::string_view kTrustedInstallerSid(
    "\x01\x06\x00\x00\x00\x00\x00\x05\x50\x00\x00\x00\xb5\x89\xfb\x38\x19\x84\xc2\xcb\x5c\x6c\x23\x6d"
    "\x57\x00\x77\x6e\xc0\x02\x64\x87",
    32);

// The SID named by `text` ("S-1-5-18"); empty when the text names none. Only the simulated
// machine reads SIDs from text, so this lives in an object of its own that the service
// does not link.
Sid sidFromText(std::u16string_view text);
// The SID at `sid` (a SID structure of the system's, at least its 8-byte header readable).
Sid sidAt(const void* sid);
// "S-1-5-18".
std::u16string sidText(std::string_view sid);
inline std::u16string sidText(const void* sid) { return sidText(sidAt(sid)); }

// The account the process runs as (empty when its token cannot be read) and whether it
// holds the Administrators group.
struct ProcessAccount {
  Sid user;
  bool administrator = false;
};
ProcessAccount processAccount();

bool isTrustedAccount(const Sid& sid, const ProcessAccount& self);

}  // namespace halcyra::platform

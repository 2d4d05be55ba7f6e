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

// The SID named by `text` ("S-1-5-18"); empty when the text names none.
Sid sidFromText(std::u16string_view text);
// The SID at `sid` (a SID structure of the system's, at least its 8-byte header readable).
Sid sidAt(const void* sid);
// "S-1-5-18".
std::u16string sidText(const Sid& sid);
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

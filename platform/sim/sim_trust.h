#pragma once
// Control of the simulated machine's wall clock and of the Authenticode signatures of its
// files.

#include <cstdint>
#include <string>

#include "platform/types.h"

namespace halcyra::sim {

// GetSystemTimeAsFileTime is this FILETIME (UTC) plus the virtual clock. A new machine
// starts at 2026-06-01T00:00:00Z.
void setSystemTime(std::uint64_t fileTimeAtStart);

// What WinVerifyTrust reports for the file at `path` (which must exist; every name of it)
// from now on: its result and the DER of the signer's certificate (empty for none). A file
// is unsigned until then.
void setFileSignature(const std::u16string& path, platform::Dword trustResult, std::string signerCertificate);

// "bcrypt.dll", "wintrust.dll" or "crypt32.dll" could not be loaded, for `error`: from now
// on the signature functions that need it fail as the real backend's stand-ins make them fail, and
// firstLibraryFailure names the first such DLL.
void failLibrary(const char* dll, platform::Dword error);

}  // namespace halcyra::sim

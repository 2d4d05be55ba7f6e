#pragma once
// The service's log: one fresh file per start that the children's output goes to.

#include "platform/types.h"

namespace halcyra {

// Creates the log at `path` afresh and returns an inheritable handle for writing that
// others may only share for reading. Whatever another user left under that name (a file,
// a hard link, a symbolic link, a junction) is removed, never followed, and the new file
// can be opened by SYSTEM and the Administrators alone. kInvalidHandle with
// GetLastError() when no fresh file could be made after a few tries.
platform::Handle createPrivateLogFile(const char16_t* path);

}  // namespace halcyra

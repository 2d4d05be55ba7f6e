#pragma once
// The service's log: the file the children's output goes to, fresh at every start.

#include "platform/files.h"
#include "platform/types.h"

namespace halcyra {

struct ServiceLog {
  // Inheritable, for writing; others may share it for reading only. kInvalidHandle when
  // no place at all could be opened for the output.
  platform::Handle handle = platform::kInvalidHandle;
  // Empty while the output goes to the log at the path asked for; otherwise where it goes
  // instead: the log in the temporary folder only SYSTEM can use, or NUL.
  char16_t fallback[platform::kMaxPath] = {};
  // Why the log at the path asked for could not be had, when `fallback` is set.
  platform::Dword failure = 0;
};

// Opens the log at `path` for the children's output, emptied. Whatever another user left
// under that name (a file, a hard link, a symbolic link, a junction) is removed, never
// followed, and the new file can be opened by SYSTEM and the Administrators alone. The
// service's own log from an earlier start that a reader keeps from being removed is
// emptied where it is. When neither works after a few tries a short pause apart, the
// output goes to a fallback no other user can steer, so that a name blocked by someone
// else never keeps the server from running. Sets GetLastError() when `handle` is invalid.
ServiceLog openServiceLog(const char16_t* path);

}  // namespace halcyra

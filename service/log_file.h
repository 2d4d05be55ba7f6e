#pragma once
// The service's log: the file the children's output goes to, fresh at every start.

#include "platform/files.h"
#include "platform/types.h"

namespace halcyra {

// The log's name, in the temporary folder of the service's account.
inline constexpr char16_t kServiceLogName[] = u"HalcyraService.log";

// What the children's handle may do: append (every write lands at the end of the file as it
// is at that moment, so the service can empty the file under them) and read its attributes.
inline constexpr platform::Dword kLogAppendAccess =
    platform::kFileAppendData | platform::kFileReadAttributes | platform::kSynchronize;

struct ServiceLog {
  // Inheritable, for appending only; others may share it for reading, and the service's own
  // `control` for writing. kInvalidHandle when no place at all could be opened for the output.
  platform::Handle handle = platform::kInvalidHandle;
  // The service's own opening of the same file, not inheritable, for reading and emptying
  // it when it is rotated; kInvalidHandle for NUL, or when no such opening could be had.
  platform::Handle control = platform::kInvalidHandle;
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

// A generation of the log: whatever has the name is removed, never followed, and a new
// file is created where nothing may exist, with the same owners-only DACL as the log, for
// writing, not inheritable, sharing reading and deletion (so that the service itself can
// move it on while it writes). kInvalidHandle with GetLastError() otherwise.
platform::Handle createLogGeneration(const char16_t* path);

// An existing generation of the service's own, opened by its name (never through a link)
// for renaming: a plain file with one name owned by the service. kInvalidHandle with
// GetLastError() otherwise: ERROR_FILE_EXISTS for anything else under the name.
platform::Handle openOwnLogGeneration(const char16_t* path);

}  // namespace halcyra

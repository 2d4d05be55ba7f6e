#pragma once
// The existence test of the standard file-system library (`exists`, links followed),
// built on the platform's attribute query so that both backends share its rules.

#include "platform/types.h"

namespace halcyra::platform {

enum class Existence {
  present,  // some file-system object is there, a folder included
  absent,   // the system says nothing is there (or a link dangles)
  unknown,  // the system failed for another reason, such as access denied
};

struct ExistenceResult {
  Existence existence;
  Dword error;  // the system's error when existence is absent or unknown, else 0
};

ExistenceResult testExistence(const char16_t* path);

// Attributes of the object at `path` with links followed: the attribute query, the folder
// entry when a holder refuses the query, and the target's own for a link. FALSE with
// GetLastError() when the system gives no answer for the path (a dangling link fails with
// the error of its missing target).
Bool getAttributesFollowingLinks(const char16_t* path, Dword* attributes);

}  // namespace halcyra::platform

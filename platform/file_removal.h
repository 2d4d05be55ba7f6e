#pragma once
// Taking a name away from its folder without following what it names, built on the
// platform's file operations so that both backends run the same decisions.

#include "platform/types.h"

namespace halcyra::platform {

// Removes the name `path` from its folder and nothing else: a symbolic link or junction
// goes itself, never what it points to; a hard link's name goes while the file lives on
// under its other names; a read-only attribute does not stop it. The name is gone at
// once, even while another process still has the file open with FILE_SHARE_DELETE.
// FALSE with GetLastError() otherwise: ERROR_FILE_NOT_FOUND when nothing has the name,
// ERROR_SHARING_VIOLATION when someone holds it open without FILE_SHARE_DELETE,
// ERROR_DIR_NOT_EMPTY for a folder with content. Before Windows 10 1809 the name of a
// file others hold open goes when the last of them closes it, and a read-only file stays.
Bool deleteWithoutFollowingLinks(const char16_t* path);

}  // namespace halcyra::platform

#include "service/working_folder.h"

#include <string>

#include "config/config_file.h"
#include "platform/files.h"

namespace halcyra {

using platform::Dword;

Dword enterInstallRoot() {
  char16_t path[platform::kMaxPath] = {};
  const Dword length = platform::GetModuleFileNameW(nullptr, path, platform::kMaxPath);
  if (length == 0 || length >= platform::kMaxPath) {
    // A path that filled the buffer is cut off, and a folder derived from it would be wrong.
    const Dword error = length == 0 ? platform::GetLastError() : platform::kErrorFilenameExceedsRange;
    return error != 0 ? error : platform::kErrorFilenameExceedsRange;
  }
  // The same derivation as the configuration's: at a drive's root it keeps the backslash,
  // since "X:" alone names the current folder of drive X, wherever that is.
  const std::u16string root = installRootOf(std::u16string(path, length));
  if (!platform::SetCurrentDirectoryW(root.c_str())) {
    // Children started by a relative name from some other folder would be the wrong ones.
    const Dword error = platform::GetLastError();
    return error != 0 ? error : platform::kErrorInvalidParameter;
  }
  return 0;
}

}  // namespace halcyra

#include "service/working_folder.h"

#include <string_view>

#include "platform/files.h"

namespace halcyra {

using platform::Dword;

namespace {

// Ends the text at its last backslash; without one it is left as it is.
void cutAtLastBackslash(char16_t* path) {
  const std::u16string_view text(path);
  const std::size_t backslash = text.rfind(u'\\');
  if (backslash != std::u16string_view::npos) {
    path[backslash] = u'\0';
  }
}

}  // namespace

Dword enterInstallRoot() {
  char16_t path[platform::kMaxPath] = {};
  const Dword length = platform::GetModuleFileNameW(nullptr, path, platform::kMaxPath);
  if (length == 0 || length >= platform::kMaxPath) {
    // A path that filled the buffer is cut off, and a folder derived from it would be wrong.
    const Dword error = length == 0 ? platform::GetLastError() : platform::kErrorFilenameExceedsRange;
    return error != 0 ? error : platform::kErrorFilenameExceedsRange;
  }
  cutAtLastBackslash(path);
  cutAtLastBackslash(path);
  platform::SetCurrentDirectoryW(path);
  return 0;
}

}  // namespace halcyra

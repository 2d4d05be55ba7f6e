#pragma once
// The full path of the running executable, read the way every part of the service reads
// it: GetModuleFileNameW into a buffer of MAX_PATH units.

#include <optional>
#include <string>

namespace halcyra::platform {

// None when the platform fails or the path fills the buffer: a cut-off path names another
// file or folder, so no caller may use it.
std::optional<std::u16string> modulePath();

}  // namespace halcyra::platform

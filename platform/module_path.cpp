#include "platform/module_path.h"

#include <array>

#include "platform/files.h"

namespace halcyra::platform {

std::optional<std::u16string> modulePath() {
  std::array<char16_t, kMaxPath> buffer{};
  Dword const length = GetModuleFileNameW(nullptr, buffer.data(), kMaxPath);
  if (length == 0 || length >= kMaxPath) {
    return std::nullopt;
  }
  return std::u16string(buffer.data(), length);
}

}  // namespace halcyra::platform

#include "platform/system_time.h"

#include "platform/win32/windows_types.h"

namespace halcyra::platform {

std::uint64_t GetSystemTimeAsFileTime() {
  FILETIME time{};
  ::GetSystemTimeAsFileTime(&time);
  return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

}  // namespace halcyra::platform

#include "platform/clock.h"

#include "platform/win32/windows_types.h"

namespace halcyra::platform {

std::uint64_t GetTickCount64() { return ::GetTickCount64(); }

std::uint64_t realTimeMs() { return ::GetTickCount64(); }

}  // namespace halcyra::platform

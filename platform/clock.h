#pragma once
// The system's millisecond clock since start-up (kernel32).

#include <cstdint>

namespace halcyra::platform {

std::uint64_t GetTickCount64();

}  // namespace halcyra::platform

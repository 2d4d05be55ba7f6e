#pragma once
// The wall clock (kernel32).

#include <cstdint>

namespace halcyra::platform {

// GetSystemTimeAsFileTime: UTC in 100-nanosecond intervals since 1601-01-01.
std::uint64_t GetSystemTimeAsFileTime();

}  // namespace halcyra::platform

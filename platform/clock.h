#pragma once
// The system's millisecond clock since start-up (kernel32).

#include <cstdint>

namespace halcyra::platform {

std::uint64_t GetTickCount64();

// Milliseconds of real time from an arbitrary start, for limits that libcurl keeps in real
// time: the tick count on Windows; the host's steady clock in the simulation, whose tick
// count runs virtually. Not a call of the simulated machine.
std::uint64_t realTimeMs();

}  // namespace halcyra::platform

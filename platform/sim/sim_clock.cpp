// The tick count is the virtual clock. It cannot fail, so it is logged but takes no fault.

#include <chrono>

#include "platform/clock.h"
#include "platform/sim/sim.h"

namespace halcyra::platform {

std::uint64_t GetTickCount64() {
  sim::logCall("GetTickCount64");
  return sim::now();
}

std::uint64_t realTimeMs() {
  auto const sinceEpoch = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count());
}

}  // namespace halcyra::platform

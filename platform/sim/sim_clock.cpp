// The tick count is the virtual clock. It cannot fail, so it is logged but takes no fault.

#include "platform/clock.h"
#include "platform/sim/sim.h"

namespace halcyra::platform {

std::uint64_t GetTickCount64() {
  sim::logCall("GetTickCount64");
  return sim::now();
}

}  // namespace halcyra::platform

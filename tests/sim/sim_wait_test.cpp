// Waits on the virtual clock: what moves it besides the objects waited on.

#include <gtest/gtest.h>

#include "platform/service_manager.h"
#include "platform/sim/sim.h"
#include "platform/sync.h"

namespace halcyra {
namespace {

using namespace platform;

// A scheduled control is something that will happen, so a wait moves the clock to it,
// but it signals nothing: the wait goes on to its deadline, and an INFINITE one is a
// deadlock once the control has passed.
TEST(SimWait, AScheduledControlMovesTheClockButEndsNoWait) {
  sim::reset();
  Handle const event = CreateEventA(nullptr, kTrue, kFalse, nullptr);
  sim::scheduleControl(9000, kServiceControlStop);  // no handler hears it
  EXPECT_EQ(WaitForSingleObject(event, 10000), kWaitTimeout);
  EXPECT_EQ(sim::now(), 10000u);
  sim::scheduleControl(12000, kServiceControlStop);
  EXPECT_THROW(WaitForSingleObject(event, kInfinite), sim::Deadlock);
  EXPECT_EQ(sim::now(), 12000u);
}

}  // namespace
}  // namespace halcyra

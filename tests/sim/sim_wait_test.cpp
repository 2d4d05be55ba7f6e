// Events and waits on the virtual clock.

#include <gtest/gtest.h>

#include "platform/processes.h"
#include "platform/sim/sim.h"
#include "platform/sync.h"

namespace halcyra {
namespace {

using namespace platform;

class SimWait : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    OpenProcessToken(GetCurrentProcess(), kTokenDuplicate, &processToken_);
    DuplicateTokenEx(processToken_, kTokenAllAccess, nullptr, kSecurityImpersonation, kTokenPrimary, &token_);
  }

  // Starts a detached program that ends `after` ms from now with `code`.
  ProcessInformation start(std::uint64_t after, Dword code) {
    sim::ProgramBehaviour behaviour;
    behaviour.exitAfter = after;
    behaviour.exitCode = code;
    std::u16string const path = u"C:\\p" + std::u16string(1, static_cast<char16_t>(u'a' + programs_++)) + u".exe";
    sim::installProgram(path, behaviour);
    StartupInfoW startup{kStartupInfoWSize};
    ProcessInformation info{};
    EXPECT_EQ(CreateProcessAsUserW(token_, path.c_str(), nullptr, nullptr, nullptr, kFalse, kDetachedProcess, nullptr,
                                   nullptr, &startup, &info),
              kTrue);
    return info;
  }

  Handle processToken_ = nullptr;
  Handle token_ = nullptr;
  int programs_ = 0;
};

TEST_F(SimWait, LowestSignalledIndexWinsAndAutoResetEventsAreConsumed) {
  Handle const manual = CreateEventA(nullptr, kTrue, kFalse, nullptr);
  Handle const automatic = CreateEventA(nullptr, kFalse, kFalse, nullptr);
  Handle const both[] = {manual, automatic};
  Handle const reversed[] = {automatic, manual};

  SetEvent(automatic);
  EXPECT_EQ(WaitForMultipleObjects(2, both, kFalse, 0), kWaitObject0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(2, both, kFalse, 0), kWaitTimeout);  // the wait reset it

  SetEvent(manual);
  SetEvent(automatic);
  EXPECT_EQ(WaitForMultipleObjects(2, both, kFalse, 0), kWaitObject0);
  EXPECT_EQ(WaitForMultipleObjects(2, reversed, kFalse, 0),
            kWaitObject0);  // the auto event: the last wait returned the other one
  EXPECT_EQ(WaitForMultipleObjects(2, reversed, kFalse, 0), kWaitObject0 + 1);
  EXPECT_EQ(WaitForSingleObject(manual, 0), kWaitObject0);  // a manual event stays signalled
  EXPECT_EQ(sim::now(), 0u);
}

TEST_F(SimWait, WaitsMoveTheClockToTheNextEvent) {
  Handle const event = CreateEventA(nullptr, kTrue, kFalse, nullptr);
  ProcessInformation const early = start(1000, 7);
  ProcessInformation const atDeadline = start(3000, 0);

  struct Step {
    Handle handle;
    Dword milliseconds;
    Dword result;
    std::uint64_t time;
  } const steps[] = {
      {event, 500, kWaitTimeout, 500},
      {early.hProcess, kInfinite, kWaitObject0, 1000},  // other events pass by on the way
      {early.hThread, 0, kWaitObject0, 1000},           // the thread ends with its process
      {atDeadline.hProcess, 2000, kWaitObject0, 3000},  // an end exactly at the deadline is seen
      {event, 250, kWaitTimeout, 3250},
  };
  for (Step const& step : steps) {
    EXPECT_EQ(WaitForSingleObject(step.handle, step.milliseconds), step.result);
    EXPECT_EQ(sim::now(), step.time);
  }
  Dword code = 0;
  GetExitCodeProcess(early.hProcess, &code);
  EXPECT_EQ(code, 7u);
  EXPECT_EQ(sim::findProcess(early.dwProcessId)->endTime, 1000u);
}

TEST_F(SimWait, NothingLeftToHappenIsADeadlock) {
  Handle const event = CreateEventA(nullptr, kTrue, kFalse, nullptr);
  EXPECT_THROW(WaitForSingleObject(event, kInfinite), sim::Deadlock);
  ProcessInformation const forever = start(sim::kNever, 0);
  Handle const handles[] = {event, forever.hProcess};
  EXPECT_THROW(WaitForMultipleObjects(2, handles, kFalse, kInfinite), sim::Deadlock);
  sim::scheduleControl(9000, kServiceControlStop);  // something will happen, even if nobody hears it
  EXPECT_EQ(WaitForMultipleObjects(2, handles, kFalse, 10000), kWaitTimeout);
  EXPECT_EQ(sim::now(), 10000u);
}

TEST_F(SimWait, WaitAllAndInvalidHandles) {
  Handle const first = CreateEventA(nullptr, kFalse, kTrue, nullptr);
  Handle const second = CreateEventA(nullptr, kFalse, kFalse, nullptr);
  Handle const pair[] = {first, second};
  EXPECT_EQ(WaitForMultipleObjects(2, pair, kTrue, 0), kWaitTimeout);
  EXPECT_EQ(WaitForSingleObject(first, 0), kWaitObject0);  // the failed wait-all consumed nothing
  SetEvent(first);
  SetEvent(second);
  EXPECT_EQ(WaitForMultipleObjects(2, pair, kTrue, 0), kWaitObject0);
  EXPECT_EQ(WaitForMultipleObjects(2, pair, kFalse, 0), kWaitTimeout);

  CloseHandle(second);
  EXPECT_EQ(WaitForMultipleObjects(2, pair, kFalse, 0), kWaitFailed);
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  EXPECT_EQ(WaitForSingleObject(token_, 0), kWaitFailed);
}

}  // namespace
}  // namespace halcyra

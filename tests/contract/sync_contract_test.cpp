// Events, waits and the clock, the same on the simulated machine and on Windows.

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/processes.h"
#include "platform/sync.h"
#include "tests/contract/backend_gaps.h"
#include "tests/contract/world.h"

namespace halcyra::contract {
namespace {

using namespace platform;

// A timer may fire up to one tick of the Windows clock early as GetTickCount64 sees it.
constexpr std::uint64_t kTickSlackMs = 16;

class Waits : public ::testing::Test {
 protected:
  void SetUp() override { resetWorld(); }
  void TearDown() override {
    for (Handle const handle : handles_) CloseHandle(handle);
  }
  Handle event(bool manual, bool initial) {
    handles_.push_back(CreateEventA(nullptr, manual ? kTrue : kFalse, initial ? kTrue : kFalse, nullptr));
    EXPECT_NE(handles_.back(), nullptr);
    return handles_.back();
  }
  // A detached server that ends by itself `after` ms from now with `code`.
  ProcessInformation serverEndingAfter(std::uint64_t after, Dword code) {
    std::u16string const server = serverProgram({after, code});
    Handle processToken = nullptr;
    Handle token = nullptr;
    OpenProcessToken(GetCurrentProcess(), kTokenDuplicate, &processToken);
    DuplicateTokenEx(processToken, kTokenAllAccess, nullptr, kSecurityImpersonation, kTokenPrimary, &token);
    StartupInfoW startup{kStartupInfoWSize};
    ProcessInformation info{};
    EXPECT_EQ(CreateProcessAsUserW(token, server.c_str(), nullptr, nullptr, nullptr, kFalse, kDetachedProcess, nullptr,
                                   nullptr, &startup, &info),
              kTrue)
        << GetLastError();
    for (Handle const handle : {processToken, token, info.hProcess, info.hThread}) handles_.push_back(handle);
    return info;
  }
  std::vector<Handle> handles_;
};

TEST_F(Waits, ManualEventsStaySignalledAutoResetOnesAreConsumed) {
  Handle const manual = event(true, false);
  Handle const automatic = event(false, false);
  EXPECT_EQ(WaitForSingleObject(manual, 0), kWaitTimeout);
  EXPECT_EQ(SetEvent(manual), kTrue);
  EXPECT_EQ(SetEvent(automatic), kTrue);
  for (int i = 0; i < 2; ++i) EXPECT_EQ(WaitForSingleObject(manual, 0), kWaitObject0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), kWaitObject0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), kWaitTimeout);
  EXPECT_EQ(WaitForSingleObject(event(false, true), 0), kWaitObject0);  // created signalled
}

// The supervisor's watch relies on the lowest signalled index winning, and on a wait that
// returns an auto-reset event resetting it (and only that one).
TEST_F(Waits, WaitForAnyReturnsTheLowestSignalledIndex) {
  Handle const events[] = {event(true, false), event(false, false), event(false, false)};
  Handle const reversed[] = {events[1], events[0]};
  struct Step {
    std::vector<int> set;
    const Handle* handles;
    Dword count;
    Dword result;
  } const steps[] = {
      {{2, 1}, events, 3, kWaitObject0 + 1}, {{}, events, 3, kWaitObject0 + 2}, {{}, events, 3, kWaitTimeout},
      {{2, 0}, events, 3, kWaitObject0},     {{}, events, 3, kWaitObject0},     {{1}, reversed, 2, kWaitObject0},
      {{}, reversed, 2, kWaitObject0 + 1},
  };
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    for (int const index : steps[i].set) SetEvent(events[index]);
    EXPECT_EQ(WaitForMultipleObjects(steps[i].count, steps[i].handles, kFalse, 0), steps[i].result) << "step " << i;
  }
}

TEST_F(Waits, WaitAllTakesAllOrNothingAndClosedHandlesFail) {
  Handle const first = event(false, true);
  Handle const second = event(false, false);
  Handle const pair[] = {first, second};
  EXPECT_EQ(WaitForMultipleObjects(2, pair, kTrue, 0), kWaitTimeout);
  EXPECT_EQ(WaitForSingleObject(first, 0), kWaitObject0);  // the failed wait-all consumed nothing
  SetEvent(first);
  SetEvent(second);
  EXPECT_EQ(WaitForMultipleObjects(2, pair, kTrue, 0), kWaitObject0);
  EXPECT_EQ(WaitForMultipleObjects(2, pair, kFalse, 0), kWaitTimeout);  // it consumed both

  Handle token = nullptr;
  ASSERT_EQ(OpenProcessToken(GetCurrentProcess(), kTokenDuplicate, &token), kTrue);
  handles_.push_back(token);
  Handle const unwaitable[] = {first, token};
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(2, unwaitable, kFalse, 0), kWaitFailed);
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);  // a token handle lacks SYNCHRONIZE
  handles_.erase(handles_.begin() + 1);
  CloseHandle(second);
  SetLastError(0);
  EXPECT_EQ(WaitForMultipleObjects(2, pair, kFalse, 0), kWaitFailed);
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

// A wait ends at its time-out or when a process ends, whichever is first; the clock has
// moved on by at least the time waited.
TEST_F(Waits, TimeOutsAndProcessEndsMoveTheClock) {
  Handle const never = event(true, false);
  ProcessInformation const server = serverEndingAfter(600, 7);
  std::uint64_t const start = GetTickCount64();
  EXPECT_EQ(WaitForSingleObject(never, 200), kWaitTimeout);
  EXPECT_GE(GetTickCount64() - start + kTickSlackMs, 200u);
  Handle const both[] = {never, server.hProcess};
  EXPECT_EQ(WaitForMultipleObjects(2, both, kFalse, 10000), kWaitObject0 + 1);
  EXPECT_GE(GetTickCount64() - start + kTickSlackMs, 600u);
  EXPECT_EQ(WaitForSingleObject(server.hThread, 5000), kWaitObject0);  // the thread ended with it
  Dword code = 0;
  EXPECT_EQ(GetExitCodeProcess(server.hProcess, &code), kTrue);
  EXPECT_EQ(code, 7u);
}

TEST_F(Waits, VirtualTimeIsExact) {
  HALCYRA_SKIP_FOR_GAP(kExactVirtualTime);
  Handle const never = event(true, false);
  ProcessInformation const early = serverEndingAfter(1000, 7);
  std::uint64_t const start = GetTickCount64();
  struct Step {
    Handle handle;
    Dword milliseconds;
    Dword result;
    std::uint64_t elapsed;
  } const steps[] = {
      {never, 500, kWaitTimeout, 500},
      {early.hProcess, kInfinite, kWaitObject0, 1000},
      {never, 0, kWaitTimeout, 1000},
      {never, 250, kWaitTimeout, 1250},
  };
  for (Step const& step : steps) {
    EXPECT_EQ(WaitForSingleObject(step.handle, step.milliseconds), step.result);
    EXPECT_EQ(GetTickCount64() - start, step.elapsed);
  }
  // An end exactly at the deadline is seen.
  ProcessInformation const atDeadline = serverEndingAfter(2000, 0);
  EXPECT_EQ(WaitForSingleObject(atDeadline.hProcess, 2000), kWaitObject0);
}

TEST_F(Waits, AWaitNothingCanEndIsADeadlock) {
  HALCYRA_SKIP_FOR_GAP(kDeadlockDetection);
  Handle const never = event(true, false);
  ProcessInformation const forever = serverEndingAfter(kRunsUntilEnded, 0);
  Handle const handles[] = {never, forever.hProcess};
  EXPECT_ANY_THROW(WaitForMultipleObjects(2, handles, kFalse, kInfinite));
  EXPECT_EQ(WaitForMultipleObjects(2, handles, kFalse, 100), kWaitTimeout);
  TerminateProcess(forever.hProcess, 1);
}

}  // namespace
}  // namespace halcyra::contract

// A long run of passes: the whole update check (configuration, manifest through libcurl,
// product version) and a launch in every pass, a console switch and with it the stop
// path in every fourth. The live handles and the heap bytes in use are sampled at the end
// of every pass and must stay flat.
//
// HALCYRA_SOAK_PASSES=n runs n passes (2,000 by default); the figures at the start (pass
// 100), the median pass and the end go to standard output.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime's allocator interface (GCC ships the runtime, not the header).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

#include "tests/sim/service_scenario.h"

namespace halcyra::test {
namespace {

constexpr std::size_t kWarmUpPasses = 100;
// Bytes the heap may differ by between the start and the end, for a library that sets
// something up late. A pass that leaks one allocation exceeds it within 40 passes.
constexpr std::size_t kHeapSlackBytes = 1024;

// Heap bytes in use: AddressSanitizer's allocator keeps its own count; glibc's count is
// exact once its per-thread cache is off (GLIBC_TUNABLES=glibc.malloc.tcache_count=0, set
// for the test), since the cache's blocks count as in use.
std::size_t heapBytesInUse() {
#if defined(__SANITIZE_ADDRESS__)
  return __sanitizer_get_current_allocated_bytes();
#else
  return mallinfo2().uordblks;
#endif
}

std::size_t residentKilobytes() {
  unsigned long size = 0;
  unsigned long resident = 0;
  FILE* const statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr) return 0;
  const int read = std::fscanf(statm, "%lu %lu", &size, &resident);
  std::fclose(statm);
  return read == 2 ? resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) / 1024 : 0;
}

struct Sample {
  std::size_t handles;
  std::size_t heap;
  std::size_t residentKb;
};

TEST(SupervisorSoak, PassesKeepHandlesAndMemoryFlat) {
  const char* const configured = std::getenv("HALCYRA_SOAK_PASSES");
  const std::size_t passes = configured == nullptr ? 2000 : std::strtoull(configured, nullptr, 10);
  ASSERT_GT(passes, kWarmUpPasses);

  sim::ProgramBehaviour server = serverExitingAfter(1000, 0);
  setUpMachine(server);
  announceRelease("1.0.0.0", server);  // the installed version: the server runs
  // Filled in place: the samples must neither grow the heap nor touch new pages while they
  // measure them.
  std::vector<Sample> samples(passes);
  std::size_t taken = 0;
  Dword session = kConsoleSession;
  sim::setCallObserver([&](const sim::Call& call) {
    if (!isPassWait(call)) return;
    sim::forgetHistory();
    samples[taken++] = {sim::liveHandles(), heapBytesInUse(), residentKilobytes()};
    if (taken == passes) {
      sim::scheduleControl(call.time, platform::kServiceControlStop);
    } else if (taken % 4 == 0) {
      // Half a second into the next pass's watch the console moves: the child is asked to stop.
      session = session == kConsoleSession ? kConsoleSession + 1 : kConsoleSession;
      sim::scheduleConsoleConnect(call.time + 3500, session);
    }
  });
  // Started as runService does, without its stop an hour in: the run lasts days of virtual
  // time. A stop far beyond the last pass ends a run whose passes are not recognised.
  sim::scheduleControl(passes * 60 * 1000, platform::kServiceControlStop);
  sim::runProcess([] { return runEntryWith({"HalcyraService.exe"}); });
  sim::setCallObserver(nullptr);

  ASSERT_EQ(taken, passes);
  const Sample start = samples[kWarmUpPasses - 1];
  const Sample median = samples[(kWarmUpPasses + passes) / 2];
  const Sample end = samples.back();
  std::cout << passes << " passes (start: pass " << kWarmUpPasses << ")\n"
            << "  live handles   " << start.handles << " / " << median.handles << " / " << end.handles << "\n"
            << "  heap bytes     " << start.heap << " / " << median.heap << " / " << end.heap << "\n"
            << "  resident KiB   " << start.residentKb << " / " << median.residentKb << " / " << end.residentKb << "\n";
  for (std::size_t i = 0; i < samples.size(); ++i) {
    ASSERT_EQ(samples[i].handles, samples[0].handles) << "pass " << i + 1;
  }
  EXPECT_LE(end.heap, start.heap + kHeapSlackBytes);
  EXPECT_LE(median.heap, start.heap + kHeapSlackBytes);
}

}  // namespace
}  // namespace halcyra::test

// Randomized schedules of controls, console switches and child behaviours, replayable by
// seed, checked against the invariants of the service rather than exact sequences.

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <random>
#include <string>

#include "platform/processes.h"
#include "tests/sim/service_scenario.h"

namespace halcyra::test {
namespace {

// std::mt19937 yields the same sequence everywhere; the draws below use only its raw
// output, so a seed replays the same schedule on every standard library.
struct Dice {
  explicit Dice(unsigned seed) : engine(seed) {}
  std::uint64_t below(std::uint64_t bound) { return engine() % bound; }
  std::uint64_t between(std::uint64_t low, std::uint64_t high) { return low + below(high - low + 1); }
  bool chance(unsigned inEight) { return below(8) < inEight; }
  std::mt19937 engine;
};

sim::ProgramBehaviour randomServer(Dice& dice, const std::shared_ptr<std::vector<std::size_t>>& samples) {
  sim::ProgramBehaviour server;
  // A program that runs code at its start ends by itself at some time; "never" is a day.
  server.exitAfter = dice.chance(3) ? 86400000 : dice.between(200, 40000);
  server.exitCode = dice.chance(1) ? 1115u : static_cast<Dword>(dice.below(3));
  const std::uint64_t ctrlC = dice.below(4);
  server.ctrlCExitAfter = ctrlC == 0 ? 0 : ctrlC == 1 ? dice.between(1, 25000) : ctrlC == 2 ? 19999 : sim::kNever;
  server.startsGrandchild = dice.chance(3);
  // The live handles at each start: equal at every start when no pass leaks.
  server.run = [samples, exitCode = server.exitCode](const std::vector<std::string>&) {
    samples->push_back(sim::liveHandles());
    return static_cast<int>(exitCode);
  };
  return server;
}

void scheduleRandomEvents(Dice& dice) {
  const std::uint64_t events = dice.below(10);
  for (std::uint64_t i = 0; i < events; ++i) {
    const std::uint64_t at = dice.below(150000);
    switch (dice.below(5)) {
      case 0:
        sim::scheduleConsoleConnect(at, static_cast<Dword>(dice.between(1, 3)));
        break;
      case 1:
        sim::scheduleControl(at, platform::kServiceControlSessionChange,
                             dice.chance(4) ? platform::kWtsConsoleDisconnect : platform::kWtsSessionLock);
        break;
      case 2:
        sim::scheduleControl(at, platform::kServiceControlInterrogate);
        break;
      case 3:
        sim::scheduleControl(at, dice.chance(4) ? platform::kServiceControlPause : platform::kServiceControlShutdown);
        break;
      default:
        sim::scheduleControl(at, dice.chance(4) ? platform::kServiceControlStop : platform::kServiceControlPreshutdown);
        break;
    }
  }
  // Now and then a pass's set-up or watch fails.
  if (dice.chance(3)) {
    static const char* const kPassOperations[] = {
        "OpenProcessToken",        "DuplicateTokenEx",       "SetTokenInformation", "CreateJobObjectW",
        "SetInformationJobObject", "WaitForMultipleObjects", "CreateProcessAsUserW"};
    sim::failCall(kPassOperations[dice.below(std::size(kPassOperations))], static_cast<int>(dice.between(1, 4)),
                  platform::kErrorAccessDenied);
  }
  // Whatever else happens, the service is asked to stop in the end.
  sim::scheduleControl(dice.between(1000, 200000), platform::kServiceControlStop);
}

void expectInvariants(const std::vector<std::size_t>& samples) {
  // STOPPED is reported once, and last.
  const auto& reports = sim::statusReports();
  ASSERT_FALSE(reports.empty());
  EXPECT_EQ(reports.back().status.dwCurrentState, platform::kServiceStopped);
  EXPECT_EQ(
      std::count_if(reports.begin(), reports.end(),
                    [](const sim::StatusReport& r) { return r.status.dwCurrentState == platform::kServiceStopped; }),
      1);
  EXPECT_EQ(reports.back().status.dwWin32ExitCode, 0u);

  // One watched child at a time: each server has ended before the next one starts, and
  // none outlives the service.
  const auto started = servers();
  for (std::size_t i = 0; i < started.size(); ++i) {
    ASSERT_TRUE(started[i].endTime.has_value()) << "server " << i;
    EXPECT_LE(*started[i].endTime, reports.back().time);
    if (i + 1 < started.size()) {
      EXPECT_LE(*started[i].endTime, started[i + 1].startTime) << "server " << i;
    }
  }
  // Whatever a child started in its job, and every stop-request instance, has ended.
  for (const sim::ProcessRecord& process : sim::processes()) {
    EXPECT_TRUE(process.endTime.has_value()) << "process " << process.id;
  }
  // No pass leaks a handle.
  for (const std::size_t sample : samples) EXPECT_EQ(sample, samples.front());
}

TEST(SupervisorSchedule, RandomSchedulesKeepTheInvariants) {
  for (unsigned seed = 1; seed <= 200; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    Dice dice(seed);
    auto samples = std::make_shared<std::vector<std::size_t>>();
    setUpMachine(randomServer(dice, samples));
    scheduleRandomEvents(dice);
    EXPECT_EQ(runService(), 1);
    expectInvariants(*samples);
  }
}

}  // namespace
}  // namespace halcyra::test

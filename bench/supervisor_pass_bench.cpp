// The service's own CPU cost per supervisor pass: the real service runs on the simulated
// machine, where the operating system's work (process creation, waits, the network) costs
// next to nothing, against a server that ends 1 ms after each start, so that every pass
// reads the configuration, builds the token and job, starts the server and cleans up.
// Update checks are switched off in the configuration: the fetch is the network's work,
// measured apart by updateCheckPerPass. The simulated machine's bookkeeping (its call log)
// is counted in, so the figure is an upper bound.

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "platform/service_manager.h"
#include "platform/sim/sim.h"
#include "service/entry.h"
#include "service/supervisor.h"

namespace halcyra {
namespace {

constexpr char16_t kServicePath[] = u"C:\\Halcyra\\bin\\HalcyraService.exe";
constexpr char16_t kServerPath[] = u"C:\\Halcyra\\HalcyraServer.exe";
constexpr std::uint64_t kPassesPerRun = 100;

int runEntryWith(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return runEntry(static_cast<int>(args.size()), argv.data());
}

void setUpMachine() {
  sim::reset();
  sim::ProgramBehaviour self;
  self.run = [](const std::vector<std::string>& args) { return runEntryWith(args); };
  sim::installProgram(kServicePath, std::move(self));
  sim::ProgramBehaviour server;
  server.exitAfter = 1;
  sim::installProgram(kServerPath, std::move(server));
  sim::addFile(u"C:\\Halcyra\\resources\\updater\\config.json",
               R"({"server":"http://127.0.0.1:1","relativeAppPath":"HalcyraServer.exe","login":"","password":"",)"
               R"("versionFile":"manifest.json","useGUI":0,"enableUpdate":false,"autoUpdate":true,)"
               R"("updaterPath":"C:\\Halcyra\\updater.exe"})");
  // The stop lands in the wait after the last pass's server has ended.
  sim::scheduleControl(kPassesPerRun * (kPassIntervalMs + 1) + kPassIntervalMs / 2, platform::kServiceControlStop);
}

std::uint64_t serversStarted() {
  std::uint64_t count = 0;
  for (const sim::ProcessRecord& process : sim::processes()) {
    count += process.application == kServerPath ? 1U : 0U;
  }
  return count;
}

void supervisorPass(benchmark::State& state) {
  std::uint64_t passes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    setUpMachine();
    state.ResumeTiming();
    sim::runProcess([] { return runEntryWith({"HalcyraService.exe"}); });
    state.PauseTiming();
    std::uint64_t const started = serversStarted();
    if (started != kPassesPerRun) {
      state.SkipWithError("the service did not start one server per pass");
      break;
    }
    passes += started;
    state.ResumeTiming();
  }
  state.counters["cpu_per_pass"] =
      benchmark::Counter(static_cast<double>(passes), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(supervisorPass)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace halcyra

// The fleet model: N machines, each the simulated Windows running the real service (entry,
// supervisor, schedule, update check, updater launch) in virtual time, against one
// simulated update server (platform/sim/sim_update_server.h), which counts every fetch of
// every machine where it arrives.
//
// Machines are independent except through the server's answers, which depend on time
// only, so they run one after another and their requests are merged on one time line.
// Each machine has its own uptime (its tick count, hence its jitter seed) and starts its
// service within the first minute of the model's time.
//
// Usage: halcyra_fleet [--simulate=M] [machines...]   (default: M 1000; machines 10 10000)
// For every scenario it prints the requests at the update server (total, peak per second,
// mean per second) and the share of machines whose server runs at a given time, first
// with the schedule off (every pass asks, as the service did before) and then with it on.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "platform/service_manager.h"
#include "platform/sim/sim.h"
#include "platform/sim/sim_update_server.h"
#include "platform/sync.h"
#include "service/entry.h"
#include "service/pass_update_check.h"
#include "version/version_number.h"

namespace {

using halcyra::VersionNumber;
using halcyra::platform::Dword;

constexpr char16_t kServicePath[] = u"C:\\Halcyra\\bin\\HalcyraService.exe";
constexpr char16_t kServerPath[] = u"C:\\Halcyra\\HalcyraServer.exe";
constexpr char16_t kUpdaterPath[] = u"C:\\Halcyra\\updater\\Updater.exe";
constexpr std::uint64_t kSecond = 1000;
constexpr std::uint64_t kMinute = 60 * kSecond;
constexpr std::uint64_t kHour = 60 * kMinute;
// A server that does not crash runs for longer than any scenario.
constexpr std::uint64_t kLongRun = 1000 * kHour;
constexpr std::uint64_t kStartSpread = kMinute;
// Machines simulated in full; a larger fleet is made of their copies (--simulate=N).
constexpr unsigned kDefaultSimulated = 1000;

// What the update server answers.
struct Answer {
  long status = 200;
  long long retryAfterSeconds = 0;
  VersionNumber announced;  // the manifest's version, with status 200
};

struct Scenario {
  const char* name;
  VersionNumber installed;                            // on every machine at the start
  std::function<bool(const VersionNumber&)> crashes;  // the server of this version ends 1 s after its start
  std::function<Answer(std::uint64_t)> answerAt;      // the update server at model time t
  bool updaterInstalls;                               // the updater installs the announced version
  std::uint64_t duration;
  std::uint64_t shareAt;  // when the share of machines running the server is taken
};

VersionNumber version(std::uint16_t major, std::uint16_t minor) { return {major, minor, 0, 0}; }

Answer release(const VersionNumber& announced) { return Answer{200, 0, announced}; }

std::string versionText(const VersionNumber& v) {
  return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.build) + "." +
         std::to_string(v.revision);
}

std::vector<Scenario> scenarios() {
  const auto never = [](const VersionNumber&) { return false; };
  const auto v2crashes = [](const VersionNumber& v) { return v == version(2, 0); };
  return {
      {"healthy release", version(1, 0), never, [](std::uint64_t) { return release(version(2, 0)); }, true, 2 * kHour,
       15 * kMinute},
      {"crash-looping release", version(2, 0), v2crashes, [](std::uint64_t) { return release(version(2, 0)); }, true,
       3 * kHour, 3 * kHour - kSecond},
      {"failing updater", version(1, 0), never, [](std::uint64_t) { return release(version(2, 0)); }, false, 2 * kHour,
       15 * kMinute},
      // A crash loop during an outage of the update server, then the fixed release 2.1.
      {"failing update server (500)", version(2, 0), v2crashes,
       [](std::uint64_t t) {
         return t < kHour ? Answer{500, 0, {}} : release(version(2, 1));
       },
       true, 2 * kHour, kHour + 15 * kMinute},
      {"503, Retry-After 1800 s", version(2, 0), v2crashes,
       [](std::uint64_t t) {
         return t < kHour ? Answer{503, 1800, {}} : release(version(2, 1));
       },
       true, 2 * kHour, kHour + 45 * kMinute},
  };
}

// ---- The machine being run ---------------------------------------------------------

struct Machine {
  const Scenario* scenario = nullptr;
  std::uint64_t bootTime = 0;  // sim time of model time 0
  VersionNumber installed;
  // Model times of its requests, and the times its server ran (start, end).
  std::vector<std::uint64_t> requests;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> serverRuns;
};

Machine current;

std::uint64_t modelTime() { return halcyra::sim::now() - current.bootTime; }

void setInstalled(const VersionNumber& installed);

halcyra::sim::ProgramBehaviour serverBehaviour(bool crashes) {
  halcyra::sim::ProgramBehaviour server;
  server.exitAfter = crashes ? kSecond : kLongRun;
  server.run = [crashes](const std::vector<std::string>&) {
    const std::uint64_t start = modelTime();
    current.serverRuns.emplace_back(start, start + (crashes ? kSecond : kLongRun));
    return crashes ? 1 : 0;
  };
  return server;
}

void setInstalled(const VersionNumber& installed) {
  current.installed = installed;
  halcyra::sim::installProgram(kServerPath, serverBehaviour(current.scenario->crashes(installed)));
  halcyra::sim::setVersionInfo(kServerPath, (Dword{installed.major} << 16) | installed.minor, 0,
                               (Dword{installed.major} << 16) | installed.minor, 0);
}

int runEntryWith(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return halcyra::runEntry(static_cast<int>(args.size()), argv.data());
}

// Runs one machine whose service starts at startOffset of model time; its requests and
// server runs are left in `current`. Without `schedule`, the service forgets its update
// schedule before every pass, as a stop and start of the service would: every pass asks the
// update server and nothing is set aside, which is the service before it had a schedule.
void runMachine(const Scenario& scenario, std::uint64_t bootTime, std::uint64_t startOffset, bool schedule) {
  namespace sim = halcyra::sim;
  sim::reset();
  current = Machine{};
  current.scenario = &scenario;
  current.bootTime = bootTime;

  sim::ProgramBehaviour self;
  self.run = [](const std::vector<std::string>& args) { return runEntryWith(args); };
  sim::installProgram(kServicePath, std::move(self));
  sim::addFile(u"C:\\Halcyra\\resources\\updater\\config.json",
               R"({"server":"https://updates.example.com/halcyra","relativeAppPath":"HalcyraServer.exe",)"
               R"("login":"","password":"","versionFile":"release.json","useGUI":0,"enableUpdate":true,)"
               R"("autoUpdate":true,"updaterPath":"C:\\Halcyra\\updater\\Updater.exe"})");
  sim::ProgramBehaviour updater;
  updater.exitAfter = 20 * kSecond;
  updater.run = [](const std::vector<std::string>&) {
    // It installs what the server announces now: a 200 answer's version.
    const Answer answer = current.scenario->answerAt(modelTime());
    if (current.scenario->updaterInstalls && answer.status == 200) {
      setInstalled(answer.announced);
    }
    return 0;
  };
  sim::installProgram(kUpdaterPath, std::move(updater));
  setInstalled(scenario.installed);

  // Between two passes (at the pass's 3 s wait), the machine forgets its ended processes and
  // its call log, so that a pass costs the same at the end of a long run as at its start.
  sim::setCallObserver([schedule](const sim::Call& call) {
    if (call.name == "WaitForSingleObject" && call.args.find(" ms=3000") != std::string::npos) {
      sim::forgetHistory();
      if (!schedule) {
        halcyra::resetUpdateSchedule();
      }
    }
  });
  sim::setUpdateServer([](std::uint64_t) {
    const Answer answer = current.scenario->answerAt(modelTime());
    sim::UpdateServerAnswer reply{answer.status, answer.retryAfterSeconds, "<html>unavailable</html>"};
    if (answer.status == 200) {
      reply.body = sim::manifestBody(versionText(answer.announced));
    }
    return reply;
  });
  const std::uint64_t serviceStart = bootTime + startOffset;
  sim::scheduleControl(bootTime + scenario.duration, halcyra::platform::kServiceControlStop);
  sim::runProcess([serviceStart] {
    // Up to the service's start: the machine has been up for a while.
    halcyra::platform::Handle const never =
        halcyra::platform::CreateEventA(nullptr, halcyra::platform::kTrue, halcyra::platform::kFalse, nullptr);
    halcyra::platform::WaitForSingleObject(never, static_cast<Dword>(serviceStart));
    halcyra::platform::CloseHandle(never);
    return runEntryWith({"HalcyraService.exe"});
  });
  for (const std::uint64_t t : sim::updateServerRequests()) {
    current.requests.push_back(t - bootTime);
  }
}

bool serverRunsAt(std::uint64_t t) {
  return std::any_of(current.serverRuns.begin(), current.serverRuns.end(),
                     [t](const auto& run) { return run.first <= t && t < run.second; });
}

struct Row {
  std::uint64_t requests = 0;
  std::uint64_t peakPerSecond = 0;
  double meanPerSecond = 0;
  double shareRunning = 0;
};

// Runs `simulated` machines and counts `machines`: with more machines than simulated ones,
// each simulated machine also stands for copies of itself that started at another time of
// the first minute (its requests and server runs shifted by the difference).
Row runFleet(const Scenario& scenario, unsigned machines, unsigned simulated, bool schedule, std::uint32_t seed) {
  simulated = std::min(simulated, machines);
  std::vector<std::uint64_t> perSecond(scenario.duration / kSecond, 0);
  std::uint64_t running = 0;
  std::mt19937_64 random(seed);
  for (unsigned i = 0; i < simulated; ++i) {
    // Uptimes up to about 24 days (the sim's waits take 32-bit times), starts within a minute.
    const std::uint64_t bootTime = random() % (std::uint64_t{1} << 31);
    const std::uint64_t startOffset = random() % kStartSpread;
    runMachine(scenario, bootTime, startOffset, schedule);
    const unsigned copies = machines / simulated + (i < machines % simulated ? 1 : 0);
    for (unsigned copy = 0; copy < copies; ++copy) {
      const std::int64_t shift =
          copy == 0 ? 0 : static_cast<std::int64_t>(random() % kStartSpread) - static_cast<std::int64_t>(startOffset);
      for (const std::uint64_t t : current.requests) {
        const std::int64_t shifted = static_cast<std::int64_t>(t) + shift;
        if (shifted >= 0 && static_cast<std::uint64_t>(shifted) < scenario.duration) {
          ++perSecond[static_cast<std::uint64_t>(shifted) / kSecond];
        }
      }
      const std::int64_t shareAt = static_cast<std::int64_t>(scenario.shareAt) - shift;
      running += shareAt >= 0 && serverRunsAt(static_cast<std::uint64_t>(shareAt)) ? 1U : 0U;
    }
  }
  Row row;
  for (const std::uint64_t count : perSecond) {
    row.requests += count;
    row.peakPerSecond = std::max(row.peakPerSecond, count);
  }
  row.meanPerSecond = static_cast<double>(row.requests) / static_cast<double>(scenario.duration / kSecond);
  row.shareRunning = 100.0 * static_cast<double>(running) / machines;
  return row;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<unsigned> sizes;
  unsigned simulated = kDefaultSimulated;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--simulate=", 0) == 0) {
      simulated = static_cast<unsigned>(std::stoul(arg.substr(11)));
    } else {
      sizes.push_back(static_cast<unsigned>(std::stoul(arg)));
    }
  }
  if (sizes.empty()) sizes = {10, 10000};
  simulated = std::max(simulated, 1U);

  std::printf("Machines beyond %u are copies of simulated ones that started at another time.\n", simulated);
  std::printf("%-28s %8s %-8s %10s %8s %9s %9s  %s\n", "scenario", "machines", "schedule", "requests", "peak/s",
              "mean/s", "running", "(at, CPU time)");
  for (const Scenario& scenario : scenarios()) {
    for (const unsigned machines : sizes) {
      for (const bool schedule : {false, true}) {
        const std::clock_t started = std::clock();
        const Row row = runFleet(scenario, machines, simulated, schedule, 20261207);
        const double seconds = static_cast<double>(std::clock() - started) / CLOCKS_PER_SEC;
        std::printf("%-28s %8u %-8s %10llu %8llu %9.3f %8.1f%%  (%llu min, %.1f s)\n", scenario.name, machines,
                    schedule ? "on" : "off", static_cast<unsigned long long>(row.requests),
                    static_cast<unsigned long long>(row.peakPerSecond), row.meanPerSecond, row.shareRunning,
                    static_cast<unsigned long long>(scenario.shareAt / kMinute), seconds);
        std::fflush(stdout);
      }
    }
  }
  return 0;
}

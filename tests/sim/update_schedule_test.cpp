// The update schedule in the running service, on the simulated machine with a simulated
// update server: what the fleet relies on, checked as invariants over hours of virtual time.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/decimal_text.h"
#include "platform/sim/sim.h"
#include "platform/sim/sim_update_server.h"
#include "service/event_messages.h"
#include "service/pass_outcome.h"
#include "service/schedule_file.h"
#include "tests/sim/service_scenario.h"

namespace halcyra::test {
namespace {

constexpr std::uint64_t kSecond = 1000;
constexpr std::uint64_t kMinute = 60 * kSecond;
constexpr std::uint64_t kHour = 60 * kMinute;
// A pass's wait, plus room for the pass itself and a server that ends at once.
constexpr std::uint64_t kPassSlack = kPassIntervalMs + 500;

// A machine with 1.0.0.0 installed, a configuration that asks the simulated update server
// (`extra` adds members), an updater that ends after a second without installing anything,
// and a server with `server`'s behaviour.
void setUp(sim::ProgramBehaviour server, const std::string& extra = {}) {
  setUpMachine(std::move(server));
  sim::addFile(u"C:\\Halcyra\\resources\\updater\\config.json",
               R"({"server":"https://updates.example.com","relativeAppPath":"HalcyraServer.exe","login":"",)"
               R"("password":"","versionFile":"release.json","useGUI":0,"enableUpdate":true,"autoUpdate":true,)"
               R"("updaterPath":"C:\\Halcyra\\updater\\Updater.exe")" +
                   extra + "}");
  sim::setVersionInfo(kServerPath, 0x00010000, 0, 0x00010000, 0);
  sim::installProgram(kUpdaterPath, serverExitingAfter(kSecond, 0));
}

void runFor(std::uint64_t duration) {
  sim::scheduleControl(duration, platform::kServiceControlStop);
  sim::runProcess([] { return runEntryWith({"HalcyraService.exe"}); });
}

std::vector<std::uint64_t> startTimes(std::u16string_view program) {
  std::vector<std::uint64_t> times;
  for (const sim::ProcessRecord& process : processesOf(program)) times.push_back(process.startTime);
  return times;
}

std::size_t countIn(const std::vector<std::uint64_t>& times, std::uint64_t from, std::uint64_t to) {
  return static_cast<std::size_t>(
      std::count_if(times.begin(), times.end(), [&](auto t) { return from <= t && t < to; }));
}

// An updater that installs nothing, or cannot be started: its quick failures are retried,
// so the server does not start in the first minute, and after 10 min the version is set
// aside and the server runs. Each later retry comes at the first pass after its set-aside
// (15 min doubling, with jitter, at most a day) and sets the version aside again; a newer
// announced version is tried at once.
void expectStuckUpdaterSetAside(const char* name, const sim::ProgramBehaviour& updater) {
  SCOPED_TRACE(name);
  setUp(serverExitingAfter(10 * kMinute, 0));
  sim::installProgram(kUpdaterPath, updater);
  sim::setUpdateServer([](std::uint64_t now) {
    return sim::UpdateServerAnswer{200, 0, sim::manifestBody(now < 10 * kHour ? "2.0.0.0" : "2.1.0.0")};
  });
  std::vector<std::uint64_t> updaters;   // every start of the updater, failed or not
  std::optional<ScheduleSnapshot> file;  // what the diagnostic reads near the end
  bool read = false;                     // once; the reading's own calls come here too
  sim::setCallObserver([&](const sim::Call& call) {
    if (call.name == "CreateProcessAsUserW" && call.args.find("app=C:\\Halcyra\\updater") != std::string::npos) {
      updaters.push_back(call.time);
    }
    if (!read && call.time >= 10 * kHour + 50 * kMinute) file = (read = true, readScheduleFile());
  });
  runFor(11 * kHour);
  sim::setCallObserver(nullptr);

  const std::vector<std::uint64_t> servers = startTimes(kServerPath);
  ASSERT_GE(servers.size(), 4U);
  EXPECT_GE(countIn(updaters, 0, 15 * kSecond), 3U) << "three failures in 15 s";
  EXPECT_GE(countIn(updaters, 15 * kSecond, kMinute), 1U) << "... are retried";
  EXPECT_TRUE(servers.front() >= kMinute && servers.front() <= 11 * kMinute) << "the server within 1 to 11 min";

  // Those of 2.0.0.0, before 2.1.0.0 is announced.
  std::vector<sim::ReportedEvent> setAsides;
  for (const sim::ReportedEvent& event : sim::reportedEvents()) {
    if (event.eventId == EVENT_UPDATE_SET_ASIDE && event.time < 10 * kHour) setAsides.push_back(event);
  }
  ASSERT_GE(setAsides.size(), 4U);
  std::uint64_t previousMinutes = 0;
  for (std::size_t i = 0; i < setAsides.size(); ++i) {
    const sim::ReportedEvent& event = setAsides[i];
    EXPECT_EQ(event.strings.at(0) + u" " + event.strings.at(1) + u" " + event.strings.at(2),
              u"2.0.0.0 1.0.0.0 " + decimalText(countIn(updaters, 0, event.time + 1)));
    const std::uint64_t minutes = std::stoull(std::string(event.strings.at(3).begin(), event.strings.at(3).end()));
    EXPECT_GE(minutes, i == 0 ? 15U : previousMinutes) << "set-aside " << i;
    EXPECT_LE(minutes, std::min<std::uint64_t>(30U << i, 24 * 60)) << "set-aside " << i;
    previousMinutes = minutes;
    // No updater while the version is set aside, and exactly one retry before the next one,
    // at the first pass after the back-off: no server starts in between.
    const std::uint64_t until = event.time + (minutes - 1) * kMinute;
    EXPECT_EQ(countIn(updaters, event.time + 1, std::min(until, 10 * kHour)), 0U) << "set-aside " << i;
    if (i + 1 < setAsides.size()) {
      EXPECT_EQ(countIn(updaters, until, setAsides[i + 1].time + 1), 1U) << "set-aside " << i;
      const auto retry = std::lower_bound(updaters.begin(), updaters.end(), until);
      EXPECT_TRUE(retry != updaters.end() && countIn(servers, event.time + minutes * kMinute, *retry) == 0U) << i;
    }
  }
  // The newer version is tried at the next pass after the server's next end.
  EXPECT_GE(countIn(updaters, 10 * kHour, 10 * kHour + 10 * kMinute + kPassSlack + kSecond), 1U);

  // The file shows 2.1.0.0 set aside in its turn, and goes when the service stops.
  ASSERT_TRUE(file && file->schedule.stuck);
  EXPECT_EQ(file->schedule.stuck->announced, (VersionNumber{2, 1, 0, 0}));
  EXPECT_FALSE(readScheduleFile());
}

TEST(UpdateScheduleScenario, StuckUpdaterIsSetAsideAfterTenMinutesWithGrowingWaits) {
  expectStuckUpdaterSetAside("ends without installing", serverExitingAfter(kSecond, 0));
  sim::ProgramBehaviour cannotStart;
  cannotStart.failToStart = platform::kErrorAccessDenied;
  expectStuckUpdaterSetAside("cannot be started", cannotStart);
}

// While the server keeps ending at once, it is restarted after every pass's wait, and the
// update server is asked at most once per back-off: at least the Retry-After of a 503, and
// never more than 15 minutes apart, so a fixed release is found within 15 minutes.
TEST(UpdateScheduleScenario, CrashLoopAsksRarelyAndHonoursRetryAfter) {
  struct Case {
    const char* name;
    sim::UpdateServerAnswer answer;
    std::uint64_t minimumGap;
  };
  const Case cases[] = {
      {"503 with Retry-After 120", {503, 120, "busy"}, 120 * kSecond},
      {"500", {500, 0, "error"}, 3 * kSecond},
      {"no update due", {200, 0, sim::manifestBody("1.0.0.0")}, 3 * kSecond},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The server notes its starts: the machine forgets ended processes between passes.
    std::vector<std::uint64_t> servers;
    sim::ProgramBehaviour crashing = serverExitingAfter(100, 1);
    crashing.run = [&servers](const std::vector<std::string>&) {
      servers.push_back(sim::now());
      return 1;
    };
    setUp(crashing);
    sim::setCallObserver([](const sim::Call& call) {
      if (isPassWait(call)) sim::forgetHistory();
    });
    sim::setUpdateServer([&c](std::uint64_t) { return c.answer; });
    runFor(2 * kHour);
    sim::setCallObserver(nullptr);

    const std::vector<std::uint64_t> requests = sim::updateServerRequests();
    ASSERT_GE(requests.size(), 2U);
    EXPECT_TRUE(c.minimumGap < kMinute || countIn(requests, 0, requests.front() + kMinute) == 1U);
    EXPECT_GE(countIn(servers, 0, 60 * kSecond), 15U);
    for (std::size_t i = 1; i < requests.size(); ++i) {
      EXPECT_GE(requests[i] - requests[i - 1], c.minimumGap) << "request " << i;
      EXPECT_LE(requests[i] - requests[i - 1], 15 * kMinute + kPassSlack) << "request " << i;
    }
    for (std::size_t i = 1; i < servers.size(); ++i) {
      ASSERT_LE(servers[i] - servers[i - 1], kPassSlack) << "the server is restarted after every pass";
    }
    EXPECT_LE(requests.size(), servers.size() / 100) << "crash loop: at most 1 % of the passes ask";
  }
}

// minCheckInterval: passes within it take the last answer.
TEST(UpdateScheduleScenario, MinCheckIntervalSpacesTheFetchesOfAHealthyServer) {
  setUp(serverExitingAfter(2 * kMinute, 0), R"(,"minCheckInterval":600)");
  sim::setUpdateServer([](std::uint64_t) { return sim::UpdateServerAnswer{200, 0, sim::manifestBody("1.0.0.0")}; });
  runFor(kHour);
  const std::vector<std::uint64_t> requests = sim::updateServerRequests();
  ASSERT_GE(requests.size(), 4U);
  for (std::size_t i = 1; i < requests.size(); ++i) {
    EXPECT_TRUE(requests[i] - requests[i - 1] >= 10 * kMinute &&
                requests[i] - requests[i - 1] <= 12 * kMinute + kPassSlack);
  }
}

// A server that keeps ending by itself after a run of about a minute: the events fold its
// ends and the schedule backs its fetches off for the same runs, the quick ones.
TEST(UpdateScheduleScenario, EventsAndScheduleJudgeTheSameRunsQuick) {
  for (std::uint64_t const run : {kMinute - kSecond, kMinute - 1, kMinute, kMinute + 1, kMinute + kSecond}) {
    SCOPED_TRACE(run);
    setUp(serverExitingAfter(run, 1));
    sim::setUpdateServer([](std::uint64_t) { return sim::UpdateServerAnswer{200, 0, sim::manifestBody("1.0.0.0")}; });
    runFor(3 * kPassIntervalMs + 2 * run + kSecond);  // two ends, then the third pass's server runs
    std::size_t exitEvents = 0;
    for (const sim::ReportedEvent& event : sim::reportedEvents()) {
      if (event.eventId == EVENT_CHILD_EXITED) ++exitEvents;
    }
    bool const quick = run < kQuickEndMs;
    EXPECT_EQ(exitEvents, quick ? 1U : 2U) << "the second quick end is folded";
    EXPECT_EQ(sim::updateServerRequests().size(), quick ? 2U : 3U) << "the third pass backs off after two quick ends";
  }
}

}  // namespace
}  // namespace halcyra::test

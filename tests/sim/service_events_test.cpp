// The service's events, read back through the compiled message table as an administrator
// sees them: a start, a restart, a graceful and a forced stop, an update, a start failure,
// and a crash loop that stays quiet.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>

#include "platform/event_log.h"
#include "platform/processes.h"
#include "service/event_messages.h"
#include "tests/sim/service_scenario.h"

namespace halcyra::test {
namespace {

using platform::kServiceControlStop;

std::u16string decimal16(std::uint64_t value) {
  const std::string text = std::to_string(value);
  return {text.begin(), text.end()};
}

void loadMessages() {
  std::ifstream file(HALCYRA_EVENT_MESSAGES_TABLE, std::ios::binary);
  ASSERT_TRUE(file) << HALCYRA_EVENT_MESSAGES_TABLE;
  sim::loadMessageTable(std::string(std::istreambuf_iterator<char>(file), {}));
}

// Each event as "<time> <I|W|E> <text>".
std::vector<std::string> eventLines() {
  std::vector<std::string> lines;
  for (const sim::ReportedEvent& event : sim::reportedEvents()) {
    EXPECT_EQ(event.source, u"HalcyraService");
    const char type = event.type == platform::kEventlogErrorType     ? 'E'
                      : event.type == platform::kEventlogWarningType ? 'W'
                                                                     : 'I';
    const std::u16string text = sim::eventText(event);
    lines.push_back(std::to_string(event.time) + " " + type + " " + std::string(text.begin(), text.end()));
  }
  return lines;
}

void disableUpdates() { configureRelease("1.0.0.0", false); }

struct EventCase {
  const char* name;
  sim::ProgramBehaviour server;
  std::function<void()> arrange;
  std::uint64_t stopAt;
  std::size_t serversStarted;
  std::vector<std::string> events;
};

TEST(Events, TellTheStoryOfTheService) {
  const std::string kStarted =
      "0 I The service started. It keeps HalcyraServer.exe running in the session attached to the physical console.";
  const std::string kStopped = "I The service stopped.";
  sim::ProgramBehaviour obeying;
  obeying.ctrlCExitAfter = 1500;
  sim::ProgramBehaviour ignoring;
  ignoring.ctrlCExitAfter = sim::kNever;
  // The updater "installs" 2.0.0.0 and exits; the next pass finds no update due.
  sim::ProgramBehaviour updater;
  updater.exitAfter = 2000;
  updater.run = [](const std::vector<std::string>&) {
    sim::setVersionInfo(kServerPath, 0x00020000, 0, 0x00020000, 0);
    return 0;
  };
  const std::vector<EventCase> cases = {
      {"start and graceful stop",
       obeying,
       [] { disableUpdates(); },
       10000,
       1,
       {kStarted, "3000 I HalcyraServer.exe started as process 1000 in session 1.",
        "11500 I HalcyraServer.exe (process 1000) ended with exit code 3221225786 (0xC000013A) after the service's "
        "Ctrl-C.",
        "11500 " + kStopped}},
      {"restart after a long run",
       serverExitingAfter(70000, 2),
       [] { disableUpdates(); },
       80000,
       2,
       {kStarted, "3000 I HalcyraServer.exe started as process 1000 in session 1.",
        "73000 W HalcyraServer.exe (process 1000) ended with exit code 2 after 70.0 seconds.",
        "76000 I HalcyraServer.exe started as process 1004 in session 1.",
        "80000 I HalcyraServer.exe (process 1004) ended with exit code 3221225786 (0xC000013A) after the service's "
        "Ctrl-C.",
        "80000 " + kStopped}},
      {"forced stop",
       ignoring,
       [] { disableUpdates(); },
       10000,
       1,
       {kStarted, "3000 I HalcyraServer.exe started as process 1000 in session 1.",
        "30000 W HalcyraServer.exe (process 1000) was still running 20 seconds after the service's Ctrl-C. The "
        "service terminated it with exit code 1067.",
        "30000 " + kStopped}},
      {"no configuration, and no stop request",
       patientServer(),
       [] { sim::failCall("CreateProcessAsUserW", 2, platform::kErrorPrivilegeNotHeld); },
       10000,
       1,
       {kStarted,
        "3000 W The update check failed: Updater config doesn't exist. The server is started without an update. "
        "libcurl's result: no transfer was made; the update server's response: none.",
        "3000 I HalcyraServer.exe started as process 1000 in session 1.",
        "10000 W The service could not raise a Ctrl-C on the console of HalcyraServer.exe (process 1000) and "
        "terminated it with exit code 1067.",
        "10000 " + kStopped}},
      {"update",
       patientServer(),
       [&] { announceRelease("2.0.0.0", updater); },
       10000,
       1,
       {kStarted,
        "3000 I The update check found version 2.0.0.0 for the installed version 1.0.0.0. The updater "
        "C:\\Halcyra\\updater\\Updater.exe started as process 1000 in session 1, in place of the server.",
        "5000 I C:\\Halcyra\\updater\\Updater.exe (process 1000) ended with exit code 0 after 2.0 seconds.",
        "8000 I HalcyraServer.exe started as process 1004 in session 1.",
        "10000 I HalcyraServer.exe (process 1004) ended with exit code 3221225786 (0xC000013A) after the service's "
        "Ctrl-C.",
        "10000 " + kStopped}},
      {"server missing",
       patientServer(),
       [] {
         disableUpdates();
         sim::failCall("CreateProcessAsUserW", 1, platform::kErrorFileNotFound, true);
       },
       10000,
       0,
       {kStarted,
        "3000 E HalcyraServer.exe could not be started: error 2. The service tries again at its next pass, 3 "
        "seconds later.",
        "10000 " + kStopped}},
      // Reported once, however many passes meet it.
      {"no job list on this system",
       patientServer(),
       [] { sim::failCall("UpdateProcThreadAttribute", 2, platform::kErrorInvalidParameter, true); },
       10000,
       0,
       {kStarted,
        "3000 E The service cannot place its children in a job on this system (error 87), so it starts no child: "
        "the server does not run. The service needs Windows 10 or Windows Server 2016 or later.",
        "10000 " + kStopped}},
      {"start failure",
       patientServer(),
       [] { sim::failCall("CreateEventA", 1, platform::kErrorNotEnoughMemory); },
       10000,
       0,
       {"0 E The service could not start: error 8."}},
      // Without the event log the service does its work all the same.
      {"no event source",
       patientServer(),
       [] { sim::failCall("RegisterEventSourceW", 1, platform::kErrorAccessDenied); },
       10000,
       1,
       {}},
      // Registration is tried again a minute later, while events come.
      {"event source registered late",
       patientServer(),
       [] { sim::failCall("RegisterEventSourceW", 1, platform::kErrorAccessDenied); },
       70000,
       1,
       {"70000 I HalcyraServer.exe (process 1000) ended with exit code 3221225786 (0xC000013A) after the service's "
        "Ctrl-C.",
        "70000 " + kStopped}},
      {"every report fails",
       patientServer(),
       [] { sim::failCall("ReportEventW", 1, platform::kErrorNotEnoughMemory, true); },
       10000,
       1,
       {}},
  };
  for (const EventCase& c : cases) {
    SCOPED_TRACE(c.name);
    setUpMachine(c.server);
    loadMessages();
    c.arrange();
    sim::scheduleControl(c.stopAt, kServiceControlStop);
    runService();
    const auto lines = eventLines();
    EXPECT_EQ(lines, c.events);
    EXPECT_EQ(servers().size(), c.serversStarted);
    EXPECT_EQ(sim::openEventSources(), 0u);
    // No event is written between a child's launch and the next wait, its watch's.
    const auto& calls = sim::calls();
    for (std::size_t i = 0; i < calls.size(); ++i) {
      for (std::size_t j = i + 1;
           calls[i].name == "CreateProcessAsUserW" && j < calls.size() && calls[j].name.rfind("WaitFor", 0) != 0; ++j) {
        EXPECT_NE(calls[j].name, "ReportEventW") << "call " << j;
      }
    }
  }
}

// A server that ends by itself soon after every start, with an exit code that now and then
// changes, and an update check that fails the same way on every pass. From the second pass
// on, at most one event per pass; no change of exit code goes unreported; every report of
// repeated quick ends counts them right.
TEST(Events, CrashLoopWritesAtMostOneEventPerPass) {
  std::size_t foldedReports = 0;
  for (unsigned seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    auto exitCodes = std::make_shared<std::vector<Dword>>();
    sim::ProgramBehaviour server;
    server.exitAfter = std::uniform_int_distribution<std::uint64_t>(0, 5000)(random);
    server.run = [exitCodes, &random](const std::vector<std::string>&) {
      const bool change = exitCodes->empty() || std::uniform_int_distribution<int>(0, 7)(random) == 0;
      exitCodes->push_back(change ? std::uniform_int_distribution<Dword>(1, 3)(random) : exitCodes->back());
      return static_cast<int>(exitCodes->back());
    };
    setUpMachine(server);
    sim::scheduleControl(std::uniform_int_distribution<std::uint64_t>(100000, 400000)(random), kServiceControlStop);
    runService();

    const auto started = servers();
    ASSERT_GE(started.size(), 10u);
    std::vector<sim::ReportedEvent> events = sim::reportedEvents();
    ASSERT_FALSE(events.empty());
    events.pop_back();  // the service's stop, after the last pass
    for (std::size_t pass = 1; pass < started.size(); ++pass) {
      const std::uint64_t from = started[pass].startTime;
      const std::uint64_t to = pass + 1 < started.size() ? started[pass + 1].startTime : sim::kNever;
      const auto inPass = std::count_if(events.begin(), events.end(),
                                        [&](const sim::ReportedEvent& e) { return e.time >= from && e.time < to; });
      EXPECT_LE(inPass, 1) << "pass " << pass;
    }

    // An end by itself, found by its process id among the strings of an event.
    auto reportedEnd = [&](Dword processId) -> const sim::ReportedEvent* {
      const std::u16string id = decimal16(processId);
      for (const sim::ReportedEvent& e : events) {
        if ((e.eventId == EVENT_CHILD_EXITED && e.strings.at(1) == id) ||
            (e.eventId == EVENT_CHILD_QUICK_ENDS && e.strings.at(3) == id)) {
          return &e;
        }
      }
      return nullptr;
    };
    std::size_t inARow = 0;
    for (std::size_t pass = 0; pass < started.size(); ++pass) {
      const sim::ProcessRecord process = *sim::findProcess(started[pass].id);
      if (process.endTime.value_or(sim::kNever) >= sim::statusReports().back().time) {
        break;  // ended by the stop
      }
      const bool changed = pass == 0 || (*exitCodes)[pass] != (*exitCodes)[pass - 1];
      inARow = changed ? 1 : inARow + 1;
      const sim::ReportedEvent* const end = reportedEnd(process.id);
      if (changed) {
        ASSERT_NE(end, nullptr) << "pass " << pass;
        EXPECT_EQ(end->eventId, Dword{EVENT_CHILD_EXITED});
        EXPECT_EQ(end->strings.at(2), decimal16((*exitCodes)[pass]));
      } else if (end != nullptr) {
        EXPECT_EQ(end->eventId, Dword{EVENT_CHILD_QUICK_ENDS});
        EXPECT_EQ(end->strings.at(2), decimal16(inARow));
        ++foldedReports;
      }
    }
  }
  EXPECT_GT(foldedReports, 0u);  // the loops were long enough to report repeated quick ends
}

}  // namespace
}  // namespace halcyra::test

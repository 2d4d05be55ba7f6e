// HalcyraUpdateCheck.exe run on the simulated machine just before each pass of the running
// service: its exit code and its decision are what that pass starts, for every outcome.

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "diagnostic/update_check_command.h"
#include "platform/sim/sim.h"
#include "platform/sim/sim_trust.h"
#include "platform/sim/sim_update_server.h"
#include "tests/sim/service_scenario.h"

namespace halcyra::test {
namespace {

constexpr std::uint64_t kMinute = 60000;
// SHA-256 of "publisher certificate".
constexpr char kSigner[] = "1aeb2f186b07d146cfafb091db33236587761b5d680559729857dd9e23fc6a42";

// What the diagnostic said, and when.
struct Verdict {
  std::uint64_t time;
  int exitCode;
  std::string decision;  // the Decision line's value
};

Verdict runDiagnostic() {
  std::FILE* const out = std::tmpfile();
  char name[] = "HalcyraUpdateCheck.exe";
  char* argv[] = {name, nullptr};
  Verdict verdict{sim::now(), runUpdateCheckCommand(1, argv, out, out), {}};
  std::rewind(out);
  char line[4096];
  while (std::fgets(line, sizeof line, out) != nullptr) {
    if (std::string_view(line).starts_with("Decision:")) {
      verdict.decision = std::string(line + 22, std::string_view(line).find('\n') - 22);
    }
  }
  std::fclose(out);
  return verdict;
}

TEST(LaunchDecision, TheDiagnosticSaysWhatTheNextPassStarts) {
  struct Row {
    const char* what;
    std::string members;                  // of the configuration, beside server and updater
    const char* announced;                // the manifest's version; null: the manifest is missing
    const char* later;                    // announced from minute 20 on
    bool signedUpdater;                   // the updater is signed by kSigner
    std::uint64_t serverRuns;             // before it ends by itself
    std::set<std::string> decisionsSeen;  // among the verdicts, at least
  };
  const std::string listed = R"(,"updaterSigners":[")" + std::string(kSigner) + R"("])";
  const Row rows[] = {
      {"an updater that installs nothing, then a newer version",
       "",
       "2.0.0.0",
       "2.1.0.0",
       false,
       5 * kMinute,
       {"update due: a pass starts the updater instead of the server", "update set aside: a pass starts the server"}},
      {"no update", "", "1.0.0.0", nullptr, false, kMinute, {"no update due: a pass starts the server"}},
      {"updates disabled",
       R"(,"enableUpdate":false)",
       "2.0.0.0",
       nullptr,
       false,
       kMinute,
       {"updates disabled: a pass starts the server"}},
      {"no manifest", "", nullptr, nullptr, false, kMinute, {"check failed: a pass starts the server"}},
      {"an updater refused by its signer",
       listed,
       "2.0.0.0",
       nullptr,
       false,
       kMinute,
       {"check failed: a pass starts the server"}},
      {"an updater allowed by its signer",
       listed,
       "2.0.0.0",
       nullptr,
       true,
       kMinute,
       {"update due: a pass starts the updater instead of the server"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    setUpMachine(serverExitingAfter(row.serverRuns, 0));
    sim::addFile(u"C:\\Halcyra\\resources\\updater\\config.json",
                 R"({"server":"https://updates.example.com","relativeAppPath":"HalcyraServer.exe","login":"",)"
                 R"("password":"","versionFile":"release.json","useGUI":0,"autoUpdate":true,)"
                 R"("updaterPath":"C:\\Halcyra\\updater\\Updater.exe")" +
                     row.members +
                     (row.members.find("enableUpdate") == std::string::npos ? R"(,"enableUpdate":true})" : "}"));
    sim::setVersionInfo(kServerPath, 0x00010000, 0, 0x00010000, 0);
    sim::installProgram(kUpdaterPath, serverExitingAfter(1000, 0));
    if (row.signedUpdater) sim::setFileSignature(kUpdaterPath, 0, "publisher certificate");
    sim::setUpdateServer([&row](std::uint64_t now) {
      const char* const version = row.later != nullptr && now >= 20 * kMinute ? row.later : row.announced;
      return version != nullptr ? sim::UpdateServerAnswer{200, 0, sim::manifestBody(version)}
                                : sim::UpdateServerAnswer{404, 0, "not found"};
    });
    // The diagnostic runs at the first call after each wait between two passes.
    std::vector<Verdict> verdicts;
    bool passWaited = false;
    bool inside = false;
    sim::setCallObserver([&](const sim::Call& call) {
      if (inside || call.processId != kServiceProcessId) return;
      if (passWaited) {
        inside = true;
        verdicts.push_back(runDiagnostic());
        inside = false;
      }
      passWaited = isPassWait(call);
    });
    sim::scheduleControl(40 * kMinute, platform::kServiceControlStop);
    sim::runProcess([] { return runEntryWith({"HalcyraService.exe"}); });
    sim::setCallObserver(nullptr);

    std::vector<std::pair<std::uint64_t, bool>> starts;  // (time, the updater)
    for (const sim::ProcessRecord& process : processesOf(kUpdaterPath)) starts.emplace_back(process.startTime, true);
    for (const sim::ProcessRecord& process : servers()) starts.emplace_back(process.startTime, false);
    std::set<std::string> seen;
    ASSERT_GE(verdicts.size(), 3U);
    for (std::size_t i = 0; i + 1 < verdicts.size(); ++i) {
      const Verdict& verdict = verdicts[i];
      std::string started = "a pass starts nothing";
      for (const auto& [time, updater] : starts) {
        if (verdict.time <= time && time < verdicts[i + 1].time) {
          started = updater ? "a pass starts the updater instead of the server" : "a pass starts the server";
        }
      }
      SCOPED_TRACE(verdict.decision + " at " + std::to_string(verdict.time) + " ms");
      EXPECT_TRUE(verdict.decision.ends_with(": " + started)) << "the pass: " << started;
      EXPECT_EQ(verdict.exitCode == 0, started.find("updater") != std::string::npos) << verdict.exitCode;
      EXPECT_EQ(verdict.exitCode == 1,
                verdict.decision.starts_with("no update due") || verdict.decision.starts_with("updates disabled"));
      seen.insert(verdict.decision);
    }
    for (const std::string& decision : row.decisionsSeen) EXPECT_EQ(seen.count(decision), 1U) << decision;
  }
}

}  // namespace
}  // namespace halcyra::test

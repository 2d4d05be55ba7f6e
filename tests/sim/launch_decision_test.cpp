// HalcyraUpdateCheck.exe run on the simulated machine just before each pass of the running
// service: its exit code and its decision are what that pass starts, for every outcome.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "diagnostic/update_check_command.h"
#include "platform/sim/sim_trust.h"
#include "platform/sim/sim_update_server.h"
#include "tests/sim/service_scenario.h"

namespace halcyra::test {
namespace {

constexpr std::uint64_t kMinute = 60000;

struct Verdict {
  std::uint64_t time;
  int exitCode;
  std::string decision;  // the value of the line "Decision:"
};

Verdict runDiagnostic() {
  char name[] = "HalcyraUpdateCheck.exe";
  char* argv[] = {name, nullptr};
  std::FILE* const out = std::tmpfile();
  Verdict verdict{sim::now(), runUpdateCheckCommand(1, argv, out, out), {}};
  std::rewind(out);
  for (char line[4096]; std::fgets(line, sizeof line, out) != nullptr;) {
    if (std::string_view(line).starts_with("Decision:")) verdict.decision.assign(line + 22, std::strlen(line) - 23);
  }
  std::fclose(out);
  return verdict;
}

TEST(LaunchDecision, TheDiagnosticSaysWhatTheNextPassStarts) {
  constexpr char kUpdater[] = "a pass starts the updater instead of the server";
  constexpr char kServer[] = "a pass starts the server";
  // SHA-256 of "publisher certificate".
  const std::string listed =
      R"(,"updaterSigners":["1aeb2f186b07d146cfafb091db33236587761b5d680559729857dd9e23fc6a42"])";
  struct Row {
    const char* what;
    bool enabled;
    std::string members;              // added to the configuration
    const char *announced, *later;    // the manifest's version (null: 404), before minute 20 and after
    bool signedUpdater;               // by the listed certificate
    std::uint64_t serverMinutes;      // before it ends by itself
    std::set<std::string> decisions;  // seen at least once
  };
  const Row rows[] = {
      {"set aside, then newer", true, "", "2.0.0.0", "2.1.0.0", false, 5, {"update due", "update set aside"}},
      {"no update", true, "", "1.0.0.0", "1.0.0.0", false, 1, {"no update due"}},
      {"updates disabled", false, "", "2.0.0.0", "2.0.0.0", false, 1, {"updates disabled"}},
      {"no manifest", true, "", nullptr, nullptr, false, 1, {"check failed"}},
      {"refused by its signer", true, listed, "2.0.0.0", "2.0.0.0", false, 1, {"check failed"}},
      {"allowed by its signer", true, listed, "2.0.0.0", "2.0.0.0", true, 1, {"update due"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    setUpMachine(serverExitingAfter(row.serverMinutes * kMinute, 0));
    configureRelease("", row.enabled);  // the update server below answers
    sim::installProgram(kUpdaterPath, serverExitingAfter(1000, 0));
    std::string config = *sim::fileContent(u"C:\\Halcyra\\resources\\updater\\config.json");
    sim::addFile(u"C:\\Halcyra\\resources\\updater\\config.json", config.insert(config.rfind('}'), row.members));
    if (row.signedUpdater) sim::setFileSignature(kUpdaterPath, 0, "publisher certificate");
    sim::setUpdateServer([&row](std::uint64_t now) {
      const char* const version = now < 20 * kMinute ? row.announced : row.later;
      return version ? sim::UpdateServerAnswer{200, 0, sim::manifestBody(version)}
                     : sim::UpdateServerAnswer{404, 0, ""};
    });
    // At the first call of the service after each wait between two passes.
    std::vector<Verdict> verdicts;
    bool passWaited = false;
    sim::setCallObserver([&](const sim::Call& call) {
      if (call.processId == kServiceProcessId && std::exchange(passWaited, isPassWait(call))) {
        verdicts.push_back(runDiagnostic());
      }
    });
    sim::scheduleControl(40 * kMinute, platform::kServiceControlStop);
    sim::runProcess([] { return runEntryWith({"HalcyraService.exe"}); });
    sim::setCallObserver(nullptr);

    std::set<std::string> seen;
    ASSERT_GE(verdicts.size(), 3U);
    for (std::size_t i = 0; i + 1 < verdicts.size(); ++i) {
      const Verdict& v = verdicts[i];
      std::string started = "a pass starts nothing";
      for (const sim::ProcessRecord& process : sim::processes()) {
        if (!process.parentId && v.time <= process.startTime && process.startTime < verdicts[i + 1].time) {
          started = process.application == kUpdaterPath  ? kUpdater
                    : process.application == kServerPath ? kServer
                                                         : started;
        }
      }
      SCOPED_TRACE(v.decision + " at " + std::to_string(v.time) + " ms, exit code " + std::to_string(v.exitCode));
      EXPECT_TRUE(v.decision.ends_with(": " + started)) << started;
      EXPECT_EQ(v.exitCode == 0, started == kUpdater);
      EXPECT_EQ(v.exitCode == 1, v.decision.starts_with("no update due") || v.decision.starts_with("updates disabled"));
      seen.insert(v.decision.substr(0, v.decision.find(':')));
    }
    for (const std::string& decision : row.decisions) EXPECT_EQ(seen.count(decision), 1U) << decision;
  }
}

}  // namespace
}  // namespace halcyra::test

#pragma once
// Shared set-up of the service scenarios on the simulated machine: the service's own
// executable installed so that its stop-request instances run the real entry code, a
// server with scripted behaviour in the working folder, and readers for the outcomes.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "platform/service_manager.h"
#include "platform/sim/sim.h"
#include "service/entry.h"
#include "service/supervisor.h"

namespace halcyra::test {

using platform::Dword;

inline constexpr char16_t kModulePath[] = u"C:\\Halcyra\\bin\\HalcyraService.exe";
inline constexpr char16_t kServerPath[] = u"C:\\Halcyra\\HalcyraServer.exe";
inline constexpr Dword kConsoleSession = 1;
inline constexpr Dword kServiceProcessId = 100;

// The supervisor loop's wait between two passes: where one pass has ended and the next
// has not begun.
inline bool isPassWait(const sim::Call& call) {
  return call.processId == kServiceProcessId && call.wait && call.wait->handles.size() == 1 &&
         call.wait->milliseconds == kPassIntervalMs;
}

inline int runEntryWith(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  return runEntry(static_cast<int>(args.size()), argv.data());
}

// A server that runs until it is asked to stop, and obeys Ctrl-C at once.
inline sim::ProgramBehaviour patientServer() { return {}; }

inline sim::ProgramBehaviour serverExitingAfter(std::uint64_t after, Dword exitCode) {
  sim::ProgramBehaviour server;
  server.exitAfter = after;
  server.exitCode = exitCode;
  return server;
}

// A brand-new machine with the service executable and the server installed.
inline void setUpMachine(sim::ProgramBehaviour server) {
  sim::reset();
  sim::ProgramBehaviour self;
  self.run = [](const std::vector<std::string>& args) { return runEntryWith(args); };
  sim::installProgram(kModulePath, std::move(self));
  sim::installProgram(kServerPath, std::move(server));
}

inline constexpr char16_t kUpdaterPath[] = u"C:\\Halcyra\\updater\\Updater.exe";

// A configuration with updates enabled or not, and a release manifest (read by libcurl
// from a local file) that announces `version` for an installed 1.0.0.0. The manifest is in
// a folder of the test process's own, so that test runs at the same time cannot swap them.
inline void configureRelease(const std::string& version, bool enabled = true) {
  const std::filesystem::path root =
      std::filesystem::path(testing::TempDir()) / ("halcyra_service_release_" + std::to_string(::getpid()));
  std::filesystem::create_directories(root / "latest");
  std::ofstream(root / "latest" / "release.json") << R"({"Version":")" << version << R"(","Files":[]})";
  sim::addFile(u"C:\\Halcyra\\resources\\updater\\config.json",
               R"({"server":"file://)" + root.string() +
                   R"(","relativeAppPath":"HalcyraServer.exe","login":"","password":"",)"
                   R"("versionFile":"release.json","autoUpdate":true,"useLatest":true,"enableUpdate":)" +
                   (enabled ? "true" : "false") + R"(,"useGUI":0,"updaterPath":"C:\\Halcyra\\updater\\Updater.exe"})");
  sim::setVersionInfo(kServerPath, 0x00010000, 0, 0x00010000, 0);
  sim::addFile(kUpdaterPath, "MZ");
}

// configureRelease with updates enabled, and the updater installed with `updater`.
inline void announceRelease(const std::string& version, sim::ProgramBehaviour updater) {
  configureRelease(version);
  sim::installProgram(kUpdaterPath, std::move(updater));
}

// A stop an hour into every scenario: a service that fails to stop when it should ends
// there, and the scenario's expectations fail instead of the test running for ever.
inline constexpr std::uint64_t kLastResortStopAt = 3600000;

// Starts the executable as the SCM does (no arguments) and returns its exit code.
inline int runService() {
  sim::scheduleControl(kLastResortStopAt, platform::kServiceControlStop);
  return sim::runProcess([] { return runEntryWith({"HalcyraService.exe"}); });
}

// Status reports as (state, controls accepted, Win32 exit code, wait hint).
using ReportRow = std::tuple<Dword, Dword, Dword, Dword>;
inline std::vector<ReportRow> reportRows() {
  std::vector<ReportRow> rows;
  for (const sim::StatusReport& report : sim::statusReports()) {
    const platform::ServiceStatus& s = report.status;
    rows.emplace_back(s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode, s.dwWaitHint);
  }
  return rows;
}

inline std::uint64_t reportTime(Dword state) {
  for (const sim::StatusReport& report : sim::statusReports()) {
    if (report.status.dwCurrentState == state) return report.time;
  }
  return sim::kNever;
}

// The processes the service started from `application` (grandchildren not included).
inline std::vector<sim::ProcessRecord> processesOf(std::u16string_view application) {
  std::vector<sim::ProcessRecord> found;
  for (const sim::ProcessRecord& process : sim::processes()) {
    if (process.application == application && !process.parentId) found.push_back(process);
  }
  return found;
}

inline std::vector<sim::ProcessRecord> servers() { return processesOf(kServerPath); }
inline std::vector<sim::ProcessRecord> stopRequests() { return processesOf(kModulePath); }

inline std::vector<std::uint64_t> callTimes(std::string_view operation) {
  std::vector<std::uint64_t> times;
  for (const sim::Call& call : sim::callsNamed(operation)) times.push_back(call.time);
  return times;
}

}  // namespace halcyra::test

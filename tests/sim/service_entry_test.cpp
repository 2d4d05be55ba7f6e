// Process entry: the mode table, the stop-request instance's exit codes, the reading of
// its process id, and the working folder of service mode.

#include <gtest/gtest.h>

#include <climits>

#include "platform/processes.h"
#include "service/entry.h"
#include "tests/sim/service_scenario.h"

namespace halcyra::test {
namespace {

struct ModeCase {
  std::vector<std::string> arguments;  // after the program name
  bool stopRequest;
};

TEST(Entry, CommandLineChoosesTheMode) {
  const std::vector<ModeCase> cases = {
      {{"--terminate", "1234"}, true},
      {{"--Terminate", "1234"}, false},
      {{"--terminate"}, false},
      {{"--terminate", "1234", "x"}, false},
      {{}, false},
      {{"1234", "--terminate"}, false},
      {{"--terminate ", "1234"}, false},
  };
  for (const ModeCase& c : cases) {
    std::vector<std::string> args = {"HalcyraService.exe"};
    args.insert(args.end(), c.arguments.begin(), c.arguments.end());
    SCOPED_TRACE(testing::PrintToString(args));
    setUpMachine(patientServer());
    sim::setScmConnected(false);  // service mode then ends at once
    const int exitCode = sim::runProcess([&] { return runEntryWith(args); });
    EXPECT_EQ(sim::callsNamed("AttachConsole").size(), c.stopRequest ? 1u : 0u);
    EXPECT_EQ(sim::callsNamed("StartServiceCtrlDispatcherA").size(), c.stopRequest ? 0u : 1u);
    // Outside the SCM the dispatcher fails, and its FALSE is the exit code.
    if (!c.stopRequest) {
      EXPECT_EQ(exitCode, 0);
    }
    EXPECT_TRUE(sim::statusReports().empty());
  }
}

TEST(Entry, ProcessIdIsReadAsTheWindowsAtolReadsIt) {
  const std::vector<std::pair<const char*, std::int32_t>> cases = {
      {"4711", 4711},
      {"  \t\n\v\f\r+42", 42},
      {"-1", -1},
      {"12x", 12},
      {"abc", 0},
      {"", 0},
      {"-", 0},
      {"+-3", 0},
      {" - 5", 0},
      {"0x10", 0},
      {"007", 7},
      {"2147483647", INT32_MAX},
      {"2147483648", INT32_MAX},
      {"99999999999999999999", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"-2147483649", INT32_MIN},
  };
  for (const auto& [text, value] : cases) {
    EXPECT_EQ(parseDecimalLikeAtol(text), value) << '"' << text << '"';
  }
}

// The stop-request instance run as a process of its own; returns its exit code and the
// error the last console call left.
struct StopRequestRun {
  int exitCode;
  Dword lastError;
};
StopRequestRun runStopRequest(const char* idText) {
  StopRequestRun run{};
  run.exitCode = sim::runProcess([&] {
    const int code = runEntryWith({"HalcyraService.exe", "--terminate", idText});
    run.lastError = platform::GetLastError();
    return code;
  });
  return run;
}

TEST(Entry, StopRequestExitsWithTheErrorOfTheFailedConsoleCall) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"abc", "0"}, {"-1", "4294967295"}, {"12x", "12"}, {"4294967296", "2147483647"}};
  for (const auto& [idText, attachedId] : cases) {
    SCOPED_TRACE(idText);
    setUpMachine(patientServer());
    const StopRequestRun run = runStopRequest(idText);
    const auto attach = sim::callsNamed("AttachConsole");
    ASSERT_EQ(attach.size(), 1u);
    EXPECT_NE(attach[0].args.find(attachedId), std::string::npos) << attach[0].args;
    EXPECT_NE(run.exitCode, 0);
    EXPECT_EQ(static_cast<Dword>(run.exitCode), run.lastError);
    EXPECT_TRUE(sim::callsNamed("GenerateConsoleCtrlEvent").empty());
    EXPECT_TRUE(sim::callsNamed("StartServiceCtrlDispatcherA").empty());
  }
}

TEST(Entry, WorkingFolderIsTheFolderAboveTheExecutablesFolder) {
  const std::vector<std::pair<std::u16string, std::u16string>> cases = {
      {u"C:\\A\\B\\service.exe", u"C:\\A"},
      {u"C:\\service.exe", u"C:\\"},
      {u"C:\\Halcyra\\bin\\HalcyraService.exe", u"C:\\Halcyra"},
      {u"D:\\bin\\HalcyraService.exe", u"D:\\"},  // "D:" alone names the current folder of drive D
  };
  for (const auto& [modulePath, folder] : cases) {
    SCOPED_TRACE(testing::PrintToString(std::string(modulePath.begin(), modulePath.end())));
    setUpMachine(patientServer());
    sim::setModulePath(modulePath);
    sim::setScmConnected(false);
    runService();
    const auto set = sim::callsNamed("SetCurrentDirectoryW");
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set[0].args, std::string(folder.begin(), folder.end()));
  }
}

// Also at a drive's root, for a service started in another folder of that drive.
TEST(Entry, ChildrenRunInTheWorkingFolder) {
  const std::vector<std::pair<std::u16string, std::u16string>> cases = {{u"C:\\Halcyra", u"C:\\Halcyra\\"},
                                                                        {u"D:\\", u"D:\\"}};
  for (const auto& [root, base] : cases) {
    setUpMachine(serverExitingAfter(100, 1115));
    sim::installProgram(base + u"HalcyraServer.exe", serverExitingAfter(100, 1115));
    sim::setModulePath(base + u"bin\\HalcyraService.exe");
    sim::setCurrentDirectory(base.substr(0, 3) + u"Windows");
    runService();
    ASSERT_EQ(processesOf(base + u"HalcyraServer.exe").size(), 1u);
    EXPECT_EQ(processesOf(base + u"HalcyraServer.exe")[0].currentDirectory, root);
  }
}

// A start that cannot be made safe fails with the reason, before any child: an executable
// path that fills the buffer, or DLLs that could come from beside the executable.
TEST(Entry, UnsafeStartFailsWithTheReason) {
  std::u16string longPath = u"C:\\";
  while (longPath.size() < 300) longPath += u"Folder\\";
  longPath += u"HalcyraService.exe";
  struct Case {
    std::u16string modulePath;
    bool dllFoldersFail;
    Dword error;
  };
  for (const Case& c : {Case{longPath, false, 206}, Case{kModulePath, true, 87}}) {
    setUpMachine(patientServer());
    sim::setModulePath(c.modulePath);
    if (c.dllFoldersFail) {
      sim::failCall("SetDefaultDllDirectories", 1, 87);
    }
    EXPECT_EQ(runService(), 1);
    EXPECT_TRUE(sim::callsNamed("SetCurrentDirectoryW").empty());
    const std::vector<ReportRow> expected = {{platform::kServiceStartPending, 0, 0, 0},
                                             {platform::kServiceStopped, 0, c.error, 0}};
    EXPECT_EQ(reportRows(), expected);
    EXPECT_TRUE(sim::processes().empty());
  }
}

}  // namespace
}  // namespace halcyra::test

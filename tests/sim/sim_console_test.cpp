// Programs that run as processes of the simulated machine, and Ctrl-C on their consoles:
// what the simulation records and runs where Windows has nothing to compare.

#include <gtest/gtest.h>

#include "platform/console.h"
#include "platform/processes.h"
#include "platform/sim/sim.h"
#include "platform/sync.h"

namespace halcyra {
namespace {

using namespace platform;

inline constexpr Dword kChildFlags = kCreateNoWindow | kCreateUnicodeEnvironment;

class SimConsole : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    OpenProcessToken(GetCurrentProcess(), kTokenDuplicate, &processToken_);
    DuplicateTokenEx(processToken_, kTokenAllAccess, nullptr, kSecurityImpersonation, kTokenPrimary, &token_);
  }

  ProcessInformation launch(const char16_t* path, Dword flags, const char16_t* commandLine = nullptr) {
    StartupInfoW startup{kStartupInfoWSize};
    ProcessInformation info{};
    std::u16string line = commandLine == nullptr ? u"" : commandLine;
    EXPECT_EQ(CreateProcessAsUserW(token_, path, commandLine == nullptr ? nullptr : line.data(), nullptr, nullptr,
                                   kFalse, flags, nullptr, nullptr, &startup, &info),
              kTrue);
    return info;
  }

  // Installs a detached helper that attaches to `target`, ignores Ctrl-C itself and raises it.
  ProcessInformation raiseCtrlC(Dword target) {
    sim::ProgramBehaviour helper;
    helper.run = [](const std::vector<std::string>& args) -> int {
      if (AttachConsole(static_cast<Dword>(std::stoul(args.at(1)))) == kFalse) {
        return static_cast<int>(GetLastError());
      }
      SetConsoleCtrlHandler(nullptr, kTrue);
      return GenerateConsoleCtrlEvent(kCtrlCEvent, 0) == kFalse ? static_cast<int>(GetLastError()) : 0;
    };
    sim::installProgram(u"C:\\stop.exe", helper);
    std::string const digits = std::to_string(target);
    std::u16string const commandLine = u"\"C:\\stop.exe\" " + std::u16string(digits.begin(), digits.end());
    return launch(u"C:\\stop.exe", kDetachedProcess, commandLine.c_str());
  }

  static Dword exitCode(Handle process) {
    Dword code = 0;
    EXPECT_EQ(GetExitCodeProcess(process, &code), kTrue);
    return code;
  }

  Handle processToken_ = nullptr;
  Handle token_ = nullptr;
};

// The machine records when a Ctrl-C reached each process on the console: the child and
// the helper that raised it.
TEST_F(SimConsole, CtrlCTimesAreRecordedForEveryProcessOnTheConsole) {
  sim::ProgramBehaviour server;
  server.ctrlCExitAfter = 5000;
  sim::installProgram(u"C:\\server.exe", server);
  ProcessInformation const child = launch(u"C:\\server.exe", kChildFlags);
  WaitForSingleObject(child.hProcess, 1000);

  ProcessInformation const helper = raiseCtrlC(child.dwProcessId);
  EXPECT_EQ(exitCode(helper.hProcess), 0u);
  WaitForSingleObject(child.hProcess, 20000);
  EXPECT_EQ(sim::findProcess(child.dwProcessId)->endTime, 6000u);
  EXPECT_EQ(sim::findProcess(child.dwProcessId)->ctrlCTimes, std::vector<std::uint64_t>{1000});
  EXPECT_EQ(sim::findProcess(helper.dwProcessId)->ctrlCTimes, std::vector<std::uint64_t>{1000});
}

TEST_F(SimConsole, RunExecutesAsTheNewProcess) {
  Dword seenId = 0;
  std::vector<std::string> seenArgs;
  sim::ProgramBehaviour program;
  program.exitAfter = 50;
  program.run = [&](const std::vector<std::string>& args) -> int {
    seenId = GetCurrentProcessId();
    seenArgs = args;
    SetLastError(77);
    return 3;
  };
  sim::installProgram(u"C:\\Program Files\\tool.exe", program);
  SetLastError(11);
  ProcessInformation const info = launch(u"C:\\Program Files\\tool.exe", kDetachedProcess,
                                         u"\"C:\\Program Files\\tool.exe\" --terminate \"a b\" c\\\"d");
  EXPECT_EQ(GetLastError(), 11u);
  EXPECT_EQ(GetCurrentProcessId(), 100u);
  EXPECT_EQ(seenId, info.dwProcessId);
  EXPECT_EQ(seenArgs, (std::vector<std::string>{"C:\\Program Files\\tool.exe", "--terminate", "a b", "c\"d"}));
  EXPECT_EQ(exitCode(info.hProcess), 259u);
  EXPECT_EQ(WaitForSingleObject(info.hProcess, kInfinite), kWaitObject0);
  EXPECT_EQ(sim::now(), 50u);
  EXPECT_EQ(exitCode(info.hProcess), 3u);
}

}  // namespace
}  // namespace halcyra

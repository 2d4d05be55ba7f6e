// Programs that run as processes of the simulated machine, and Ctrl-C on their consoles.

#include <gtest/gtest.h>

#include "platform/console.h"
#include "platform/processes.h"
#include "platform/sim/sim.h"
#include "platform/sync.h"

namespace halcyra {
namespace {

using namespace platform;

inline constexpr Dword kChildFlags = kCreateNoWindow | kCreateUnicodeEnvironment;
inline constexpr Dword kAttachParent = 0xFFFFFFFF;

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

TEST_F(SimConsole, CtrlCEndsObedientProgramsAndSparesIgnoringOnes) {
  struct Case {
    std::uint64_t ctrlCExitAfter;
    bool startsGrandchild;
    std::optional<std::uint64_t> endTime;  // the Ctrl-C comes at 1000
    Dword exitCode;
  } const cases[] = {
      {0, false, 1000, 0xC000013A},
      {5000, true, 6000, 0xC000013A},
      {sim::kNever, false, std::nullopt, 259},
  };
  for (Case const& c : cases) {
    SetUp();
    sim::ProgramBehaviour server;
    server.ctrlCExitAfter = c.ctrlCExitAfter;
    server.startsGrandchild = c.startsGrandchild;
    sim::installProgram(u"C:\\server.exe", server);
    ProcessInformation const child = launch(u"C:\\server.exe", kChildFlags);
    WaitForSingleObject(child.hProcess, 1000);

    ProcessInformation const helper = raiseCtrlC(child.dwProcessId);
    EXPECT_EQ(WaitForSingleObject(helper.hProcess, kInfinite), kWaitObject0);
    EXPECT_EQ(exitCode(helper.hProcess), 0u);
    EXPECT_EQ(sim::now(), 1000u);  // the helper ends at once
    WaitForSingleObject(child.hProcess, 20000);
    EXPECT_EQ(sim::findProcess(child.dwProcessId)->endTime, c.endTime);
    EXPECT_EQ(exitCode(child.hProcess), c.exitCode);
    EXPECT_EQ(sim::findProcess(child.dwProcessId)->ctrlCTimes, std::vector<std::uint64_t>{1000});
    EXPECT_TRUE(sim::findProcess(helper.dwProcessId)->ctrlCTimes.size() == 1);  // it was on the console too
    if (c.startsGrandchild) {
      sim::ProcessRecord const& grandchild = sim::processes()[1];
      EXPECT_EQ(grandchild.parentId, child.dwProcessId);
      EXPECT_EQ(grandchild.endTime, 1000u);  // the Ctrl-C reached the whole console
    }
  }
}

TEST_F(SimConsole, AttachConsoleErrors) {
  sim::installProgram(u"C:\\server.exe", {});
  ProcessInformation const withConsole = launch(u"C:\\server.exe", kChildFlags);
  ProcessInformation const detached = launch(u"C:\\server.exe", kDetachedProcess);
  ProcessInformation const ended = launch(u"C:\\server.exe", kChildFlags);
  TerminateProcess(ended.hProcess, 1067);
  EXPECT_EQ(exitCode(ended.hProcess), 1067u);
  EXPECT_EQ(TerminateProcess(ended.hProcess, 1), kFalse);  // an ended process keeps its code
  EXPECT_EQ(exitCode(ended.hProcess), 1067u);

  struct Case {
    Dword target;
    Dword exitCode;
  } const cases[] = {
      {withConsole.dwProcessId, 0},
      {detached.dwProcessId, kErrorInvalidHandle},
      {ended.dwProcessId, kErrorInvalidParameter},
      {0, kErrorInvalidParameter},
      {4242, kErrorInvalidParameter},
  };
  for (Case const& c : cases) {
    ProcessInformation const helper = raiseCtrlC(c.target);
    EXPECT_EQ(exitCode(helper.hProcess), c.exitCode) << c.target;
  }

  // A process with a console of its own cannot attach to another one, and a process
  // without any console cannot raise Ctrl-C.
  sim::ProgramBehaviour attaching;
  attaching.run = [](const std::vector<std::string>&) -> int {
    return AttachConsole(kAttachParent) == kFalse ? static_cast<int>(GetLastError()) : 0;
  };
  sim::installProgram(u"C:\\attach.exe", attaching);
  EXPECT_EQ(exitCode(launch(u"C:\\attach.exe", kChildFlags).hProcess), kErrorAccessDenied);
  EXPECT_EQ(exitCode(launch(u"C:\\attach.exe", kDetachedProcess).hProcess),
            kErrorInvalidHandle);  // the service has none
  EXPECT_EQ(GenerateConsoleCtrlEvent(kCtrlCEvent, 0), kFalse);
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
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

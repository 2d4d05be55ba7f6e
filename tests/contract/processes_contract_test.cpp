// Tokens, jobs, processes and consoles, the same on the simulated machine and on Windows:
// children started the way the supervisor starts them, ended by their job, by Ctrl-C on
// their console or by TerminateProcess.

#include <gtest/gtest.h>

#include <string>

#include "platform/console.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "platform/sync.h"
#include "tests/contract/backend_gaps.h"
#include "tests/contract/world.h"

namespace halcyra::contract {
namespace {

using namespace platform;

constexpr Dword kChildFlags = kCreateNoWindow | kExtendedStartupInfoPresent | kCreateUnicodeEnvironment;
constexpr Dword kStillActive = 259;

class Processes : public ::testing::Test {
 protected:
  void SetUp() override {
    resetWorld();
    Handle processToken = nullptr;
    ASSERT_EQ(OpenProcessToken(GetCurrentProcess(), kTokenDuplicate, &processToken), kTrue);
    ASSERT_EQ(DuplicateTokenEx(processToken, kTokenAllAccess, nullptr, kSecurityImpersonation, kTokenPrimary, &token_),
              kTrue);
    CloseHandle(processToken);
  }
  void TearDown() override {
    for (ProcessInformation& process : started_) {
      TerminateProcess(process.hProcess, 1);
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    }
    for (ProcThreadAttributeList* const list : lists_) HeapFree(GetProcessHeap(), 0, list);
    CloseHandle(token_);
  }

  // An empty attribute list with room for `count` entries, freed at tear-down.
  ProcThreadAttributeList* attributeList(Dword count) {
    std::size_t size = 0;
    EXPECT_EQ(InitializeProcThreadAttributeList(nullptr, count, 0, &size), kFalse);
    EXPECT_EQ(GetLastError(), kErrorInsufficientBuffer);
    lists_.push_back(static_cast<ProcThreadAttributeList*>(HeapAlloc(GetProcessHeap(), 0, size)));
    EXPECT_EQ(InitializeProcThreadAttributeList(lists_.back(), count, 0, &size), kTrue);
    return lists_.back();
  }

  static Handle killOnCloseJob() {
    Handle const job = CreateJobObjectW(nullptr, nullptr);
    JobObjectExtendedLimitInformation limits{};
    limits.BasicLimitInformation.LimitFlags = kJobObjectLimitKillOnJobClose | kJobObjectLimitBreakawayOk;
    EXPECT_EQ(SetInformationJobObject(job, kJobObjectExtendedLimitInformation, &limits, sizeof limits), kTrue);
    return job;
  }

  // A plain start, as the stop request's: nothing inherited. Null on failure.
  ProcessInformation start(const std::u16string& program, Dword flags, std::u16string commandLine = {}) {
    StartupInfoW startup{kStartupInfoWSize, u"winsta0\\default"};
    ProcessInformation info{};
    if (CreateProcessAsUserW(token_, program.c_str(), commandLine.empty() ? nullptr : commandLine.data(), nullptr,
                             nullptr, kFalse, flags, nullptr, nullptr, &startup, &info) != kFalse) {
      started_.push_back(info);
    }
    return info;
  }

  // Runs the console helper with `arguments` and returns its exit code.
  Dword runHelper(const std::string& arguments, Dword flags = kDetachedProcess) {
    std::u16string const helper = helperProgram();
    std::u16string const line = u"\"" + helper + u"\" " + std::u16string(arguments.begin(), arguments.end());
    ProcessInformation const info = start(helper, flags, line);
    EXPECT_NE(info.hProcess, nullptr) << GetLastError();
    EXPECT_EQ(WaitForSingleObject(info.hProcess, 10000), kWaitObject0);
    return exitCode(info.hProcess);
  }

  static Dword exitCode(Handle process) {
    Dword code = 0;
    EXPECT_EQ(GetExitCodeProcess(process, &code), kTrue);
    return code;
  }

  Handle token_ = nullptr;
  std::vector<ProcessInformation> started_;
  std::vector<ProcThreadAttributeList*> lists_;
};

// The supervisor's launch: an extended startup information whose attribute list carries
// the log handle and the address of the job slot. The list is read when a child is
// created, so each child lands in the job that is in the slot then; closing that job's
// only handle ends its child and nothing else; the child's output lands in the log.
TEST_F(Processes, ChildrenLandInTheJobOfTheSlotWithTheirOutputInTheLog) {
  std::u16string const server = serverProgram({});
  std::u16string const logPath = scratchFolder(u"launch") + u"\\HalcyraService.log";
  SecurityAttributes inherit{sizeof(SecurityAttributes), nullptr, kTrue};
  Handle log = CreateFileW(logPath.c_str(), kGenericWrite, kFileShareRead, &inherit, kCreateAlways, 0, nullptr);
  ASSERT_NE(log, kInvalidHandle);
  ProcThreadAttributeList* const list = attributeList(2);
  Handle jobSlot = nullptr;
  ASSERT_EQ(UpdateProcThreadAttribute(list, 0, kProcThreadAttributeHandleList, &log, sizeof log, nullptr, nullptr),
            kTrue);
  ASSERT_EQ(UpdateProcThreadAttribute(list, 0, kProcThreadAttributeJobList, &jobSlot, sizeof jobSlot, nullptr, nullptr),
            kTrue);
  StartupInfoExW startup{};
  startup.StartupInfo = {kStartupInfoExWSize, u"winsta0\\default", kStartfUseStdHandles, nullptr, log, log};
  startup.lpAttributeList = list;

  Handle jobs[2];
  ProcessInformation children[2];
  for (int i = 0; i < 2; ++i) {
    jobSlot = jobs[i] = killOnCloseJob();
    ASSERT_EQ(CreateProcessAsUserW(token_, server.c_str(), nullptr, nullptr, nullptr, kTrue, kChildFlags, nullptr,
                                   nullptr, &startup.StartupInfo, &children[i]),
              kTrue)
        << GetLastError();
    started_.push_back(children[i]);
  }
  // A further job-list update on the full list is refused; the slot's address stays. In
  // a list with room, a repeated attribute is refused as such.
  Handle other = nullptr;
  EXPECT_EQ(UpdateProcThreadAttribute(list, 0, kProcThreadAttributeJobList, &other, sizeof other, nullptr, nullptr),
            kFalse);
  EXPECT_EQ(GetLastError(), 31u);  // ERROR_GEN_FAILURE
  ProcThreadAttributeList* const roomy = attributeList(3);
  for (Bool const result : {kTrue, kFalse}) {
    EXPECT_EQ(UpdateProcThreadAttribute(roomy, 0, kProcThreadAttributeJobList, &other, sizeof other, nullptr, nullptr),
              result);
  }
  EXPECT_EQ(GetLastError(), 698u);  // ERROR_OBJECT_NAME_EXISTS

  EXPECT_EQ(WaitForSingleObject(children[0].hProcess, 300), kWaitTimeout);
  CloseHandle(jobs[0]);
  EXPECT_EQ(WaitForSingleObject(children[0].hProcess, 10000), kWaitObject0);
  EXPECT_EQ(WaitForSingleObject(children[1].hProcess, 300), kWaitTimeout);
  EXPECT_EQ(exitCode(children[1].hProcess), kStillActive);
  CloseHandle(jobs[1]);
  EXPECT_EQ(WaitForSingleObject(children[1].hProcess, 10000), kWaitObject0);
  EXPECT_NE(exitCode(children[1].hProcess), kStillActive);

  CloseHandle(log);
  std::string const output = fileContent(logPath);
  EXPECT_NE(output.find("sample server: started"), std::string::npos) << output;
  EXPECT_NE(output.find("sample server: standard error works"), std::string::npos) << output;
}

// Exit codes arrive whole; TerminateProcess ends a running child with the code given,
// and an ended process keeps its code.
TEST_F(Processes, ExitCodesAndTermination) {
  struct Case {
    ServerBehaviour behaviour;  // one that runs until ended is terminated
    Dword exitCode;
  } const cases[] = {
      {{0, 1115}, 1115},
      {{0, 0xC0000005}, 0xC0000005},
      {{}, 1067},
  };
  for (Case const& c : cases) {
    ProcessInformation const process = start(serverProgram(c.behaviour), kDetachedProcess | kCreateUnicodeEnvironment);
    ASSERT_NE(process.hProcess, nullptr) << GetLastError();
    EXPECT_NE(process.dwProcessId, 0u);
    if (c.behaviour.exitAfterMs == kRunsUntilEnded) {
      EXPECT_EQ(WaitForSingleObject(process.hProcess, 200), kWaitTimeout);
      EXPECT_EQ(exitCode(process.hProcess), kStillActive);
      EXPECT_EQ(TerminateProcess(process.hProcess, c.exitCode), kTrue);
    }
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 10000), kWaitObject0);
    EXPECT_EQ(exitCode(process.hProcess), c.exitCode);
    TerminateProcess(process.hProcess, 1);
    EXPECT_EQ(exitCode(process.hProcess), c.exitCode);
  }
}

TEST_F(Processes, CreationFailures) {
  std::u16string const folder = scratchFolder(u"failures");
  std::u16string const server = serverProgram({});
  std::u16string const empty = folder + u"\\empty.exe";
  CloseHandle(CreateFileW(empty.c_str(), kGenericWrite, 0, nullptr, kCreateAlways, 0, nullptr));
  Handle impersonation = nullptr;
  ASSERT_EQ(DuplicateTokenEx(token_, kTokenAllAccess, nullptr, kSecurityImpersonation, 2, &impersonation), kTrue);
  std::u16string const longLine(32767, u'x');
  struct Case {
    Handle token;
    std::u16string application;
    std::u16string commandLine;
    Dword cb;
    Dword error;
    const Gap* gap = nullptr;
  } const cases[] = {
      {token_, folder + u"\\missing.exe", {}, kStartupInfoWSize, kErrorFileNotFound},
      {token_, folder + u"\\nowhere\\missing.exe", {}, kStartupInfoWSize, kErrorPathNotFound},
      {token_, empty, {}, kStartupInfoWSize, 193},  // ERROR_BAD_EXE_FORMAT
      {token_, folder, {}, kStartupInfoWSize, kErrorAccessDenied, &kWineFolderAsProgram},
      {token_, server, longLine, kStartupInfoWSize, 206, &kWineCommandLineLimit},  // ERROR_FILENAME_EXCED_RANGE
      {token_, server, {}, 48, kErrorInvalidParameter, &kStartupInfoSizeChecked},
      {impersonation, server, {}, kStartupInfoWSize, 1349, &kWineIgnoresTheToken},  // ERROR_BAD_TOKEN_TYPE
      {nullptr, server, {}, kStartupInfoWSize, kErrorInvalidHandle, &kWineIgnoresTheToken},
  };
  for (Case const& c : cases) {
    if (c.gap != nullptr && !runsHere(*c.gap)) continue;
    StartupInfoW startup{c.cb};
    ProcessInformation info{};
    std::u16string line = c.commandLine;
    SetLastError(0);
    EXPECT_EQ(CreateProcessAsUserW(c.token, c.application.c_str(), line.empty() ? nullptr : line.data(), nullptr,
                                   nullptr, kFalse, kDetachedProcess, nullptr, nullptr, &startup, &info),
              kFalse);
    EXPECT_EQ(GetLastError(), c.error) << narrow(c.application) << " cb " << c.cb;
    EXPECT_EQ(info.hProcess, nullptr);
    if (info.hProcess != nullptr) started_.push_back(info);
  }
  CloseHandle(impersonation);

  // A token opened without TOKEN_DUPLICATE cannot be copied.
  Handle queryOnly = nullptr;
  ASSERT_EQ(OpenProcessToken(GetCurrentProcess(), 0x8, &queryOnly), kTrue);
  Handle copy = nullptr;
  EXPECT_EQ(DuplicateTokenEx(queryOnly, kTokenAllAccess, nullptr, kSecurityImpersonation, kTokenPrimary, &copy),
            kFalse);
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  CloseHandle(queryOnly);
}

TEST_F(Processes, SessionOfAPrimaryToken) {
  Dword session = WTSGetActiveConsoleSessionId();
  EXPECT_NE(session, kNoConsoleSession);
  EXPECT_EQ(SetTokenInformation(token_, kTokenSessionId, &session, sizeof session), kTrue) << GetLastError();
}

TEST_F(Processes, SessionChangeNeedsTheTcbPrivilege) {
  HALCYRA_SKIP_FOR_GAP(kNoPrivilegeChecks);
  dropTcbPrivilege();
  Dword session = 1;
  EXPECT_EQ(SetTokenInformation(token_, kTokenSessionId, &session, sizeof session), kFalse);
  EXPECT_EQ(GetLastError(), kErrorPrivilegeNotHeld);
}

// The stop request's way: a detached helper attaches to the child's console and raises
// Ctrl-C there. An obedient child ends with its code after its delay; one that ignores
// Ctrl-C runs on.
TEST_F(Processes, CtrlCOnTheChildsConsole) {
  ServerBehaviour const cases[] = {
      {kRunsUntilEnded, 0, true, 0, 42},
      {kRunsUntilEnded, 0, true, 700, 0xC000013A},
      {kRunsUntilEnded, 0, false},
  };
  for (ServerBehaviour const& c : cases) {
    ProcessInformation const child = start(serverProgram(c), kCreateNoWindow | kCreateUnicodeEnvironment);
    ASSERT_NE(child.hProcess, nullptr) << GetLastError();
    EXPECT_EQ(WaitForSingleObject(child.hProcess, 1000), kWaitTimeout);  // up and waiting
    EXPECT_EQ(runHelper("ctrl-c " + std::to_string(child.dwProcessId)), 0u);
    if (c.ctrlCDelayMs > 0) {
      EXPECT_EQ(WaitForSingleObject(child.hProcess, static_cast<Dword>(c.ctrlCDelayMs / 2)), kWaitTimeout);
    }
    EXPECT_EQ(WaitForSingleObject(child.hProcess, 3000), c.obeysCtrlC ? kWaitObject0 : kWaitTimeout);
    EXPECT_EQ(exitCode(child.hProcess), c.obeysCtrlC ? c.ctrlCExitCode : kStillActive);
  }
}

// The Ctrl-C reaches every process on the child's console, and the close of the child's
// job ends whatever runs in it: the supervisor relies on both to leave no grandchild.
TEST_F(Processes, GrandchildrenEndWithTheConsolesCtrlCAndWithTheJob) {
  for (bool const byJob : {false, true}) {
    std::u16string const server = serverProgram({kRunsUntilEnded, 0, true, 2000, 42, true});
    Handle const job = killOnCloseJob();
    Handle jobSlot = job;
    ProcThreadAttributeList* const list = attributeList(1);
    ASSERT_EQ(
        UpdateProcThreadAttribute(list, 0, kProcThreadAttributeJobList, &jobSlot, sizeof jobSlot, nullptr, nullptr),
        kTrue);
    StartupInfoExW startup{};
    startup.StartupInfo.cb = kStartupInfoExWSize;
    startup.lpAttributeList = list;
    ProcessInformation child{};
    ASSERT_EQ(CreateProcessAsUserW(token_, server.c_str(), nullptr, nullptr, nullptr, kFalse, kChildFlags, nullptr,
                                   nullptr, &startup.StartupInfo, &child),
              kTrue)
        << GetLastError();
    started_.push_back(child);
    Dword const grandchild = grandchildOf(child.dwProcessId);
    ASSERT_NE(grandchild, 0u);
    EXPECT_FALSE(endsWithin(grandchild, 300));
    if (byJob) {
      CloseHandle(job);
    } else {
      EXPECT_EQ(runHelper("ctrl-c " + std::to_string(child.dwProcessId)), 0u);
    }
    EXPECT_TRUE(endsWithin(grandchild, 5000)) << (byJob ? "job" : "Ctrl-C");
    // The child takes 2 s to obey, unless its job ended it.
    EXPECT_EQ(WaitForSingleObject(child.hProcess, 0), byJob ? kWaitObject0 : kWaitTimeout);
    if (!byJob) CloseHandle(job);
  }
}

TEST_F(Processes, AttachConsoleErrors) {
  std::u16string const server = serverProgram({});
  ProcessInformation const withConsole = start(server, kCreateNoWindow);
  ProcessInformation const detached = start(server, kDetachedProcess);
  ProcessInformation const ended = start(server, kCreateNoWindow);
  EXPECT_EQ(TerminateProcess(ended.hProcess, 1067), kTrue);
  EXPECT_EQ(WaitForSingleObject(ended.hProcess, 10000), kWaitObject0);
  EXPECT_EQ(WaitForSingleObject(withConsole.hProcess, 1000), kWaitTimeout);

  bool const noProcessRows = runsHere(kWineAttachToNoProcess);
  struct Case {
    Dword target;
    Dword result;
    bool runs = true;
  } const cases[] = {
      {detached.dwProcessId, kErrorInvalidHandle},
      {ended.dwProcessId, kErrorInvalidParameter, noProcessRows},
      {0, kErrorInvalidParameter, noProcessRows},
      {0x7FFFFFF1, kErrorInvalidParameter, noProcessRows},
      {withConsole.dwProcessId, 0},
  };
  for (Case const& c : cases) {
    if (!c.runs) continue;
    EXPECT_EQ(runHelper("ctrl-c " + std::to_string(c.target)), c.result) << c.target;
  }
  // The test, like the service, has no console: a helper cannot attach to its parent's,
  // nor can one with a console of its own attach to another, and the test cannot raise
  // Ctrl-C itself.
  EXPECT_EQ(runHelper("attach-parent"), kErrorInvalidHandle);
  EXPECT_EQ(runHelper("attach-parent", kCreateNoWindow), kErrorAccessDenied);
  EXPECT_EQ(GenerateConsoleCtrlEvent(kCtrlCEvent, 0), kFalse);
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

}  // namespace
}  // namespace halcyra::contract

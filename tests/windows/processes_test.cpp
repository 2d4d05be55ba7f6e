// Starting children the way the supervisor does, through the real backend: a primary
// token, a kill-on-close job, and an extended startup information whose attribute list
// carries the log handle and a pointer to the job slot.

#include "platform/processes.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "platform/files.h"
#include "platform/sync.h"
#include "tests/windows/test_files.h"

namespace halcyra::platform {
namespace {

constexpr Dword kChildFlags = kCreateNoWindow | kExtendedStartupInfoPresent | kCreateUnicodeEnvironment;

std::u16string samplePath(const char16_t* file) {
  std::u16string const relative = test::moduleFolder() + u"\\..\\programs\\" + file;
  char16_t full[MAX_PATH];
  Dword const length = GetFullPathNameW(relative.c_str(), MAX_PATH, full, nullptr);
  return std::u16string(full, length);
}

void setServerBehaviour(const wchar_t* behaviour) { SetEnvironmentVariableW(L"HALCYRA_SERVER_BEHAVIOUR", behaviour); }

Handle primaryToken() {
  Handle processToken = nullptr;
  Handle token = nullptr;
  EXPECT_NE(OpenProcessToken(GetCurrentProcess(), kTokenDuplicate, &processToken), kFalse);
  EXPECT_NE(DuplicateTokenEx(processToken, kTokenAllAccess, nullptr, kSecurityImpersonation, kTokenPrimary, &token),
            kFalse);
  CloseHandle(processToken);
  return token;
}

Handle killOnCloseJob() {
  Handle const job = CreateJobObjectW(nullptr, nullptr);
  JobObjectExtendedLimitInformation limits{};
  limits.BasicLimitInformation.LimitFlags = kJobObjectLimitKillOnJobClose | kJobObjectLimitBreakawayOk;
  EXPECT_NE(SetInformationJobObject(job, kJobObjectExtendedLimitInformation, &limits, sizeof limits), kFalse);
  return job;
}

// The launch setup of the supervisor, built the same way; it must not move once built.
struct LaunchSetup {
  Handle log = nullptr;
  StartupInfoExW info;
  ProcThreadAttributeList* list = nullptr;
  Handle jobSlot = nullptr;

  explicit LaunchSetup(const std::u16string& logPath) {
    SecurityAttributes inheritable{sizeof(SecurityAttributes), nullptr, kTrue};
    log = CreateFileW(logPath.c_str(), kGenericWrite, kFileShareRead, &inheritable, kCreateAlways, 0, nullptr);
    info.StartupInfo.cb = kStartupInfoExWSize;
    info.StartupInfo.lpDesktop = u"winsta0\\default";
    info.StartupInfo.dwFlags = kStartfUseStdHandles;
    info.StartupInfo.hStdOutput = log;
    info.StartupInfo.hStdError = log;
    std::size_t size = 0;
    InitializeProcThreadAttributeList(nullptr, 2, 0, &size);
    list = static_cast<ProcThreadAttributeList*>(HeapAlloc(GetProcessHeap(), 0, size));
    EXPECT_NE(InitializeProcThreadAttributeList(list, 2, 0, &size), kFalse);
    info.lpAttributeList = list;
    EXPECT_NE(UpdateProcThreadAttribute(list, 0, kProcThreadAttributeHandleList, &log, sizeof log, nullptr, nullptr),
              kFalse);
  }
  ~LaunchSetup() {
    DeleteProcThreadAttributeList(reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list));
    HeapFree(GetProcessHeap(), 0, list);
    CloseHandle(log);
  }
  LaunchSetup(const LaunchSetup&) = delete;
  LaunchSetup& operator=(const LaunchSetup&) = delete;

  // A pass: the job goes into the slot, and the attribute is applied (again).
  void useJob(Handle job) {
    jobSlot = job;
    UpdateProcThreadAttribute(list, 0, kProcThreadAttributeJobList, &jobSlot, sizeof jobSlot, nullptr, nullptr);
  }

  ProcessInformation startServer(Handle token) {
    ProcessInformation process;
    std::u16string const server = samplePath(u"HalcyraServer.exe");
    EXPECT_NE(CreateProcessAsUserW(token, server.c_str(), nullptr, nullptr, nullptr, kTrue, kChildFlags, nullptr,
                                   nullptr, &info.StartupInfo, &process),
              kFalse)
        << "error " << GetLastError();
    return process;
  }
};

bool inJob(Handle process, Handle job) {
  BOOL result = FALSE;
  return IsProcessInJob(process, job, &result) && result;
}

void closeProcess(ProcessInformation& process) {
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
}

TEST(CreateProcessAsUserW, ChildRunsInTheJobWithItsOutputInTheLog) {
  std::u16string const logPath = test::freshFolder(u"launch") + u"\\HalcyraService.log";
  Handle const token = primaryToken();
  Handle const job = killOnCloseJob();
  {
    LaunchSetup setup(logPath);
    setup.useJob(job);
    setServerBehaviour(L"exit-after-ms=300 exit-code=7");
    ProcessInformation process = setup.startServer(token);
    ASSERT_NE(process.hProcess, nullptr);
    EXPECT_TRUE(inJob(process.hProcess, job));
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 10000), kWaitObject0);
    Dword exitCode = 0;
    EXPECT_NE(GetExitCodeProcess(process.hProcess, &exitCode), kFalse);
    EXPECT_EQ(exitCode, 7u);
    std::string const pid = std::to_string(process.dwProcessId);
    closeProcess(process);

    std::string const log = test::readFile(logPath);
    EXPECT_NE(log.find("sample server: started (" + pid + ")"), std::string::npos) << log;
    EXPECT_NE(log.find("sample server: standard error works (" + pid + ")"), std::string::npos) << log;
  }
  CloseHandle(job);
  CloseHandle(token);
}

// Pass after pass the supervisor only changes the value in the slot: a child must land in
// the job that is in the slot when it is created, whatever the repeated update did.
TEST(CreateProcessAsUserW, JobSlotIsReadWhenTheChildIsCreated) {
  std::u16string const logPath = test::freshFolder(u"job_slot") + u"\\HalcyraService.log";
  Handle const token = primaryToken();
  Handle const firstJob = killOnCloseJob();
  Handle const secondJob = killOnCloseJob();
  LaunchSetup setup(logPath);
  setServerBehaviour(L"exit-after-ms=60000");

  setup.useJob(firstJob);
  ProcessInformation first = setup.startServer(token);
  setup.useJob(secondJob);
  ProcessInformation second = setup.startServer(token);
  ASSERT_NE(first.hProcess, nullptr);
  ASSERT_NE(second.hProcess, nullptr);

  EXPECT_TRUE(inJob(first.hProcess, firstJob));
  EXPECT_FALSE(inJob(first.hProcess, secondJob));
  EXPECT_TRUE(inJob(second.hProcess, secondJob));
  EXPECT_FALSE(inJob(second.hProcess, firstJob));

  // Closing a pass's only job handle ends what runs in it, and nothing else.
  CloseHandle(firstJob);
  EXPECT_EQ(WaitForSingleObject(first.hProcess, 10000), kWaitObject0);
  EXPECT_EQ(WaitForSingleObject(second.hProcess, 500), kWaitTimeout);
  CloseHandle(secondJob);
  EXPECT_EQ(WaitForSingleObject(second.hProcess, 10000), kWaitObject0);

  closeProcess(first);
  closeProcess(second);
  CloseHandle(token);
}

// The stop-request instance's kind of start: a plain STARTUPINFOW, detached, nothing
// inherited; and a termination with the code the supervisor gives.
TEST(CreateProcessAsUserW, PlainStartupInfoAndTermination) {
  Handle const token = primaryToken();
  std::u16string const server = samplePath(u"HalcyraServer.exe");
  StartupInfoW info;
  info.cb = kStartupInfoWSize;
  info.lpDesktop = u"winsta0\\default";

  struct {
    const wchar_t* behaviour;
    bool terminate;
    Dword exitCode;
  } const cases[] = {
      {L"exit-after-ms=0 exit-code=1115", false, 1115},
      {L"exit-after-ms=0 exit-code=0xC0000005", false, 0xC0000005},
      {L"exit-after-ms=60000", true, 1067},
  };
  for (auto const& c : cases) {
    setServerBehaviour(c.behaviour);
    ProcessInformation process;
    ASSERT_NE(CreateProcessAsUserW(token, server.c_str(), nullptr, nullptr, nullptr, kFalse,
                                   kDetachedProcess | kCreateUnicodeEnvironment, nullptr, nullptr, &info, &process),
              kFalse)
        << "error " << GetLastError();
    EXPECT_NE(process.dwProcessId, 0u);
    if (c.terminate) {
      EXPECT_EQ(WaitForSingleObject(process.hProcess, 200), kWaitTimeout);
      EXPECT_NE(TerminateProcess(process.hProcess, 1067), kFalse);
    }
    ASSERT_EQ(WaitForSingleObject(process.hProcess, 10000), kWaitObject0);
    Dword exitCode = 0;
    EXPECT_NE(GetExitCodeProcess(process.hProcess, &exitCode), kFalse);
    EXPECT_EQ(exitCode, c.exitCode);
    closeProcess(process);
  }
  CloseHandle(token);
}

TEST(CreateProcessAsUserW, FailsForAMissingProgram) {
  Handle const token = primaryToken();
  StartupInfoW info;
  info.cb = kStartupInfoWSize;
  ProcessInformation process;
  std::u16string const missing = test::moduleFolder() + u"\\no_such_program.exe";
  EXPECT_EQ(CreateProcessAsUserW(token, missing.c_str(), nullptr, nullptr, nullptr, kFalse, kDetachedProcess, nullptr,
                                 nullptr, &info, &process),
            kFalse);
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  EXPECT_EQ(process.hProcess, nullptr);
  CloseHandle(token);
}

}  // namespace
}  // namespace halcyra::platform

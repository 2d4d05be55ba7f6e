// Process creation on the simulated machine, where Windows has nothing to compare: what a
// launch records, scripted start failures, fault injection and handle counting.

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/processes.h"
#include "platform/sim/sim.h"

namespace halcyra {
namespace {

using namespace platform;

inline constexpr Dword kChildFlags = kCreateNoWindow | kExtendedStartupInfoPresent | kCreateUnicodeEnvironment;

class SimLaunch : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    sim::setCurrentDirectory(u"C:\\Halcyra");
    sim::installProgram(u"C:\\Halcyra\\Server.exe", {});
  }

  // A primary token moved into `session`, as the supervisor makes it.
  static Handle sessionToken(Dword session) {
    Handle process = nullptr;
    Handle token = nullptr;
    EXPECT_EQ(OpenProcessToken(GetCurrentProcess(), kTokenDuplicate, &process), kTrue);
    EXPECT_EQ(DuplicateTokenEx(process, kTokenAllAccess, nullptr, kSecurityImpersonation, kTokenPrimary, &token),
              kTrue);
    CloseHandle(process);
    SetLastError(0);
    SetTokenInformation(token, kTokenSessionId, &session, sizeof session);
    return token;
  }

  static Handle killOnCloseJob() {
    Handle const job = CreateJobObjectW(nullptr, nullptr);
    JobObjectExtendedLimitInformation limits{};
    limits.BasicLimitInformation.LimitFlags = kJobObjectLimitKillOnJobClose | kJobObjectLimitBreakawayOk;
    EXPECT_EQ(SetInformationJobObject(job, kJobObjectExtendedLimitInformation, &limits, sizeof limits), kTrue);
    return job;
  }
};

// What a launch records, for the scenarios to compare with what the supervisor asked
// for; the job and output behaviour itself is part of the platform contract.
TEST_F(SimLaunch, RecordsTheLaunch) {
  SecurityAttributes inherit{24, nullptr, kTrue};
  Handle log = CreateFileW(u"C:\\Temp\\x.log", kGenericWrite, kFileShareRead, &inherit, kCreateAlways, 0, nullptr);
  std::size_t size = 0;
  InitializeProcThreadAttributeList(nullptr, 2, 0, &size);
  auto* const list = static_cast<ProcThreadAttributeList*>(HeapAlloc(GetProcessHeap(), 0, size));
  ASSERT_EQ(InitializeProcThreadAttributeList(list, 2, 0, &size), kTrue);
  Handle jobSlot = nullptr;
  ASSERT_EQ(UpdateProcThreadAttribute(list, 0, kProcThreadAttributeHandleList, &log, sizeof log, nullptr, nullptr),
            kTrue);
  ASSERT_EQ(UpdateProcThreadAttribute(list, 0, kProcThreadAttributeJobList, &jobSlot, sizeof jobSlot, nullptr, nullptr),
            kTrue);
  StartupInfoExW startup{};
  startup.StartupInfo = {kStartupInfoExWSize, u"winsta0\\default", kStartfUseStdHandles, nullptr, log, log};
  startup.lpAttributeList = list;
  Handle const token = sessionToken(3);

  // The list keeps the slot's address, so a new job in the slot needs no update.
  Handle jobs[2];
  ProcessInformation info{};
  for (Handle& job : jobs) {
    jobSlot = job = killOnCloseJob();
    ASSERT_EQ(CreateProcessAsUserW(token, u"Server.exe", nullptr, nullptr, nullptr, kTrue, kChildFlags, nullptr,
                                   nullptr, &startup.StartupInfo, &info),
              kTrue);
  }
  ASSERT_EQ(sim::processes().size(), 2u);
  sim::ProcessRecord const& first = sim::processes()[0];
  EXPECT_EQ(first.application, u"C:\\Halcyra\\Server.exe");
  EXPECT_EQ(first.sessionId, 3u);
  EXPECT_EQ(first.creationFlags, 0x08080400u);
  EXPECT_EQ(first.startupInfoCb, 112u);
  EXPECT_EQ(first.desktop, u"winsta0\\default");
  EXPECT_EQ(first.inheritedHandles, std::vector<Handle>{log});
  EXPECT_TRUE(first.hasConsole);
  EXPECT_EQ(first.currentDirectory, u"C:\\Halcyra");
  EXPECT_EQ(first.job, jobs[0]);
  EXPECT_EQ(sim::processes()[1].job, jobs[1]);
}

// A program scripted to fail at its start fails with the chosen error and leaves no record.
TEST_F(SimLaunch, ScriptedStartFailure) {
  sim::ProgramBehaviour refusing;
  refusing.failToStart = kErrorAccessDenied;
  sim::installProgram(u"C:\\Halcyra\\Refusing.exe", refusing);
  StartupInfoW startup{kStartupInfoWSize};
  ProcessInformation info{};
  EXPECT_EQ(CreateProcessAsUserW(sessionToken(1), u"Refusing.exe", nullptr, nullptr, nullptr, kFalse, kDetachedProcess,
                                 nullptr, nullptr, &startup, &info),
            kFalse);
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  EXPECT_TRUE(sim::processes().empty());
}

TEST_F(SimLaunch, FaultInjectionCountsFromTheRequest) {
  CreateJobObjectW(nullptr, nullptr);  // calls before the request do not count
  sim::failCall("CreateJobObjectW", 2, kErrorNotEnoughMemory);
  sim::failCall("HeapAlloc", 1, kErrorNotEnoughMemory, true);
  std::vector<bool> created;
  for (int i = 0; i < 4; ++i) {
    SetLastError(0);
    Handle const job = CreateJobObjectW(nullptr, nullptr);
    created.push_back(job != nullptr);
    EXPECT_EQ(GetLastError(), job ? 0u : kErrorNotEnoughMemory);
  }
  EXPECT_EQ(created, (std::vector<bool>{true, false, true, true}));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, 16), nullptr);
  EXPECT_EQ(sim::callsNamed("CreateJobObjectW").size(), 5u);
}

TEST_F(SimLaunch, LiveHandlesCountEveryOpenHandle) {
  std::size_t const baseline = sim::liveHandles();
  Handle const token = sessionToken(1);
  Handle const job = killOnCloseJob();
  EXPECT_EQ(sim::liveHandles(), baseline + 2);  // the process token was closed again
  EXPECT_EQ(CloseHandle(job), kTrue);
  EXPECT_EQ(CloseHandle(job), kFalse);
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  EXPECT_EQ(CloseHandle(token), kTrue);
  EXPECT_EQ(sim::liveHandles(), baseline);
}

}  // namespace
}  // namespace halcyra

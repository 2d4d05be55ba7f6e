#include "service/supervisor.h"

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "config/updater_settings.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "platform/unique_handle.h"
#include "service/graceful_stop.h"
#include "service/log_file.h"
#include "service/log_rotation.h"
#include "service/pass_update_check.h"
#include "service/service_control.h"
#include "service/service_events.h"
#include "update/launch_decision.h"
#include "update/updater_launch.h"

namespace halcyra {

using platform::Dword;
using platform::Handle;
using platform::UniqueHandle;

ChildLaunchSetup childLaunchSetup;

namespace {

constexpr Dword kStopServiceExitCode = platform::kErrorShutdownInProgress;  // 1115

constexpr std::u16string_view kLogFileName = kServiceLogName;

constexpr Dword kServerCreationFlags =
    platform::kCreateNoWindow | platform::kExtendedStartupInfoPresent | platform::kCreateUnicodeEnvironment;
static_assert(kServerCreationFlags == 0x08080400);

constexpr Dword kPassJobLimits = platform::kJobObjectLimitKillOnJobClose | platform::kJobObjectLimitBreakawayOk;
static_assert(kPassJobLimits == 0x2800);

// Two attributes: the handle list and the job list.
constexpr Dword kAttributeCount = 2;

// The log's full path: the temporary folder (which the platform gives with its trailing
// backslash) followed by the file name. False with an error when the folder cannot be
// read or the whole path would not fit in MAX_PATH; opening a cut-off or empty path would
// put the log somewhere nobody looks.
bool buildLogPath(char16_t (&path)[platform::kMaxPath]) {
  const Dword folderLength = platform::GetTempPathW(platform::kMaxPath, path);
  if (folderLength == 0) {
    return false;
  }
  if (folderLength + kLogFileName.size() >= platform::kMaxPath) {
    platform::SetLastError(platform::kErrorFilenameExceedsRange);
    return false;
  }
  kLogFileName.copy(path + folderLength, kLogFileName.size());
  path[folderLength + kLogFileName.size()] = u'\0';
  return true;
}

// A primary token with the service's identity, moved into the console session; null
// when any step fails (the platform left the reason in GetLastError).
UniqueHandle openConsoleToken(Dword sessionId) {
  Handle processTokenHandle = nullptr;
  if (!platform::OpenProcessToken(platform::GetCurrentProcess(), platform::kTokenDuplicate, &processTokenHandle)) {
    return {};
  }
  UniqueHandle processToken(processTokenHandle);
  Handle tokenHandle = nullptr;
  const platform::Bool duplicated =
      platform::DuplicateTokenEx(processToken.get(), platform::kTokenAllAccess, nullptr,
                                 platform::kSecurityImpersonation, platform::kTokenPrimary, &tokenHandle);
  processToken.reset();  // needed no longer, whether the copy succeeded or not
  if (!duplicated) {
    return {};
  }
  UniqueHandle token(tokenHandle);
  if (!token) {
    return {};
  }
  // Allowed only to an account that holds SeTcbPrivilege, as LocalSystem does.
  if (!platform::SetTokenInformation(token.get(), platform::kTokenSessionId, &sessionId, sizeof(sessionId))) {
    return {};
  }
  return token;
}

// A job that kills whatever is left in it when its only handle is closed, and lets
// children break away on purpose.
UniqueHandle createPassJob() {
  UniqueHandle job(platform::CreateJobObjectW(nullptr, nullptr));
  if (!job) {
    return {};
  }
  platform::JobObjectExtendedLimitInformation limits{};
  limits.BasicLimitInformation.LimitFlags = kPassJobLimits;
  if (!platform::SetInformationJobObject(job.get(), platform::kJobObjectExtendedLimitInformation, &limits,
                                         sizeof(limits))) {
    return {};
  }
  return job;
}

// The updater's launch; 0 when it started, otherwise the error to report. An error raised
// inside counts as a failed launch: running out of memory reports ERROR_NOT_ENOUGH_MEMORY,
// any other raised error ERROR_INVALID_PARAMETER (what a too-long command line gives), never
// whatever GetLastError happened to hold. Should the process have been created before the
// error, its handles are closed here; the pass's job ends the process itself.
Dword startUpdater(UpdaterSettings& settings, Handle token, platform::ProcessInformation& processInfo) {
  try {
    if (launchUpdater(settings, token, &childLaunchSetup.startupInfo, processInfo)) {
      return platform::kErrorSuccess;
    }
    const Dword error = platform::GetLastError();
    return error != platform::kErrorSuccess ? error : platform::kErrorInvalidParameter;
  } catch (...) {
    UniqueHandle(processInfo.hThread).reset();
    UniqueHandle(processInfo.hProcess).reset();
    processInfo = {};
    try {
      throw;
    } catch (const std::bad_alloc&) {
      return platform::kErrorNotEnoughMemory;
    } catch (...) {
      return platform::kErrorInvalidParameter;
    }
  }
}

// The server's launch; 0 when it started, otherwise the platform's error.
Dword startServer(Handle token, platform::ProcessInformation& processInfo) {
  // The relative name resolves against the working folder; no search path is used.
  if (platform::CreateProcessAsUserW(token, kServerFileName, nullptr, nullptr, nullptr, platform::kTrue,
                                     kServerCreationFlags, nullptr, nullptr, &childLaunchSetup.startupInfo.StartupInfo,
                                     &processInfo)) {
    return platform::kErrorSuccess;
  }
  return platform::GetLastError();
}

// The child's end after the stop sequence, for its event; an obedient child's own exit
// code is read for it.
ChildEnd stoppedChildEnd(StopOutcome outcome, const platform::ProcessInformation& processInfo) {
  if (outcome == StopOutcome::terminatedAfterGrace) {
    return {ChildEndKind::terminatedAfterGrace, std::nullopt};
  }
  if (outcome == StopOutcome::terminatedUnasked) {
    return {ChildEndKind::terminatedUnasked, std::nullopt};
  }
  Dword exitCode = 0;
  if (!platform::GetExitCodeProcess(processInfo.hProcess, &exitCode)) {
    return {ChildEndKind::stoppedByCtrlC, std::nullopt};
  }
  return {ChildEndKind::stoppedByCtrlC, exitCode};
}

// Watches the child together with the stop and session events until the child must go
// or has gone, and says how it went; nothing when the wait failed. The order of the
// handles makes a stop win over the child's end, and the child's end win over a session
// change, when several are signalled at once.
std::optional<ChildEnd> watchChild(Handle token, Dword sessionId, const platform::ProcessInformation& processInfo) {
  const Handle watched[3] = {stopEvent, processInfo.hProcess, sessionEvent};
  // With rotation on, the wait also ends for the log's size check, at most a minute apart.
  Dword wait = checkLogRotation(true);
  for (;;) {
    const Dword result = platform::WaitForMultipleObjects(3, watched, platform::kFalse, wait);
    if (result == platform::kWaitTimeout) {
      wait = checkLogRotation(false);
      continue;
    }
    if (result == platform::kWaitObject0) {
      return stoppedChildEnd(stopChild(token, processInfo), processInfo);
    }
    if (result == platform::kWaitObject0 + 1) {
      // Only 1115 matters; any other code, or none at all, just leads to the next pass.
      Dword exitCode = 0;
      if (!platform::GetExitCodeProcess(processInfo.hProcess, &exitCode)) {
        return ChildEnd{ChildEndKind::exited, std::nullopt};
      }
      if (exitCode == kStopServiceExitCode) {
        platform::SetEvent(stopEvent);
      }
      return ChildEnd{ChildEndKind::exited, exitCode};
    }
    if (result == platform::kWaitObject0 + 2) {
      // The same user coming back to the console changes nothing.
      if (platform::WTSGetActiveConsoleSessionId() == sessionId) {
        continue;
      }
      // The token still holds the old session, so the stop request starts where the child is.
      return stoppedChildEnd(stopChild(token, processInfo), processInfo);
    }
    // The wait failed: leave the child to the job, which the clean-up closes.
    return std::nullopt;
  }
}

// What a pass holds from its start to its end: the console session it serves, the token
// its children get, and the job that ends whatever they leave behind.
struct PassResources {
  Dword sessionId = platform::kNoConsoleSession;
  UniqueHandle job;
  UniqueHandle token;  // declared last, so closed first: the job's end comes last
};

// The child a pass started, with its handles owned.
struct StartedChild {
  UniqueHandle process;
  UniqueHandle thread;
  platform::ProcessInformation info{};
  bool updater = false;
  std::uint64_t startTick = 0;  // right after the start returned: the one start of its outcome
};

// Points the launch setup's job list at the pass's job. False when no job-list update has
// ever succeeded: a child would then start outside the job, and nothing would end it, or
// what it starts, with the pass.
bool attachJobList(Handle job) {
  // The attribute list holds the address of jobSlot, so what counts is the value there
  // when a child is created. A job list that the platform refuses to set again in a later
  // pass (698 for a repeated attribute, 31 from Wine for a list that is full by then)
  // therefore still names this pass's job.
  childLaunchSetup.jobSlot = job;
  if (platform::UpdateProcThreadAttribute(childLaunchSetup.attributeList, 0, platform::kProcThreadAttributeJobList,
                                          &childLaunchSetup.jobSlot, sizeof(Handle), nullptr, nullptr)) {
    childLaunchSetup.jobListSet = true;
  } else if (!childLaunchSetup.jobListSet) {
    reportJobListUnavailable(platform::GetLastError());
  }
  return childLaunchSetup.jobListSet;
}

// The console session, its token and the pass's job; nothing when any of them cannot be
// had, and the pass is dropped silently (the next one comes 3 seconds later).
std::optional<PassResources> acquirePassResources() {
  PassResources pass;
  pass.sessionId = platform::WTSGetActiveConsoleSessionId();
  if (pass.sessionId == platform::kNoConsoleSession) {
    return std::nullopt;
  }
  pass.token = openConsoleToken(pass.sessionId);
  if (!pass.token) {
    return std::nullopt;
  }
  pass.job = createPassJob();
  if (!pass.job || !attachJobList(pass.job.get())) {
    childLaunchSetup.jobSlot = nullptr;
    return std::nullopt;
  }
  return pass;
}

// What the decision refused is reported; the pass starts what it decided in its place.
void reportLaunchRefusals(const UpdaterSettings& settings, const LaunchDecision& decision) {
  if (decision.update == UpdateOutcome::updaterPathOpen) {
    reportUpdaterPathOpen(decision.updaterPathRefusal);
  }
  if (decision.update == UpdateOutcome::updaterRefused) {
    reportUpdaterRefused(settings.updaterPath, decision.updaterSigner.reason, decision.updaterSigner.thumbprint);
  }
  if (!decision.serverSigner.allowed) {
    reportServerRefused(kServerFileName, decision.serverSigner.reason, decision.serverSigner.thumbprint);
  }
}

// The pass's update check, then what the decision starts: the updater when an update is
// due and nothing holds it back, the server otherwise; nothing when the decision refused
// both or the launch failed, which is reported. The server never takes a failed updater's
// place: the updater is about to replace the server's files.
std::optional<StartedChild> launchChild(const PassResources& pass) {
  UpdaterSettings settings;
  UpdateCheckDetail detail;
  // A stop cuts the manifest transfer short; the pass then goes on as after any failed
  // check, and the watch that follows sees the stop at once.
  const bool checkCompleted = runScheduledUpdateCheck(settings, stopEvent, &detail);
  reportUpdateCheck(settings, checkCompleted, detail);
  setLogRotation(settings.logRotationSize, settings.logGenerations);
  if (!settings.trust.malformedSigners.empty()) {
    reportMalformedSigners(settings.trust.malformedSigners);
  }

  StartedChild child;
  // Holds the programs it checked open until the launch below returned: the program that
  // was checked is the one started.
  LaunchDecision const decision = decideScheduledLaunch(settings, checkCompleted);
  reportLaunchRefusals(settings, decision);
  reportLibraryFailure();
  if (decision.launch == NextLaunch::nothing) {
    return std::nullopt;
  }
  if (decision.launch == NextLaunch::updater) {
    if (const Dword error = startUpdater(settings, pass.token.get(), child.info); error != platform::kErrorSuccess) {
      reportLaunchFailure(settings.updaterPath, error);
      recordPassLaunchFailed();
      return std::nullopt;
    }
    child.startTick = platform::GetTickCount64();
    child.updater = true;
    reportUpdaterStarted(settings, child.info.dwProcessId, pass.sessionId);
  } else {
    if (const Dword error = startServer(pass.token.get(), child.info); error != platform::kErrorSuccess) {
      reportLaunchFailure(kServerFileName, error);
      return std::nullopt;
    }
    child.startTick = platform::GetTickCount64();
    reportServerStarted(kServerFileName, child.info.dwProcessId, pass.sessionId);
  }
  child.process.reset(child.info.hProcess);
  child.thread.reset(child.info.hThread);
  return child;
}

// One pass: console session, token and job; update check and launch; watch; clean-up.
void runPass() {
  std::optional<PassResources> pass = acquirePassResources();
  if (!pass) {
    return;
  }
  if (std::optional<StartedChild> child = launchChild(*pass)) {
    if (const std::optional<ChildEnd> end = watchChild(pass->token.get(), pass->sessionId, child->info)) {
      const PassOutcome outcome =
          passOutcome(child->updater, child->info.dwProcessId, child->startTick, *end, platform::GetTickCount64());
      reportChildEnded(outcome);
      recordPassChildEnded(outcome);
    }
  }
  // The child's handles are closed first; closing the job's only handle then ends whatever
  // is still in it.
  pass.reset();
  childLaunchSetup.jobSlot = nullptr;
}

}  // namespace

bool prepareChildLaunchSetup() {
  ChildLaunchSetup& setup = childLaunchSetup;

  char16_t logPath[platform::kMaxPath] = {};
  if (!buildLogPath(logPath)) {
    return false;
  }

  const ServiceLog log = openServiceLog(logPath);
  if (log.handle == platform::kInvalidHandle) {
    return false;
  }
  if (log.fallback[0] != u'\0') {
    reportLogFallback(logPath, log.failure, log.fallback);
  }
  setup.logFile = log.handle;
  startLogRotation(log, logPath);

  setup.startupInfo = {};
  setup.startupInfo.StartupInfo.cb = platform::kStartupInfoExWSize;
  setup.startupInfo.StartupInfo.lpDesktop = platform::kInteractiveDesktop;
  setup.startupInfo.StartupInfo.dwFlags = platform::kStartfUseStdHandles;
  setup.startupInfo.StartupInfo.hStdInput = nullptr;
  setup.startupInfo.StartupInfo.hStdOutput = setup.logFile;
  setup.startupInfo.StartupInfo.hStdError = setup.logFile;

  // The size query fails by design (insufficient buffer) and only yields the size.
  std::size_t size = 0;
  platform::InitializeProcThreadAttributeList(nullptr, kAttributeCount, 0, &size);
  void* memory = platform::HeapAlloc(platform::GetProcessHeap(), 0, size);
  if (memory == nullptr) {
    // HeapAlloc leaves no error of its own; the one still set would be the size query's.
    platform::SetLastError(platform::kErrorNotEnoughMemory);
    return false;
  }
  auto* list = static_cast<platform::ProcThreadAttributeList*>(memory);
  if (!platform::InitializeProcThreadAttributeList(list, kAttributeCount, 0, &size)) {
    const Dword error = platform::GetLastError();
    platform::HeapFree(platform::GetProcessHeap(), 0, memory);
    platform::SetLastError(error);  // the start failure reports the initialisation's error
    return false;
  }
  setup.attributeList = list;
  setup.startupInfo.lpAttributeList = list;
  // Together with bInheritHandles TRUE, this limits what a child inherits to the log. The
  // log is the service's only inheritable handle, so a failure here changes nothing.
  platform::UpdateProcThreadAttribute(list, 0, platform::kProcThreadAttributeHandleList, &setup.logFile, sizeof(Handle),
                                      nullptr, nullptr);
  setup.jobSlot = nullptr;
  setup.jobListSet = false;
  return true;
}

Dword runSupervisorLoop() {
  resetUpdateSchedule();
  for (;;) {
    const Dword result = platform::WaitForSingleObject(stopEvent, kPassIntervalMs);
    if (result == platform::kWaitObject0) {
      resetUpdateSchedule();  // the schedule, and its file, end with the loop
      return 0;
    }
    if (result == platform::kWaitFailed) {
      // The loop can tell neither a stop from a time-out nor keep its 3 seconds between
      // passes: going on would start children back to back, beyond the SCM's stop. The
      // service ends instead, with the reason for the SCM to show (never 0, which would
      // read as a clean stop).
      const Dword error = platform::GetLastError();
      resetUpdateSchedule();
      return error != 0 ? error : platform::kErrorInvalidHandle;
    }
    runPass();
  }
}

}  // namespace halcyra

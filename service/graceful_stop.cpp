#include "service/graceful_stop.h"

#include <optional>
#include <string>

#include "platform/decimal_text.h"
#include "platform/module_path.h"
#include "platform/sync.h"
#include "platform/unique_handle.h"

namespace halcyra {

using platform::Dword;
using platform::Handle;

namespace {

constexpr std::u16string_view kTerminateOption = u" --terminate ";

// No console of its own, so that it can attach to the child's.
constexpr Dword kInstanceCreationFlags = platform::kDetachedProcess | platform::kCreateUnicodeEnvironment;
static_assert(kInstanceCreationFlags == 0x408);

}  // namespace

std::u16string stopRequestCommandLine(std::u16string_view executablePath, Dword processId) {
  std::u16string commandLine;
  commandLine.push_back(u'"');
  commandLine.append(executablePath);
  commandLine.push_back(u'"');
  commandLine.append(kTerminateOption);
  commandLine.append(decimalText(processId));
  return commandLine;
}

bool requestGracefulStop(Handle token, Dword processId) {
  // Without its own full path the service cannot name the program to start.
  const std::optional<std::u16string> path = platform::modulePath();
  if (!path) {
    return false;
  }

  std::u16string commandLine = stopRequestCommandLine(*path, processId);

  // No standard handles and no attribute list: the instance inherits nothing.
  platform::StartupInfoW startupInfo{};
  startupInfo.cb = platform::kStartupInfoWSize;
  startupInfo.lpDesktop = platform::kInteractiveDesktop;

  platform::ProcessInformation instance{};
  if (!platform::CreateProcessAsUserW(token, path->c_str(), commandLine.data(), nullptr, nullptr, platform::kFalse,
                                      kInstanceCreationFlags, nullptr, nullptr, &startupInfo, &instance)) {
    return false;
  }
  platform::UniqueHandle instanceProcess(instance.hProcess);
  platform::UniqueHandle instanceThread(instance.hThread);

  // The instance makes three calls and exits. One that hangs must not hold the stop: it is
  // ended after kStopRequestWaitMs, and counts as having asked, since it may have raised the
  // Ctrl-C before it hung; the child then still gets its grace. Should the wait fail, the
  // instance is ended too (it is in no job, and nothing else would), and nothing was asked.
  const Dword waited = platform::WaitForSingleObject(instanceProcess.get(), kStopRequestWaitMs);
  if (waited != platform::kWaitObject0) {
    platform::TerminateProcess(instanceProcess.get(), platform::kErrorProcessAborted);
    return waited == platform::kWaitTimeout;
  }
  Dword exitCode = 0;
  const bool exitCodeRead = platform::GetExitCodeProcess(instanceProcess.get(), &exitCode) != 0;
  instanceProcess.reset();
  instanceThread.reset();
  return exitCodeRead && exitCode == 0;
}

namespace {

// Building the request's path and command line can run out of memory. The child must end
// all the same, so a request that could not be made counts as refused.
bool askedToStop(Handle token, Dword processId) noexcept {
  try {
    return requestGracefulStop(token, processId);
  } catch (...) {
    return false;
  }
}

}  // namespace

StopOutcome stopChild(Handle token, const platform::ProcessInformation& processInfo) {
  const bool asked = askedToStop(token, processInfo.dwProcessId);
  if (asked && platform::WaitForSingleObject(processInfo.hProcess, kStopGraceMs) == platform::kWaitObject0) {
    return StopOutcome::obeyed;  // its own exit code stands
  }
  // Not asked, or not obeyed in time (a failed wait counts the same). Nothing waits for
  // the termination: the pass's job ends the process in any case.
  platform::TerminateProcess(processInfo.hProcess, platform::kErrorProcessAborted);
  return asked ? StopOutcome::terminatedAfterGrace : StopOutcome::terminatedUnasked;
}

}  // namespace halcyra

#include "service/graceful_stop.h"

#include <optional>
#include <string>

#include "platform/module_path.h"
#include "platform/sync.h"
#include "platform/unique_handle.h"

namespace halcyra {

using platform::Dword;
using platform::Handle;

namespace {

constexpr std::u16string_view kTerminateOption = u" --terminate ";
constexpr char16_t kInstanceDesktop[] = u"winsta0\\default";

// No console of its own, so that it can attach to the child's.
constexpr Dword kInstanceCreationFlags = platform::kDetachedProcess | platform::kCreateUnicodeEnvironment;
static_assert(kInstanceCreationFlags == 0x408);

std::u16string unsignedDecimal(Dword value) {
  char16_t digits[10];
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  } while (value != 0);
  std::u16string text;
  while (count > 0) {
    text.push_back(digits[--count]);
  }
  return text;
}

}  // namespace

std::u16string stopRequestCommandLine(std::u16string_view executablePath, Dword processId) {
  std::u16string commandLine;
  commandLine.push_back(u'"');
  commandLine.append(executablePath);
  commandLine.push_back(u'"');
  commandLine.append(kTerminateOption);
  commandLine.append(unsignedDecimal(processId));
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
  startupInfo.lpDesktop = kInstanceDesktop;

  platform::ProcessInformation instance{};
  if (!platform::CreateProcessAsUserW(token, path->c_str(), commandLine.data(), nullptr, nullptr, platform::kFalse,
                                      kInstanceCreationFlags, nullptr, nullptr, &startupInfo, &instance)) {
    return false;
  }
  platform::UniqueHandle instanceProcess(instance.hProcess);
  platform::UniqueHandle instanceThread(instance.hThread);

  // The instance makes three calls and exits; it is given all the time it needs.
  platform::WaitForSingleObject(instanceProcess.get(), platform::kInfinite);
  Dword exitCode = 0;
  const bool exitCodeRead = platform::GetExitCodeProcess(instanceProcess.get(), &exitCode) != 0;
  instanceProcess.reset();
  instanceThread.reset();
  return exitCodeRead && exitCode == 0;
}

StopOutcome stopChild(Handle token, const platform::ProcessInformation& processInfo) {
  const bool asked = requestGracefulStop(token, processInfo.dwProcessId);
  if (asked && platform::WaitForSingleObject(processInfo.hProcess, kStopGraceMs) == platform::kWaitObject0) {
    return StopOutcome::obeyed;  // its own exit code stands
  }
  // Not asked, or not obeyed in time (a failed wait counts the same). Nothing waits for
  // the termination: the pass's job ends the process in any case.
  platform::TerminateProcess(processInfo.hProcess, platform::kErrorProcessAborted);
  return asked ? StopOutcome::terminatedAfterGrace : StopOutcome::terminatedUnasked;
}

}  // namespace halcyra

// Consoles of the simulated machine: attaching to another process's console and raising
// Ctrl-C on it.

#include "platform/console.h"
#include "platform/sim/sim_machine.h"

namespace halcyra::platform {

using namespace sim::detail;

namespace {

inline constexpr Dword kAttachParentProcess = 0xFFFFFFFF;
inline constexpr Dword kCtrlBreakEvent = 1;

}  // namespace

Bool AttachConsole(Dword processId) {
  if (enterFails("AttachConsole", std::to_string(processId))) {
    return kFalse;
  }
  ProcessState& caller = currentProcess();
  if (caller.console != 0) {
    setLastError(kErrorAccessDenied);
    return kFalse;
  }
  Dword const targetId = processId == kAttachParentProcess ? caller.creator : processId;
  ProcessState const* const target = findProcessState(targetId);
  if (target == nullptr || target->ended) {
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  if (target->console == 0) {
    setLastError(kErrorInvalidHandle);
    return kFalse;
  }
  caller.console = target->console;
  return kTrue;
}

Bool SetConsoleCtrlHandler(std::nullptr_t, Bool add) {
  if (enterFails("SetConsoleCtrlHandler", "handler=null add=" + std::to_string(add))) {
    return kFalse;
  }
  currentProcess().ignoresCtrlC = add != kFalse;
  return kTrue;
}

Bool GenerateConsoleCtrlEvent(Dword ctrlEvent, Dword processGroupId) {
  if (enterFails("GenerateConsoleCtrlEvent",
                 "event=" + std::to_string(ctrlEvent) + " group=" + std::to_string(processGroupId))) {
    return kFalse;
  }
  Machine& m = machine();
  Dword const console = currentProcess().console;
  if (ctrlEvent != kCtrlCEvent && ctrlEvent != kCtrlBreakEvent) {
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  if (console == 0) {
    setLastError(kErrorInvalidHandle);
    return kFalse;
  }
  // Group 0 is every process on the console; a nonzero group is modelled as the process
  // with that id alone (no process here starts a group of its own).
  for (auto& [id, process] : m.processes) {
    if (process.ended || process.console != console || (processGroupId != 0 && id != processGroupId)) {
      continue;
    }
    if (sim::ProcessRecord* const record = recordOf(id)) {
      record->ctrlCTimes.push_back(m.clock);
    }
    bool const ignored =
        (ctrlEvent == kCtrlCEvent && process.ignoresCtrlC) || process.behaviour.ctrlCExitAfter == sim::kNever;
    if (ignored) {
      continue;
    }
    std::uint64_t const end = m.clock + process.behaviour.ctrlCExitAfter;
    if (!process.pendingEnd || process.pendingEnd->time > end) {
      process.pendingEnd = PendingEnd{end, process.behaviour.ctrlCExitCode};
    }
  }
  applyDueState();
  return kTrue;
}

}  // namespace halcyra::platform

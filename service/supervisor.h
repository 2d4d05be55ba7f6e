#pragma once
// The supervisor: keeps one child (the server, or the updater when an update is due)
// running in the session attached to the physical console, one pass per launch.

#include "platform/processes.h"
#include "platform/types.h"

namespace halcyra {

// The wait between two passes; the stop event ends it early.
inline constexpr platform::Dword kPassIntervalMs = 3000;

// What every launch of the server and the updater shares, built once at start-up and
// kept for the life of the process. It must stay at one address: the attribute list
// refers to logFile and jobSlot, not to copies of them.
struct ChildLaunchSetup {
  // Inheritable handle of the log file that receives every child's output.
  platform::Handle logFile = nullptr;
  // Desktop "winsta0\default", standard output and error to logFile, the attribute list.
  platform::StartupInfoExW startupInfo;
  // Two attributes: the handle list (logFile alone is inherited) and the job list.
  platform::ProcThreadAttributeList* attributeList = nullptr;
  // The current pass's job, null when there is none; the job-list attribute reads it
  // when a child is created, so every child lands in the job of its own pass.
  platform::Handle jobSlot = nullptr;
  // Whether a job-list update has succeeded. A later update may be refused (the list holds
  // the attribute already), but the list keeps the address of jobSlot from the first one.
  bool jobListSet = false;
};

extern ChildLaunchSetup childLaunchSetup;

// Opens (and empties) the log file in the temporary folder and builds childLaunchSetup.
// False with the reason in GetLastError.
bool prepareChildLaunchSetup();

// Runs passes until a pass finds stopEvent signalled at its start; returns 0 then. A wait
// for stopEvent that fails ends the loop too, with the wait's error as the result.
platform::Dword runSupervisorLoop();

}  // namespace halcyra

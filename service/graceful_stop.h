#pragma once
// Ending a watched child gently: a Ctrl-C on its console, raised by a short-lived
// stop-request instance of this executable, then 20 seconds' grace, then termination.

#include <string>
#include <string_view>

#include "platform/processes.h"
#include "platform/types.h"

namespace halcyra {

// Grace between a successful request and termination.
inline constexpr platform::Dword kStopGraceMs = 20000;
// How long the stop-request instance may take. With the grace after it, the whole stop
// stays within the 30 s the service control manager is told to allow.
inline constexpr platform::Dword kStopRequestWaitMs = 5000;

// How stopChild ended the child.
enum class StopOutcome {
  obeyed,                // it ended within the grace after the Ctrl-C; its own exit code stands
  terminatedAfterGrace,  // asked, but not ended within the grace (or the wait failed)
  terminatedUnasked,     // the Ctrl-C could not be raised
};

// Ends the child of processInfo (hProcess and dwProcessId are used). token is the pass's
// token, whose session is the one the child runs in. The caller keeps and closes the
// child's handles. Throws nothing: whatever fails, the child is terminated.
StopOutcome stopChild(platform::Handle token, const platform::ProcessInformation& processInfo);

// Starts a stop-request instance for processId in the token's session and waits for its
// end, at most kStopRequestWaitMs. True when it exited with 0, that is, the Ctrl-C was
// raised, and when it was still running then: it is terminated, and may have raised the
// Ctrl-C before it hung. An instance whose end cannot be waited for is terminated, and the
// answer is false. Throws std::bad_alloc when its path or command line cannot be built.
bool requestGracefulStop(platform::Handle token, platform::Dword processId);

// The stop-request instance's command line: the quoted path, " --terminate " and the id
// in unsigned decimal, so that the instance sees exactly three arguments.
std::u16string stopRequestCommandLine(std::u16string_view executablePath, platform::Dword processId);

}  // namespace halcyra

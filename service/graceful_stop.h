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

// How stopChild ended the child.
enum class StopOutcome {
  obeyed,                // it ended within the grace after the Ctrl-C; its own exit code stands
  terminatedAfterGrace,  // asked, but not ended within the grace (or the wait failed)
  terminatedUnasked,     // the Ctrl-C could not be raised
};

// Ends the child of processInfo (hProcess and dwProcessId are used). token is the pass's
// token, whose session is the one the child runs in. The caller keeps and closes the
// child's handles.
StopOutcome stopChild(platform::Handle token, const platform::ProcessInformation& processInfo);

// Starts a stop-request instance for processId in the token's session and waits for its
// end. True exactly when it ran and exited with 0, that is, the Ctrl-C was raised.
bool requestGracefulStop(platform::Handle token, platform::Dword processId);

// The stop-request instance's command line: the quoted path, " --terminate " and the id
// in unsigned decimal, so that the instance sees exactly three arguments.
std::u16string stopRequestCommandLine(std::u16string_view executablePath, platform::Dword processId);

}  // namespace halcyra

#pragma once
// What the service tells the Application event log, under its own source: its start and
// stop, a failed start, each child it starts and each child's end, a failed update check
// and a child that could not be started.
//
// Reporting never fails nor delays the service: every result of the event log is ignored,
// and without a registered source nothing is written.
//
// Events stay few. A child "ends quickly" when it ends by itself less than 60 seconds
// after its start. A quick end is reported like any other end, but after it the same
// program's next start is not reported, and while the program keeps ending quickly with
// the same exit code only every 10th end is, with the count in a row. A changed exit code
// is reported in full and starts the count afresh; a longer run or a stop by the service
// ends the folding. An update-check failure or a launch failure is reported only when it
// differs from the previous pass's. So a crash loop writes at most one event per pass from
// its second pass on.

#include <cstdint>
#include <optional>
#include <string_view>

#include "config/updater_settings.h"
#include "platform/types.h"

namespace halcyra {

// How a watched child ended.
enum class ChildEndKind {
  exited,                // by itself
  stoppedByCtrlC,        // it obeyed the service's Ctrl-C within the grace
  terminatedAfterGrace,  // still running at the end of the grace after the Ctrl-C
  terminatedUnasked,     // the Ctrl-C could not be raised
};

struct ChildEnd {
  ChildEndKind kind;
  std::optional<platform::Dword> exitCode;  // for exited and stoppedByCtrlC; none when unreadable
};

// A child counts as ending quickly when it ends by itself within this time of its start.
inline constexpr platform::Dword kQuickEndMs = 60000;
// While a child keeps ending quickly, only every this-many-th end is reported.
inline constexpr unsigned kQuickEndReportEvery = 10;

// Registers the event source and forgets what earlier runs reported; at start-up.
void openEventSource();
// Deregisters the source; the last thing before the final status report.
void closeEventSource();

void reportServiceStarted();
void reportServiceStopped();
// A start that fails, with the error the SCM is given.
void reportServiceStartFailure(platform::Dword error);

// After each update check: a failure whose text differs from the previous check's. A check
// that did not complete (an error was raised inside) is a failure without its own text.
void reportUpdateCheck(const UpdaterSettings& settings, bool completed);

// A child started; it is the one that the next reportChildEnded is about.
void reportServerStarted(std::u16string_view serverName, platform::Dword processId, platform::Dword sessionId);
void reportUpdaterStarted(const UpdaterSettings& settings, platform::Dword processId, platform::Dword sessionId);
void reportChildEnded(const ChildEnd& end);

// The updater ran `runs` times for `announced` and left `installed` as it was: the server
// runs instead, and the update is tried again in `retryInMs`.
void reportUpdateSetAside(const VersionNumber& announced, const VersionNumber& installed, unsigned runs,
                          std::uint64_t retryInMs);

// The job-list attribute cannot be set (systems before Windows 10), so no child can start;
// reported once per service run, since every pass meets it again.
void reportJobListUnavailable(platform::Dword error);

// A child that could not be started, with the error of the failed step.
void reportLaunchFailure(std::u16string_view program, platform::Dword error);

}  // namespace halcyra

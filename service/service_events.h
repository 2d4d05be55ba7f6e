#pragma once
// What the service tells the Application event log, under its own source: its start and
// stop, a failed start, a log that could not be used, each child it starts and each
// child's end, a failed update check and a child that could not be started.
//
// Reporting never fails nor delays the service: the service thread only queues an event,
// and a thread of the system's pool writes the queue out in order, so no launch, watch or
// status report waits for the event log. Every result of the event log is ignored. Without
// a registered source nothing is written, and registration is tried again at most once a
// minute while events come.
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
#include <string>
#include <string_view>
#include <vector>

#include "config/updater_settings.h"
#include "platform/types.h"
#include "service/pass_outcome.h"
#include "update/update_check.h"

namespace halcyra {

// While a child keeps ending quickly, only every this-many-th end is reported.
inline constexpr unsigned kQuickEndReportEvery = 10;

// Registers the event source and forgets what earlier runs reported; at start-up.
void openEventSource();
// Has the queued events written and the source deregistered, waiting for that at most
// 2 seconds; the last thing before the final status report.
void closeEventSource();
// Writes the queued events on the calling thread, for a process that ends at once without
// a status report (and so keeps no one waiting).
void writeEventsBeforeExit();

void reportServiceStarted();
void reportServiceStopped();
// A start that fails, with the error the SCM is given.
void reportServiceStartFailure(platform::Dword error);

// At start-up: the log at `logPath` could not be had for `error`, and the children's
// output goes to `fallback` instead (a path, or NUL).
void reportLogFallback(std::u16string_view logPath, platform::Dword error, std::u16string_view fallback);

// A rotation of the log at `logPath` skipped because the generation `generationPath` could
// not be moved or created for `error`.
void reportLogRotationBlocked(std::u16string_view logPath, std::u16string_view generationPath, platform::Dword error);

// After each update check: a failure that differs from the previous check's in its text or
// in its transfer's result (libcurl's code, the server's response code), which the event
// carries beside the text. A check that did not complete (an error was raised inside) is a
// failure without its own text or evidence.
void reportUpdateCheck(const UpdaterSettings& settings, bool completed, const UpdateCheckDetail& detail = {});

// A child started; it is the one that the next reportChildEnded is about.
void reportServerStarted(std::u16string_view serverName, platform::Dword processId, platform::Dword sessionId);
void reportUpdaterStarted(const UpdaterSettings& settings, platform::Dword processId, platform::Dword sessionId);
// The end of that child, as the pass's outcome tells it.
void reportChildEnded(const PassOutcome& outcome);

// The updater ran `runs` times for `announced` and left `installed` as it was: the server
// runs instead, and the update is tried again in `retryInMs`.
void reportUpdateSetAside(const VersionNumber& announced, const VersionNumber& installed, unsigned runs,
                          std::uint64_t retryInMs);

// The job-list attribute cannot be set (systems before Windows 10), so no child can start;
// reported once per service run, since every pass meets it again.
void reportJobListUnavailable(platform::Dword error);

// A crypto DLL that could not be loaded (platform::firstLibraryFailure): once per service
// run, after the pass that met it; the checks it refused are reported on their own.
void reportLibraryFailure();

// Objects of the installation that accounts other than SYSTEM, the Administrators and
// TrustedInstaller can replace, re-point or re-permission (or, for the configuration,
// read), one line each: at start-up, or before an updater start that is refused for it,
// which is reported when it differs from the previous refusal.
void reportTrustBoundaryOpen(const std::u16string& objects, bool updaterRefused = false);
// The refusal of an updater whose path is open, with the objects' lines in UTF-8.
void reportUpdaterPathOpen(const std::string& objects);

// An updater that failed the check of its signer: its path, why (empty when the check
// itself failed) and the signer's thumbprint found (empty for none). Reported when it
// differs from the previous refusal.
void reportUpdaterRefused(std::u16string_view updaterPath, const std::string& reason, const std::string& thumbprint);

// A server that failed the check of its signer: its name, why (empty when the check itself
// failed) and the signer's thumbprint found (empty for none). Folded like quick ends: the
// first refusal is reported, and while the same refusal repeats, every 10th, with the count
// in a row; a different refusal is reported in full and a started server ends the folding.
void reportServerRefused(std::u16string_view serverName, const std::string& reason, const std::string& thumbprint);

// Signer entries of the configuration that can never match, one line each; reported when
// the list differs from the one reported last, so once for an unchanged configuration.
void reportMalformedSigners(const std::vector<std::u16string>& entries);

// A child that could not be started, with the error of the failed step.
void reportLaunchFailure(std::u16string_view program, platform::Dword error);

}  // namespace halcyra

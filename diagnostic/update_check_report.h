#pragma once
// What one update check found, in the terms an administrator asks about: which
// configuration was read, what was fetched, which versions were compared, what was decided.

#include <optional>
#include <string>
#include <vector>

#include "config/updater_settings.h"
#include "diagnostic/trust_report.h"
#include "platform/file_existence.h"
#include "platform/types.h"
#include "service/schedule_file.h"
#include "service/trust_boundary.h"
#include "update/launch_decision.h"
#include "update/update_check.h"

namespace halcyra {

// The decision as the diagnostic names it; `launch` says what a pass starts after it.
enum class UpdateDecision {
  updateDue,        // a pass starts the updater instead of the server
  noUpdateDue,      // a pass starts the server
  updatesDisabled,  // enableUpdate is off: a pass starts the server without asking
  checkFailed,      // a pass starts the server (or nothing); `failure` says why
  updateSetAside,   // an update is due, but the service has set its version aside
};

struct UpdateCheckReport {
  // The configuration file's full path; none when it cannot be located at all.
  std::optional<std::u16string> configFile;
  // The check's record after the check: the configuration values and the versions.
  UpdaterSettings settings;
  // What the check got to (its stage); a value is shown only when the check set it.
  bool configurationRead = false;
  bool manifestRequested = false;
  bool localVersionKnown = false;
  bool remoteVersionKnown = false;
  UpdateDecision decision = UpdateDecision::checkFailed;
  NextLaunch launch = NextLaunch::server;
  // UTF-8; empty unless the check failed.
  std::string failure;
  // Objects of the installation that accounts other than SYSTEM, the Administrators and
  // TrustedInstaller can write (or read, for the configuration); empty when none can.
  std::vector<TrustFinding> trustBoundary;
  // The evidence the check handed out; empty when it did not complete.
  UpdateCheckDetail detail;
  // The server executable the local version is read from, and whether it is there.
  std::optional<std::u16string> serverFile;
  platform::Existence serverExistence = platform::Existence::unknown;
  TrustReport trust;
  // The running service's schedule as its file tells it, and the clock when it was read.
  std::optional<ScheduleSnapshot> serviceSchedule;
  std::uint64_t now = 0;
};

// What the service's schedule holds back at the report's time, in whole seconds from then.
struct HeldBack {
  std::optional<std::uint64_t> setAsideSeconds;  // the announced version is set aside
  std::optional<std::uint64_t> fetchSeconds;     // the service asks the update server no sooner
  std::string fetchReason;
};
HeldBack heldBack(const UpdateCheckReport& report);

// The report of a check that ran, and of what the service's next pass starts after it:
// decidePassLaunch on its record with the service's schedule as its file shows it (none:
// nothing held back) at `now`. `completed` is false when the check was cut short by an
// error raised inside it, which a pass counts as a failed check.
UpdateCheckReport interpretUpdateCheck(const UpdaterSettings& settings, bool completed,
                                       const UpdateCheckDetail& detail = {},
                                       const std::optional<ScheduleSnapshot>& serviceSchedule = std::nullopt,
                                       std::uint64_t now = 0);

// The report of a check that could not run because the install root, the folder every
// path is relative to, could not be derived from the executable's path.
UpdateCheckReport reportInstallRootUnknown(platform::Dword error);

// 0 when a pass starts the updater; 1 when it starts the server with no update due (updates
// disabled included); 2 when the check failed, or the update it found is held back or
// refused.
int exitCodeOf(UpdateDecision decision);

}  // namespace halcyra

#pragma once
// What a pass starts after its update check: the updater, the server, or nothing. The
// supervisor's pass and HalcyraUpdateCheck.exe both ask decideLaunch, so that what the
// diagnostic says, and its exit code, is what the next pass does.
//
// The questions, in order:
//   1. The check: failed (or cut short), updates disabled, no update due, or an update due.
//   2. An update due whose announced version the schedule has set aside: the server. The
//      schedule sets a version aside after updater runs that left the installed version
//      unchanged; an updater that failed to start counts there like such a run, so the
//      set-aside it leads to reaches the decision through `schedule`, not through an input
//      of its own.
//   3. An update due whose updater's path is open to untrusted accounts (the configuration,
//      the updater and the folders above them): the server.
//   4. An update due whose updater's signer is refused (updaterSigners): the server.
//   Otherwise the updater starts.
//   5. Before the server starts, its own check (serverSigners). A refused server is not
//      started: an update that is due but set aside runs its updater instead when the
//      updater passes 3 and 4 (it may repair the install); otherwise the pass starts
//      nothing and the next pass asks again.

#include <cstdint>
#include <string>

#include "config/updater_settings.h"
#include "update/update_schedule.h"
#include "update/updater_signer_check.h"

namespace halcyra {

enum class NextLaunch { updater, server, nothing };

// What became of the update the check looked for.
enum class UpdateOutcome {
  checkFailed,      // the check failed or was cut short: no update is known
  updatesDisabled,  // enableUpdate is off: the update server is not asked
  noUpdateDue,
  updateDue,        // the updater starts, unless the server was refused and it is refused too
  setAside,         // the schedule holds the announced version back
  updaterPathOpen,  // the trust check refuses the updater: its path is open
  updaterRefused,   // the updater's signer is not one of updaterSigners
};

// A check that may refuse a program its start, and why.
struct PathCheck {
  bool allowed = true;
  std::string reason;  // UTF-8; empty when allowed
};

struct LaunchInput {
  // The record of the pass's check, and whether the check completed (an error raised
  // inside it counts as a failed check).
  const UpdaterSettings* settings = nullptr;
  bool checkCompleted = false;
  // The service's schedule (none: nothing is held back) and the time of the decision on
  // the schedule's clock.
  const UpdateSchedule* schedule = nullptr;
  std::uint64_t now = 0;

  // Where the checks of the other programs' trust plug in. Each is called at most once,
  // only when its answer decides something; a null one allows and opens nothing.
  //
  // The trust check of the updater's path (the configuration file, the updater and every
  // folder above them): refuses where an account other than SYSTEM, the Administrators and
  // TrustedInstaller can write, replace or re-point any of them. Not yet present: allows.
  PathCheck (*updaterPathCheck)(const UpdaterSettings&) = nullptr;
  // The server's signer (serverSigners), with the file held as the updater's is. Not yet
  // present: allows.
  UpdaterSignerCheck (*serverSignerCheck)(const UpdaterSettings&) = nullptr;
};

struct LaunchDecision {
  NextLaunch launch = NextLaunch::server;
  UpdateOutcome update = UpdateOutcome::checkFailed;
  // Why the trust check refused the updater; empty unless update is updaterPathOpen.
  std::string updaterPathRefusal;
  // The updater's signer, when it was checked; holds the updater open until the start.
  UpdaterSignerCheck updaterSigner;
  // The server's signer, when it was checked; holds the server open until the start. A
  // refused server (allowed false) is why launch is not the server.
  UpdaterSignerCheck serverSigner;
};

// The decision for one pass. Raises only what the checks raise (std::bad_alloc).
LaunchDecision decideLaunch(const LaunchInput& input);

}  // namespace halcyra

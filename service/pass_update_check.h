#pragma once
// The update check exactly as every supervisor pass runs it, shared with the update-check
// diagnostic so that both see the same configuration, server and decision; and the
// schedule that decides, around it, when a pass asks the update server and which
// announced version it lets the updater install.

#include "config/updater_settings.h"
#include "platform/types.h"
#include "service/service_events.h"
#include "update/launch_decision.h"
#include "update/update_check.h"
#include "update/update_schedule.h"

namespace halcyra {

// Below the install root, which is the current directory of the service and of the
// diagnostic.
inline constexpr char kPassConfigPath[] = "resources\\updater\\config.json";
// Relative to the current directory; the local version is read from it.
inline constexpr char16_t kServerFileName[] = u"HalcyraServer.exe";

// Runs checkForUpdate on the pass's configuration and server. The check must not take the
// pass down with it: an error raised inside (an existence test that met an unexpected
// system error, exhausted memory) counts as a failed check with no update due, so the
// server runs. Returns false in that case, when `settings` tells nothing about why. A
// signalled cancelEvent (manual-reset, or null for none) cuts the manifest transfer short.
// `detail`, when given, receives the evidence behind the outcome.
// Inline: the service's passes run runScheduledUpdateCheck, so its executable does not
// carry this.
inline bool runPassUpdateCheck(UpdaterSettings& settings, platform::Handle cancelEvent = nullptr,
                               UpdateCheckDetail* detail = nullptr) {
  try {
    checkForUpdate(settings, kPassConfigPath, kServerFileName, cancelEvent, detail);
    return true;
  } catch (...) {
    settings.updateAvailable = false;
    return false;
  }
}

// The pass's check as the service's schedule allows: it asks the update server, takes the
// last announced version again (during a crash loop, or within minCheckInterval), or does
// not ask (after failed fetches, or until a Retry-After), which counts as a failed check.
// Returns like runPassUpdateCheck; decideScheduledLaunch then says what the pass starts.
bool runScheduledUpdateCheck(UpdaterSettings& settings, platform::Handle cancelEvent,
                             UpdateCheckDetail* detail = nullptr);

// What a pass starts after a check with this record: decideLaunch with `schedule` (none:
// nothing held back) at `now`, and the checks of the updater's path and of the server's
// signer as the service makes them. HalcyraUpdateCheck.exe asks it with the schedule the
// service's file shows, so that it tells what the service's next pass does.
LaunchDecision decidePassLaunch(const UpdaterSettings& settings, bool checkCompleted, const UpdateSchedule* schedule,
                                std::uint64_t now);

// decidePassLaunch for the pass that has just run runScheduledUpdateCheck, with the
// service's own schedule; the pass's child is the one the next recordPassChildEnded is
// about. An error raised inside starts the server, as after a failed check.
LaunchDecision decideScheduledLaunch(const UpdaterSettings& settings, bool checkCompleted);

// After the pass's child has ended: an updater that left the server's version unchanged
// counts towards setting its version aside; a server that ended by itself within
// kQuickEndMs of its start (the outcome's quick) backs the fetches off.
void recordPassChildEnded(const PassOutcome& outcome);

// After the pass's child could not be started: an updater that failed to start counts
// towards setting its version aside, as one that ran and changed nothing.
void recordPassLaunchFailed();

// Forgets the schedule and removes its file: every start of the supervisor begins afresh,
// and a stopped service holds nothing back.
void resetUpdateSchedule();

}  // namespace halcyra

#include "update/launch_decision.h"

#include <utility>

namespace halcyra {

namespace {

// Questions 3 and 4: whether the updater of a due update may start. The signer's check
// keeps the updater open in `decision` when it allows it.
bool updaterAllowed(const LaunchInput& input, LaunchDecision& decision) {
  const UpdaterSettings& settings = *input.settings;
  if (input.updaterPathCheck) {
    PathCheck path = input.updaterPathCheck(settings);
    if (!path.allowed) {
      decision.update = UpdateOutcome::updaterPathOpen;
      decision.updaterPathRefusal = std::move(path.reason);
      return false;
    }
  }
  decision.updaterSigner = checkUpdaterSigner(settings);
  if (!decision.updaterSigner.allowed) {
    decision.update = UpdateOutcome::updaterRefused;
    return false;
  }
  return true;
}

}  // namespace

LaunchDecision decideLaunch(const LaunchInput& input) {
  const UpdaterSettings& settings = *input.settings;
  LaunchDecision decision;
  if (!input.checkCompleted || settings.hasError) {
    decision.update = UpdateOutcome::checkFailed;
  } else if (!settings.enableUpdate) {
    decision.update = UpdateOutcome::updatesDisabled;
  } else if (!settings.updateAvailable) {
    decision.update = UpdateOutcome::noUpdateDue;
  } else if (input.schedule != nullptr &&
             isSetAside(*input.schedule, input.now, settings.remoteVersion, settings.localVersion)) {
    decision.update = UpdateOutcome::setAside;
  } else if (updaterAllowed(input, decision)) {
    decision.update = UpdateOutcome::updateDue;
    decision.launch = NextLaunch::updater;
    return decision;
  }

  if (input.serverSignerCheck) {
    decision.serverSigner = input.serverSignerCheck(settings);
  }
  if (decision.serverSigner.allowed) {
    decision.launch = NextLaunch::server;
  } else if (decision.update == UpdateOutcome::setAside && updaterAllowed(input, decision)) {
    // The server cannot run anyway: the held-back updater may repair the install.
    decision.launch = NextLaunch::updater;
  } else {
    decision.launch = NextLaunch::nothing;
  }
  return decision;
}

}  // namespace halcyra

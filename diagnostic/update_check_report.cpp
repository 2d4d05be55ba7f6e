#include "diagnostic/update_check_report.h"

#include <string>

#include "config/config_file.h"
#include "diagnostic/utf8_text.h"
#include "update/update_check.h"

namespace halcyra {

namespace {

constexpr char kCheckRaised[] = "The check was cut short by an unexpected error";
constexpr char kInstallRootUnknown[] = "The install root can't be derived from the executable's path (error ";

}  // namespace

UpdateCheckReport interpretUpdateCheck(const UpdaterSettings& settings, bool completed,
                                       const UpdateCheckDetail& detail) {
  UpdateCheckReport report;
  report.settings = settings;
  if (!completed) {
    // The record may be half written: none of it is shown as what the check used.
    report.failure = kCheckRaised;
    return report;
  }

  report.detail = detail;

  // The check stops at its first failure, so the failure text tells how far it got:
  // the configuration comes first, then the updater and the application folder, then the
  // manifest transfer and parse, the local version and last the remote version.
  std::string const& error = settings.lastError;
  bool const failed = settings.hasError;
  report.configurationRead = !failed || (error != kConfigMissing && error != kConfigUnreadable);
  bool const enabled = report.configurationRead && settings.enableUpdate;
  report.manifestRequested = enabled && (!failed || error == kManifestRejected || error == kRemoteVersionRejected ||
                                         settings.manifestSignature != ManifestSignatureStatus::notChecked);
  report.localVersionKnown = enabled && (!failed || error == kRemoteVersionRejected);
  report.remoteVersionKnown = enabled && !failed;

  if (failed) {
    report.decision = UpdateDecision::checkFailed;
    report.failure = utf8FromLatin1(error);
  } else if (!settings.enableUpdate) {
    report.decision = UpdateDecision::updatesDisabled;
  } else {
    report.decision = settings.updateAvailable ? UpdateDecision::updateDue : UpdateDecision::noUpdateDue;
  }
  return report;
}

UpdateCheckReport reportInstallRootUnknown(platform::Dword error) {
  UpdateCheckReport report;
  report.failure = kInstallRootUnknown + std::to_string(error) + ")";
  return report;
}

int exitCodeOf(UpdateDecision decision) {
  switch (decision) {
    case UpdateDecision::updateDue:
      return 0;
    case UpdateDecision::noUpdateDue:
    case UpdateDecision::updatesDisabled:
      return 1;
    case UpdateDecision::checkFailed:
      break;
  }
  return 2;
}

HeldBack heldBack(const UpdateCheckReport& report) {
  HeldBack held;
  if (!report.serviceSchedule) {
    return held;
  }
  const UpdateSchedule& schedule = report.serviceSchedule->schedule;
  const std::uint64_t now = report.now;
  const auto secondsUntil = [now](std::uint64_t time) { return (time - now + 999) / 1000; };
  if (schedule.stuck && isSetAside(schedule, now, schedule.stuck->announced, schedule.stuck->installed)) {
    held.setAsideSeconds = secondsUntil(schedule.stuck->setAsideUntil);
  }
  if (now < schedule.fetchNotBefore) {
    held.fetchSeconds = secondsUntil(schedule.fetchNotBefore);
    held.fetchReason = schedule.pause == FetchPause::retryAfter
                           ? "as the update server's Retry-After asked"
                           : "after " + std::to_string(schedule.failedFetches) + " failed fetches in a row";
  } else if (now < schedule.quickEndsNotBefore) {
    held.fetchSeconds = secondsUntil(schedule.quickEndsNotBefore);
    held.fetchReason = "while the server keeps ending within a minute of its start";
  }
  return held;
}

}  // namespace halcyra

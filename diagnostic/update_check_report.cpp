#include "diagnostic/update_check_report.h"

#include <string>

#include "diagnostic/utf8_text.h"
#include "service/pass_update_check.h"
#include "update/update_check.h"

namespace halcyra {

namespace {

constexpr char kCheckRaised[] = "The check was cut short by an unexpected error";
constexpr char kInstallRootUnknown[] = "The install root can't be derived from the executable's path (error ";

}  // namespace

UpdateCheckReport interpretUpdateCheck(const UpdaterSettings& settings, bool completed, const UpdateCheckDetail& detail,
                                       const std::optional<ScheduleSnapshot>& serviceSchedule, std::uint64_t now) {
  UpdateCheckReport report;
  report.settings = settings;
  report.serviceSchedule = serviceSchedule;
  report.now = now;
  LaunchDecision const decision =
      decidePassLaunch(settings, completed, report.serviceSchedule ? &report.serviceSchedule->schedule : nullptr, now);
  report.launch = decision.launch;
  if (!completed) {
    // The record may be half written: none of it is shown as what the check used.
    report.failure = kCheckRaised;
    return report;
  }

  report.detail = detail;
  report.configurationRead = detail.stage >= CheckStage::configurationRead;
  report.manifestRequested = detail.stage >= CheckStage::manifestFetched;
  // The record takes the local version beside the announced one, once the manifest is read.
  report.localVersionKnown = detail.stage >= CheckStage::manifestRead;
  report.remoteVersionKnown = detail.stage >= CheckStage::decided;
  report.trust = readTrustReport(settings, report.configurationRead, decision.updaterSigner, decision.serverSigner);

  if (!settings.trust.malformedSigners.empty()) {
    // A pass runs on, but such an entry refuses its program for ever without saying why.
    report.failure = "Configuration error: a signer entry that is no SHA-256 thumbprint can never match:";
    std::string_view separator = " ";
    for (std::u16string const& entry : settings.trust.malformedSigners) {
      report.failure += separator;
      report.failure += utf8FromUtf16(entry);
      separator = "; ";
    }
    return report;
  }
  if (decision.launch == NextLaunch::updater) {
    report.decision = UpdateDecision::updateDue;
    return report;
  }
  std::string const updater = "The updater " + utf8FromUtf16(settings.updaterPath) + " would not be started: ";
  switch (decision.update) {
    case UpdateOutcome::checkFailed:
      report.failure = utf8FromLatin1(settings.lastError);
      break;
    case UpdateOutcome::updaterPathOpen:
      report.failure = updater + decision.updaterPathRefusal;
      break;
    case UpdateOutcome::updaterRefused:
      report.failure =
          updater + (decision.updaterSigner.reason.empty() ? std::string("the check could not be completed")
                                                           : decision.updaterSigner.reason);
      break;
    case UpdateOutcome::updatesDisabled:
      report.decision = UpdateDecision::updatesDisabled;
      break;
    case UpdateOutcome::noUpdateDue:
      report.decision = UpdateDecision::noUpdateDue;
      break;
    case UpdateOutcome::updateDue:  // always with the updater's launch, answered above
      break;
    case UpdateOutcome::setAside:
      report.decision = UpdateDecision::updateSetAside;
      break;
  }
  if (decision.launch == NextLaunch::nothing && report.failure.empty()) {
    report.failure = "The server " + utf8FromUtf16(kServerFileName) + " would not be started: " +
                     (decision.serverSigner.reason.empty() ? std::string("the check could not be completed")
                                                           : decision.serverSigner.reason);
  }
  if (!report.failure.empty()) {
    report.decision = UpdateDecision::checkFailed;
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
    case UpdateDecision::updateSetAside:
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

#include "service/pass_update_check.h"

#include <optional>
#include <random>
#include <string>
#include <utility>

#include "platform/clock.h"
#include "platform/processes.h"
#include "platform/text_mode.h"
#include "service/schedule_file.h"
#include "service/trust_boundary.h"
#include "update/update_check.h"
#include "update/update_schedule.h"
#include "version/version_number.h"

namespace halcyra {

namespace {

// What the pass's check decided, for the end of its child.
struct PassDecision {
  bool updaterStarts = false;
  bool fetched = false;
  VersionNumber announced;
  VersionNumber installed;
  std::u16string relativeAppPath;
  std::uint64_t launchTick = 0;
};

struct ScheduleState {
  UpdateSchedule schedule;
  // The configuration's minCheckInterval as the last check read it, in seconds.
  std::uint32_t lastMinCheckInterval = 0;
  // The address of the last manifest fetched.
  std::u16string manifestAddress;
  // The failure text of the last fetch that failed: a pass that skips the fetch fails
  // with it, so that the event of a failed check is not repeated for every skip.
  std::string lastFetchFailure;
  std::optional<PassDecision> pass;
  // What the schedule file holds, so that it is written only when the schedule changed.
  std::optional<UpdateSchedule> published;
};

ScheduleState state;
// The jitter's generator, kept apart from the state so that a reset of the state does not
// build a second one; resetUpdateSchedule gives it the default seed, then the machine's.
std::mt19937_64 random;

// Machines of a fleet start at different times and have different process ids, so their
// jitter differs and their fetches spread out.
void seedJitter() {
  std::seed_seq seed{static_cast<std::uint32_t>(platform::GetTickCount64()),
                     static_cast<std::uint32_t>(platform::GetTickCount64() >> 32), platform::GetCurrentProcessId()};
  random.seed(seed);
}

double jitter() { return std::uniform_real_distribution<double>(0.0, 1.0)(random); }

ManifestSource sourceFor(ManifestPlan plan) {
  ManifestSource source;
  source.plan = plan;
  if (state.schedule.announced) {
    source.reused = *state.schedule.announced;
  }
  source.skipFailure = state.lastFetchFailure;
  source.raiseVersionMark = true;
  return source;
}

// The product version of the server now, read the way the check reads it.
std::optional<VersionNumber> installedVersion(const std::u16string& relativeAppPath) {
  const std::optional<AppLocation> app = deriveAppFolder(kServerFileName, relativeAppPath);
  VersionNumber version;
  if (!app || !parseVersionNumber(readProductVersion(app->absolutePath), version)) {
    return std::nullopt;
  }
  return version;
}

// Tells the diagnostic, through the schedule file, what has changed.
void publish() {
  if (state.published == state.schedule) {
    return;
  }
  state.published = state.schedule;
  writeScheduleFile({platform::GetCurrentProcessId(), platform::GetTickCount64(), state.schedule});
}

}  // namespace

bool runScheduledUpdateCheck(UpdaterSettings& settings, platform::Handle cancelEvent, UpdateCheckDetail* detail) {
  try {
    const std::uint64_t now = platform::GetTickCount64();
    // A pass that started nothing (or lost sight of its child) ends any crash loop: the
    // server did not end quickly, it did not run.
    if (state.pass) {
      state.pass.reset();
      recordServerEnd(state.schedule, now, false, false, 0.0);
    }
    // The interval is the configuration's, which this very check reads: the last pass's
    // value stands in until then, and the file rarely changes between two passes.
    ManifestPlan plan = planManifest(state.schedule, now, std::uint64_t{state.lastMinCheckInterval} * 1000);
    ManifestOutcome outcome;
    for (;;) {
      checkForUpdate(settings, kPassConfigPath, kServerFileName, cancelEvent, sourceFor(plan), outcome, detail);
      if (plan == ManifestPlan::fetch || outcome.address.empty() || outcome.address == state.manifestAddress) {
        break;
      }
      // The configuration names another manifest: what was learnt of the old one does not
      // hold for it, so the check is made again, with a fetch.
      state.schedule.announced.reset();
      state.schedule.failedFetches = 0;
      state.schedule.fetchNotBefore = 0;
      state.schedule.pause = FetchPause::none;
      recordServerEnd(state.schedule, now, false, false, 0.0);
      plan = ManifestPlan::fetch;
      settings = UpdaterSettings{};
    }
    state.lastMinCheckInterval = settings.minCheckInterval;
    if (outcome.fetched) {
      state.manifestAddress = outcome.address;
      FetchResult result;
      if (!settings.hasError) {
        result.announced = settings.remoteVersion;
      } else {
        state.lastFetchFailure = settings.lastError;
      }
      result.responseCode = outcome.transfer.responseCode;
      result.retryAfterSeconds = outcome.transfer.retryAfterSeconds;
      recordFetch(state.schedule, now, result, jitter());
    }
    publish();
    // Whether the updater starts is decideScheduledLaunch's to say.
    state.pass.emplace(PassDecision{false, outcome.fetched, settings.remoteVersion, settings.localVersion,
                                    settings.relativeAppPath, platform::GetTickCount64()});
    return true;
  } catch (...) {
    settings.updateAvailable = false;
    return false;
  }
}

LaunchDecision decidePassLaunch(const UpdaterSettings& settings, bool checkCompleted, const UpdateSchedule* schedule,
                                std::uint64_t now) {
  LaunchInput input;
  input.settings = &settings;
  input.checkCompleted = checkCompleted;
  input.schedule = schedule;
  input.now = now;
  input.updaterPathCheck = [](const UpdaterSettings& checked) {
    UpdaterPathVerdict const verdict = checkUpdaterPath(checked);
    return PathCheck{!verdict.open, verdict.open ? platform::utf8FromUtf16(verdict.what) : std::string()};
  };
  // The server is checked under the name its launch uses, resolved against the same working
  // folder.
  input.serverSignerCheck = [](const UpdaterSettings& checked) { return checkServerSigner(checked, kServerFileName); };
  return decideLaunch(input);
}

LaunchDecision decideScheduledLaunch(const UpdaterSettings& settings, bool checkCompleted) {
  try {
    // A pass without a schedule (switched off, or its check raised an error) has no record.
    const bool scheduled = state.pass.has_value();
    LaunchDecision decision =
        decidePassLaunch(settings, checkCompleted, scheduled ? &state.schedule : nullptr, platform::GetTickCount64());
    if (scheduled) {
      state.pass->updaterStarts = decision.launch == NextLaunch::updater;
    }
    return decision;
  } catch (...) {
    return LaunchDecision{};
  }
}

namespace {

// One updater run, or one failed start, for the pass's announced version; reported when
// it sets that version aside.
void recordUpdaterPass(const PassDecision& pass, std::uint64_t now, const VersionNumber& after) {
  if (recordUpdaterRun(state.schedule, pass.launchTick, now, pass.announced, pass.installed, after, jitter())) {
    const StuckUpdate& stuck = *state.schedule.stuck;
    reportUpdateSetAside(pass.announced, pass.installed, stuck.unchangedRuns, stuck.setAsideUntil - now);
  }
  publish();
}

}  // namespace

void recordPassChildEnded(const PassOutcome& outcome) {
  if (!state.pass) {
    return;
  }
  try {
    PassDecision pass = std::move(*state.pass);
    state.pass.reset();
    pass.launchTick = outcome.startTick;  // the child's own start, as the events have it
    const std::uint64_t now = outcome.startTick + outcome.ranMs;
    const bool byItself = outcome.end.kind == ChildEndKind::exited;
    if (!pass.updaterStarts) {
      recordServerEnd(state.schedule, now, outcome.quick, pass.fetched, jitter());
      publish();
      return;
    }
    // An updater that the service stopped had no fair run.
    if (!byItself) {
      return;
    }
    // Unreadable now counts as unchanged: the updater is then retried, and set aside.
    recordUpdaterPass(pass, now, installedVersion(pass.relativeAppPath).value_or(pass.installed));
  } catch (...) {
    // The schedule learns nothing from this end; the next pass decides as before.
  }
}

void recordPassLaunchFailed() {
  if (!state.pass || !state.pass->updaterStarts) {
    return;
  }
  try {
    const PassDecision pass = std::move(*state.pass);
    state.pass.reset();
    // An updater that cannot be started installs nothing: it counts as a run that left
    // the installed version as it was, so that it cannot keep the server down for ever.
    recordUpdaterPass(pass, platform::GetTickCount64(), pass.installed);
  } catch (...) {
    // The schedule learns nothing from this failure; the next pass decides as before.
  }
}

void resetUpdateSchedule() {
  state = ScheduleState{};
  state.published = state.schedule;
  random.seed();
  try {
    seedJitter();
    // A new start of the service begins afresh; what an earlier one held back is over.
    removeScheduleFile();
  } catch (...) {
    // The jitter keeps its default seed, and a stale file shows its writer's process id.
  }
}

}  // namespace halcyra

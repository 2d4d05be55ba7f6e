#include "update/update_schedule.h"

#include <algorithm>
#include <cmath>

namespace halcyra {

namespace {

// The statuses with which an update server says it is overloaded or limits its callers.
constexpr long kTooManyRequests = 429;
constexpr long kServiceUnavailable = 503;

}  // namespace

std::uint64_t backOffDelay(unsigned n, std::uint64_t firstMs, std::uint64_t capMs, double jitter) {
  // Beyond 2^40 times any first delay every cap of this schedule is reached long before.
  const unsigned doublings = std::min(n == 0 ? 0U : n - 1, 40U);
  const double clampedJitter = std::clamp(jitter, 0.0, 1.0);
  const double delay = std::ldexp(static_cast<double>(firstMs), static_cast<int>(doublings)) * (1.0 + clampedJitter);
  return delay >= static_cast<double>(capMs) ? capMs : static_cast<std::uint64_t>(delay);
}

ManifestPlan planManifest(const UpdateSchedule& schedule, std::uint64_t now, std::uint64_t minCheckIntervalMs) {
  // An update server in trouble is not asked; the pass behaves as after a failed check, so
  // a version announced before the trouble cannot start the updater either.
  if (now < schedule.fetchNotBefore) {
    return ManifestPlan::skip;
  }
  const bool known = schedule.announced.has_value();
  if (now < schedule.quickEndsNotBefore) {
    return known ? ManifestPlan::reuse : ManifestPlan::skip;
  }
  if (known && minCheckIntervalMs > 0 && now - schedule.announcedAt < minCheckIntervalMs) {
    return ManifestPlan::reuse;
  }
  return ManifestPlan::fetch;
}

void recordFetch(UpdateSchedule& schedule, std::uint64_t now, const FetchResult& result, double jitter) {
  if (result.announced) {
    schedule.announced = result.announced;
    schedule.announcedAt = now;
    schedule.failedFetches = 0;
    schedule.fetchNotBefore = 0;
    schedule.pause = FetchPause::none;
    return;
  }
  ++schedule.failedFetches;
  const bool overloaded = result.responseCode == kTooManyRequests || result.responseCode == kServiceUnavailable;
  if (overloaded && result.retryAfterSeconds > 0) {
    // The server's own word replaces the back-off, within a day.
    const std::uint64_t askedMs = static_cast<std::uint64_t>(result.retryAfterSeconds) * 1000;
    const bool tooFar = static_cast<std::uint64_t>(result.retryAfterSeconds) >= kRetryAfterMaxMs / 1000;
    schedule.fetchNotBefore = now + (tooFar ? kRetryAfterMaxMs : askedMs);
    schedule.pause = FetchPause::retryAfter;
    return;
  }
  schedule.fetchNotBefore =
      now + backOffDelay(schedule.failedFetches, kFetchBackOffFirstMs, kFetchBackOffMaxMs, jitter);
  schedule.pause = FetchPause::failedFetches;
}

bool isSetAside(const UpdateSchedule& schedule, std::uint64_t now, const VersionNumber& announced,
                const VersionNumber& installed) {
  const std::optional<StuckUpdate>& stuck = schedule.stuck;
  return stuck && stuck->setAsides > 0 && stuck->announced == announced && stuck->installed == installed &&
         now < stuck->setAsideUntil;
}

bool recordUpdaterRun(UpdateSchedule& schedule, std::uint64_t startedAt, std::uint64_t now,
                      const VersionNumber& announced, const VersionNumber& installedBefore,
                      const VersionNumber& installedAfter, double jitter) {
  if (installedAfter != installedBefore) {
    // The updater changed something: whatever was stuck is over.
    schedule.stuck.reset();
    return false;
  }
  std::optional<StuckUpdate>& stuck = schedule.stuck;
  if (!stuck || stuck->announced != announced || stuck->installed != installedBefore) {
    stuck = StuckUpdate{announced, installedBefore};
    stuck->firstRunAt = std::min(startedAt, now);
  }
  ++stuck->unchangedRuns;
  // Both bounds, so that neither a few quick failures nor one long run set it aside. The
  // runs are counted from the first, so once the version has been set aside every retry
  // that changes nothing sets it aside again, for twice as long.
  const bool longEnough = now - stuck->firstRunAt >= kUnchangedSpanBeforeSetAsideMs;
  if (stuck->unchangedRuns < kUnchangedRunsBeforeSetAside || !longEnough) {
    return false;
  }
  ++stuck->setAsides;
  stuck->setAsideUntil = now + backOffDelay(stuck->setAsides, kSetAsideFirstMs, kSetAsideMaxMs, jitter);
  return true;
}

void recordServerEnd(UpdateSchedule& schedule, std::uint64_t now, bool quickly, bool fetched, double jitter) {
  if (!quickly) {
    schedule.quickEnds = 0;
    schedule.quickEndRounds = 0;
    schedule.quickEndsNotBefore = 0;
    return;
  }
  // One quick end is no crash loop yet. From the second in a row, each round begins at the
  // quick end of a server whose pass asked: the passes in between reuse the last answer,
  // and their ends must not push the next fetch further out.
  ++schedule.quickEnds;
  if (schedule.quickEnds >= 2 && fetched) {
    ++schedule.quickEndRounds;
    schedule.quickEndsNotBefore =
        now + backOffDelay(schedule.quickEndRounds, kFetchBackOffFirstMs, kFetchBackOffMaxMs, jitter);
  }
}

}  // namespace halcyra

#pragma once
// When a pass asks the update server, and which announced version it lets the updater
// install: the one place where the service backs off.
//
// Three things are bounded here, for a fleet of machines that all run the same release:
// - an updater that ends (or cannot be started) without changing the installed version:
//   once that has happened three times for the same announced version, over at least
//   10 minutes from the start of the first such run, that version is set aside and the
//   server runs; a few quick failures (a download that fails once, a user who answers
//   "later") are retried, while a stuck updater lets the server run within about
//   10 minutes. The version is tried again at the first pass after 15 min, doubling, at
//   most 24 h, with jitter, and every retry that changes nothing sets it aside again;
// - an update server that fails: after a failed fetch the next fetches are skipped for a
//   back-off that grows from one pass to 15 min, or until the time a 429 or 503 answer's
//   Retry-After names (at most 24 h);
// - a server that keeps ending within a minute of its start (twice or more in a row): the
//   passes reuse the last announced version, and fetch again after a back-off that grows
//   to 15 min.
//
// The state is a value; the transitions are free functions of the state, the time (in
// milliseconds of the platform clock) and a jitter drawn by the caller in [0, 1), so that
// any clock and any random source can drive them.

#include <cstdint>
#include <optional>

#include "version/version_number.h"

namespace halcyra {

inline constexpr std::uint64_t kScheduleMinuteMs = 60000;
inline constexpr std::uint64_t kScheduleDayMs = kScheduleMinuteMs * 60 * 24;
// An announced version is set aside after this many updater runs that left the installed
// version as it was, and no sooner than this long after the first of them began.
inline constexpr unsigned kUnchangedRunsBeforeSetAside = 3;
inline constexpr std::uint64_t kUnchangedSpanBeforeSetAsideMs = 10 * kScheduleMinuteMs;
inline constexpr std::uint64_t kSetAsideFirstMs = 15 * kScheduleMinuteMs;
inline constexpr std::uint64_t kSetAsideMaxMs = kScheduleDayMs;
// Fetch back-off after failed fetches and during a crash loop: from one pass to 15 min.
inline constexpr std::uint64_t kFetchBackOffFirstMs = 3000;
inline constexpr std::uint64_t kFetchBackOffMaxMs = 15 * kScheduleMinuteMs;
inline constexpr std::uint64_t kRetryAfterMaxMs = kScheduleDayMs;

// What a pass does about the release manifest.
enum class ManifestPlan {
  fetch,  // ask the update server
  reuse,  // take the last announced version again, without asking
  skip,   // do not ask; the pass goes on as after a failed check
};

// Why fetches are held back, for the diagnostic and the events.
enum class FetchPause { none, failedFetches, retryAfter };

// The version whose updater keeps leaving the installed version unchanged.
struct StuckUpdate {
  VersionNumber announced;
  VersionNumber installed;
  unsigned unchangedRuns = 0;  // runs and failed starts that changed nothing, all of them
  unsigned setAsides = 0;      // how often it has been set aside so far
  std::uint64_t setAsideUntil = 0;
  std::uint64_t firstRunAt = 0;  // when the first of those runs began

  friend bool operator==(const StuckUpdate&, const StuckUpdate&) = default;
};

struct UpdateSchedule {
  // The last manifest that was read, and when.
  std::optional<VersionNumber> announced{};
  std::uint64_t announcedAt = 0;
  // Failed fetches in a row; no fetch before fetchNotBefore.
  unsigned failedFetches = 0;
  std::uint64_t fetchNotBefore = 0;
  FetchPause pause = FetchPause::none;
  // Quick ends of the server in a row; from the second on, a crash loop: its fetch rounds,
  // and fetches wait until quickEndsNotBefore.
  unsigned quickEnds = 0;
  unsigned quickEndRounds = 0;
  std::uint64_t quickEndsNotBefore = 0;
  std::optional<StuckUpdate> stuck{};

  friend bool operator==(const UpdateSchedule&, const UpdateSchedule&) = default;
};

// What a fetch gave: the announced version when the manifest was read, and the answer's
// HTTP status and Retry-After otherwise.
struct FetchResult {
  std::optional<VersionNumber> announced{};
  long responseCode = 0;
  long long retryAfterSeconds = 0;
};

// min(2^(n-1) x firstMs x (1 + jitter), capMs) for the n-th back-off (n >= 1).
std::uint64_t backOffDelay(unsigned n, std::uint64_t firstMs, std::uint64_t capMs, double jitter);

// Before a pass's check: fetch, reuse or skip. A pass within minCheckIntervalMs of the last
// read manifest reuses it (0: every pass asks).
ManifestPlan planManifest(const UpdateSchedule& schedule, std::uint64_t now, std::uint64_t minCheckIntervalMs);

// After a fetch.
void recordFetch(UpdateSchedule& schedule, std::uint64_t now, const FetchResult& result, double jitter);

// Whether the update from `installed` to `announced` is set aside at `now`.
bool isSetAside(const UpdateSchedule& schedule, std::uint64_t now, const VersionNumber& announced,
                const VersionNumber& installed);

// After the updater ended by itself, or could not be started (installedAfter is then
// installedBefore); startedAt is when its pass launched it. True when this run set the
// announced version aside.
bool recordUpdaterRun(UpdateSchedule& schedule, std::uint64_t startedAt, std::uint64_t now,
                      const VersionNumber& announced, const VersionNumber& installedBefore,
                      const VersionNumber& installedAfter, double jitter);

// After the server ended: `quickly` when it ended by itself within a minute of its start;
// `fetched` when its pass asked the update server.
void recordServerEnd(UpdateSchedule& schedule, std::uint64_t now, bool quickly, bool fetched, double jitter);

}  // namespace halcyra

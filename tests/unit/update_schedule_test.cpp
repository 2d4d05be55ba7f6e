// The update schedule's transitions, one table: a state, one transition at a time and a
// jitter, and the state and answer that must follow.

#include "update/update_schedule.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>

namespace halcyra {
namespace {

constexpr std::uint64_t kMin = kScheduleMinuteMs;
const VersionNumber v1{1, 0, 0, 0};
const VersionNumber v2{2, 0, 0, 0};
const VersionNumber v3{3, 0, 0, 0};

using S = UpdateSchedule;
using P = FetchPause;
const S setAside{.stuck = StuckUpdate{v2, v1, 0, 1, 5000}};

struct Row {
  const char* what;
  UpdateSchedule before;
  // Applies one transition; its answer as a number (a plan, a bool), -1 for none.
  std::function<int(UpdateSchedule&)> step;
  int answer;
  std::optional<UpdateSchedule> after{};  // none: unchanged
};

int plan(ManifestPlan p) { return static_cast<int>(p); }

TEST(UpdateSchedule, Transitions) {
  const int fetch = plan(ManifestPlan::fetch);
  const int reuse = plan(ManifestPlan::reuse);
  const int skip = plan(ManifestPlan::skip);
  const auto planAt = [](std::uint64_t now, std::uint64_t interval = 0) {
    return [=](UpdateSchedule& s) { return plan(planManifest(s, now, interval)); };
  };
  const auto fetched = [](std::uint64_t now, FetchResult r, double jitter = 0) {
    return [=](UpdateSchedule& s) { return recordFetch(s, now, r, jitter), -1; };
  };
  // An updater run from `started` to `now`.
  const auto updaterRan = [](std::uint64_t started, std::uint64_t now, VersionNumber before, VersionNumber after,
                             double jitter = 0) {
    return [=](UpdateSchedule& s) { return int{recordUpdaterRun(s, started, now, v2, before, after, jitter)}; };
  };
  const auto serverEnded = [](std::uint64_t now, bool quickly, bool fetchedBefore, double jitter = 0) {
    return [=](UpdateSchedule& s) { return recordServerEnd(s, now, quickly, fetchedBefore, jitter), -1; };
  };
  const auto setAsideAt = [](std::uint64_t now, VersionNumber announced, VersionNumber installed) {
    return [=](UpdateSchedule& s) { return int{isSetAside(s, now, announced, installed)}; };
  };

  const Row rows[] = {
      {"nothing known: fetch", S{}, planAt(0), fetch},
      {"minCheckInterval 0: every pass fetches", S{.announced = v2, .announcedAt = 100}, planAt(101), fetch},
      {"within minCheckInterval: reuse", S{.announced = v2, .announcedAt = 100}, planAt(100 + 9 * kMin, 10 * kMin),
       reuse},
      {"a read manifest resets the failures", S{.failedFetches = 4, .fetchNotBefore = 9000, .pause = P::failedFetches},
       fetched(500, {v2, 200, 0}), -1, S{.announced = v2, .announcedAt = 500}},
      {"first failure: one pass to two", S{}, fetched(1000, {{}, 500, 0}, 0.5), -1,
       S{.failedFetches = 1, .fetchNotBefore = 1000 + 4500, .pause = P::failedFetches}},
      {"fifth failure doubles four times", S{.failedFetches = 4, .pause = P::failedFetches}, fetched(0, {{}, 0, 0}, 0),
       -1, S{.failedFetches = 5, .fetchNotBefore = 48000, .pause = P::failedFetches}},
      {"failures stop at 15 min", S{.failedFetches = 20, .pause = P::failedFetches}, fetched(0, {{}, 500, 0}, 0.9), -1,
       S{.failedFetches = 21, .fetchNotBefore = 15 * kMin, .pause = P::failedFetches}},
      {"503 with Retry-After", S{}, fetched(1000, {{}, 503, 120}), -1,
       S{.failedFetches = 1, .fetchNotBefore = 121000, .pause = P::retryAfter}},
      {"Retry-After stops at a day", S{}, fetched(0, {{}, 503, 1LL << 40}), -1,
       S{.failedFetches = 1, .fetchNotBefore = kScheduleDayMs, .pause = P::retryAfter}},
      {"Retry-After of a 500 is the server's error, not a wish", S{}, fetched(0, {{}, 500, 120}), -1,
       S{.failedFetches = 1, .fetchNotBefore = 3000, .pause = P::failedFetches}},
      {"during a failure back-off: skip, even with a version known",
       S{.announced = v2, .failedFetches = 1, .fetchNotBefore = 5000, .pause = P::failedFetches}, planAt(4999), skip},
      {"failure back-off over: fetch", S{.failedFetches = 1, .fetchNotBefore = 5000, .pause = P::failedFetches},
       planAt(5000), fetch},
      {"one quick end is no crash loop", S{}, serverEnded(10000, true, true), -1, S{.quickEnds = 1}},
      {"second quick end after a fetch: first round", S{.quickEnds = 1}, serverEnded(10000, true, true), -1,
       S{.quickEnds = 2, .quickEndRounds = 1, .quickEndsNotBefore = 13000}},
      {"quick end after a reuse: the round holds", S{.quickEnds = 4, .quickEndRounds = 3, .quickEndsNotBefore = 40000},
       serverEnded(39000, true, false), -1, S{.quickEnds = 5, .quickEndRounds = 3, .quickEndsNotBefore = 40000}},
      {"quick end after the round's fetch: next round doubles",
       S{.quickEnds = 4, .quickEndRounds = 3, .quickEndsNotBefore = 40000}, serverEnded(41000, true, true, 0.5), -1,
       S{.quickEnds = 5, .quickEndRounds = 4, .quickEndsNotBefore = 41000 + 36000}},
      {"a longer run ends the crash loop", S{.quickEnds = 6, .quickEndRounds = 5, .quickEndsNotBefore = 90000},
       serverEnded(1000, false, true), -1, S{}},
      {"crash loop: reuse the known version", S{.announced = v2, .quickEndRounds = 2, .quickEndsNotBefore = 9000},
       planAt(8999), reuse},
      {"crash loop, nothing known: skip", S{.quickEndRounds = 2, .quickEndsNotBefore = 9000}, planAt(8999), skip},
      {"first unchanged run", S{}, updaterRan(7, 9, v1, v1), 0, S{.stuck = StuckUpdate{v2, v1, 1, 0, 0, 7}}},
      {"one long run is not three", S{}, updaterRan(0, 60 * kMin, v1, v1), 0,
       S{.stuck = StuckUpdate{v2, v1, 1, 0, 0, 0}}},
      {"three runs over 10 min set aside for 15 min to 30 min", S{.stuck = StuckUpdate{v2, v1, 2, 0, 0, 0}},
       updaterRan(9 * kMin, 10 * kMin, v1, v1, 0.5), 1,
       S{.stuck = StuckUpdate{v2, v1, 3, 1, 10 * kMin + 22 * kMin + 30000, 0}}},
      {"many runs just short of 10 min: not yet", S{.stuck = StuckUpdate{v2, v1, 150, 0, 0, 1000}},
       updaterRan(10 * kMin, 10 * kMin + 999, v1, v1), 0, S{.stuck = StuckUpdate{v2, v1, 151, 0, 0, 1000}}},
      {"a retry that changes nothing sets aside twice as long", S{.stuck = StuckUpdate{v2, v1, 3, 1, 0, 0}},
       updaterRan(20 * kMin, 20 * kMin, v1, v1), 1, S{.stuck = StuckUpdate{v2, v1, 4, 2, 50 * kMin, 0}}},
      {"an updater that changed the version ends it", S{.stuck = StuckUpdate{v2, v1, 2, 1, 99}},
       updaterRan(0, 0, v1, v2), 0, S{}},
      {"another installed version starts afresh", S{.stuck = StuckUpdate{v2, v3, 2, 1, 99}}, updaterRan(5, 6, v1, v1),
       0, S{.stuck = StuckUpdate{v2, v1, 1, 0, 0, 5}}},
      {"set aside until its time", setAside, setAsideAt(4999, v2, v1), 1},
      {"tried again at its time", setAside, setAsideAt(5000, v2, v1), 0},
      {"a newer announced version is not set aside", setAside, setAsideAt(0, v3, v1), 0},
      {"a changed installed version is not set aside", setAside, setAsideAt(0, v2, v3), 0},
  };
  for (const Row& row : rows) {
    UpdateSchedule s = row.before;
    EXPECT_EQ(row.step(s), row.answer) << row.what;
    EXPECT_TRUE(s == row.after.value_or(row.before)) << row.what;
  }
}

}  // namespace
}  // namespace halcyra

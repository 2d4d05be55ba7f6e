// The update schedule's transitions, one table: a state, one transition at a time and a
// jitter, and the state and answer that must follow.

#include "update/update_schedule.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace halcyra {
namespace {

constexpr std::uint64_t kMin = kScheduleMinuteMs;
const VersionNumber v1{1, 0, 0, 0};
const VersionNumber v2{2, 0, 0, 0};
const VersionNumber v3{3, 0, 0, 0};

UpdateSchedule withAnnounced(VersionNumber version, std::uint64_t at) {
  UpdateSchedule s;
  s.announced = version;
  s.announcedAt = at;
  return s;
}

UpdateSchedule withStuck(StuckUpdate stuck) {
  UpdateSchedule s;
  s.stuck = stuck;
  return s;
}

UpdateSchedule failing(unsigned count, std::uint64_t notBefore, FetchPause pause) {
  UpdateSchedule s;
  s.failedFetches = count;
  s.fetchNotBefore = notBefore;
  s.pause = pause;
  return s;
}

UpdateSchedule quickEnds(unsigned rounds, std::uint64_t notBefore, std::optional<VersionNumber> announced = {}) {
  UpdateSchedule s;
  s.quickEndRounds = rounds;
  s.quickEndsNotBefore = notBefore;
  s.announced = announced;
  return s;
}

struct Row {
  const char* what;
  UpdateSchedule before;
  // Applies one transition; its answer as a number (a plan, a bool), -1 for none.
  std::function<int(UpdateSchedule&)> step;
  int answer;
  UpdateSchedule after;
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
  const auto updaterRan = [](std::uint64_t now, VersionNumber before, VersionNumber after, double jitter = 0) {
    return [=](UpdateSchedule& s) { return int{recordUpdaterRun(s, now, v2, before, after, jitter)}; };
  };
  const auto serverEnded = [](std::uint64_t now, bool quickly, bool fetchedBefore, double jitter = 0) {
    return [=](UpdateSchedule& s) { return recordServerEnd(s, now, quickly, fetchedBefore, jitter), -1; };
  };
  const auto setAsideAt = [](std::uint64_t now, VersionNumber announced, VersionNumber installed) {
    return [=](UpdateSchedule& s) { return int{isSetAside(s, now, announced, installed)}; };
  };

  const Row rows[] = {
      {"nothing known: fetch", {}, planAt(0), fetch, {}},
      {"minCheckInterval 0: every pass fetches", withAnnounced(v2, 100), planAt(101), fetch, withAnnounced(v2, 100)},
      {"within minCheckInterval: reuse", withAnnounced(v2, 100), planAt(100 + 9 * kMin, 10 * kMin), reuse,
       withAnnounced(v2, 100)},
      {"minCheckInterval over: fetch", withAnnounced(v2, 100), planAt(100 + 10 * kMin, 10 * kMin), fetch,
       withAnnounced(v2, 100)},
      {"a read manifest resets the failures", failing(4, 9000, FetchPause::failedFetches), fetched(500, {v2, 200, 0}),
       -1, withAnnounced(v2, 500)},
      {"first failure: one pass to two",
       {},
       fetched(1000, {{}, 500, 0}, 0.5),
       -1,
       failing(1, 1000 + 4500, FetchPause::failedFetches)},
      {"fifth failure doubles four times", failing(4, 0, FetchPause::failedFetches), fetched(0, {{}, 0, 0}, 0), -1,
       failing(5, 48000, FetchPause::failedFetches)},
      {"failures stop at 15 min", failing(20, 0, FetchPause::failedFetches), fetched(0, {{}, 500, 0}, 0.9), -1,
       failing(21, 15 * kMin, FetchPause::failedFetches)},
      {"503 with Retry-After", {}, fetched(1000, {{}, 503, 120}), -1, failing(1, 121000, FetchPause::retryAfter)},
      {"429 with Retry-After", {}, fetched(0, {{}, 429, 7}), -1, failing(1, 7000, FetchPause::retryAfter)},
      {"Retry-After stops at a day",
       {},
       fetched(0, {{}, 503, 1LL << 40}),
       -1,
       failing(1, kScheduleDayMs, FetchPause::retryAfter)},
      {"Retry-After of a 500 is the server's error, not a wish",
       {},
       fetched(0, {{}, 500, 120}),
       -1,
       failing(1, 3000, FetchPause::failedFetches)},
      {"during a failure back-off: skip, even with a version known",
       [] {
         UpdateSchedule s = failing(1, 5000, FetchPause::failedFetches);
         s.announced = v2;
         return s;
       }(),
       planAt(4999), skip,
       [] {
         UpdateSchedule s = failing(1, 5000, FetchPause::failedFetches);
         s.announced = v2;
         return s;
       }()},
      {"failure back-off over: fetch", failing(1, 5000, FetchPause::failedFetches), planAt(5000), fetch,
       failing(1, 5000, FetchPause::failedFetches)},
      {"quick end after a fetch: first round", {}, serverEnded(10000, true, true), -1, quickEnds(1, 13000)},
      {"quick end after a reuse: the round holds", quickEnds(3, 40000), serverEnded(39000, true, false), -1,
       quickEnds(3, 40000)},
      {"quick end after the round's fetch: next round doubles", quickEnds(3, 40000),
       serverEnded(41000, true, true, 0.5), -1, quickEnds(4, 41000 + 36000)},
      {"quick-end rounds stop at 15 min", quickEnds(30, 0), serverEnded(0, true, true, 0.99), -1,
       quickEnds(31, 15 * kMin)},
      {"a longer run ends the crash loop", quickEnds(5, 90000), serverEnded(1000, false, true), -1, {}},
      {"crash loop: reuse the known version", quickEnds(2, 9000, v2), planAt(8999), reuse, quickEnds(2, 9000, v2)},
      {"crash loop, nothing known: skip", quickEnds(2, 9000), planAt(8999), skip, quickEnds(2, 9000)},
      {"first unchanged run", {}, updaterRan(0, v1, v1), 0, withStuck({v2, v1, 1, 0, 0})},
      {"third unchanged run sets aside for 15 min to 30 min", withStuck({v2, v1, 2, 0, 0}),
       updaterRan(1000, v1, v1, 0.5), 1, withStuck({v2, v1, 0, 1, 1000 + 22 * kMin + 30000})},
      {"a retry that changes nothing sets aside twice as long", withStuck({v2, v1, 0, 1, 0}), updaterRan(0, v1, v1), 1,
       withStuck({v2, v1, 0, 2, 30 * kMin})},
      {"set-asides stop at a day", withStuck({v2, v1, 0, 30, 0}), updaterRan(0, v1, v1), 1,
       withStuck({v2, v1, 0, 31, kScheduleDayMs})},
      {"an updater that changed the version ends it", withStuck({v2, v1, 2, 1, 99}), updaterRan(0, v1, v2), 0, {}},
      {"another installed version starts afresh", withStuck({v2, v3, 2, 1, 99}), updaterRan(0, v1, v1), 0,
       withStuck({v2, v1, 1, 0, 0})},
      {"set aside until its time", withStuck({v2, v1, 0, 1, 5000}), setAsideAt(4999, v2, v1), 1,
       withStuck({v2, v1, 0, 1, 5000})},
      {"tried again at its time", withStuck({v2, v1, 0, 1, 5000}), setAsideAt(5000, v2, v1), 0,
       withStuck({v2, v1, 0, 1, 5000})},
      {"a newer announced version is not set aside", withStuck({v2, v1, 0, 1, 5000}), setAsideAt(0, v3, v1), 0,
       withStuck({v2, v1, 0, 1, 5000})},
      {"a changed installed version is not set aside", withStuck({v2, v1, 0, 1, 5000}), setAsideAt(0, v2, v3), 0,
       withStuck({v2, v1, 0, 1, 5000})},
      {"two unchanged runs set nothing aside", withStuck({v2, v1, 2, 0, 0}), setAsideAt(0, v2, v1), 0,
       withStuck({v2, v1, 2, 0, 0})},
  };
  for (const Row& row : rows) {
    UpdateSchedule s = row.before;
    EXPECT_EQ(row.step(s), row.answer) << row.what;
    EXPECT_TRUE(s == row.after) << row.what;
  }
}

}  // namespace
}  // namespace halcyra

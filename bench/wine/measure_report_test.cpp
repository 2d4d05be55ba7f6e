// The measurement's statistics: what a wrong median, a mispaired restart gap or an
// aggregate taken for a repetition would silently put into the table.

#include "measure_report.h"

#include <gtest/gtest.h>

#include <fstream>

namespace halcyra::measure {
namespace {

TEST(MeasureReport, Summaries) {
  struct Case {
    std::vector<double> values;
    std::optional<double> median;
    std::optional<double> max;
  };
  for (Case const& c : std::vector<Case>{
           {{}, std::nullopt, std::nullopt}, {{7}, 7, 7}, {{9, 1, 5}, 5, 9}, {{4, 1, 3, 100}, 3.5, 100}}) {
    Summary const summary = summarize(c.values);
    EXPECT_EQ(summary.median, c.median) << c.values.size() << " values";
    EXPECT_EQ(summary.max, c.max);
    EXPECT_EQ(summary.n, c.values.size());
  }
}

TEST(MeasureReport, RestartGapsPairEachExitWithTheNextStart) {
  struct Case {
    const char* stamps;
    std::vector<double> gaps;
  };
  for (Case const& c : std::vector<Case>{
           {"start 10\nexit 20\nstart 3020\n", {3000}},
           // A start with no exit before it (the first, or after a Ctrl-C) is no gap.
           {"start 10\nctrl-c 15\nstart 40\nexit 50\nstart 3060\n", {3010}},
           // Two exits in a row: the later one is the end the next start follows.
           {"exit 1\nexit 5\nstart 9\nstart 12\n", {4}},
           {"exit 5\nstart\n", {}},
       }) {
    EXPECT_EQ(restartGaps(c.stamps), c.gaps) << c.stamps;
  }
}

TEST(MeasureReport, BenchmarkRepetitionsOnlyInMicroseconds) {
  std::string const csv =
      "name,iterations,real_time,cpu_time,time_unit,bytes_per_second\n"
      "\"updateCheckPerPass\",100,2000,1500,ns,\n"
      "\"updateCheckPerPass\",100,3,2,ms,\n"
      "\"updateCheckPerPassOther\",100,9,9,us,\n"
      "\"updateCheckPerPass_mean\",3,9,9,us,\n"
      "\"updateCheckPerPass_median\",3,9,9,us,\n";
  BenchmarkTimes const times = benchmarkTimes(csv, "updateCheckPerPass");
  EXPECT_EQ(times.cpu, (std::vector<double>{1.5, 2000}));
  EXPECT_EQ(times.wall, (std::vector<double>{2, 3000}));
}

// The files as tools/measure.sh leaves them, read into the table.
TEST(MeasureReport, TableFromTheCollectedFiles) {
  std::filesystem::path const folder = std::filesystem::temp_directory_path() / "measure-report-test";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  auto const write = [&](const char* name, const char* text) { std::ofstream(folder / name) << text; };
  write("graceful", "900000\n1100000\n1000000\n");
  write("spawn", "300000\n");
  write("idle-stop", "500000\n");
  write("forced", "20100000\n");
  write("restart.stamps", "start 0\nexit 1000\nstart 3031000\nexit 4000000\nstart 7030000\n");
  write("floor.stamps", "exit 0\nstart 3000000\n");
  write("readings",
        "service-watch-start run_ns 1000000 wakeups 10 threads 4\nservice-watch-end run_ns 1004000 wakeups 12 "
        "threads 4\ncpu resolution_us 10\nwatch seconds 60\n");
  std::string const text = report(folder).text();
  std::filesystem::remove_all(folder);

  for (const char* expected : {
           // median 1000 ms against start+end 300 + SCM 500: ratio 1.25, and the
           // budget (floor + 100 ms) missed.
           "graceful stop: sc stop -> STOPPED            ms         1000.0       1100.0    3        800.0  "
           "start+end 300.0 + SCM 500.0          1.250",
           "missed: graceful stop at most its floor + 100 ms (median 1000.0 ms, floor 800.0 ms)",
           "met:    forced stop at most 20 s + 200 ms (median 20100.0 ms)",
           "restart gap: server exit -> next start       ms         3030.0       3030.0    2       3000.0",
           "met:    no CPU while watching: 4 us and 2 wake-ups over 60 s, clock resolution 10 us",
       }) {
    EXPECT_NE(text.find(expected), std::string::npos) << "missing: " << expected << "\nin:\n" << text;
  }
}

}  // namespace
}  // namespace halcyra::measure

#pragma once
// The statistics of tools/measure.sh: medians of the samples it collected, each figure
// beside its floor with their ratio, and the budgets, printed as one table.

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace halcyra::measure {

// Median (the mean of the middle two for an even count), largest value and count.
struct Summary {
  std::optional<double> median;
  std::optional<double> max;
  std::size_t n = 0;
};
Summary summarize(std::vector<double> values);

// The gaps between each "exit T" line of a stamps text and the "start T" line right
// after it (in the stamps' unit, µs).
std::vector<double> restartGaps(const std::string& stamps);

// The per-repetition CPU and wall times (µs) of the benchmark `name` in Google
// Benchmark's CSV output.
struct BenchmarkTimes {
  std::vector<double> cpu;
  std::vector<double> wall;
};
BenchmarkTimes benchmarkTimes(const std::string& csv, const std::string& name);

// The table: rows of figure, unit, median, max, n, floor, what the floor is and the
// ratio median/floor; then the budgets, met or missed.
class Table {
 public:
  void row(const std::string& figure, const std::string& unit, std::optional<double> median, std::optional<double> max,
           std::size_t n, std::optional<double> floor, const std::string& floorText);
  void budget(const std::string& text, bool met);
  std::string text() const;
  int missed() const { return missed_; }

 private:
  std::vector<std::string> rows_;
  std::vector<std::string> budgets_;
  int met_ = 0;
  int missed_ = 0;
};

// Reads the samples tools/measure.sh left in `folder` and returns the table. Files of one
// number a line (µs): start, idle-start, graceful, to-ctrl-c, from-exit, spawn, idle-stop,
// instance, ctrl-c-stop, ctrl-c-alone, forced, forced-to-ctrl-c, forced-after-ctrl-c,
// check, transfer; native.csv (the native benchmark); restart.stamps and floor.stamps (the
// server's and the bare restart's stamps); and readings, lines "<label> <key> <value>..."
// (watch seconds, cpu resolution_us, the Linux readings of the processes, handles, sizes).
Table report(const std::filesystem::path& folder);

}  // namespace halcyra::measure

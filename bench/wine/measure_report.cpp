#include "measure_report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

namespace halcyra::measure {

Summary summarize(std::vector<double> values) {
  Summary summary;
  summary.n = values.size();
  if (values.empty()) return summary;
  std::sort(values.begin(), values.end());
  std::size_t const middle = values.size() / 2;
  summary.median = values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
  summary.max = values.back();
  return summary;
}

std::vector<double> restartGaps(const std::string& stamps) {
  std::vector<double> gaps;
  std::istringstream lines(stamps);
  bool exitedBefore = false;
  double exited = 0;
  std::string kind;
  double time = 0;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    if (!(fields >> kind >> time)) continue;
    if (kind == "exit") {
      exitedBefore = true;
      exited = time;
    } else if (kind == "start") {
      if (exitedBefore) gaps.push_back(time - exited);
      exitedBefore = false;
    }
  }
  return gaps;
}

namespace {

std::vector<std::string> csvFields(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  bool quoted = false;
  for (char const c : line) {
    if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields.push_back(field);
      field.clear();
    } else if (c != '\r') {
      field += c;
    }
  }
  fields.push_back(field);
  return fields;
}

double microseconds(double value, const std::string& unit) {
  if (unit == "ns") return value / 1000;
  if (unit == "ms") return value * 1000;
  if (unit == "s") return value * 1000000;
  return value;
}

}  // namespace

BenchmarkTimes benchmarkTimes(const std::string& csv, const std::string& name) {
  BenchmarkTimes times;
  std::istringstream lines(csv);
  std::vector<std::string> header;
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> const fields = csvFields(line);
    if (header.empty()) {
      if (!fields.empty() && fields[0] == "name") header = fields;
      continue;
    }
    auto const column = [&](const char* wanted) -> std::string {
      auto const at = std::find(header.begin(), header.end(), wanted);
      auto const index = static_cast<std::size_t>(at - header.begin());
      return at == header.end() || index >= fields.size() ? std::string() : fields[index];
    };
    // Repetitions only: the aggregates (name_mean, name_median, ...) are left out.
    std::string const row = column("name");
    if (row != name && !row.starts_with(name + "/")) continue;
    if (row.find("_mean") != std::string::npos || row.find("_median") != std::string::npos ||
        row.find("_stddev") != std::string::npos || row.find("_cv") != std::string::npos) {
      continue;
    }
    std::string const unit = column("time_unit");
    times.cpu.push_back(microseconds(std::atof(column("cpu_time").c_str()), unit));
    times.wall.push_back(microseconds(std::atof(column("real_time").c_str()), unit));
  }
  return times;
}

namespace {

std::string formatted(std::optional<double> value, int decimals) {
  if (!value) return "-";
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, *value);
  return text;
}

}  // namespace

void Table::row(const std::string& figure, const std::string& unit, std::optional<double> median,
                std::optional<double> max, std::size_t n, std::optional<double> floor, const std::string& floorText) {
  // Times are collected in µs and shown in the row's unit; counts and sizes as they are.
  double const scale = unit == "ms" ? 1000 : 1;
  int const decimals = unit == "ms" || unit == "us" ? 1 : 0;
  auto const shown = [&](std::optional<double> value) {
    return value ? std::optional<double>(*value / scale) : std::nullopt;
  };
  std::optional<double> ratio;
  if (median && floor && *floor > 0) ratio = *median / *floor;
  char line[512];
  std::snprintf(line, sizeof line, "%-44s %-4s %12s %12s %4zu %12s  %-34s %7s", figure.c_str(), unit.c_str(),
                formatted(shown(median), decimals).c_str(), formatted(shown(max), decimals).c_str(), n,
                formatted(shown(floor), decimals).c_str(), floorText.c_str(), formatted(ratio, 3).c_str());
  rows_.emplace_back(line);
}

void Table::budget(const std::string& text, bool met) {
  budgets_.push_back((met ? "met:    " : "missed: ") + text);
  (met ? met_ : missed_) += 1;
}

std::string Table::text() const {
  char header[256];
  std::snprintf(header, sizeof header, "%-44s %-4s %12s %12s %4s %12s  %-34s %7s\n", "figure", "unit", "median", "max",
                "n", "floor", "floor is", "ratio");
  std::string text = header;
  for (std::string const& row : rows_) text += row + "\n";
  text += "\n";
  for (std::string const& budget : budgets_) text += budget + "\n";
  return text + "budgets: " + std::to_string(met_) + " met, " + std::to_string(missed_) + " missed\n";
}

namespace {

std::string fileText(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

std::vector<double> numbers(const std::filesystem::path& path) {
  std::vector<double> values;
  std::istringstream lines(fileText(path));
  for (std::string line; std::getline(lines, line);) {
    char* end = nullptr;
    double const value = std::strtod(line.c_str(), &end);
    if (end != line.c_str()) values.push_back(value);
  }
  return values;
}

using Readings = std::map<std::string, std::map<std::string, double>>;

Readings readingsIn(const std::filesystem::path& path) {
  Readings readings;
  std::istringstream lines(fileText(path));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string label;
    std::string key;
    double value = 0;
    fields >> label;
    while (fields >> key >> value) readings[label][key] = value;
  }
  return readings;
}

std::optional<double> reading(const Readings& readings, const std::string& label, const std::string& key) {
  auto const entry = readings.find(label);
  if (entry == readings.end()) return std::nullopt;
  auto const value = entry->second.find(key);
  return value == entry->second.end() ? std::nullopt : std::optional<double>(value->second);
}

std::optional<double> sum(std::optional<double> a, std::optional<double> b) {
  return a && b ? std::optional<double>(*a + *b) : std::nullopt;
}

std::string ms(std::optional<double> us) { return us ? formatted(*us / 1000, 1) : "-"; }

// CPU time (µs) and wake-ups of a process between two readings; none when a thread came
// or went between them, since the counters of a thread that ended are gone.
struct Cpu {
  std::optional<double> us;
  std::optional<double> wakeups;
};
Cpu cpuBetween(const Readings& readings, const std::string& from, const std::string& to) {
  auto const threads = reading(readings, from, "threads");
  if (!threads || threads != reading(readings, to, "threads")) return {};
  auto const run = [&](const std::string& label) { return reading(readings, label, "run_ns"); };
  auto const wakeups = [&](const std::string& label) { return reading(readings, label, "wakeups"); };
  if (!run(from) || !run(to) || !wakeups(from) || !wakeups(to)) return {};
  return {(*run(to) - *run(from)) / 1000, *wakeups(to) - *wakeups(from)};
}

std::string count(std::optional<double> value) { return formatted(value, 0); }

}  // namespace

Table report(const std::filesystem::path& folder) {
  Table table;
  auto const samples = [&](const char* name) { return summarize(numbers(folder / name)); };
  Readings const readings = readingsIn(folder / "readings");

  // The update check without the network, natively: the check runs on one thread and
  // never blocks on a file:// manifest, so its CPU time is its cost; the wall time adds
  // whatever else the machine ran meanwhile.
  BenchmarkTimes const native = benchmarkTimes(fileText(folder / "native.csv"), "updateCheckPerPass");
  Summary const nativeCpu = summarize(native.cpu);
  Summary const nativeWall = summarize(native.wall);
  table.row("update check, no network, native, CPU", "us", nativeCpu.median, nativeCpu.max, nativeCpu.n, 100, "budget");
  table.row("  the same, wall time", "us", nativeWall.median, nativeWall.max, nativeWall.n, 100, "budget");
  table.budget(
      "update check without the network under 100 us natively (median CPU " + formatted(nativeCpu.median, 1) + " us)",
      nativeCpu.median && *nativeCpu.median < 100);

  // Start and graceful stop, beside their floors: a bare start and end of a process; the
  // SCM's round trip with a service that does nothing; the platform's request->Ctrl-C.
  Summary const start = samples("start");
  Summary const idleStart = samples("idle-start");
  table.row("start: sc start -> server running", "ms", start.median, start.max, start.n, 3000000, "3 s first wait");
  table.row("  do-nothing service: sc start -> RUNNING", "ms", idleStart.median, idleStart.max, idleStart.n,
            std::nullopt, "");
  Summary const graceful = samples("graceful");
  Summary const spawn = samples("spawn");
  Summary const scm = samples("idle-stop");
  std::optional<double> const gracefulFloor = sum(spawn.median, scm.median);
  table.row("graceful stop: sc stop -> STOPPED", "ms", graceful.median, graceful.max, graceful.n, gracefulFloor,
            "start+end " + ms(spawn.median) + " + SCM " + ms(scm.median));
  Summary const toCtrlC = samples("to-ctrl-c");
  Summary const fromExit = samples("from-exit");
  Summary const instance = samples("instance");
  Summary const ctrlCStop = samples("ctrl-c-stop");
  std::optional<double> const toCtrlCFloor = sum(samples("ctrl-c-alone").median, scm.median);
  table.row("  sc stop -> Ctrl-C reaches the server", "ms", toCtrlC.median, toCtrlC.max, toCtrlC.n, toCtrlCFloor,
            "SCM + platform's request->Ctrl-C");
  table.row("  server's exit -> STOPPED", "ms", fromExit.median, fromExit.max, fromExit.n, std::nullopt, "");
  table.row("  HalcyraService.exe --terminate, start+end", "ms", instance.median, instance.max, instance.n,
            spawn.median, "bare start+end");
  table.row("  platform alone: --terminate ends a server", "ms", ctrlCStop.median, ctrlCStop.max, ctrlCStop.n,
            spawn.median, "bare start+end");
  table.budget("graceful stop at most its floor + 100 ms (median " + ms(graceful.median) + " ms, floor " +
                   ms(gracefulFloor) + " ms)",
               graceful.median && gracefulFloor && *graceful.median <= *gracefulFloor + 100000);

  // The forced stop of a server that ignores Ctrl-C.
  Summary const forced = samples("forced");
  Summary const forcedHead = samples("forced-to-ctrl-c");
  Summary const forcedTail = samples("forced-after-ctrl-c");
  table.row("forced stop: sc stop -> STOPPED", "ms", forced.median, forced.max, forced.n, 20000000, "20 s grace");
  table.row("  sc stop -> Ctrl-C reaches the server", "ms", forcedHead.median, forcedHead.max, forcedHead.n,
            toCtrlCFloor, "SCM + platform's request->Ctrl-C");
  table.row("  Ctrl-C reaches the server -> STOPPED", "ms", forcedTail.median, forcedTail.max, forcedTail.n, 20000000,
            "20 s grace");
  table.budget("forced stop at most 20 s + 200 ms (median " + ms(forced.median) + " ms)",
               forced.median && *forced.median <= 20200000);

  // Watching: CPU over a quiet stretch, against the CPU clock's resolution.
  std::string const seconds = count(reading(readings, "watch", "seconds"));
  std::optional<double> const resolution = reading(readings, "cpu", "resolution_us");
  Cpu const watching = cpuBetween(readings, "service-watch-start", "service-watch-end");
  Cpu const idle = cpuBetween(readings, "idle-watch-start", "idle-watch-end");
  table.row("CPU while watching, " + seconds + " s (" + count(watching.wakeups) + " wake-ups)", "us", watching.us,
            std::nullopt, 1, resolution, "CPU clock resolution");
  table.row("  do-nothing service (" + count(idle.wakeups) + " wake-ups)", "us", idle.us, std::nullopt, 1, resolution,
            "CPU clock resolution");
  table.budget("no CPU while watching: " + formatted(watching.us, 0) + " us and " + count(watching.wakeups) +
                   " wake-ups over " + seconds + " s, clock resolution " + formatted(resolution, 0) + " us",
               watching.us && resolution && *watching.us < *resolution);

  // Restarts: the gap from a server's exit to the next start, against a bare restart with
  // the same 3 s pause.
  Summary const gaps = summarize(restartGaps(fileText(folder / "restart.stamps")));
  Summary const floorGaps = summarize(restartGaps(fileText(folder / "floor.stamps")));
  table.row("restart gap: server exit -> next start", "ms", gaps.median, gaps.max, gaps.n, floorGaps.median,
            "3 s pause + bare restart (n " + std::to_string(floorGaps.n) + ")");
  table.budget(
      "restart gap at most 1.02 x its floor (median " + ms(gaps.median) + " ms, floor " + ms(floorGaps.median) + " ms)",
      gaps.median && floorGaps.median && *gaps.median <= *floorGaps.median * 1.02);
  std::string const after = " after " + std::to_string(gaps.n) + " restarts";
  struct Flat {
    const char* figure;
    const char* unit;
    const char* label;
    const char* key;
  };
  for (Flat const flat :
       {Flat{"handles", "count", "handles", "handles"}, Flat{"private bytes", "KiB", "service", "private_kib"},
        Flat{"working set", "KiB", "service", "rss_kib"}, Flat{"threads", "count", "service", "threads"}}) {
    table.row(flat.figure + after, flat.unit, reading(readings, std::string(flat.label) + "-restarts-end", flat.key),
              std::nullopt, 1, reading(readings, std::string(flat.label) + "-watch-start", flat.key), "at start");
  }

  // The update check against a local HTTP server, beside a bare libcurl transfer.
  Summary const check = samples("check");
  Summary const transfer = samples("transfer");
  table.row("update check, local HTTP server", "us", check.median, check.max, check.n, transfer.median,
            "bare libcurl transfer (n " + std::to_string(transfer.n) + ")");
  auto const kib = [&](const char* key) {
    std::optional<double> const bytes = reading(readings, "size", key);
    return bytes ? std::optional<double>(std::floor(*bytes / 1024)) : std::nullopt;
  };
  table.row("HalcyraService.exe size", "KiB", kib("service_bytes"), std::nullopt, 1, kib("curl_floor_bytes"),
            "bare program with the same libcurl");
  return table;
}

}  // namespace halcyra::measure

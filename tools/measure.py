#!/usr/bin/python3
"""The Linux side of tools/measure.sh: what the kernel counts for a Wine process, and the table.

    measure.py watch <pid> <seconds>
        Polls the threads of the process twice a second for that long and prints one line
        "run_ns R wakeups W threads_start A threads_end B threads_ended E cpu_us C": the
        threads' run time and time slices since the start, each thread counted up to its
        last poll, and a thread that ended in between with one more wake-up (its last);
        cpu_us is the process's own user and system time, which keeps the time of ended
        threads, in clock ticks (10 ms).
    measure.py report <folder>
        Prints the table of the samples measure.sh left in the folder (figure, median,
        max, n, floor, ratio) and the budgets; exit code 1 when one is missed.
"""

import csv
import os
import statistics
import sys
import time

TICK_US = 1000000 // os.sysconf("SC_CLK_TCK")


def thread_counters(pid):
    counters = {}
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                run_ns, _, slices = (int(x) for x in f.read().split())
            counters[tid] = (run_ns, slices)
        except (OSError, ValueError):
            pass  # the thread ended while it was read
    return counters


def process_cpu_us(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * TICK_US  # utime and stime, fields 14 and 15


def watch(pid, seconds):
    first = thread_counters(pid)
    last = dict(first)
    cpu_before = process_cpu_us(pid)
    end = time.monotonic() + seconds
    current = first
    while time.monotonic() < end:
        time.sleep(min(0.5, max(0.0, end - time.monotonic())))
        current = thread_counters(pid)
        last.update(current)
    cpu_after = process_cpu_us(pid)
    run_ns = sum(last[t][0] - first.get(t, (0, 0))[0] for t in last)
    slices = sum(last[t][1] - first.get(t, (0, 0))[1] for t in last)
    ended = len(set(last) - set(current))
    print("run_ns %d wakeups %d threads_start %d threads_end %d threads_ended %d cpu_us %d" %
          (run_ns, slices + ended, len(first), len(current), ended, cpu_after - cpu_before))


def numbers(path):
    try:
        with open(path) as f:
            return [float(line) for line in f if line.strip()]
    except OSError:
        return []


def readings(path):
    """Lines "<label> <key> <value>...": {label: {key: value}}."""
    result = {}
    with open(path) as f:
        for line in f:
            words = line.split()
            if words:
                result.setdefault(words[0], {}).update(zip(words[1::2], (float(w) for w in words[2::2])))
    return result


def restart_gaps(path):
    gaps, exited = [], None
    for line in open(path):
        words = line.split()
        if len(words) < 2:
            continue
        if words[0] == "exit":
            exited = float(words[1])
        elif words[0] == "start":
            if exited is not None:
                gaps.append(float(words[1]) - exited)
            exited = None
    return gaps


def benchmark_times(path, name):
    """Per-repetition CPU and wall times (µs) of a Google Benchmark CSV, aggregates left out."""
    scale = {"ns": 0.001, "us": 1, "ms": 1000, "s": 1000000}
    cpu, wall = [], []
    with open(path) as f:
        lines = f.read().splitlines()
    header = next((i for i, line in enumerate(lines) if line.startswith("name,")), None)
    for row in csv.DictReader(lines[header:] if header is not None else []):
        if row["name"] == name or row["name"].startswith(name + "/") and not any(
                row["name"].endswith(suffix) for suffix in ("_mean", "_median", "_stddev", "_cv")):
            cpu.append(float(row["cpu_time"]) * scale[row["time_unit"]])
            wall.append(float(row["real_time"]) * scale[row["time_unit"]])
    return cpu, wall


class Table:
    def __init__(self):
        self.rows, self.budgets, self.missed = [], [], 0

    def row(self, figure, unit, values, floor=None, floor_text=""):
        """`values` a list of samples (µs for times, shown in the row's unit) or one reading."""
        values = values if isinstance(values, list) else ([] if values is None else [values])
        median = statistics.median(values) if values else None
        scale = 1000 if unit == "ms" else 1
        decimals = 1 if unit in ("ms", "us") else 0

        def shown(value, decimals=decimals):
            return "-" if value is None else "%.*f" % (decimals, value / scale)

        ratio = median / floor if median is not None and floor else None
        self.rows.append("%-44s %-5s %12s %12s %4d %12s  %-36s %7s" % (
            figure, unit, shown(median), shown(max(values)) if len(values) > 1 else "-", len(values), shown(floor),
            floor_text, "-" if ratio is None else "%.3f" % ratio))
        return median

    def budget(self, text, met):
        self.budgets.append(("met:    " if met else "missed: ") + text)
        self.missed += 0 if met else 1

    def print(self):
        print("%-44s %-5s %12s %12s %4s %12s  %-36s %7s" % ("figure", "unit", "median", "max", "n", "floor",
                                                           "floor is", "ratio"))
        print("\n".join(self.rows) + "\n\n" + "\n".join(self.budgets))
        print("budgets: %d met, %d missed" % (len(self.budgets) - self.missed, self.missed))


def ms(value):
    return "-" if value is None else "%.1f" % (value / 1000)


def report(folder):
    def samples(name):
        return numbers(os.path.join(folder, name))

    def median(name):
        values = samples(name)
        return statistics.median(values) if values else None

    r = readings(os.path.join(folder, "readings"))

    def reading(label, key):
        return r.get(label, {}).get(key)

    t = Table()
    # The update check without the network, natively: it runs on one thread and never
    # blocks on a file:// manifest, so its CPU time is its cost.
    cpu, wall = benchmark_times(os.path.join(folder, "native.csv"), "updateCheckPerPass")
    native = t.row("update check, no network, native, CPU", "us", cpu, 100, "budget")
    t.row("  the same, wall time", "us", wall, 100, "budget")
    t.budget("update check without the network under 100 us natively (median CPU %s us)" %
             ("-" if native is None else "%.1f" % native), native is not None and native < 100)

    # Start and graceful stop beside their floors: a bare start and end of a process, the
    # SCM's round trip with a service that does nothing, the platform's request->Ctrl-C.
    t.row("start: sc start -> server running", "ms", samples("start"), 3000000, "3 s first wait")
    t.row("  do-nothing service: sc start -> RUNNING", "ms", samples("idle-start"))
    spawn, scm = median("spawn"), median("idle-stop")
    graceful_floor = spawn + scm if spawn is not None and scm is not None else None
    graceful = t.row("graceful stop: sc stop -> STOPPED", "ms", samples("graceful"), graceful_floor,
                     "start+end %s + SCM %s" % (ms(spawn), ms(scm)))
    alone = median("ctrl-c-alone")
    to_ctrl_c_floor = alone + scm if alone is not None and scm is not None else None
    t.row("  sc stop -> Ctrl-C reaches the server", "ms", samples("to-ctrl-c"), to_ctrl_c_floor,
          "SCM + platform's request->Ctrl-C")
    t.row("  server's exit -> STOPPED", "ms", samples("from-exit"))
    t.row("  HalcyraService.exe --terminate, start+end", "ms", samples("instance"), spawn, "bare start+end")
    t.row("  platform alone: --terminate ends a server", "ms", samples("ctrl-c-stop"), spawn, "bare start+end")
    t.budget("graceful stop at most its floor + 100 ms (median %s ms, floor %s ms)" % (ms(graceful), ms(graceful_floor)),
             graceful is not None and graceful_floor is not None and graceful <= graceful_floor + 100000)

    forced = t.row("forced stop: sc stop -> STOPPED", "ms", samples("forced"), 20000000, "20 s grace")
    t.row("  sc stop -> Ctrl-C reaches the server", "ms", samples("forced-to-ctrl-c"), to_ctrl_c_floor,
          "SCM + platform's request->Ctrl-C")
    t.row("  Ctrl-C reaches the server -> STOPPED", "ms", samples("forced-after-ctrl-c"), 20000000, "20 s grace")
    t.budget("forced stop at most 20 s + 200 ms (median %s ms)" % ms(forced),
             forced is not None and forced <= 20200000)

    # Memory 10 s after the start, and a quiet minute: CPU and wake-ups from the kernel's
    # counters of the whole process, ended threads included.
    anon = reading("service-10s", "anon_kib")
    t.row("resident anonymous memory, 10 s after start", "KiB", anon, reading("idle-10s", "anon_kib"),
          "do-nothing service")
    t.budget("resident anonymous memory 10 s after start at most 5.0 MiB (%s KiB)" %
             ("-" if anon is None else "%d" % anon), anon is not None and anon <= 5 * 1024)
    seconds = reading("watch", "seconds")
    resolution = reading("cpu", "resolution_us")
    w = r.get("service-settle", {})
    t.row("CPU from the server's start to 10 s (%s wake-ups, threads %s->%s)" % (
        "%d" % w["wakeups"] if w else "-", "%d" % w.get("threads_start", 0), "%d" % w.get("threads_end", 0)),
        "us", w["run_ns"] / 1000 if w else None)
    quiet = {}
    for label, name in (("service", "CPU over a quiet minute, log rotation on"),
                        ("service-off", "  the same, log rotation off"), ("idle", "  do-nothing service")):
        w = r.get("service-watch-off" if label == "service-off" else label + "-watch", {})
        quiet[label] = w
        run_us = w["run_ns"] / 1000 if "run_ns" in w else None
        t.row("%s (%s wake-ups, threads %s->%s)" % (name, "%d" % w["wakeups"] if w else "-",
                                                    "%d" % w.get("threads_start", 0), "%d" % w.get("threads_end", 0)),
              "us", run_us, resolution, "CPU clock resolution")
        t.row("  the same, process's user+system time", "us", w.get("cpu_us"), resolution, "CPU clock resolution")
    w = quiet["service-off"]
    t.budget("no CPU over a quiet minute with the log's rotation off: %s us and %s wake-ups over %s s, clock resolution %s us" % (
        "%d" % (w["run_ns"] / 1000) if w else "-", "%d" % w["wakeups"] if w else "-",
        "-" if seconds is None else "%d" % seconds, "-" if resolution is None else "%d" % resolution),
        bool(w) and resolution is not None and w["run_ns"] / 1000 < resolution and w["cpu_us"] < resolution
        and w["wakeups"] == 0)

    gaps = restart_gaps(os.path.join(folder, "restart.stamps"))
    floor_gaps = restart_gaps(os.path.join(folder, "floor.stamps"))
    floor_gap = statistics.median(floor_gaps) if floor_gaps else None
    gap = t.row("restart gap: server exit -> next start", "ms", gaps, floor_gap,
                "3 s pause + bare restart (n %d)" % len(floor_gaps))
    t.budget("restart gap at most 1.02 x its floor (median %s ms, floor %s ms)" % (ms(gap), ms(floor_gap)),
             gap is not None and floor_gap is not None and gap <= floor_gap * 1.02)
    after = " after %d restarts" % len(gaps)
    for figure, unit, label, key in (("handles", "count", "handles", "handles"),
                                     ("resident anonymous memory", "KiB", "service", "anon_kib"),
                                     ("working set", "KiB", "service", "rss_kib"),
                                     ("threads", "count", "service", "threads")):
        t.row(figure + after, unit, reading(label + "-restarts-end", key), reading(label + "-watch-start", key),
              "at start")

    transfer = samples("transfer")
    check = t.row("update check, local HTTP server", "us", samples("check"),
                  statistics.median(transfer) if transfer else None,
                  "bare libcurl transfer (n %d)" % len(transfer))
    floor = statistics.median(transfer) if transfer else None
    for part, name in (("config", "reading the configuration"), ("existence", "the updater's existence"),
                       ("version", "the server's product version"), ("transfer", "the manifest's transfer")):
        t.row("  " + name, "us", samples("part-" + part), floor, "bare libcurl transfer")
    t.budget("update check at most 1.3 x a bare libcurl transfer (median %s us, floor %s us)" % (
        "-" if check is None else "%.0f" % check, "-" if floor is None else "%.0f" % floor),
        check is not None and floor is not None and check <= 1.3 * floor)

    bare = reading("size", "curl_floor")
    for key, name in (("service", "HalcyraService.exe"), ("diagnostic", "HalcyraUpdateCheck.exe")):
        size = reading("size", key)
        t.row(name + " size", "KiB", None if size is None else size // 1024, None if bare is None else bare // 1024,
              "bare program with the same libcurl")
    size = reading("size", "service")
    t.budget("HalcyraService.exe at most 1.1 x the bare program with the same libcurl (%s)" %
             ("-" if size is None or not bare else "%.3f" % (size / bare)),
             size is not None and bool(bare) and size <= 1.1 * bare)
    t.print()
    return 1 if t.missed else 0


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "watch":
        watch(int(sys.argv[2]), float(sys.argv[3]))
        return 0
    if len(sys.argv) == 3 and sys.argv[1] == "report":
        return report(sys.argv[2])
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env bash
# Measures the real HalcyraService.exe under Wine side by side with its floors, each floor
# measured in the same run, and prints one table (figure, floor, ratio) followed by a line
# "budgets: N met, M missed". Absolute times on a shared machine drift from run to run;
# the ratios to floors taken in the same rounds on the same machine are what carry meaning.
# Budgets are judged on medians.
#
#   tools/measure.sh
#
# It builds the Windows programs (mingw preset) and the native benchmarks (linux preset),
# installs the service in a Wine prefix of its own (HALCYRA_MEASURE_WINEPREFIX, by default
# beside the other prefixes) together with a do-nothing service, and takes about 12
# minutes. Tunables: HALCYRA_MEASURE_SAMPLES (per timing, default 20),
# HALCYRA_MEASURE_FORCED_SAMPLES (default 3), HALCYRA_MEASURE_RESTARTS (default 100),
# HALCYRA_MEASURE_WATCH_SECONDS (default 60).
#
# Every time is taken inside Windows, from the precise system time or the performance
# counter: the sample server stamps its starts, Ctrl-Cs and exits into a file, and
# halcyra-measure times the SCM calls; the shell only collects the numbers. CPU time,
# wake-ups and memory come from the kernel's accounting of the Wine process.
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
samples=${HALCYRA_MEASURE_SAMPLES:-20}
forced_samples=${HALCYRA_MEASURE_FORCED_SAMPLES:-3}
restarts=${HALCYRA_MEASURE_RESTARTS:-100}
watch_seconds=${HALCYRA_MEASURE_WATCH_SECONDS:-60}

if [[ -z "${HALCYRA_MEASURE_WINEPREFIX:-}" ]]; then
  if [[ $(id -u) -eq 0 ]]; then
    HALCYRA_MEASURE_WINEPREFIX=${HALCYRA_CACHE:-/var/cache/halcyra}/wineprefix-measure
  else
    HALCYRA_MEASURE_WINEPREFIX=${XDG_CACHE_HOME:-$HOME/.cache}/halcyra/wineprefix-measure
  fi
fi

say() { echo "measure: $*" >&2; }

# ---- build ---------------------------------------------------------------------------

say "building the Windows programs and the native benchmarks"
(cd "$repo" && cmake --preset mingw >/dev/null && cmake --build --preset mingw -j2 >/dev/null) || {
  say "the mingw build failed"
  exit 1
}
(cd "$repo" && cmake --preset linux >/dev/null && cmake --build --preset linux -j2 --target halcyra_bench >/dev/null) || {
  say "the native build failed"
  exit 1
}
mingw=$repo/build/mingw
service_exe=$mingw/service/HalcyraService.exe
server_exe=$mingw/tests/programs/HalcyraServer.exe
probe_exe=$mingw/tests/programs/halcyra-probe.exe
tools_dir=$mingw/bench/wine

export HALCYRA_WINEPREFIX=$HALCYRA_MEASURE_WINEPREFIX
# shellcheck source=tools/wine-env.sh
. "$repo/tools/wine-env.sh"
halcyra_wine_up || exit 1

work=$(mktemp -d "${TMPDIR:-/tmp}/halcyra-measure.XXXXXX") || exit 1
http_pid=
cleanup() {
  for name in HalcyraService HalcyraIdle; do remove_service "$name"; done
  [[ -n "$http_pid" ]] && kill "$http_pid" 2>/dev/null
  halcyra_wine_down
  rm -rf "$work"
}
trap cleanup EXIT

# ---- helpers -------------------------------------------------------------------------

# Runs a Windows program with its output in a file first (Wine's helper processes must
# never inherit a pipe), then prints that output without carriage returns.
w() {
  wine "$@" >"$work/wine.out" 2>&1 </dev/null
  local status=$?
  tr -d '\r' <"$work/wine.out"
  return $status
}

win_base='C:\halcyra-measure'
base=$WINEPREFIX/drive_c/halcyra-measure
install_root=$base/Halcyra
stamps=$install_root/HalcyraServer.stamps
win_stamps="$win_base"'\Halcyra\HalcyraServer.stamps'
measure="$win_base"'\tools\halcyra-measure.exe'
probe="$win_base"'\tools\halcyra-probe.exe'

# The value after `key` in the program's output, or nothing.
field() { sed -nE "s/^$1 ([0-9]+)\$/\\1/p"; }

service_state() { w sc query "$1" | sed -nE 's/^ *STATE *: *([0-9]+).*/\1/p'; }

remove_service() {
  w sc query "$1" >/dev/null 2>&1 || return 0
  [[ "$(service_state "$1")" == 1 ]] || w "$measure" service-stop "$1" >/dev/null
  w sc delete "$1" >/dev/null
}

behave() { printf '%s\n' "$1" >"$install_root/HalcyraServer.behaviour"; }
count_starts() { [[ -f "$stamps" ]] && grep -c '^start ' "$stamps" || echo 0; }

# Waits up to `seconds` for the stamps file to hold at least `count` start lines.
await_starts() {
  local count=$1 deadline=$((SECONDS + $2))
  while (($(count_starts) < count)); do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}

# "median max count" of the numbers on standard input (the median of an even count is
# the mean of the middle two).
summary() {
  sort -n | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "- - 0"; exit }
    m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
    printf "%.1f %.1f %d\n", m, v[NR], NR }'
}

# Rows of the table, and the budget results, collected as the run goes.
rows=()
budget_met=0
budget_missed=0
budget_notes=()

# row <figure> <unit> <median> <max> <n> <floor> <floor text>
row() {
  local ratio=-
  if [[ "$3" != - && "$6" != - ]]; then
    ratio=$(awk -v a="$3" -v b="$6" 'BEGIN { if (b > 0) printf "%.3f", a / b; else print "-" }')
  fi
  rows+=("$(printf '%-44s %-4s %12s %12s %4s %12s  %-34s %7s' "$1" "$2" "$3" "$4" "$5" "$6" "$7" "$ratio")")
}

# budget <description> <holds: 0/1>
budget() {
  if [[ "$2" == 1 ]]; then
    budget_met=$((budget_met + 1))
    budget_notes+=("met:    $1")
  else
    budget_missed=$((budget_missed + 1))
    budget_notes+=("missed: $1")
  fi
}

le() { awk -v a="$1" -v b="$2" 'BEGIN { print (a <= b) ? 1 : 0 }'; }
lt() { awk -v a="$1" -v b="$2" 'BEGIN { print (a < b) ? 1 : 0 }'; }
ms() { awk -v v="$1" 'BEGIN { if (v == "-") print "-"; else printf "%.1f", v / 1000 }'; }

# ---- installation --------------------------------------------------------------------

say "installing the service and a do-nothing service in $WINEPREFIX"
for name in HalcyraService HalcyraIdle; do remove_service "$name"; done
rm -rf "$base"
# The update check's timer stands where the service does, so that it finds the
# configuration below the same kind of install root.
mkdir -p "$install_root/bin" "$base/tools" "$base/floor" "$base/console" "$base/check/bin" \
  "$base/check/resources/updater" "$work/www/latest" || exit 1
cp "$service_exe" "$install_root/bin/HalcyraService.exe" &&
  cp "$server_exe" "$install_root/HalcyraServer.exe" &&
  cp "$server_exe" "$base/floor/HalcyraServer.exe" &&
  cp "$server_exe" "$base/console/HalcyraServer.exe" &&
  cp "$server_exe" "$base/check/HalcyraServer.exe" &&
  cp "$probe_exe" "$tools_dir"/*.exe "$base/tools/" &&
  cp "$tools_dir/halcyra-update-check-timer.exe" "$base/check/bin/" || exit 1
rm -f "$WINEPREFIX"/drive_c/users/*/Temp/HalcyraService.log
if ! w sc create HalcyraService binPath= "$win_base"'\Halcyra\bin\HalcyraService.exe' >/dev/null ||
  ! w sc create HalcyraIdle binPath= "$win_base"'\tools\halcyra-idle-service.exe' >/dev/null; then
  say "sc create failed"
  exit 1
fi

# ---- the update check without the network, natively ----------------------------------

say "native: the whole update check from a file:// manifest"
"$repo/build/linux/bench/halcyra_bench" --benchmark_filter='^updateCheckPerPass$' --benchmark_repetitions="$samples" \
  --benchmark_min_time=0.05 --benchmark_format=json >"$work/bench.json" 2>/dev/null
# One "cpu real" line per repetition, in µs.
/usr/bin/python3 -c '
import json, sys
scale = {"ns": 0.001, "us": 1.0, "ms": 1000.0}
for b in json.load(open(sys.argv[1]))["benchmarks"]:
    if b.get("run_type") == "iteration":
        print(b["cpu_time"] * scale[b["time_unit"]], b["real_time"] * scale[b["time_unit"]])' "$work/bench.json" \
  >"$work/native"
# The check runs on one thread and never blocks on a file:// manifest, so its CPU time is
# its cost; the wall time adds whatever else the machine ran meanwhile.
read -r native_median native_max native_n < <(awk '{ print $1 }' "$work/native" | summary)
read -r native_wall_median native_wall_max _ < <(awk '{ print $2 }' "$work/native" | summary)
row "update check, no network, native, CPU" us "$native_median" "$native_max" "$native_n" 100 "budget"
row "  the same, wall time" us "$native_wall_median" "$native_wall_max" "$native_n" 100 "budget"
budget "update check without the network under 100 us natively (median CPU $native_median us)" \
  "$(lt "$native_median" 100)"

# ---- the server's stamps ----------------------------------------------------------------

# The gaps, in µs, between each "exit" stamp and the "start" stamp right after it.
gaps() {
  local kind time exited=
  while read -r kind time; do
    case $kind in
      exit) exited=$time ;;
      start)
        [[ -n "$exited" ]] && echo $((time - exited))
        exited=
        ;;
    esac
  done
}

# The time of the last stamp of a kind ("start", "ctrl-c", "exit") that the installed
# server (or the one whose stamps file is given) wrote.
last_stamp() { awk -v kind="$1" '$1 == kind { t = $2 } END { print t }' "${2:-$stamps}"; }

# ---- start and graceful stop, each sample beside its floors ------------------------------

# Each round takes one sample of every figure and of every floor in turn, so that a change
# in the machine's load falls on figures and floors alike.
say "start and graceful stop, $samples rounds, each with its floors"
behave "stamps=yes"
printf '%s\n' "stamps=yes" >"$base/console/HalcyraServer.behaviour"
for file in start graceful to-ctrl-c from-exit spawn idle-start idle-stop instance ctrl-c-stop ctrl-c-alone; do : >"$work/$file"; done
for ((i = 0; i < samples; i++)); do
  w "$measure" service-start HalcyraService "$win_stamps" | field start_us >>"$work/start"
  stopped=$(w "$measure" service-stop HalcyraService)
  field stop_us <<<"$stopped" >>"$work/graceful"
  # Where the time goes: from the request to the Ctrl-C reaching the server, and from the
  # server's exit to SERVICE_STOPPED.
  echo $(($(last_stamp ctrl-c) - $(field requested_at <<<"$stopped"))) >>"$work/to-ctrl-c"
  echo $(($(field stopped_at <<<"$stopped") - $(last_stamp exit))) >>"$work/from-exit"
  # Floors: a bare start and end of a process; the SCM's round trip with a service that
  # does nothing; and, to see what the service's own executable adds, its start and end
  # as a stop-request instance that finds no console to attach to.
  w "$measure" spawn 1 "$measure" nothing | field spawn_us >>"$work/spawn"
  w "$measure" service-start HalcyraIdle | field start_us >>"$work/idle-start"
  w "$measure" service-stop HalcyraIdle | field stop_us >>"$work/idle-stop"
  w "$measure" spawn 1 "$win_base"'\Halcyra\bin\HalcyraService.exe' --terminate 4000001 | field spawn_us \
    >>"$work/instance"
  # The platform's part of the stop alone: a stop-request instance ending a console
  # process, run by a program that is the parent of both, as the service is.
  alone=$(w "$measure" ctrl-c-stop 1 "$win_base"'\Halcyra\bin\HalcyraService.exe' \
    "$win_base"'\console\HalcyraServer.exe' "$win_base"'\console\HalcyraServer.stamps')
  field ctrl_c_stop_us <<<"$alone" >>"$work/ctrl-c-stop"
  echo $(($(last_stamp ctrl-c "$base/console/HalcyraServer.stamps") - $(field requested_at <<<"$alone"))) \
    >>"$work/ctrl-c-alone"
done
read -r start_median start_max start_n < <(summary <"$work/start")
read -r idle_start_median idle_start_max idle_start_n < <(summary <"$work/idle-start")
row "start: sc start -> server running" ms "$(ms "$start_median")" "$(ms "$start_max")" "$start_n" 3000.0 \
  "3 s first wait"
row "  do-nothing service: sc start -> RUNNING" ms "$(ms "$idle_start_median")" "$(ms "$idle_start_max")" \
  "$idle_start_n" - ""

read -r graceful_median graceful_max graceful_n < <(summary <"$work/graceful")
read -r spawn_median _ _ < <(summary <"$work/spawn")
read -r scm_median _ _ < <(summary <"$work/idle-stop")
graceful_floor=-
[[ "$spawn_median" != - && "$scm_median" != - ]] && graceful_floor=$((${spawn_median%.*} + ${scm_median%.*}))
row "graceful stop: sc stop -> STOPPED" ms "$(ms "$graceful_median")" "$(ms "$graceful_max")" "$graceful_n" \
  "$(ms "$graceful_floor")" "start+end $(ms "$spawn_median") + SCM $(ms "$scm_median")"
read -r to_ctrl_c_median to_ctrl_c_max _ < <(summary <"$work/to-ctrl-c")
read -r from_exit_median from_exit_max _ < <(summary <"$work/from-exit")
read -r instance_median instance_max instance_n < <(summary <"$work/instance")
read -r ctrl_c_alone_median _ _ < <(summary <"$work/ctrl-c-alone")
to_ctrl_c_floor=-
[[ "$ctrl_c_alone_median" != - && "$scm_median" != - ]] &&
  to_ctrl_c_floor=$((${ctrl_c_alone_median%.*} + ${scm_median%.*}))
row "  sc stop -> Ctrl-C reaches the server" ms "$(ms "$to_ctrl_c_median")" "$(ms "$to_ctrl_c_max")" "$graceful_n" \
  "$(ms "$to_ctrl_c_floor")" "SCM + platform's request->Ctrl-C"
row "  server's exit -> STOPPED" ms "$(ms "$from_exit_median")" "$(ms "$from_exit_max")" "$graceful_n" - ""
row "  HalcyraService.exe --terminate, start+end" ms "$(ms "$instance_median")" "$(ms "$instance_max")" \
  "$instance_n" "$(ms "$spawn_median")" "bare start+end"
read -r ctrl_c_stop_median ctrl_c_stop_max ctrl_c_stop_n < <(summary <"$work/ctrl-c-stop")
row "  platform alone: --terminate ends a server" ms "$(ms "$ctrl_c_stop_median")" "$(ms "$ctrl_c_stop_max")" \
  "$ctrl_c_stop_n" "$(ms "$spawn_median")" "bare start+end"
budget "graceful stop at most its floor + 100 ms (median $(ms "$graceful_median") ms, floor $(ms "$graceful_floor") ms)" \
  "$([[ "$graceful_floor" != - ]] && le "$graceful_median" $((graceful_floor + 100000)) || echo 0)"

# ---- forced stop --------------------------------------------------------------------

say "forced stop, $forced_samples times (a server that ignores Ctrl-C)"
behave "on-ctrl-c=ignore stamps=yes"
: >"$work/forced" && : >"$work/forced-after-ctrl-c" && : >"$work/forced-to-ctrl-c"
for ((i = 0; i < forced_samples; i++)); do
  w "$measure" service-start HalcyraService "$win_stamps" >/dev/null
  stopped=$(w "$measure" service-stop HalcyraService)
  field stop_us <<<"$stopped" >>"$work/forced"
  echo $(($(field stopped_at <<<"$stopped") - $(last_stamp ctrl-c))) >>"$work/forced-after-ctrl-c"
  echo $(($(last_stamp ctrl-c) - $(field requested_at <<<"$stopped"))) >>"$work/forced-to-ctrl-c"
done
read -r forced_median forced_max forced_n < <(summary <"$work/forced")
row "forced stop: sc stop -> STOPPED" ms "$(ms "$forced_median")" "$(ms "$forced_max")" "$forced_n" 20000.0 \
  "20 s grace"
read -r forced_head_median forced_head_max _ < <(summary <"$work/forced-to-ctrl-c")
row "  sc stop -> Ctrl-C reaches the server" ms "$(ms "$forced_head_median")" "$(ms "$forced_head_max")" "$forced_n" \
  "$(ms "$to_ctrl_c_floor")" "SCM + platform's request->Ctrl-C"
read -r forced_tail_median forced_tail_max _ < <(summary <"$work/forced-after-ctrl-c")
row "  Ctrl-C reaches the server -> STOPPED" ms "$(ms "$forced_tail_median")" "$(ms "$forced_tail_max")" "$forced_n" \
  20000.0 "20 s grace"
budget "forced stop at most 20 s + 200 ms (median $(ms "$forced_median") ms)" \
  "$([[ "$forced_median" != - ]] && le "$forced_median" 20200000 || echo 0)"

# ---- watching: CPU over a quiet minute, then 100 restarts -----------------------------

# Under Wine a Windows process is a Linux process, and the kernel's accounting is exact
# where Wine's is not: Wine reports no CPU time, private bytes or handle count for
# another process that can be trusted. CPU time and wake-ups come from the scheduler's
# per-thread counters (nanoseconds), memory from /proc, handles from the system's handle
# table as Windows shows it.

# The Linux process id of the Windows program started from `path` in this prefix.
unix_pid_of() {
  local proc command
  for proc in /proc/[0-9]*; do
    command=$({ tr '\0' ' ' <"$proc/cmdline"; } 2>/dev/null) || continue
    [[ "$command" == "$1"* ]] || continue
    grep -qaF "WINEPREFIX=$WINEPREFIX" "$proc/environ" 2>/dev/null || continue
    echo "${proc#/proc/}"
    return 0
  done
  return 1
}

# "run_ns R wakeups S threads T rss_kib W private_kib P" of a Linux process.
proc_stats() {
  local pid=$1
  cat "/proc/$pid"/task/*/schedstat 2>/dev/null | awk '{ ns += $1; slices += $3; n++ }
    END { printf "run_ns %d wakeups %d threads %d ", ns, slices, n }'
  awk '/^VmRSS:/ { printf "rss_kib %d ", $2 }' "/proc/$pid/status"
  awk '/^Private_(Clean|Dirty):/ { p += $2 } END { printf "private_kib %d\n", p }' "/proc/$pid/smaps_rollup"
}
stat_field() { sed -nE "s/.*$1 ([0-9]+).*/\\1/p" <<<"$2"; }
handle_count() { w "$probe" handles "$1" | field handles; }

say "watching: CPU time over $watch_seconds s, then $restarts restarts"
behave "stamps=yes"
w "$measure" service-start HalcyraService "$win_stamps" >/dev/null
w "$measure" service-start HalcyraIdle >/dev/null
service_pid=$(w "$probe" service-pid HalcyraService)
service_unix_pid=$(unix_pid_of "$win_base"'\Halcyra\bin\HalcyraService.exe')
idle_unix_pid=$(unix_pid_of "$win_base"'\tools\halcyra-idle-service.exe')
sleep 2
handles_at_start=$(handle_count "$service_pid")
at_start=$(proc_stats "$service_unix_pid")
idle_at_start=$(proc_stats "$idle_unix_pid")
sleep "$watch_seconds"
after_watch=$(proc_stats "$service_unix_pid")
idle_after_watch=$(proc_stats "$idle_unix_pid")
resolution=$(w "$measure" cpu-resolution | field cpu_resolution_us)

# CPU in µs and wake-ups between two readings; "-" when a thread came or went between
# them, since the per-thread counters of a thread that ended are gone.
cpu_between() {
  if [[ "$(stat_field threads "$1")" != "$(stat_field threads "$2")" ]]; then
    echo "- -"
    return
  fi
  echo "$((($(stat_field run_ns "$2") - $(stat_field run_ns "$1")) / 1000))" \
    "$(($(stat_field wakeups "$2") - $(stat_field wakeups "$1")))"
}
read -r cpu_used wakeups < <(cpu_between "$at_start" "$after_watch")
read -r idle_cpu_used idle_wakeups < <(cpu_between "$idle_at_start" "$idle_after_watch")
row "CPU while watching, $watch_seconds s ($wakeups wake-ups)" us "$cpu_used" - 1 "${resolution:--}" \
  "CPU clock resolution"
row "  do-nothing service ($idle_wakeups wake-ups)" us "$idle_cpu_used" - 1 "${resolution:--}" \
  "CPU clock resolution"
budget "no CPU while watching: $cpu_used us and $wakeups wake-ups over $watch_seconds s, clock resolution ${resolution:-unknown} us" \
  "$([[ "$cpu_used" != - && -n "$resolution" ]] && lt "$cpu_used" "$resolution" || echo 0)"

# The restarts in rounds, each followed by a few restarts of the floor: a program doing
# only CreateProcessW, a wait and the same 3 s pause, so that the platform's tail of an
# ended process overlaps the pause as it does in the service. Between rounds the server
# runs on, and the service only watches.
printf '%s\n' "exit-after-ms=0 stamps=yes" >"$base/floor/HalcyraServer.behaviour"
stamp_lines=$(wc -l <"$stamps")
rounds=4
for ((round = 0; round < rounds; round++)); do
  starts_before=$(count_starts)
  behave "exit-after-ms=0 stamps=yes"
  w "$probe" kill "$(tr -dc '0-9' <"$install_root/HalcyraServer.pid")" >/dev/null
  await_starts $((starts_before + restarts / rounds)) $((restarts * 10)) || say "fewer restarts than asked for"
  behave "stamps=yes"
  await_starts $((starts_before + restarts / rounds + 1)) 30 || say "the server did not settle after the restarts"
  w "$measure" restart $(((samples + rounds - 1) / rounds + 1)) 3000 "$win_base"'\floor\floor.log' \
    "$win_base"'\floor\HalcyraServer.exe' >/dev/null || say "the bare restart failed"
done
sleep 2
handles_after=$(handle_count "$service_pid")
after_restarts=$(proc_stats "$service_unix_pid")
tail -n +$((stamp_lines + 1)) "$stamps" | gaps >"$work/restart-gaps"
w "$measure" service-stop HalcyraService >/dev/null
w "$measure" service-stop HalcyraIdle >/dev/null

read -r gap_median gap_max gap_n < <(summary <"$work/restart-gaps")
read -r restart_floor_median _ restart_floor_n < <(gaps <"$base/floor/HalcyraServer.stamps" | summary)
restart_floor=${restart_floor_median%.*}
row "restart gap: server exit -> next start" ms "$(ms "$gap_median")" "$(ms "$gap_max")" "$gap_n" \
  "$(ms "$restart_floor")" "3 s pause + bare restart (n $restart_floor_n)"
budget "restart gap at most 1.02 x its floor (median $(ms "$gap_median") ms, floor $(ms "$restart_floor") ms)" \
  "$([[ "$restart_floor" != - ]] && le "$gap_median" "$(awk -v f="$restart_floor" 'BEGIN { print f * 1.02 }')" || echo 0)"

# After the restarts the server runs again, so both readings see the service watching.
row "handles after $gap_n restarts" count "${handles_after:--}" - 1 "${handles_at_start:--}" "at start"
row "private bytes after $gap_n restarts" KiB "$(stat_field private_kib "$after_restarts")" - 1 \
  "$(stat_field private_kib "$at_start")" "at start"
row "working set after $gap_n restarts" KiB "$(stat_field rss_kib "$after_restarts")" - 1 \
  "$(stat_field rss_kib "$at_start")" "at start"
row "threads after $gap_n restarts" count "$(stat_field threads "$after_restarts")" - 1 \
  "$(stat_field threads "$at_start")" "at start"

# ---- the update check against a local HTTP server ------------------------------------

say "update check with a manifest on a local HTTP server, against a bare libcurl transfer"
printf '{"Version":"1.0.0.0","Files":["HalcyraServer.exe"]}' >"$work/www/latest/manifest.json"
/usr/bin/python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$work/www" >"$work/http.log" 2>&1 &
http_pid=$!
for ((i = 0; i < 50; i++)); do
  grep -q "port [0-9]" "$work/http.log" && break
  sleep 0.2
done
port=$(sed -nE 's/.* port ([0-9]+).*/\1/p' "$work/http.log" | head -1)
printf 'MZ' >"$base/check/updater.exe"
printf '%s\r\n' '{' "  \"server\": \"http://127.0.0.1:$port\", \"versionFile\": \"manifest.json\"," \
  '  "relativeAppPath": "HalcyraServer.exe", "login": "", "password": "", "useGUI": 0, "files": [],' \
  '  "enableUpdate": true, "autoUpdate": true, "updaterPath": "C:\\halcyra-measure\\check\\updater.exe"' '}' \
  >"$base/check/resources/updater/config.json"
# In rounds, alternating, so that a change in the machine's load falls on both alike; twice
# the usual samples, since a local transfer on a busy machine varies tenfold.
rounds=4
per_round=$(((2 * samples + rounds - 1) / rounds))
: >"$work/check" && : >"$work/transfer"
for ((i = 0; i < rounds; i++)); do
  (cd "$base/check" && w "$win_base"'\check\bin\halcyra-update-check-timer.exe' "$per_round") |
    field check_us >>"$work/check"
  w "$win_base"'\tools\halcyra-curl-floor.exe' "http://127.0.0.1:$port/latest/manifest.json" "$per_round" |
    field transfer_us >>"$work/transfer"
done
read -r check_median check_max check_n < <(summary <"$work/check")
read -r transfer_median _ transfer_n < <(summary <"$work/transfer")
row "update check, local HTTP server" us "$check_median" "$check_max" "$check_n" "$transfer_median" \
  "bare libcurl transfer (n $transfer_n)"

# ---- size -----------------------------------------------------------------------------

row "HalcyraService.exe size" KiB $(($(stat -c %s "$service_exe") / 1024)) - 1 \
  $(($(stat -c %s "$tools_dir/halcyra-curl-floor.exe") / 1024)) "bare program with the same libcurl"

# ---- the table ------------------------------------------------------------------------

printf '%-44s %-4s %12s %12s %4s %12s  %-34s %7s\n' figure unit median max n floor "floor is" ratio
printf '%s\n' "${rows[@]}"
echo
printf '%s\n' "${budget_notes[@]}"
echo "budgets: $budget_met met, $budget_missed missed"

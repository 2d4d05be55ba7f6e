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
# halcyra-measure times the SCM calls; CPU time, wake-ups and memory come from the
# kernel's accounting of the Wine process. This script only sets up, runs the rounds and
# collects the samples into files; "tools/measure.py report" turns them into the table
# (medians, floors, ratios, budgets).
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
diagnostic_exe=$mingw/diagnostic/HalcyraUpdateCheck.exe
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

failures=0
# shellcheck source=tests/e2e/e2e_helpers.sh
. "$repo/tests/e2e/e2e_helpers.sh"

win_base='C:\halcyra-measure'
base=$WINEPREFIX/drive_c/halcyra-measure
install_root=$base/Halcyra
stamps=$install_root/HalcyraServer.stamps
win_stamps="$win_base"'\Halcyra\HalcyraServer.stamps'
measure="$win_base"'\tools\halcyra-measure.exe'
probe="$win_base"'\tools\halcyra-probe.exe'
win_service="$win_base"'\Halcyra\bin\HalcyraService.exe'

# The value after `key` in the program's output, or nothing.
field() { sed -nE "s/^$1 ([0-9]+)\$/\\1/p"; }

remove_service() {
  w sc query "$1" >/dev/null 2>&1 || return 0
  [[ "$(service_state "$1")" == 1 ]] || w "$measure" service-stop "$1" >/dev/null
  w sc delete "$1" >/dev/null
}

behave() { printf '%s\n' "$1" >"$install_root/HalcyraServer.behaviour"; }
count_starts() { [[ -f "$stamps" ]] && grep -c '^start ' "$stamps" || echo 0; }
has_starts() { (($(count_starts) >= $1)); }

# record <label> <key value...>: one line of single readings for the report.
record() { echo "$*" >>"$work/readings"; }

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
  --benchmark_min_time=0.05 --benchmark_format=csv >"$work/native.csv" 2>/dev/null

# ---- start and graceful stop, each sample beside its floors ------------------------------

# Each round takes one sample of every figure and of every floor in turn, so that a change
# in the machine's load falls on figures and floors alike.
say "start and graceful stop, $samples rounds, each with its floors"
behave "stamps=yes"
printf '%s\n' "stamps=yes" >"$base/console/HalcyraServer.behaviour"
for ((i = 0; i < samples; i++)); do
  w "$measure" service-start HalcyraService "$win_stamps" | field start_us >>"$work/start"
  stopped=$(w "$measure" service-stop HalcyraService "$win_stamps")
  field stop_us <<<"$stopped" >>"$work/graceful"
  # Where the time goes: from the request to the Ctrl-C reaching the server, and from the
  # server's exit to SERVICE_STOPPED.
  field to_ctrl_c_us <<<"$stopped" >>"$work/to-ctrl-c"
  field exit_to_stopped_us <<<"$stopped" >>"$work/from-exit"
  # Floors: a bare start and end of a process; the SCM's round trip with a service that
  # does nothing; and, to see what the service's own executable adds, its start and end
  # as a stop-request instance that finds no console to attach to.
  w "$measure" spawn 1 "$measure" nothing | field spawn_us >>"$work/spawn"
  w "$measure" service-start HalcyraIdle | field start_us >>"$work/idle-start"
  w "$measure" service-stop HalcyraIdle | field stop_us >>"$work/idle-stop"
  w "$measure" spawn 1 "$win_service" --terminate 4000001 | field spawn_us >>"$work/instance"
  # The platform's part of the stop alone: a stop-request instance ending a console
  # process, run by a program that is the parent of both, as the service is.
  alone=$(w "$measure" ctrl-c-stop 1 "$win_service" "$win_base"'\console\HalcyraServer.exe' \
    "$win_base"'\console\HalcyraServer.stamps')
  field ctrl_c_stop_us <<<"$alone" >>"$work/ctrl-c-stop"
  field to_ctrl_c_us <<<"$alone" >>"$work/ctrl-c-alone"
done

# ---- forced stop --------------------------------------------------------------------

say "forced stop, $forced_samples times (a server that ignores Ctrl-C)"
behave "on-ctrl-c=ignore stamps=yes"
for ((i = 0; i < forced_samples; i++)); do
  w "$measure" service-start HalcyraService "$win_stamps" >/dev/null
  stopped=$(w "$measure" service-stop HalcyraService "$win_stamps")
  field stop_us <<<"$stopped" >>"$work/forced"
  field ctrl_c_to_stopped_us <<<"$stopped" >>"$work/forced-after-ctrl-c"
  field to_ctrl_c_us <<<"$stopped" >>"$work/forced-to-ctrl-c"
done

# ---- watching: CPU over a quiet minute, then 100 restarts -----------------------------

# Under Wine a Windows process is a Linux process, and the kernel's accounting is exact
# where Wine's is not: Wine reports no CPU time, private bytes or handle count for
# another process that can be trusted. CPU time and wake-ups come from the scheduler's
# per-thread counters (nanoseconds), polled so that a thread that ends in between keeps
# what it used, and from the process's own user and system time (tools/measure.py watch);
# memory from /proc (private bytes: the resident anonymous memory, RssAnon), handles from
# the system's handle table as Windows shows it.

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

# record_process <label> <Linux pid>: "threads T rss_kib W anon_kib A".
record_process() {
  record "$1" "$(awk '/^Threads:/ { printf " threads %d", $2 } /^VmRSS:/ { printf " rss_kib %d", $2 }
    /^RssAnon:/ { printf " anon_kib %d", $2 }' "/proc/$2/status")"
}
record_handles() { record "$1" handles "$(w "$probe" handles "$2" | field handles)"; }

# Memory 10 s after the start, then a quiet minute from there: by then the service's pool
# thread that wrote the start's events has had its 5 s of idleness and ended (a thread
# that ends during the minute would still count, with its last wake-up).
say "memory 10 s after the start, CPU time over $watch_seconds s, then $restarts restarts"
behave "stamps=yes"
w "$measure" service-start HalcyraIdle >/dev/null
started=$(date +%s%N)
w "$measure" service-start HalcyraService "$win_stamps" >/dev/null
service_pid=$(w "$probe" service-pid HalcyraService)
service_unix_pid=$(unix_pid_of "$win_service")
idle_unix_pid=$(unix_pid_of "$win_base"'\tools\halcyra-idle-service.exe')
# Up to then, what the service does once the server runs: the event writer's pool thread
# ends there.
record service-settle "$(/usr/bin/python3 "$repo/tools/measure.py" watch "$service_unix_pid" \
  "$(awk -v from="$started" -v now="$(date +%s%N)" 'BEGIN { left = 10 - (now - from) / 1e9; print (left > 0 ? left : 0) }')")"
record_process service-10s "$service_unix_pid"
record_process idle-10s "$idle_unix_pid"
record_handles handles-watch-start "$service_pid"
record_process service-watch-start "$service_unix_pid"
/usr/bin/python3 "$repo/tools/measure.py" watch "$idle_unix_pid" "$watch_seconds" >"$work/idle-watch" &
idle_watch=$!
record service-watch "$(/usr/bin/python3 "$repo/tools/measure.py" watch "$service_unix_pid" "$watch_seconds")"
wait "$idle_watch"
record idle-watch "$(cat "$work/idle-watch")"
record watch seconds "$watch_seconds"

# The same quiet time with the log's rotation off (logRotationSize 0), which applies from the
# server's next start: with rotation on (the default, as above) the service looks at the
# log's size 1 s after the server's start, then less often, at least once a minute.
config=$install_root/resources/updater/config.json
mkdir -p "$(dirname "$config")"
printf '%s\n' '{"server": "http://127.0.0.1:1", "versionFile": "v.json", "relativeAppPath": "HalcyraServer.exe",' \
  '"login": "", "password": "", "useGUI": 0, "enableUpdate": false, "logRotationSize": 0}' >"$config"
starts_before=$(count_starts)
w "$probe" kill "$(tr -dc '0-9' <"$install_root/HalcyraServer.pid")" >/dev/null
wait_until 30 has_starts $((starts_before + 1)) || say "the server did not start again"
# The pool thread that wrote the start's events ends after 5 s of idleness.
sleep 8
record service-watch-off "$(/usr/bin/python3 "$repo/tools/measure.py" watch "$service_unix_pid" "$watch_seconds")"
rm -f "$config"
record cpu resolution_us "$(w "$measure" cpu-resolution | field cpu_resolution_us)"

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
  wait_until $((restarts * 10)) has_starts $((starts_before + restarts / rounds)) || say "fewer restarts than asked for"
  behave "stamps=yes"
  wait_until 30 has_starts $((starts_before + restarts / rounds + 1)) || say "the server did not settle after the restarts"
  w "$measure" restart $(((samples + rounds - 1) / rounds + 1)) 3000 "$win_base"'\floor\floor.log' \
    "$win_base"'\floor\HalcyraServer.exe' >/dev/null || say "the bare restart failed"
done
# After the restarts the server runs again, so both readings see the service watching.
sleep 2
record_handles handles-restarts-end "$service_pid"
record_process service-restarts-end "$service_unix_pid"
tail -n +$((stamp_lines + 1)) "$stamps" >"$work/restart.stamps"
cp "$base/floor/HalcyraServer.stamps" "$work/floor.stamps"
w "$measure" service-stop HalcyraService >/dev/null
w "$measure" service-stop HalcyraIdle >/dev/null

# ---- the update check against a local HTTP server ------------------------------------

say "update check with a manifest on a local HTTP server, against a bare libcurl transfer"
printf '{"Version":"1.0.0.0","Files":["HalcyraServer.exe"]}' >"$work/www/latest/manifest.json"
/usr/bin/python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$work/www" >"$work/http.log" 2>&1 &
http_pid=$!
wait_until 10 grep -qs "port [0-9]" "$work/http.log" || say "the HTTP server did not start"
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
for ((i = 0; i < rounds; i++)); do
  (cd "$base/check" && w "$win_base"'\check\bin\halcyra-update-check-timer.exe' "$per_round") |
    field check_us >>"$work/check"
  # Where the check's time goes: its parts one by one, after a check of their own.
  (cd "$base/check" && w "$win_base"'\check\bin\halcyra-update-check-timer.exe' "$per_round" parts) >"$work/parts"
  for part in config existence version transfer; do field "${part}_us" <"$work/parts" >>"$work/part-$part"; done
  w "$win_base"'\tools\halcyra-curl-floor.exe' "http://127.0.0.1:$port/latest/manifest.json" "$per_round" |
    field transfer_us >>"$work/transfer"
done

record size service "$(stat -c %s "$service_exe")" diagnostic "$(stat -c %s "$diagnostic_exe")" \
  curl_floor "$(stat -c %s "$tools_dir/halcyra-curl-floor.exe")"

# ---- the table ------------------------------------------------------------------------

# The samples stay in build/measure, so that the table can be printed again from them.
rm -rf "$repo/build/measure" && cp -r "$work" "$repo/build/measure"
/usr/bin/python3 "$repo/tools/measure.py" report "$repo/build/measure"
exit 0

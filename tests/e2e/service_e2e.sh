#!/usr/bin/env bash
# End-to-end scenarios: the real HalcyraService.exe installed as a service in a private
# Wine prefix, with the sample server (and, for the update, the sample updater and a local
# manifest server) in its installRoot, driven through the real "sc".
#
#   service_e2e.sh <scenario> <HalcyraService.exe> <HalcyraServer.exe> <sample-updater.exe> <halcyra-probe.exe>
#
# Scenarios: start-restart, graceful-stop, ignored-ctrl-c, exit-1115, grandchild-job,
# manual-start, stop-request, updater, stalled-update-server, log-attacks, crash-loop,
# faults; and soak, which takes about a quarter of an hour and runs through
# tools/soak-wine.sh only. Each one installs the service afresh and leaves the prefix with
# no service and no running process.
#
# What Wine cannot express is proven in the simulation instead: the console session is
# always 1 and SetTokenInformation(TokenSessionId) changes nothing, so moving a child to
# another session is never exercised here; SESSIONCHANGE and PRESHUTDOWN controls are
# never delivered; there are no privilege checks (a service without SeTcbPrivilege cannot
# be shown); and the SCM does not notice a service process that dies.
#
# Wine also differs in two ways the scenarios allow for: a Ctrl-C raised for process group
# 0 reaches only those processes on the console that are in the caller's own process group
# (in the service the child and the stop-request instance share the service's group, so
# the stop works), and the service control dispatcher, started outside the SCM, gives up
# only after about 10 s.
set -uo pipefail

if [[ $# -ne 5 ]]; then
  echo "usage: $0 <scenario> <HalcyraService.exe> <HalcyraServer.exe> <sample-updater.exe> <halcyra-probe.exe>" >&2
  exit 2
fi
scenario=$1
service_exe=$2
server_exe=$3
updater_exe=$4
probe_exe=$5
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# A prefix of its own: the test installs a service named HalcyraService and ends every
# process of the prefix when it is done, which must not disturb anyone else's runs.
HALCYRA_WINEPREFIX=$(. "$repo/tools/wine-env.sh" && halcyra_e2e_wineprefix)
export HALCYRA_WINEPREFIX
# shellcheck source=tools/wine-env.sh
. "$repo/tools/wine-env.sh"
halcyra_wine_up || exit 1

# The layout of an installation: installRoot holds the server, bin\ the service.
win_base='C:\halcyra-e2e'
win_root="$win_base"'\Halcyra'
win_service="$win_root"'\bin\HalcyraService.exe'
win_probe="$win_base"'\tools\halcyra-probe.exe'
base=$WINEPREFIX/drive_c/halcyra-e2e
install_root=$base/Halcyra

work=$(mktemp -d "${TMPDIR:-/tmp}/halcyra-e2e.XXXXXX") || exit 1
http_pid=
slow_pid=
failures=0

# Wine stores no events, but its event-log trace shows every ReportEventW: type and id on
# the "fixme:advapi" line, then each insertion string. The first Wine command starts the
# prefix's services.exe, whose environment and standard error every service inherits, so
# with the trace on in that command the service's events land in event-trace.txt.
WINEDEBUG=-all,+eventlog,fixme+advapi wine cmd /c exit 0 >"$work/event-trace.txt" 2>&1 </dev/null

# ---- helpers -------------------------------------------------------------------------

# shellcheck source=tests/e2e/e2e_helpers.sh
. "$repo/tests/e2e/e2e_helpers.sh"

service_exit_code() { w sc query HalcyraService | sed -nE 's/^ *WIN32_EXIT_CODE *: *([0-9]+).*/\1/p'; }

log_count() {
  local log
  if log=$(log_file); then
    grep -cF -- "$1" "$log"
  else
    echo 0
  fi
}
show_log() {
  echo "---- HalcyraService.log"
  local log
  log=$(log_file) && [[ -n "$log" ]] && tr -d '\r' <"$log"
  echo "----"
}

# The service's events from the trace, one a line: "<type> <id>", then ": " and the
# insertion strings joined by " | " when there are any.
traced_events() {
  tr -d '\r' <"$work/event-trace.txt" | awk '
    /:fixme:advapi:ReportEventW \(/ {
      if (event != "") print event
      split($0, field, /[(,]/)
      event = field[3] " " field[5]
      separator = ": "
      next
    }
    /:eventlog:ReportEventW L"/ {
      text = $0
      sub(/^[^"]*L"/, "", text)
      sub(/"$/, "", text)
      event = event separator text
      separator = " | "
    }
    END { if (event != "") print event }'
}
traced() { traced_events | grep -qxE -- "$1"; }

# The id that the sample server (or its grandchild) last recorded.
pid_in() { [[ -f "$1" ]] && tr -dc '0-9' <"$1"; }
has_pid() { [[ -n "$(pid_in "$1")" ]]; }
server_pid() { pid_in "$install_root/HalcyraServer.pid"; }
new_server_pid() { local pid; pid=$(server_pid) && [[ -n "$pid" && "$pid" != "$1" ]]; }
# Waits for the process id file that a sample program writes when it starts; a failure is
# counted and the scenario ends.
await_started() {
  wait_until 15 has_pid "$install_root/$1.pid" && return 0
  fail "no $2 started"
  return 1
}

# One field (handles, private, working, cpu_us) of `halcyra-probe stats` for a process.
stat_of() { w "$win_probe" stats "$1" | sed -nE "s/.*$2 ([0-9]+).*/\1/p"; }
# The Unix process that runs the service in this prefix, and its CPU time (user plus
# system, in µs) as Linux counts it: for the whole process, ended threads included. Wine's
# own figure for another process (GetProcessTimes) counts only the threads still alive.
unix_service_pid() {
  local pid
  for pid in $(pgrep -f 'HalcyraService\.exe'); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && echo "$pid" && return 0
  done
  return 1
}
unix_cpu_us() {
  local fields
  read -ra fields <"/proc/$1/stat" || return 1
  # utime and stime, fields 14 and 15, in clock ticks; the name (field 2) has no spaces here.
  echo $(((fields[13] + fields[14]) * 1000000 / $(getconf CLK_TCK)))
}

# Open Unix descriptors and anonymous resident memory (kB) of a Unix process.
unix_fds() { find "/proc/$1/fd" -mindepth 1 -maxdepth 1 2>/dev/null | wc -l; }
unix_rss_anon_kb() { sed -nE 's/^RssAnon:[[:space:]]+([0-9]+).*/\1/p' "/proc/$1/status"; }

# The middle value of the numbers given, one an argument.
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }

# The service's temporary folder in the prefix (the Unix user's), created when missing.
temp_folder() {
  local folder
  for folder in "$WINEPREFIX"/drive_c/users/*/Temp; do
    [[ "$folder" == */Public/Temp ]] && continue
    echo "$folder"
    return 0
  done
  return 1
}

# A manifest server for the update check on a free port, serving $work/www; sets http_pid
# and port.
port=
start_manifest_server() {
  mkdir -p "$work/www/latest"
  /usr/bin/python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$work/www" >"$work/http.log" 2>&1 &
  http_pid=$!
  wait_until 10 grep -q "port [0-9]" "$work/http.log" || {
    fail "the manifest server did not start"
    return 1
  }
  port=$(sed -nE 's/.* port ([0-9]+).*/\1/p' "$work/http.log" | head -1)
}

install_service() {
  local behaviour=$1
  remove_service
  rm -rf "$base"
  mkdir -p "$install_root/bin" "$base/tools" || return 1
  cp "$service_exe" "$install_root/bin/HalcyraService.exe" &&
    cp "$server_exe" "$install_root/HalcyraServer.exe" &&
    cp "$probe_exe" "$base/tools/halcyra-probe.exe" || return 1
  printf '%s\n' "$behaviour" >"$install_root/HalcyraServer.behaviour"
  rm -f "$WINEPREFIX"/drive_c/users/*/Temp/HalcyraService.log
  w sc create HalcyraService binPath= "$win_service" >/dev/null || {
    fail "sc create"
    return 1
  }
}

start_service() {
  w sc start HalcyraService >/dev/null
  wait_until 10 is_state 4 || {
    fail "the service did not reach RUNNING"
    return 1
  }
}

stop_service() {
  w sc stop HalcyraService >/dev/null
}

remove_service() {
  if w sc query HalcyraService >/dev/null 2>&1; then
    is_state 1 || {
      stop_service
      wait_until 30 is_state 1
    }
    w sc delete HalcyraService >/dev/null
  fi
}

# The sample updater in installRoot\updater, where the configuration names it.
updater_json_path='C:\\halcyra-e2e\\Halcyra\\updater\\sample-updater.exe'
install_updater() {
  mkdir -p "$install_root/updater" "$install_root/resources/updater"
  cp "$updater_exe" "$install_root/updater/sample-updater.exe"
}

# A configuration with automatic updates from the manifest server on 127.0.0.1:<port>.
write_update_config() {
  printf '%s\r\n' '{' "  \"server\": \"http://127.0.0.1:$1\", \"versionFile\": \"${2:-version.json}\"," \
    '  "relativeAppPath": "HalcyraServer.exe", "login": "", "password": "", "useGUI": 0,' \
    '  "files": ["a.dll", "b.dll"], "version": "1.0.0.0", "tempFolder": "C:\\halcyra-e2e\\tmp",' \
    "  \"enableUpdate\": true, \"autoUpdate\": true, \"updaterPath\": \"$updater_json_path\"" '}' \
    >"$install_root/resources/updater/config.json"
}

cleanup() {
  remove_service
  [[ -n "$http_pid" ]] && kill "$http_pid" 2>/dev/null
  [[ -n "$slow_pid" ]] && kill "$slow_pid" 2>/dev/null
  halcyra_wine_down
  rm -rf "$work"
}
trap cleanup EXIT

# ---- scenarios -----------------------------------------------------------------------

# The server starts in installRoot with its output in the log; killed, it is back about
# 3 s later; a stop ends it with a Ctrl-C and the service reports STOPPED.
scenario_start_restart() {
  install_service "on-ctrl-c=exit" && start_service || return
  await_started HalcyraServer server || return
  local first
  first=$(server_pid)
  check "the server runs" alive "$first"
  wait_until 5 log_has "sample server: standard error works ($first)"
  check "its standard output is in the log" log_has "sample server: started ($first)"
  check "its standard error is in the log" log_has "sample server: standard error works ($first)"
  check "it runs in installRoot" log_has "sample server: working folder $win_root"

  local killed_at
  killed_at=$(now_ms)
  w "$win_probe" kill "$first" >/dev/null
  wait_until 15 new_server_pid "$first" || {
    fail "the killed server was not started again"
    return
  }
  local back_after=$(($(now_ms) - killed_at))
  echo "the server was back ${back_after} ms after it was killed"
  check "the server was started again about 3 s later" test "$back_after" -ge 2500 -a "$back_after" -le 8000

  local second
  second=$(server_pid)
  stop_service
  check "the service stops" wait_until 15 is_state 1
  check "the server received the Ctrl-C" log_has "sample server: Ctrl-C received ($second)"
  check "the server is gone" dead "$second"

  # Informational 0x0004, warning 0x0002. The server's restart after an end within 60 s
  # of its start is folded into the next report, so only the first start is an event.
  echo "---- traced events"
  traced_events
  echo "----"
  check "event: the service started" traced "0x0004 0x40000001"
  check "event: no configuration" traced "0x0002 0x8000000b: Updater config doesn't exist \| no transfer was made \| none"
  check "event: the first server started" traced "0x0004 0x40000004: HalcyraServer.exe \| $first \| 1"
  check "event: the first server ended with the probe's exit code 1" \
    traced "0x0002 0x40000006: HalcyraServer.exe \| $first \| 1 \| [0-9]+\.[0-9]"
  check "event: the second server obeyed the Ctrl-C with its exit code 42" \
    traced "0x0004 0x40000007: HalcyraServer.exe \| $second \| 42"
  check "event: the service stopped" traced "0x0004 0x40000002"
}

# The Ctrl-C reaches the server and the grandchild that shares its console; the server's
# own exit code stands; the stop completes well within the grace period.
scenario_graceful_stop() {
  install_service "grandchild=yes ctrl-c-delay-ms=500 ctrl-c-exit-code=42" && start_service || return
  await_started HalcyraServer.grandchild grandchild || return
  local server grandchild
  server=$(server_pid)
  grandchild=$(pid_in "$install_root/HalcyraServer.grandchild.pid")
  wine "$win_probe" wait "$server" 40000 >"$work/server-exit.out" 2>&1 </dev/null &
  local watcher=$!
  sleep 0.5

  local stop_at
  stop_at=$(now_ms)
  stop_service
  check "the service stops" wait_until 15 is_state 1
  local took=$(($(now_ms) - stop_at))
  echo "the stop took ${took} ms"
  check "the stop did not wait for the grace period" test "$took" -lt 15000
  wait "$watcher"
  check "the server ended with its own exit code 42" grep -q "^exit code 42" "$work/server-exit.out"
  check "the server logged its Ctrl-C" log_has "sample server: Ctrl-C received ($server)"
  check "the grandchild got the Ctrl-C too" log_has "sample server grandchild: Ctrl-C received ($grandchild)"
  check "the service exit code is 0" test "$(service_exit_code)" = 0
}

# A server that ignores Ctrl-C is terminated with 1067 about 20 s after the request.
scenario_ignored_ctrl_c() {
  install_service "on-ctrl-c=ignore" && start_service || return
  await_started HalcyraServer server || return
  local server
  server=$(server_pid)
  wine "$win_probe" wait "$server" 60000 >"$work/server-exit.out" 2>&1 </dev/null &
  local watcher=$!
  sleep 0.5

  local stop_at
  stop_at=$(now_ms)
  stop_service
  wait "$watcher"
  local took=$(($(now_ms) - stop_at))
  echo "the server ended ${took} ms after the stop request"
  check "the server was terminated with 1067" grep -q "^exit code 1067" "$work/server-exit.out"
  check "after the 20 s grace period" test "$took" -ge 19000 -a "$took" -le 30000
  check "the Ctrl-C reached it first" log_has "sample server: Ctrl-C ignored ($server)"
  check "the service stops" wait_until 10 is_state 1
  check "event: terminated after the grace" \
    traced "0x0002 0x80000008: HalcyraServer.exe \| $server \| 20 \| 1067"
}

# A server that exits with 1115 stops the service, with exit code 0 and no restart.
scenario_exit_1115() {
  install_service "exit-after-ms=1000 exit-code=1115" && start_service || return
  check "the service stops by itself" wait_until 20 is_state 1
  check "the service exit code is 0" test "$(service_exit_code)" = 0
  check "the server ran once" test "$(log_count "sample server: started")" = 1
  check "and exited with 1115" log_has "sample server: exiting with 1115"
}

# A grandchild left behind by a server that ended is ended when the pass closes its job.
scenario_grandchild_job() {
  install_service "grandchild=yes exit-after-ms=1500 exit-code=0" && start_service || return
  await_started HalcyraServer.grandchild grandchild || return
  local server grandchild
  server=$(server_pid)
  grandchild=$(pid_in "$install_root/HalcyraServer.grandchild.pid")
  check "the grandchild runs" alive "$grandchild"
  w "$win_probe" wait "$server" 10000 >/dev/null
  check "the server ended by itself" dead "$server"
  check "the grandchild is ended with the pass's job" wait_until 2 dead "$grandchild"
  check "the next pass starts a new server" wait_until 10 new_server_pid "$server"
  stop_service
  check "the service stops" wait_until 15 is_state 1
}

# Started by hand, outside the SCM, the executable exits with 0 without starting anything.
# Windows refuses the dispatcher at once; Wine's dispatcher first waits about 10 s for a
# control pipe that never comes.
scenario_manual_start() {
  install_service "" || return
  local started
  started=$(now_ms)
  local said
  said=$(w "$win_probe" run "$win_service")
  echo "$said"
  check "it exits with 0" grep -qx "exit code 0" <<<"$said"
  check "and says in one line that it is a service" grep -q "^HalcyraService.exe is a Windows service" <<<"$said"
  local took=$(($(now_ms) - started))
  echo "it took ${took} ms"
  check "without waiting for anything but the dispatcher" test "$took" -lt 20000
  check "and without starting the server" test ! -e "$install_root/HalcyraServer.pid"
}

# Stop-request mode: Ctrl-C on a live console child and exit 0; the failing call's
# error otherwise.
scenario_stop_request() {
  install_service "" || return
  mkdir -p "$base/console-child"
  cp "$server_exe" "$base/console-child/HalcyraServer.exe"
  local result
  result=$(HALCYRA_SERVER_BEHAVIOUR="ctrl-c-exit-code=42" w "$win_probe" stop-request "$win_service" \
    "$win_base"'\console-child\child.log' "$win_base"'\console-child\HalcyraServer.exe')
  echo "$result"
  check "the request exits with 0" grep -qx "stop request exit code 0" <<<"$result"
  check "the child obeyed the Ctrl-C" grep -qx "child exit code 42" <<<"$result"
  check "and said so" grep -q "sample server: Ctrl-C received" "$base/console-child/child.log"

  local code
  for target in 4000001 abc; do
    code=$(w "$win_probe" run --detached "$win_service" --terminate "$target" | sed -nE 's/^exit code ([0-9]+)$/\1/p')
    echo "--terminate $target exits with $code"
    check "--terminate $target exits with the error of AttachConsole" test -n "$code" -a "$code" != 0
  done
}

# An update that is due starts the updater instead of the server, with the configuration
# as base64 JSON; the updater's exit code 1115 stops the service.
scenario_updater() {
  install_service "" || return
  install_updater
  mkdir -p "$work/www/latest"
  echo 1115 >"$install_root/updater/sample-updater.exitcode"
  printf '{"Version":"2.0.0.0","Files":["HalcyraServer.exe"]}' >"$work/www/latest/version.json"
  start_manifest_server || return

  write_update_config "$port"

  start_service || return
  check "the updater's 1115 stops the service" wait_until 30 is_state 1
  check "the service exit code is 0" test "$(service_exit_code)" = 0
  check "the manifest was fetched" grep -q "GET /latest/version.json" "$work/http.log"
  check "the server was not started" test "$(log_count "sample server: started")" = 0
  check "the updater ran once" test "$(log_count "sample updater: received")" = 1
  check "event: the updater started for 2.0.0.0" \
    traced "0x0004 0x40000005: [^|]*updater[^|]*sample-updater\.exe \| [0-9]+ \| 1 \| 2\.0\.0\.0 \| [0-9.]+"

  local received=$install_root/updater/sample-updater.received
  [[ -f "$received" ]] || {
    fail "the updater received nothing"
    show_log
    return
  }
  local json pid updater_path=$updater_json_path
  json=$(iconv -f UTF-16LE -t UTF-8 "$received")
  echo "the updater received: $json"
  pid=$(sed -nE 's/^\{"pid":([0-9]+),.*/\1/p' <<<"$json")
  local expected='{"pid":'"$pid"',"files":["a.dll","b.dll"],"server":"http://127.0.0.1:'"$port"'",'
  expected+='"appFolder":"C:\\halcyra-e2e\\Halcyra","relativeAppPath":"HalcyraServer.exe","login":"",'
  expected+='"password":"","version":"1.0.0.0","versionFile":"version.json","tempFolder":"C:\\halcyra-e2e\\tmp",'
  expected+='"useGUI":0,"autoUpdate":true,"serverOneVersion":false,"useLatest":false,"enableUpdate":true,'
  expected+='"updaterPath":"'"$updater_path"'"}'
  check "it is the configuration with the service's pid and the derived appFolder" test "$json" = "$expected"
  check "the pid is the service's, the updater's parent" \
    test "${pid:-none}" = "$(pid_in "$install_root/updater/sample-updater.parent")"
}

# Whatever a user left under the log's name in the temporary folder is never written
# through: a hard link to another file gives way to a fresh log of the service's own; a
# read-only file or one held open without FILE_SHARE_DELETE stays as it is and the start
# fails with the error that blocks it. Wine 8 lacks the deletion that ignores the
# read-only attribute (Windows has it since 10 1809), hence ERROR_ACCESS_DENIED there.
# Symbolic links and junctions are left to the simulation: Wine shows a Unix symbolic
# link as the plain file it points to and deletes the target when asked to delete the
# link's name, which no Windows link does.
scenario_log_attacks() {
  local attack expected temp log other win_log holder
  for attack in hard-link:running read-only:5 held-open:32; do
    expected=${attack#*:}
    attack=${attack%:*}
    echo "-- a planted $attack"
    install_service "on-ctrl-c=exit" || return
    temp=$(temp_folder) && mkdir -p "$temp" || return
    log=$temp/HalcyraService.log
    win_log='C:\users\'"$(basename "$(dirname "$temp")")"'\Temp\HalcyraService.log'
    other=$base/other.txt
    echo "someone else's file" >"$other"
    holder=
    case $attack in
      hard-link) ln "$other" "$log" ;;
      read-only) echo "someone else's file" >"$log" && chmod a-w "$log" ;;
      held-open)
        echo "someone else's file" >"$log"
        wine "$win_probe" hold "$win_log" 60000 >"$work/hold.out" 2>&1 </dev/null &
        holder=$!
        wait_until 10 grep -q holding "$work/hold.out" || fail "the log could not be held open"
        ;;
    esac
    w sc start HalcyraService >/dev/null
    if [[ $expected == running ]]; then
      if wait_until 10 is_state 4 && await_started HalcyraServer server; then
        wait_until 5 log_has "sample server: started"
        check "the log is a file of its own" test -f "$log" -a "$(stat -c %h "$log")" = 1
        check "the server writes to it" log_has "sample server: started ($(server_pid))"
        stop_service
        check "the service stops" wait_until 15 is_state 1
      else
        fail "the service did not start (exit code $(service_exit_code))"
      fi
    else
      check "the start fails" wait_until 15 is_state 1
      check "with error $expected" test "$(service_exit_code)" = "$expected"
      check "the planted file is untouched" grep -qx "someone else's file" "$log"
    fi
    check "the other file is untouched" grep -qx "someone else's file" "$other"
    if [[ -n "$holder" ]]; then
      # "wine" becomes the Windows process itself, so the Unix signal ends the holder.
      kill "$holder" 2>/dev/null
      wait "$holder" 2>/dev/null
    fi
    chmod -f u+w "$log"
  done
}

# A server that exits at once on every start: started again every 3 s while the service
# stays RUNNING, no CPU spent by the service between passes, and a stop that lands in the
# middle of a pass ends the service cleanly. HALCYRA_CRASH_LOOP_SECONDS sets the window
# (12 s by default).
scenario_crash_loop() {
  local window=${HALCYRA_CRASH_LOOP_SECONDS:-12}
  install_service "exit-after-ms=0 exit-code=3" && start_service || return
  await_started HalcyraServer server || return
  local service
  service=$(service_pid)
  [[ -n "$service" ]] || {
    fail "no service process found"
    return
  }
  local unix_service
  unix_service=$(unix_service_pid) || {
    fail "no Unix process for the service"
    return
  }
  local last started_at cpu_start cpu_end between=0 after before gaps=() samples=() passes=0 deadline
  last=$(server_pid)
  started_at=$(now_ms)
  cpu_start=$(unix_cpu_us "$unix_service")
  deadline=$(($(now_ms) + window * 1000))
  while (($(now_ms) < deadline)); do
    wait_until 8 new_server_pid "$last" || {
      fail "no new pass within 8 s"
      break
    }
    last=$(server_pid)
    local now
    now=$(now_ms)
    gaps+=($((now - started_at)))
    started_at=$now
    passes=$((passes + 1))
    # From just after this pass to just before the next, the service must be idle.
    sleep 0.8
    after=$(unix_cpu_us "$unix_service")
    sleep 1.6
    before=$(unix_cpu_us "$unix_service")
    between=$((between + before - after))
    samples+=("$((before - after))")
    is_state 4 || fail "the service left RUNNING"
  done
  cpu_end=$(unix_cpu_us "$unix_service")
  local spent=$((cpu_end - cpu_start))
  echo "crash loop: $passes passes in ${window} s, gaps between starts (ms): ${gaps[*]}"
  echo "crash loop: CPU of Unix process $unix_service (us) from $cpu_start to $cpu_end"
  echo "crash loop: service CPU ${spent} us in all, $((spent / (passes > 0 ? passes : 1))) us a pass;" \
    "${between} us in the idle 1.6 s after the passes (each: ${samples[*]})"
  echo "crash loop: Wine's own figure for the service (live threads only): $(w "$win_probe" stats "$service")"
  local gap
  for gap in "${gaps[@]}"; do
    test "$gap" -ge 2500 -a "$gap" -le 5000 || fail "a gap of $gap ms between starts"
  done
  check "at least $((window / 4)) passes" test "$passes" -ge $((window / 4))
  # Linux counts CPU time in ticks of 10 ms: one tick at most between two passes.
  check "no CPU between passes" test "$between" -le $((passes * 10000))

  # The stop comes as soon as the next server has started: in the middle of a pass.
  wait_until 8 new_server_pid "$last" || fail "no pass to stop in"
  local stop_at
  stop_at=$(now_ms)
  stop_service
  check "the service stops" wait_until 15 is_state 1
  echo "the stop in the middle of a pass took $(($(now_ms) - stop_at)) ms"
  check "with exit code 0" test "$(service_exit_code)" = 0
  check "the service process has ended" wait_until 5 dead "$service"
}

# Faults between passes: the configuration replaced while the service runs is read by the
# next pass; a missing server executable is tried again every 3 s, and started once it is
# back; an update server that has gone leaves the server running; a stop ends a service
# that has no server to start.
scenario_faults() {
  install_service "exit-after-ms=1500 exit-code=0" || return
  install_updater
  start_manifest_server || return
  printf '{"Version":"0.0.0.1","Files":[]}' >"$work/www/latest/first.json"
  printf '{"Version":"0.0.0.1","Files":[]}' >"$work/www/latest/second.json"
  write_update_config "$port" first.json
  start_service || return
  await_started HalcyraServer server || return
  check "the first configuration is read" grep -q "GET /latest/first.json" "$work/http.log"

  write_update_config "$port" second.json
  local first
  first=$(server_pid)
  check "the next pass starts a server" wait_until 10 new_server_pid "$first"
  check "after reading the new configuration" grep -q "GET /latest/second.json" "$work/http.log"

  # The executable goes while a server runs; each later pass still checks for an update.
  local running
  running=$(server_pid)
  mv "$install_root/HalcyraServer.exe" "$work/HalcyraServer.exe"
  w "$win_probe" wait "$running" 10000 >/dev/null
  local fetched
  fetched=$(grep -c "GET /latest/second.json" "$work/http.log")
  sleep 10
  local retries=$(($(grep -c "GET /latest/second.json" "$work/http.log") - fetched))
  echo "passes without an executable in 10 s: $retries"
  check "passes go on every 3 s without the executable" test "$retries" -ge 2 -a "$retries" -le 4
  check "the service stays RUNNING" is_state 4
  check "no server started meanwhile" test "$(server_pid)" = "$running"
  mv "$work/HalcyraServer.exe" "$install_root/HalcyraServer.exe"
  check "the server starts once its file is back" wait_until 8 new_server_pid "$running"

  # The update server goes away: the next pass starts the server all the same.
  kill "$http_pid"
  wait "$http_pid" 2>/dev/null
  http_pid=
  local before_outage
  before_outage=$(server_pid)
  check "the server runs without the update server" wait_until 15 new_server_pid "$before_outage"

  # Without its executable the service still stops at once.
  mv "$install_root/HalcyraServer.exe" "$work/HalcyraServer.exe"
  sleep 4
  stop_service
  check "the service without a server stops" wait_until 10 is_state 1
  check "with exit code 0" test "$(service_exit_code)" = 0
}

# The server killed again and again (HALCYRA_SOAK_KILLS times, 200 by default) is started
# again each time about 3 s later; the service's handle count (from the system's handle
# table) and its memory, measured from outside before each kill, stay flat. Wine 8
# answers GetProcessMemoryInfo for another process with 0 private bytes, so the memory is
# measured on the Linux side of the same process: its anonymous resident memory, with its
# open descriptors beside the handles.
scenario_soak() {
  local kills=${HALCYRA_SOAK_KILLS:-200}
  install_service "on-ctrl-c=exit" && start_service || return
  await_started HalcyraServer server || return
  local service unix_service
  service=$(service_pid)
  unix_service=$(unix_service_pid) || {
    fail "no Unix process for the service"
    return
  }
  echo "soak: Wine's figures at the start: $(w "$win_probe" stats "$service")"
  local handles=() working=() fds=() anon=() gaps=() i server killed_at
  sample() {
    handles+=("$(w "$win_probe" handles "$service" | tr -dc '0-9')")
    working+=("$(stat_of "$service" working)")
    fds+=("$(unix_fds "$unix_service")")
    anon+=("$(unix_rss_anon_kb "$unix_service")")
  }
  for ((i = 1; i <= kills; i++)); do
    server=$(server_pid)
    sample
    killed_at=$(now_ms)
    w "$win_probe" kill "$server" >/dev/null
    wait_until 15 new_server_pid "$server" || {
      fail "kill $i: the server was not started again"
      return
    }
    gaps+=($(($(now_ms) - killed_at)))
    ((i % 20 == 0)) && echo "soak: $i kills; working set ${working[-1]}, Unix descriptors ${fds[-1]}, RssAnon ${anon[-1]} kB"
  done
  sample
  report() {
    local -n values=$2
    echo "soak: $1 first ${values[0]} median $(median "${values[@]}") last ${values[-1]}"
  }
  report "restart after (ms)" gaps
  report "handle count (system handle table)" handles
  report "working set bytes (Wine)" working
  report "open descriptors (Linux)" fds
  report "anonymous resident kB (Linux)" anon
  local gap late=0
  for gap in "${gaps[@]}"; do
    ((gap >= 2500 && gap <= 8000)) || late=$((late + 1))
  done
  check "every restart came about 3 s after the kill" test "$late" = 0
  check "the handle count is flat" test $((handles[-1] - handles[0])) -le 4
  check "open descriptors are flat" test $((fds[-1] - fds[0])) -le 4
  check "anonymous memory is flat (within 1 MiB)" test $((anon[-1] - anon[0])) -le 1024
  stop_service
  check "the service stops" wait_until 15 is_state 1
}

# Update servers that never answer: one that accepts and stays silent, one whose
# connections never complete. Neither may keep the server from starting nor hold a stop.
scenario_stalled_update_server() {
  install_service "on-ctrl-c=exit" || return
  install_updater
  /usr/bin/python3 -u "$repo/tests/network/slow_server.py" silent unaccepted >"$work/slow.out" 2>&1 &
  slow_pid=$!
  wait_until 10 grep -qx ready "$work/slow.out" || {
    fail "the stalling servers did not start"
    return
  }
  local silent_port unaccepted_port
  silent_port=$(sed -nE 's/^silent ([0-9]+)$/\1/p' "$work/slow.out")
  unaccepted_port=$(sed -nE 's/^unaccepted ([0-9]+)$/\1/p' "$work/slow.out")
  asked() { test "$(grep -cx "connection silent" "$work/slow.out")" -ge "$1"; }

  # A silent server: the check gives up after 20 s without a byte, and the server starts.
  write_update_config "$silent_port"
  start_service || return
  local running_at took
  running_at=$(now_ms)
  wait_until 40 has_pid "$install_root/HalcyraServer.pid" || {
    fail "no server started despite the silent update server"
    return
  }
  took=$(($(now_ms) - running_at))
  echo "with a silent update server the server started ${took} ms after RUNNING"
  check "the check asked the silent update server" asked 1
  check "the server started after the 20 s stall, well within a minute and a half" \
    test "$took" -ge 20000 -a "$took" -le 35000

  # Its end leads to a pass that asks the update server again; a stop during that stalled
  # check completes at once.
  local first
  first=$(server_pid)
  w "$win_probe" kill "$first" >/dev/null
  check "the next pass asks the update server again" wait_until 15 asked 2
  sleep 2
  local started_before stop_at
  started_before=$(log_count "sample server: started")
  stop_at=$(now_ms)
  stop_service
  check "the service stops" wait_until 15 is_state 1
  took=$(($(now_ms) - stop_at))
  echo "a stop during the stalled check took ${took} ms"
  check "the stop during the stalled check took less than 5 s" test "$took" -lt 5000
  # The check ends as a failed one, so the pass launches the server as after any failed
  # check; the watch sees the stop at once and ends it with a Ctrl-C.
  local after_stop=$(($(log_count "sample server: started") - started_before))
  echo "servers started after the stop: $after_stop"
  check "at most the pass's own server started after the stop" test "$after_stop" -le 1
  check "and none is left running" test "$(log_count "sample server: started")" = \
    "$(($(log_count "sample server: Ctrl-C received") + 1))"

  # A connection that never completes ends with the 15 s connect time-out.
  write_update_config "$unaccepted_port"
  rm -f "$install_root/HalcyraServer.pid"
  start_service || return
  running_at=$(now_ms)
  wait_until 40 has_pid "$install_root/HalcyraServer.pid" || {
    fail "no server started despite the update server that never accepts"
    return
  }
  took=$(($(now_ms) - running_at))
  echo "with a connection that never completes the server started ${took} ms after RUNNING"
  check "after the 15 s connect time-out" test "$took" -ge 15000 -a "$took" -le 28000
  stop_service
  check "the service stops" wait_until 15 is_state 1
}

case $scenario in
  start-restart) scenario_start_restart ;;
  graceful-stop) scenario_graceful_stop ;;
  ignored-ctrl-c) scenario_ignored_ctrl_c ;;
  exit-1115) scenario_exit_1115 ;;
  grandchild-job) scenario_grandchild_job ;;
  manual-start) scenario_manual_start ;;
  stop-request) scenario_stop_request ;;
  updater) scenario_updater ;;
  stalled-update-server) scenario_stalled_update_server ;;
  log-attacks) scenario_log_attacks ;;
  crash-loop) scenario_crash_loop ;;
  faults) scenario_faults ;;
  soak) scenario_soak ;;
  *)
    echo "unknown scenario $scenario" >&2
    exit 2
    ;;
esac

if ((failures > 0)); then
  show_log
  echo "$scenario: $failures check(s) failed"
  exit 1
fi
echo "$scenario: passed"

#!/usr/bin/env bash
# Runs end-to-end scenarios of halcyra-e2e.exe (tests/e2e/*_e2e_test.cpp) in the private
# Wine prefix of the end-to-end tests.
#
#   e2e_run.sh <halcyra-e2e.exe> <HalcyraService.exe> <HalcyraServer.exe> <sample-updater.exe>
#              <halcyra-probe.exe> [GoogleTest arguments, e.g. --gtest_filter=ServiceE2E.Faults]
#
# What shell does here and the program cannot: it sets up the prefix and starts its
# wineserver with Wine's event-log trace in a file, starts the manifest servers (Python's
# http.server over a scratch folder, and tests/network/slow_server.py's silent, unaccepted
# and busy servers), passes all of that in the environment, runs the program through
# tools/wine-run.sh and, whatever happens, ends the servers and every Wine process of the
# prefix. The program stops the HTTP server by creating <work>/stop-http; <work>/http-stopped
# then says it has gone.
#
# Environment for the program: HALCYRA_E2E_SERVICE, _SERVER, _UPDATER, _PROBE (the programs,
# Unix paths), HALCYRA_E2E_WORK (the scratch folder: event-trace.txt, http.log, www/,
# slow.out), HALCYRA_E2E_HTTP_PORT, HALCYRA_E2E_SILENT_PORT, HALCYRA_E2E_UNACCEPTED_PORT,
# HALCYRA_E2E_BUSY_PORT and
# HALCYRA_E2E_PREFIX (the prefix, to find the service's Unix process).
set -uo pipefail

if [[ $# -lt 5 ]]; then
  echo "usage: $0 <halcyra-e2e.exe> <HalcyraService.exe> <HalcyraServer.exe> <sample-updater.exe> <halcyra-probe.exe> [gtest arguments...]" >&2
  exit 2
fi
program=$1
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export HALCYRA_E2E_SERVICE=$2 HALCYRA_E2E_SERVER=$3 HALCYRA_E2E_UPDATER=$4 HALCYRA_E2E_PROBE=$5
shift 5

# A prefix of its own: the scenarios install a service named HalcyraService and this script
# ends every process of the prefix when it is done, which must not disturb anyone else.
# HALCYRA_E2E_SLOT names one of the prefixes in which scenarios run side by side.
HALCYRA_WINEPREFIX=$(. "$repo/tools/wine-env.sh" && halcyra_e2e_wineprefix)${HALCYRA_E2E_SLOT:+-slot$HALCYRA_E2E_SLOT}
export HALCYRA_WINEPREFIX
# shellcheck source=tools/wine-env.sh
. "$repo/tools/wine-env.sh"
halcyra_wine_up || exit 1
export HALCYRA_E2E_PREFIX=$WINEPREFIX

work=$(mktemp -d "${TMPDIR:-/tmp}/halcyra-e2e.XXXXXX") || exit 1
export HALCYRA_E2E_WORK=$work
pids=()
cleanup() {
  local pid
  [[ -f "$work/http.pid" ]] && pids+=("$(cat "$work/http.pid")")
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
  halcyra_wine_down
  rm -rf "$work"
}
trap cleanup EXIT

# Wine stores no events, but its event-log trace shows every ReportEventW. The first Wine
# command starts the prefix's services.exe, whose environment and standard error every
# service inherits, so with the trace on in that command the service's events land here.
WINEDEBUG=-all,+eventlog,fixme+advapi wine cmd /c exit 0 >"$work/event-trace.txt" 2>&1 </dev/null

# waits up to 10 s for a line matching the pattern in the file.
await_line() {
  local i
  for ((i = 0; i < 50; i++)); do
    grep -qsE -- "$2" "$1" && return 0
    sleep 0.2
  done
  echo "e2e_run: no \"$2\" in $1" >&2
  return 1
}

# The HTTP server runs under a subshell that ends it once <work>/stop-http appears, for the
# scenarios where the update server goes away.
mkdir -p "$work/www/latest"
(
  /usr/bin/python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$work/www" >"$work/http.log" 2>&1 &
  echo $! >"$work/http.pid"
  until [[ -e "$work/stop-http" ]]; do sleep 0.2; done
  kill "$(cat "$work/http.pid")"
  wait
  touch "$work/http-stopped"
) >/dev/null 2>&1 </dev/null &
pids+=($!)
/usr/bin/python3 -u "$repo/tests/network/slow_server.py" silent unaccepted busy >"$work/slow.out" 2>&1 &
pids+=($!)
await_line "$work/http.log" "port [0-9]+" && await_line "$work/slow.out" "^ready$" || exit 1
HALCYRA_E2E_HTTP_PORT=$(sed -nE 's/.* port ([0-9]+).*/\1/p' "$work/http.log" | head -1)
HALCYRA_E2E_SILENT_PORT=$(sed -nE 's/^silent ([0-9]+)$/\1/p' "$work/slow.out")
HALCYRA_E2E_UNACCEPTED_PORT=$(sed -nE 's/^unaccepted ([0-9]+)$/\1/p' "$work/slow.out")
HALCYRA_E2E_BUSY_PORT=$(sed -nE 's/^busy ([0-9]+)$/\1/p' "$work/slow.out")
export HALCYRA_E2E_HTTP_PORT HALCYRA_E2E_SILENT_PORT HALCYRA_E2E_UNACCEPTED_PORT HALCYRA_E2E_BUSY_PORT

"$repo/tools/wine-run.sh" "$program" "$@"

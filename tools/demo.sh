#!/usr/bin/env bash
# Shows the service doing its main job, under Wine:
#
#   tools/demo.sh
#
# Builds HalcyraService.exe, HalcyraUpdateCheck.exe and the sample programs with the mingw
# preset, installs the service in a private Wine prefix with the sample server (release
# 1.0.0.0) in its installRoot, starts it, shows its status and log, kills the server and
# shows it back about 3 seconds later, then stops the service and shows the server's own
# Ctrl-C message in the log.
#
# Then the update cycle: a release manifest served on 127.0.0.1 announces 2.0.0.0, and
# HalcyraUpdateCheck.exe says an update is due. The service is started again; its pass
# starts the sample updater instead of the server, the updater installs release 2.0.0.0
# from the download folder and exits, and the next pass finds no update due and starts
# the new server. HalcyraUpdateCheck.exe agrees, and a graceful stop ends the demo.
#
# The prefix is HALCYRA_DEMO_WINEPREFIX, by default "wineprefix-demo" beside the shared
# test prefix; it is created on the first run (about 20 s) and left without a service
# afterwards.
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${HALCYRA_BUILD_DIR:-$repo/build/mingw}

say() { printf '\n== %s\n' "$*"; }
die() {
  printf 'demo: %s\n' "$*" >&2
  exit 1
}

say "Making the machine ready (tools/setup.sh)"
"$repo/tools/setup.sh" || die "setup failed"

mkdir -p "$repo/build"
say "Building HalcyraService.exe, HalcyraUpdateCheck.exe and the sample programs (preset mingw, in $build)"
cmake --preset mingw -B "$build" >"$repo/build/demo-configure.log" 2>&1 ||
  die "configure failed, see build/demo-configure.log"
cmake --build "$build" --target HalcyraService HalcyraUpdateCheck sample-server sample-server-v2 sample-updater \
  halcyra-probe -j2 || die "build failed"

if [[ -z "${HALCYRA_DEMO_WINEPREFIX:-}" ]]; then
  if [[ $(id -u) -eq 0 ]]; then
    HALCYRA_DEMO_WINEPREFIX=${HALCYRA_CACHE:-/var/cache/halcyra}/wineprefix-demo
  else
    HALCYRA_DEMO_WINEPREFIX=${XDG_CACHE_HOME:-$HOME/.cache}/halcyra/wineprefix-demo
  fi
fi
export HALCYRA_WINEPREFIX=$HALCYRA_DEMO_WINEPREFIX
# shellcheck source=tools/wine-env.sh
. "$repo/tools/wine-env.sh"
say "Bringing up the Wine prefix $WINEPREFIX"
halcyra_wine_up || die "the Wine prefix could not be brought up"

out=$(mktemp "${TMPDIR:-/tmp}/halcyra-demo.XXXXXX") || exit 1
www=$(mktemp -d "${TMPDIR:-/tmp}/halcyra-demo-www.XXXXXX") || exit 1
# Wine's helper processes must never inherit a pipe: output goes to a file first.
w() {
  wine "$@" >"$out" 2>&1 </dev/null
  local status=$?
  tr -d '\r' <"$out"
  return $status
}
state() { w sc query HalcyraService | sed -nE 's/^ *STATE *: *[0-9]+ +([A-Z_]+).*/\1/p'; }
wait_for_state() {
  local wanted=$1 i
  for ((i = 0; i < 150; i++)); do
    [[ "$(state)" == "$wanted" ]] && return 0
    sleep 0.2
  done
  return 1
}
remove_service() {
  if w sc query HalcyraService >/dev/null; then
    [[ "$(state)" == STOPPED ]] || {
      w sc stop HalcyraService >/dev/null
      wait_for_state STOPPED
    }
    w sc delete HalcyraService >/dev/null
  fi
}
http_pid=
finish() {
  remove_service
  [[ -n "$http_pid" ]] && kill "$http_pid" 2>/dev/null
  halcyra_wine_down
  rm -f "$out"
  rm -rf "$www" "$www.log"
}
trap finish EXIT

base=$WINEPREFIX/drive_c/Halcyra-demo
root=$base/Halcyra
win_root='C:\Halcyra-demo\Halcyra'
probe='C:\Halcyra-demo\tools\halcyra-probe.exe'
pid_file=$root/HalcyraServer.pid
server_pid() { [[ -f "$pid_file" ]] && tr -dc '0-9' <"$pid_file"; }
wait_for_new_server() {
  local old=$1 i pid
  for ((i = 0; i < 200; i++)); do
    pid=$(server_pid)
    [[ -n "$pid" && "$pid" != "$old" ]] && echo "$pid" && return 0
    sleep 0.1
  done
  return 1
}
show_log() {
  local log
  for log in "$WINEPREFIX"/drive_c/users/*/Temp/HalcyraService.log; do
    [[ -f "$log" ]] || continue
    printf -- '-- HalcyraService.log in the service'"'"'s temporary folder, C:\\users\\%s\\Temp:\n' \
      "$(basename "$(dirname "$(dirname "$log")")")"
    tr -d '\r' <"$log" | sed 's/^/   /'
  done
}

say "Installing: $win_root\\bin\\HalcyraService.exe, with the sample server $win_root\\HalcyraServer.exe (release 1.0.0.0)"
remove_service
rm -rf "$base"
mkdir -p "$root/bin" "$base/tools"
cp "$build/service/HalcyraService.exe" "$build/diagnostic/HalcyraUpdateCheck.exe" "$root/bin/"
cp "$build/tests/programs/HalcyraServer.exe" "$root/"
cp "$build/tests/programs/halcyra-probe.exe" "$base/tools/"
echo "on-ctrl-c=exit ctrl-c-delay-ms=500" >"$root/HalcyraServer.behaviour"
rm -f "$WINEPREFIX"/drive_c/users/*/Temp/HalcyraService.log
w sc create HalcyraService binPath= "$win_root\\bin\\HalcyraService.exe" || die "sc create failed"

say "sc start HalcyraService"
w sc start HalcyraService >/dev/null
wait_for_state RUNNING || die "the service did not start"
first=$(wait_for_new_server "") || die "no server was started"
w sc query HalcyraService
echo "The service started the server: process $first"
sleep 0.5
show_log

say "Killing the server (process $first)"
w "$probe" kill "$first" >/dev/null
killed=$(date +%s%3N)
second=$(wait_for_new_server "$first") || die "the server did not come back"
echo "The server is back as process $second, $(($(date +%s%3N) - killed)) ms later"
sleep 0.5
show_log

say "sc stop HalcyraService"
w sc stop HalcyraService | grep -E "STATE|WAIT_HINT"
wait_for_state STOPPED || die "the service did not stop"
w sc query HalcyraService
show_log
if grep -qF "sample server: Ctrl-C received ($second)" "$WINEPREFIX"/drive_c/users/*/Temp/HalcyraService.log; then
  echo "The server received the Ctrl-C and ended by itself."
else
  die "the server's Ctrl-C message is missing from the log"
fi

update_check() {
  local status
  w "$win_root\\bin\\HalcyraUpdateCheck.exe" "$@" | sed 's/^/   /'
  status=${PIPESTATUS[0]}
  echo "HalcyraUpdateCheck.exe exit code: $status"
}

say "Publishing release 2.0.0.0: a manifest on 127.0.0.1, the new server in the download folder"
mkdir -p "$www/latest" "$base/download" "$root/updater" "$root/resources/updater"
printf '{"Version":"2.0.0.0","Files":["HalcyraServer.exe"]}' >"$www/latest/version.json"
/usr/bin/python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$www" >"$www.log" 2>&1 &
http_pid=$!
for ((i = 0; i < 50; i++)); do
  port=$(sed -nE 's/.* port ([0-9]+).*/\1/p' "$www.log" | head -1)
  [[ -n "$port" ]] && break
  sleep 0.1
done
[[ -n "$port" ]] || die "the manifest server did not start"
cp "$build/tests/programs/release-2/HalcyraServer.exe" "$base/download/"
cp "$build/tests/programs/sample-updater.exe" "$root/updater/"
touch "$root/updater/sample-updater.install"
printf '%s\r\n' '{' "  \"server\": \"http://127.0.0.1:$port\", \"versionFile\": \"version.json\"," \
  '  "login": "demo", "password": "demo-secret", "relativeAppPath": "HalcyraServer.exe", "useGUI": 0,' \
  '  "files": ["HalcyraServer.exe"], "tempFolder": "C:\\Halcyra-demo\\download",' \
  '  "enableUpdate": true, "autoUpdate": true,' \
  '  "updaterPath": "C:\\Halcyra-demo\\Halcyra\\updater\\sample-updater.exe"' '}' \
  >"$root/resources/updater/config.json"
echo "http://127.0.0.1:$port/latest/version.json: $(cat "$www/latest/version.json")"
echo "$win_root\\resources\\updater\\config.json:"
tr -d '\r' <"$root/resources/updater/config.json" | sed 's/^/   /'

say "$win_root\\bin\\HalcyraUpdateCheck.exe: what would the next pass do?"
update_check

say "sc start HalcyraService: its first pass runs the same check"
rm -f "$pid_file"
w sc start HalcyraService >/dev/null
started=$(date +%s%3N)
wait_for_state RUNNING || die "the service did not start"
third=$(wait_for_new_server "") || die "no server was started after the update"
echo "Release 2.0.0.0 runs as process $third, $(($(date +%s%3N) - started)) ms after sc start"
sleep 0.5
show_log
log=$(ls "$WINEPREFIX"/drive_c/users/*/Temp/HalcyraService.log)
[[ "$(head -n 1 "$log")" == "sample updater: installed HalcyraServer.exe"* ]] ||
  die "the first pass did not start the updater"
grep -qF "sample server: version 2.0.0.0" "$log" || die "the new release is not the one running"
echo "As HalcyraUpdateCheck.exe said, the first pass started the updater instead of the server; the"
echo "updater installed release 2.0.0.0 and exited, and the next pass (3 s later) started the new server."
echo "Requests for the manifest so far (HalcyraUpdateCheck.exe, then each pass):" \
  "$(grep -c "GET /latest/version.json" "$www.log")"

say "$win_root\\bin\\HalcyraUpdateCheck.exe, after the update, and with --json for scripts"
update_check
update_check --json

say "sc stop HalcyraService"
w sc stop HalcyraService | grep -E "STATE|WAIT_HINT"
wait_for_state STOPPED || die "the service did not stop"
show_log | tail -n 2
grep -qF "sample server: Ctrl-C received ($third)" "$WINEPREFIX"/drive_c/users/*/Temp/HalcyraService.log ||
  die "the new server's Ctrl-C message is missing from the log"
echo "Release 2.0.0.0 received the Ctrl-C and ended by itself."

say "Removing the service"

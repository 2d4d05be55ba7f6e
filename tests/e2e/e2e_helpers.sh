# Helpers shared by the end-to-end scripts that drive the real service under Wine. Sourced
# after the script has set $work (its scratch folder), $win_probe (the probe's Windows
# path) and failures=0.

# Runs a Windows program; its output goes to a file first (Wine's helper processes must
# never inherit a pipe) and is then printed without carriage returns.
w() {
  wine "$@" >"$work/wine.out" 2>&1 </dev/null
  local status=$?
  tr -d '\r' <"$work/wine.out"
  return $status
}

now_ms() { date +%s%3N; }

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

check() {
  local message=$1
  shift
  if "$@"; then
    echo "ok: $message"
  else
    fail "$message"
  fi
}

# wait_until <seconds> <command...>: true as soon as the command succeeds, false when it
# has not by the deadline.
wait_until() {
  local seconds=$1
  shift
  local deadline=$(($(now_ms) + seconds * 1000))
  until "$@"; do
    (($(now_ms) < deadline)) || return 1
    sleep 0.2
  done
}

# The state of a service (HalcyraService unless named) as "sc query" prints it.
service_state() { w sc query "${1:-HalcyraService}" | sed -nE 's/^ *STATE *: *([0-9]+).*/\1/p'; }
is_state() { [[ "$(service_state)" == "$1" ]]; }
service_pid() { w "$win_probe" service-pid HalcyraService | tr -dc '0-9'; }
alive() { w "$win_probe" alive "$1" >/dev/null; }
dead() { ! alive "$1"; }

# Under Wine the service runs as the Unix user, so its temporary folder is that user's
# C:\users\<name>\Temp in the prefix.
log_file() {
  local file
  for file in "$WINEPREFIX"/drive_c/users/*/Temp/HalcyraService.log; do
    [[ -f "$file" ]] && echo "$file" && return 0
  done
  return 1
}
log_has() { local log; log=$(log_file) && [[ -n "$log" ]] && grep -qF -- "$1" "$log"; }

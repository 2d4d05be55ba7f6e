# Wine environment for running HalcyraService.exe and its tests. Source it:
#
#   . tools/wine-env.sh
#   halcyra_wine_up || exit 1     # creates the prefix once, starts a persistent wineserver
#   wine path/to/program.exe ... >out.txt 2>&1
#   halcyra_wine_down             # stops every Wine process of this prefix
#
# The prefix lives outside the repository and is shared by every clone and CI run on this
# machine: HALCYRA_WINEPREFIX if set, else ${HALCYRA_CACHE:-/var/cache/halcyra}/wineprefix for
# root, else ~/.cache/halcyra/wineprefix (an ordinary user cannot write /var/cache, and Wine
# refuses a prefix owned by someone else). Any WINEPREFIX already in the environment is
# replaced on purpose, so a personal ~/.wine is never touched.
#
# Rules learnt the hard way: the first Wine command of a session starts wineserver and
# helper processes that inherit its stdout/stderr, so that command's output must go to a
# file, never to a pipe (the pipe stays open and the pipeline hangs). Exit codes through
# the shell are 8-bit.
#
# Sourced into the caller's shell: no "set -e" here, functions report failure by status.

if [[ -n "${HALCYRA_WINEPREFIX:-}" ]]; then
  WINEPREFIX=$HALCYRA_WINEPREFIX
elif [[ $(id -u) -eq 0 ]]; then
  WINEPREFIX=${HALCYRA_CACHE:-/var/cache/halcyra}/wineprefix
else
  WINEPREFIX=${XDG_CACHE_HOME:-$HOME/.cache}/halcyra/wineprefix
fi
export WINEPREFIX
export WINEARCH=win64
export WINEDEBUG=-all
# Logs of the servers and of prefix creation sit beside the prefix, not inside it.
HALCYRA_WINE_LOGS=${HALCYRA_WINE_LOGS:-${WINEPREFIX%/}-logs}
export HALCYRA_WINE_LOGS

# Marks a prefix whose creation finished; an interrupted wineboot leaves none, and the
# next halcyra_wine_up runs wineboot over the same folder again.
_halcyra_wine_ready="$WINEPREFIX/.halcyra-prefix-ready"

_halcyra_wine_log() { echo "wine-env: $*" >&2; }

# Wine refuses ("is not owned by you") a prefix whose folder belongs to another user.
# Root may take over a prefix left by another account on the same machine; anyone else
# is told which prefix to use instead.
_halcyra_wine_check_owner() {
  [[ -e "$WINEPREFIX" ]] || return 0
  local owner me
  owner=$(stat -c %u "$WINEPREFIX") || return 1
  me=$(id -u)
  [[ "$owner" == "$me" ]] && return 0
  if [[ "$me" -eq 0 ]]; then
    _halcyra_wine_log "prefix $WINEPREFIX belongs to uid $owner; taking it over for root"
    chown -R 0:0 "$WINEPREFIX" || return 1
    return 0
  fi
  _halcyra_wine_log "prefix $WINEPREFIX belongs to uid $owner, not to you (uid $me);" \
    "set HALCYRA_WINEPREFIX to a folder of your own"
  return 1
}

halcyra_wine_up() {
  if ! command -v wine >/dev/null || ! command -v wineserver >/dev/null; then
    _halcyra_wine_log "wine is not installed (run tools/setup.sh)"
    return 1
  fi
  mkdir -p "$HALCYRA_WINE_LOGS" || return 1
  _halcyra_wine_check_owner || return 1

  if [[ ! -f "$_halcyra_wine_ready" ]]; then
    mkdir -p "$WINEPREFIX" || return 1
    local started=$SECONDS
    _halcyra_wine_log "creating prefix $WINEPREFIX (log: $HALCYRA_WINE_LOGS/wineboot.log)"
    # Mono and Gecko are not installed here and nothing of ours needs them; disabling
    # mscoree/mshtml keeps wineboot from trying to install them.
    if ! WINEDLLOVERRIDES="mscoree,mshtml=" wineboot --init >"$HALCYRA_WINE_LOGS/wineboot.log" 2>&1 </dev/null; then
      _halcyra_wine_log "wineboot --init failed, see $HALCYRA_WINE_LOGS/wineboot.log"
      wineserver -k >/dev/null 2>&1 </dev/null
      return 1
    fi
    # Waits until wineboot's helper processes have exited and the server has written the
    # registry to disk; only then is the prefix complete.
    wineserver -w >>"$HALCYRA_WINE_LOGS/wineboot.log" 2>&1 </dev/null
    if [[ ! -f "$WINEPREFIX/system.reg" || ! -d "$WINEPREFIX/drive_c/windows/system32" ]]; then
      _halcyra_wine_log "wineboot left an incomplete prefix, see $HALCYRA_WINE_LOGS/wineboot.log"
      return 1
    fi
    date -u +%Y-%m-%dT%H:%M:%SZ >"$_halcyra_wine_ready"
    _halcyra_wine_log "prefix created in $((SECONDS - started)) s"
  fi

  # A persistent server keeps each later wine command from paying the server start-up,
  # and lets services registered with "sc" outlive the command that started them.
  # wineserver puts itself in the background; if one already runs for this prefix the
  # new one says so and exits, which is fine.
  wineserver -p >>"$HALCYRA_WINE_LOGS/wineserver.log" 2>&1 </dev/null
  return 0
}

halcyra_wine_down() {
  command -v wineserver >/dev/null || return 0
  # -k kills every process of this prefix and then the server itself.
  wineserver -k >/dev/null 2>&1 </dev/null
  return 0
}

# The private prefix of the end-to-end tests, which install a service and end every
# process of their prefix: HALCYRA_E2E_WINEPREFIX if set, else beside the shared one.
halcyra_e2e_wineprefix() {
  if [[ -n "${HALCYRA_E2E_WINEPREFIX:-}" ]]; then
    echo "$HALCYRA_E2E_WINEPREFIX"
  elif [[ $(id -u) -eq 0 ]]; then
    echo "${HALCYRA_CACHE:-/var/cache/halcyra}/wineprefix-e2e"
  else
    echo "${XDG_CACHE_HOME:-$HOME/.cache}/halcyra/wineprefix-e2e"
  fi
}

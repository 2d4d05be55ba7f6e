#!/usr/bin/env bash
# Runs a Windows test executable under Wine and returns its exit code.
#
#   tools/wine-run.sh path/to/test.exe [arguments...]
#
# The prefix is the one tools/wine-env.sh chooses (HALCYRA_WINEPREFIX overrides it). The
# program's output goes to a file first and is copied to this script's stdout when it has
# ended: Wine's helper processes inherit the Unix descriptors of the command that starts
# them, and a pipe they hold open (ctest's, for one) would never see its end.
# Exit codes above 255 arrive cut to their low 8 bits, as with any Unix process.
set -uo pipefail

if [[ $# -lt 1 ]]; then
  echo "usage: $0 <program.exe> [arguments...]" >&2
  exit 2
fi

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=tools/wine-env.sh
. "$root/tools/wine-env.sh"
# Test executables run in parallel; only one of them may create the prefix. The lock's
# descriptor is closed for halcyra_wine_up, so that the wineserver it starts cannot
# inherit it and hold the lock for ever.
mkdir -p "$HALCYRA_WINE_LOGS" || exit 1
exec {lock}>"$HALCYRA_WINE_LOGS/wine-up.lock"
flock "$lock"
halcyra_wine_up {lock}>&- || exit 1
exec {lock}>&-

output=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX") || exit 1
trap 'rm -f "$output"' EXIT

wine "$@" >"$output" 2>&1 </dev/null
status=$?
cat "$output"
exit $status

#!/usr/bin/env bash
# The long runs of the real service under Wine, outside the test command (about 15
# minutes): the server killed 200 times in a row, then a minute of a server that exits at
# once on every start. Builds the Windows executables first.
#
#   tools/soak-wine.sh [kills] [crash-loop seconds]
#
# Uses the end-to-end prefix (HALCYRA_E2E_WINEPREFIX), so it must not run beside the
# end-to-end tests.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root" || exit 1
cmake --preset mingw >/dev/null && cmake --build --preset mingw -j2 >/dev/null || exit 1

build=$root/build/mingw
programs=("$build/tests/e2e/halcyra-e2e.exe" "$build/service/HalcyraService.exe"
  "$build/tests/programs/HalcyraServer.exe" "$build/tests/programs/sample-updater.exe"
  "$build/tests/programs/halcyra-probe.exe")
status=0
HALCYRA_SOAK_KILLS=${1:-200} tests/e2e/e2e_run.sh "${programs[@]}" --gtest_also_run_disabled_tests \
  --gtest_filter=ServiceE2E.DISABLED_Soak || status=1
HALCYRA_CRASH_LOOP_SECONDS=${2:-60} tests/e2e/e2e_run.sh "${programs[@]}" --gtest_filter=ServiceE2E.CrashLoop || status=1
exit $status

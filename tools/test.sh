#!/usr/bin/env bash
# Every test: sets the machine up, builds the native tests (against the simulated
# Windows: with GCC, with sanitizers and with clang) and the Windows build, and runs all
# test layers; the Windows tests run under Wine. Every fuzz target gets a short run.
# Each test runs once where it can find something: the network tests (real servers and
# time limits, the same code in every native build) only in the GCC build and under Wine;
# the sanitizer and clang builds run the unit, simulation and contract tests, and build no
# benchmarks.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
"$root/tools/setup.sh" || exit 1

# The Windows tests leave a persistent wineserver for the shared prefix (tools/wine-run.sh
# starts one so that each test does not pay for its own), and an interrupted end-to-end
# test may leave its private prefix running: both end with this command, however it ends.
end_wine_servers() {
  (
    # shellcheck source=tools/wine-env.sh
    . "$root/tools/wine-env.sh"
    halcyra_wine_down
    local prefix
    for prefix in "$(halcyra_e2e_wineprefix)"{,-slot0,-slot1,-package}; do
      [[ -d "$prefix" ]] && WINEPREFIX=$prefix halcyra_wine_down
    done
  )
}
trap end_wine_servers EXIT
trap 'exit 130' INT TERM

passed=0
failed=0
status=0
# run_preset <preset> [ctest arguments...]
run_preset() {
  local preset=$1
  shift
  echo "== $preset: configure and build"
  if ! cmake --preset "$preset" >/dev/null || ! cmake --build --preset "$preset" -j2; then
    echo "== $preset: build failed"
    status=1
    return
  fi
  echo "== $preset: tests"
  local log
  log=$(mktemp)
  ctest --preset "$preset" -j2 "$@" 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  ((rc == 0)) || status=1
  local total fails
  total=$(sed -nE 's/.* tests failed out of ([0-9]+).*/\1/p' "$log" | tail -1)
  fails=$(sed -nE 's/.*, ([0-9]+) tests failed out of.*/\1/p' "$log" | tail -1)
  passed=$((passed + ${total:-0} - ${fails:-0}))
  failed=$((failed + ${fails:-0}))
  rm -f "$log"
}

run_preset linux
run_preset linux-asan -LE network
run_preset linux-clang -LE network
run_preset mingw

echo "== fuzz: 5 s per target"
fuzz_log=$(mktemp)
tools/fuzz.sh 5 2>&1 | tee "$fuzz_log"
((PIPESTATUS[0] == 0)) || status=1
fuzz_passed=$(sed -nE 's/^fuzz: ([0-9]+) passed, ([0-9]+) failed/\1/p' "$fuzz_log")
fuzz_failed=$(sed -nE 's/^fuzz: ([0-9]+) passed, ([0-9]+) failed/\2/p' "$fuzz_log")
passed=$((passed + ${fuzz_passed:-0}))
failed=$((failed + ${fuzz_failed:-1}))
rm -f "$fuzz_log"

echo "== lint"
if tools/lint.sh; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
  status=1
fi

echo "$passed passed, $failed failed"
exit $status

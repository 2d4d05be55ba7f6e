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
# build_preset <preset>: configures and builds it; false, counted as a failure, when it does not build.
build_preset() {
  echo "== $1: configure and build"
  if cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j2; then
    return 0
  fi
  echo "== $1: build failed"
  status=1
  return 1
}
# count_ctest <log> <exit code>: adds what a ctest run printed to the counts.
count_ctest() {
  (($2 == 0)) || status=1
  local total fails
  total=$(sed -nE 's/.* tests failed out of ([0-9]+).*/\1/p' "$1" | tail -1)
  fails=$(sed -nE 's/.*, ([0-9]+) tests failed out of.*/\1/p' "$1" | tail -1)
  passed=$((passed + ${total:-0} - ${fails:-0}))
  failed=$((failed + ${fails:-0}))
}
# run_preset <preset> [ctest arguments...]
run_preset() {
  local preset=$1
  shift
  build_preset "$preset" || return
  echo "== $preset: tests"
  local log
  log=$(mktemp)
  ctest --preset "$preset" -j2 "$@" 2>&1 | tee "$log"
  count_ctest "$log" "${PIPESTATUS[0]}"
  rm -f "$log"
}

run_preset linux
run_preset linux-asan -LE network
run_preset linux-clang -LE network

# The Windows tests spend most of their time waiting on Wine and the service: the fuzz runs
# and lint use the processor meanwhile, and the Windows tests' output follows theirs.
mingw_log=$(mktemp)
mingw_pid=
if build_preset mingw; then
  (
    ctest --preset mingw -j2 >"$mingw_log" 2>&1
    echo $? >"$mingw_log.rc"
  ) &
  mingw_pid=$!
fi

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

if [[ -n "$mingw_pid" ]]; then
  wait "$mingw_pid"
  echo "== mingw: tests"
  cat "$mingw_log"
  count_ctest "$mingw_log" "$(cat "$mingw_log.rc" 2>/dev/null || echo 1)"
fi
rm -f "$mingw_log" "$mingw_log.rc"

echo "$passed passed, $failed failed"
exit $status

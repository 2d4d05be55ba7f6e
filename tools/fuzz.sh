#!/usr/bin/env bash
# Builds the libFuzzer targets (the `fuzz` preset: clang with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each one for a bounded time, starting from its
# seed and regression inputs in fuzz/corpus/<target>. Exits non-zero when a target
# finds a crash, a sanitizer report or a broken invariant; the input that did it is
# saved as build/fuzz/artifacts/<target>-crash-<hash> (and the like).
#
#   tools/fuzz.sh          5 seconds per target (the test command's run)
#   tools/fuzz.sh 3600     an hour per target
#
# Inputs that reach new code are kept in build/fuzz/work/<target>, so a later run goes on
# from there; fuzz/corpus holds only the small seed and regression inputs.
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
seconds=${1:-5}
targets=(config_json config_file release_manifest version_number stop_request signature_der)

mkdir -p build
build_log=build/fuzz-build.log
if ! { cmake --preset fuzz && cmake --build --preset fuzz -j2; } >"$build_log" 2>&1; then
  tail -30 "$build_log"
  echo "fuzz: build failed"
  exit 1
fi

passed=0
failed=0
mkdir -p build/fuzz/artifacts
for target in "${targets[@]}"; do
  work=build/fuzz/work/$target
  log=build/fuzz/$target.log
  mkdir -p "$work"
  # -timeout: one input that takes 10 s is a hang, which counts as a finding too.
  build/fuzz/fuzz/fuzz_$target -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="build/fuzz/artifacts/$target-" "$work" "fuzz/corpus/$target" >"$log" 2>&1
  rc=$?
  runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+)/\1/p' "$log")
  took=$(sed -nE 's/^Done [0-9]+ runs in ([0-9]+) second.*/\1/p' "$log")
  if ((rc == 0)); then
    passed=$((passed + 1))
    echo "fuzz: $target ok: ${runs:-?} executions in ${took:-?} s"
  else
    failed=$((failed + 1))
    echo "fuzz: $target FAILED (exit $rc), log in $log:"
    grep -E 'ERROR|runtime error|invariant broken|Test unit written' "$log" | head -5
  fi
done
echo "fuzz: $passed passed, $failed failed"
((failed == 0))

#!/usr/bin/env bash
# Formatting and static analysis of the C++ sources: clang-format must leave every file
# as it is, and clang-tidy (with the repository's .clang-tidy) must find nothing. Needs
# the native build's compile commands (build/linux). First, the deployment guide against
# the code: its event table must be the one made from the message file
# (tools/event_table.py), and the diagnostic's lines it names must be ones the diagnostic
# writes. (Its configuration keys are checked by the unit test unit_guide_keys_test.)
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
python3 tools/event_table.py --check
# Every report line the guide names (`Transfer:`, `Decision:`, ...) is one the diagnostic writes.
for label in $(grep -oP '`\K[A-Z][A-Za-z ]+(?=:`)' docs/deployment.md | sort -u | tr ' ' '~'); do
  grep -qF "\"${label//\~/ }" diagnostic/*.cpp || { echo "lint: docs/deployment.md names a report line \"${label//\~/ }:\" that diagnostic/ never writes" >&2; exit 1; }
done
mapfile -t sources < <(git ls-files '*.cpp' '*.h')
clang-format --dry-run --Werror "${sources[@]}"
[ -f build/linux/compile_commands.json ] || cmake --preset linux >/dev/null
mapfile -t product < <(git ls-files ':(glob)config/*.cpp' ':(glob)update/*.cpp' ':(glob)service/*.cpp' ':(glob)diagnostic/*.cpp' ':(glob)platform/*.cpp' ':(glob)platform/sim/*.cpp')
# One clang-tidy per file, two at a time (the machine's cores); xargs fails when any does.
printf '%s\0' "${product[@]}" | xargs -0 -P "$(nproc)" -n 1 clang-tidy -p build/linux --quiet 2>/dev/null
echo "lint: clean"

#!/usr/bin/env bash
# Runs every libFuzzer target for a while: scripts/fuzz.sh [SECONDS_EACH] [--merge]
# New inputs go to a scratch corpus in the build tree; with --merge the inputs that add
# coverage are merged back into the corpus kept in the tree.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
seconds=${1:-30}
merge=${2:-}
build="$root/build/fuzz"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz >/dev/null
status=0
for target in inflate package pe options manifest; do
  kept="$root/tests/fuzz/corpus/$target"
  scratch="$build/corpus/$target"
  mkdir -p "$scratch" "$build/artifacts/$target"
  echo "fuzz: $target for ${seconds}s"
  if ! "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=65536 \
      -print_final_stats=1 -artifact_prefix="$build/artifacts/$target/" \
      "$scratch" "$kept" >"$build/fuzz_$target.log" 2>&1; then
    echo "fuzz: $target FOUND A FAULT; see $build/fuzz_$target.log and $build/artifacts/$target" >&2
    tail -n 40 "$build/fuzz_$target.log" >&2
    status=1
    continue
  fi
  grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$build/fuzz_$target.log" |
    sed "s/^/fuzz: $target /"
  if [ "$merge" = --merge ]; then
    "$build/tests/fuzz/fuzz_$target" -merge=1 "$kept" "$scratch" >/dev/null 2>&1
  fi
done
exit "$status"

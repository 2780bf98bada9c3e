#!/usr/bin/env bash
# Every test: installs what is missing, builds every tree, runs the native tests (ASan and
# UBSan), the Windows tests under Wine, a short run of each fuzzer, and checks that a second
# build in another folder gives byte-identical programs, that the 32-bit Windows build and
# the benchmarks compile and that the code is formatted. Ends with "total: N passed, M
# failed" and exits non-zero on any failure.
#
#   FUZZ_SECONDS   seconds each fuzzer runs (default 30; 0 skips the fuzzing stage)
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root" || exit 1
fuzz_seconds=${FUZZ_SECONDS:-30}

"$root/scripts/setup.sh" || {
  echo "total: 0 passed, 1 failed"
  exit 1
}

passed=0
failed=0
failures=()

note() { printf '\n== %s\n' "$*"; }

# check NAME COMMAND...: one pass or one failure.
check() {
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    failures+=("$name")
  fi
}

# ctest_stage NAME PRESET: adds CTest's own counts.
ctest_stage() {
  local name=$1 preset=$2 log
  log=$(mktemp)
  ctest --preset "$preset" -j "$(nproc)" 2>&1 | tee "$log"
  local line
  line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    failed=$((failed + 1))
    failures+=("$name: no test ran")
  else
    local total bad
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
    passed=$((passed + total - bad))
    failed=$((failed + bad))
    [ "$bad" -eq 0 ] || failures+=("$name: $bad of $total")
  fi
  rm -f "$log"
}

# build PRESET [CMAKE ARGS...]
build() {
  local preset=$1
  shift
  cmake --preset "$preset" "$@" >/dev/null && cmake --build --preset "$preset"
}

# A second build in another folder gives byte-identical programs.
reproducible() {
  build reproduce >/dev/null || return 1
  local status=0 f
  for f in resources/setup_portal_77.exe resources/setup_stub.exe uninstaller/uninstall.exe; do
    if cmp "$root/build/win64/$f" "$root/build/reproduce/$f"; then
      echo "reproducible: $f"
    else
      status=1
    fi
  done
  return $status
}

note "native build and tests (ASan, UBSan)"
if build native; then ctest_stage native native; else check "native build" false; fi

note "Windows x86-64 build and tests under Wine"
# Unsigned here (a demo may have configured signing): the reproducibility check compares it.
if build win64 -DSETUP_SIGN_COMMAND=; then
  # shellcheck source=scripts/wine-env.sh
  source "$root/scripts/wine-env.sh"
  wine_env_init "$root/build/win64"
  wine_display_start
  check "Wine prefix" wine_prefix_ensure
  # The end-to-end journey saves a screenshot of every page here (kept as artefacts).
  shots="$root/build/win64/screenshots"
  rm -rf "$shots"
  mkdir -p "$shots"
  export SETUP_E2E_SHOTS="Z:${shots//\//\\}"
  ctest_stage win64 win64
  unset SETUP_E2E_SHOTS
  python3 "$root/scripts/bmp2png.py" "$shots" && echo "page screenshots: $shots"
  wine_env_down
else
  check "win64 build" false
fi

note "reproducible build: the installer, its stub and the uninstaller again, in build/reproduce"
check "reproducible build" reproducible

note "Windows x86 build (compile only)"
check "win32 build" build win32

note "benchmarks build"
check "release build" build release

if [ "$fuzz_seconds" -gt 0 ]; then
  note "fuzzing, ${fuzz_seconds}s per target"
  check "fuzzing" "$root/scripts/fuzz.sh" "$fuzz_seconds"
fi

note "the benchmark comparison script parses (bench/compare-nsis.sh is run by hand)"
check "compare-nsis.sh syntax" bash -c 'bash -n bench/compare-nsis.sh &&
  { ! command -v shellcheck >/dev/null || shellcheck -x bench/compare-nsis.sh; }'

note "layers: includes point down only, the core includes no platform header"
check "layers" scripts/check-layers.sh
check "layer check refuses planted includes" scripts/check-layers-test.sh

note "formatting"
check "clang-format" bash -c 'git ls-files -z "*.cpp" "*.h" | xargs -0 -r clang-format --dry-run --Werror'

echo
for f in "${failures[@]}"; do echo "FAILED: $f"; done
echo "total: $passed passed, $failed failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# Instructions per inflated byte of our inflater, libdeflate and zlib on the two streams of
# the reference package (zlib level 9, and the stream the installer ships: the packager's,
# libdeflate at its default level in 1 MiB pieces; raw deflate), counted by
# callgrind over the one decoding call, all in one run, with the ratios ours/peer. Ours is
# counted twice: InflateResource into one block, and InflateToSink as the installer runs
# it (the stream handed over in 1 MiB batches, each 32 KiB piece copied out of the sink).
# Callgrind counts each byte of a `rep movsb` copy as an instruction, so that copy weighs
# one instruction per byte.
#
#   bench/inflate-instructions.sh [--build-dir DIR]     (default build/release)
#
# Builds inflate_bench with the release preset when DIR is build/release. Counts do not
# depend on the machine's load, so the figures are comparable between runs; a run takes a
# few minutes. The streams and callgrind's files stay in DIR/inflate-instructions.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/release
while [[ $# -gt 0 ]]; do
  case $1 in
    --build-dir)
      build=${2:?--build-dir needs a folder}
      shift 2
      ;;
    -h | --help)
      sed -n '2,13p' "$0" | sed 's/^# \{0,1\}//'
      exit 0
      ;;
    *)
      echo "unknown argument $1" >&2
      exit 2
      ;;
  esac
done

command -v valgrind >/dev/null || {
  echo "valgrind is missing (apt-get install -y valgrind)" >&2
  exit 1
}
if [[ $build == build/release ]]; then
  cmake --preset release >/dev/null
  nice -n 19 cmake --build --preset release -j2 --target inflate_bench >/dev/null
fi
bench=$build/bench/inflate_bench
out=$build/inflate-instructions
mkdir -p "$out"

size=$(nice -n 19 "$bench" --write-streams "$out")
echo "reference package: $size bytes"

# Instructions collected inside MeasuredInflate for one decoder and one stream.
count() {
  local decoder=$1 stream=$2 log=$out/$1-$2.log
  nice -n 19 valgrind --tool=callgrind --collect-atstart=no \
    --toggle-collect='*MeasuredInflate*' \
    --callgrind-out-file="$out/callgrind.$decoder-$stream.out" \
    "$bench" --once "$decoder" "$out/$stream.deflate" "$size" 2>"$log" || {
    cat "$log" >&2
    exit 1
  }
  sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$log"
}

for stream in zlib9 shipped; do
  ours=$(count ours "$stream")
  oursStream=$(count ours-stream "$stream")
  libdeflate=$(count libdeflate "$stream")
  zlib=$(count zlib "$stream")
  echo
  echo "stream $stream ($(stat -c %s "$out/$stream.deflate") bytes):"
  awk -v o="$ours" -v s="$oursStream" -v l="$libdeflate" -v z="$zlib" -v n="$size" 'BEGIN {
    printf "  %-16s %14d instructions  %6.3f per byte\n", "InflateResource", o, o / n
    printf "  %-16s %14d instructions  %6.3f per byte\n", "InflateToSink", s, s / n
    printf "  %-16s %14d instructions  %6.3f per byte\n", "libdeflate", l, l / n
    printf "  %-16s %14d instructions  %6.3f per byte\n", "zlib inflate", z, z / n
    printf "  ours/libdeflate %.2f   stream/libdeflate %.2f   ours/zlib %.2f\n", o / l, s / l, o / z
  }'
done

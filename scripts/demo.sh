#!/usr/bin/env bash
# The demo: installs what is missing, builds, writes the reference payload folder
# (build/demo/payload) and shows the payload's package inflating against zlib and
# libdeflate. It grows into the full installer demo as the installer is built.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release >/dev/null
rm -rf build/demo/payload
build/release/demo/setup_gen_payload build/demo/payload
build/release/bench/inflate_bench 3

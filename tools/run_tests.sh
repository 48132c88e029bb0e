#!/usr/bin/env bash
# Sets up and builds koru with its tests, then runs every test (GL and demo
# tests under a virtual X server). Exits non-zero if any test fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"

"$root/tools/install_deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build"
cd "$build"
ctest --output-on-failure -j2

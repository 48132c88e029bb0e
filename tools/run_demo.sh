#!/usr/bin/env bash
# Sets up, builds and runs koru_demo. With a display it opens the interactive
# window; without one it renders frames under a virtual X server and writes
# the last one to build/koru_demo.png. Extra arguments go to koru_demo.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"

"$root/tools/install_deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target koru_demo

cd "$build"   # the demo reads data/*.bmp from its working directory
if [ -n "${DISPLAY:-}" ]; then
  exec ./koru_demo "$@"
fi
if [ $# -eq 0 ]; then
  set -- --frames 30 --screenshot koru_demo.png
fi
echo "No display: running koru_demo $* under a virtual X server"
xvfb-run -a -s "-screen 0 1280x1024x24" ./koru_demo "$@"
for ((i = 1; i <= $#; i++)); do
  if [ "${!i}" = "--screenshot" ]; then
    j=$((i + 1))
    echo "The last frame is in $build/${!j}"
  fi
done

#!/usr/bin/env bash
# Installs a built koru into a temporary prefix and uses it from there alone:
# every public header compiles by itself, the example builds with
# find_package(koru) and with pkg-config and writes its PNG, and the
# installed koru_render and koru_demo run from an empty folder.
# Usage: tools/check_install.sh [BUILD_DIR]   (default: build/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"

cmake --install "$build" --prefix "$prefix" >/dev/null

headers=("$prefix"/include/koru/engine/*.h)
[ -f "${headers[0]}" ] || { echo "check_install: no headers in $prefix/include/koru/engine" >&2; exit 1; }
for header in "${headers[@]}"; do
  echo "#include <koru/engine/$(basename "$header")>" |
    g++ -std=c++17 -Wall -Wextra -Werror -fsyntax-only -I"$prefix/include" -x c++ - ||
    { echo "check_install: $header does not compile from the install tree" >&2; exit 1; }
done

mkdir "$work/run"
cd "$work/run"

cmake -S "$root/examples" -B "$work/example" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/example" >/dev/null
"$work/example/render_png" cmake.png >/dev/null 2>&1
test -s cmake.png

PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name koru.pc)")
export PKG_CONFIG_PATH
libdir=$(pkg-config --variable=libdir koru)
# shellcheck disable=SC2046
g++ -std=c++17 -Wall -Wextra -Werror "$root/examples/render_png.cpp" -o render_png_pc \
  $(pkg-config --cflags --libs koru) -Wl,-rpath,"$libdir"
./render_png_pc pkg-config.png >/dev/null 2>&1
cmp -s cmake.png pkg-config.png || { echo "check_install: the two example builds render differently" >&2; exit 1; }

"$prefix/bin/koru_make_mesh" 2000 mesh.obj
"$prefix/bin/koru_render" --obj mesh.obj --size 160x120 >/dev/null 2>&1
test -s mesh.png
"$work/example/render_png" scene.png mesh.obj >/dev/null 2>&1
test -s scene.png
xvfb-run -a -s "-screen 0 1280x1024x24" "$prefix/bin/koru_demo" --engine cpu --frames 1 --screenshot demo.png \
  >/dev/null 2>&1
test -s demo.png

echo "check_install: headers, the example (CMake and pkg-config), koru_render and koru_demo work from the install"

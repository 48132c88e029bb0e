#!/usr/bin/env bash
# Checks that the folders' includes run only downwards: a file includes
# files of its own folder or of folders on lower floors, never of a folder
# beside or above its own. Prints each include that breaks this and exits 1.
# Usage: tools/check_layers.sh [ROOT]
set -euo pipefail
root=$(cd "${1:-$(dirname "$0")/..}" && pwd)
cd "$root"

# Floors, lowest first; folders on one floor do not include one another.
floors=(
  "engine"              # the installed public headers
  "simd"                # lane types
  "kdtree"              # the kd-tree builder and its flattened format
  "rt"                  # the per-ray core shared by host and device
  "store"               # the scene store behind engine/, and the internals' access
  "cpu gpu opengl"      # the engines
  "io"                  # file formats
  "demo"                # the demo program and its scene
  "tools"               # programs (koru_render draws the demo's scene too)
  "bench"               # benchmarks (the demo's scene among them)
  "tests fuzz examples" # checks of everything below
)
declare -A floor_of
for i in "${!floors[@]}"; do
  for folder in ${floors[$i]}; do floor_of[$folder]=$i; done
done

status=0
while IFS= read -r file; do
  from=${file%%/*}
  [ -n "${floor_of[$from]:-}" ] || continue
  while IFS= read -r include; do
    target=$(realpath -m --relative-to="$root" "$(dirname "$file")/$include")
    [ -e "$target" ] || target=$include
    [ -e "$target" ] || continue
    to=${target%%/*}
    [ "$to" = "$from" ] && continue
    if [ -z "${floor_of[$to]:-}" ] || [ "${floor_of[$to]}" -ge "${floor_of[$from]}" ]; then
      echo "$file includes $include ($to is not below $from)"
      status=1
    fi
  done < <(sed -nE 's/^[[:space:]]*#[[:space:]]*include[[:space:]]+"([^"]+)".*/\1/p' "$file")
done < <(find "${!floor_of[@]}" -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.cpp' -o -name '*.cu' \) 2>/dev/null | sort)
exit $status

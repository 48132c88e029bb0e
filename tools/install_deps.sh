#!/usr/bin/env bash
# Installs what koru needs to build, test and run on Debian 12, if missing.
# Optional groups: 'fuzz' (clang with libFuzzer, for tools/fuzz.sh) and
# 'long-run' (valgrind, for tools/long_run.sh).
# Usage: tools/install_deps.sh [fuzz] [long-run]
set -euo pipefail

packages=(
  g++ cmake ninja-build pkg-config
  libgl1-mesa-dev libglu1-mesa-dev freeglut3-dev libgl1-mesa-dri
  libpng-dev libassimp-dev libstb-dev
  googletest libgtest-dev
  xvfb xauth xdotool
)
for group in "$@"; do
  case "$group" in
    fuzz) packages+=(clang libclang-rt-dev) ;;
    long-run) packages+=(valgrind) ;;
    *) echo "install_deps.sh: unknown group '$group' (fuzz, long-run)" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}"

#!/usr/bin/env bash
# Builds the GPU engine's programs here and packs them into one folder that
# runs on a machine with only glibc, the C++ runtime and the NVIDIA driver
# (no toolkit, no GLUT, no libpng, no GoogleTest):
#   bin/        koru_gpu_tests, koru_gpu_bench, koru_render
#   lib/        libkoru and every shared library the programs load beyond
#               glibc, the C++ runtime and the driver, found with ldd
#   lib/cxx/    the C++ runtime, which the launcher uses only where the
#               machine's is older than the programs need
#   data/       the demo's textures and a small mesh for koru_render
#   run         the launcher: BUNDLE/run PROGRAM [ARGS...]
#   RESOURCES.txt  registers, stack and spills of each kernel on sm_90
#   gpu_check.sh  the device check: BUNDLE/gpu_check.sh OUTDIR
# Device code is built for sm_90 with PTX for newer devices and -lineinfo.
#
# usage: tools/gpu_bundle.sh [BUNDLE_DIR]
# BUNDLE_DIR defaults to gpu-bundle/ in the source tree (ignored by git); the
# build goes to build-bundle/ (BUILD overrides). The last line printed is the
# bundle's folder.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build-bundle}
bundle=${1:-$root/gpu-bundle}
max_bytes=$((64 * 1024 * 1024))
programs=(tests/koru_gpu_tests bench/koru_gpu_bench tools/koru_render)

echo "== build ($build)" >&2
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORU_CUDA=ON \
    -DKORU_CUDA_ARCHITECTURES=90 -DCMAKE_CUDA_FLAGS=-lineinfo >/dev/null
cmake --build "$build" --target koru koru_gpu_tests koru_gpu_bench koru_render koru_textures koru_make_mesh >&2

echo "== pack ($bundle)" >&2
rm -rf "$bundle"
mkdir -p "$bundle/bin" "$bundle/lib/cxx" "$bundle/data"
for p in "${programs[@]}"; do
    cp "$build/$p" "$bundle/bin/"
done
cp "$build"/data/*.bmp "$bundle/data/"
"$build/tools/koru_make_mesh" 2000 "$bundle/data/sphere.obj" >/dev/null
cp "$root/tools/gpu_check.sh" "$bundle/"

# Registers, stack and spills of each kernel on sm_90, for reading the
# device's timings.
"${CUDACXX:-/usr/local/cuda/bin/nvcc}" -std=c++17 -O3 --fmad=false -I"$root" -arch=sm_90 --resource-usage \
    -c "$root/gpu/kernels.cu" -o /dev/null 2>&1 |
    awk '/Compiling entry function/ { match($0, /_Z[A-Za-z0-9_]+/); name = substr($0, RSTART, RLENGTH) }
         /bytes stack frame/ { stack = $0 }
         /Used [0-9]+ registers/ && name != "" {
             match($0, /Used [0-9]+ registers/); regs = substr($0, RSTART + 5, RLENGTH - 15)
             match(stack, /[0-9]+ bytes stack frame/); frame = substr(stack, RSTART, RLENGTH - 18)
             match(stack, /[0-9]+ bytes spill stores/); stores = substr(stack, RSTART, RLENGTH - 19)
             match(stack, /[0-9]+ bytes spill loads/); loads = substr(stack, RSTART, RLENGTH - 18)
             cmd = "c++filt " name; cmd | getline pretty; close(cmd)
             printf "%-60s %4s registers %4s B stack %4s B spill stores %4s B spill loads\n", pretty, regs, frame, stores, loads
             name = "" }' >"$bundle/RESOURCES.txt"
(cd "$root" && git describe --always --dirty 2>/dev/null || echo unknown) >"$bundle/VERSION"

# Every library the programs load, transitively (ldd lists them all), apart
# from glibc and the driver, which the machine brings.
for p in "${programs[@]}"; do
    ldd "$build/$p"
done | awk '$2 == "=>" && $3 ~ /^\// { print $1, $3 }' | sort -u |
    while read -r name path; do
        case $name in
        ld-linux* | libc.so* | libm.so* | libpthread.so* | libdl.so* | librt.so* | libcuda.so* | libnvidia-*)
            continue ;;
        libstdc++.so* | libgcc_s.so*) cp -L "$path" "$bundle/lib/cxx/$name" ;;
        *) cp -L "$path" "$bundle/lib/$name" ;;
        esac
    done
# The newest C++ runtime version the programs and libraries ask for: the
# launcher takes lib/cxx only where the machine's runtime lacks it (lib/cxx's
# own runtime asks for a newer glibc than the programs do).
for f in "$bundle"/bin/* "$bundle"/lib/*.so*; do
    objdump -T "$f" | { grep -o 'GLIBCXX_[0-9.]*' || true; }
done | sort -V -u | tail -n 1 >"$bundle/lib/cxx/NEEDS"

cat >"$bundle/run" <<'EOF'
#!/bin/sh
# usage: BUNDLE/run PROGRAM [ARGS...]: one of the bundle's programs (bin/)
# with the bundle's libraries; BUNDLE/run --library-path prints the library
# path it sets.
here=$(cd "$(dirname "$0")" && pwd)
libs=$here/lib
# The machine's C++ runtime serves when it has the version the programs need;
# else the bundle's own (lib/cxx).
need=$(cat "$here/lib/cxx/NEEDS" 2>/dev/null)
system_cxx=$( (/sbin/ldconfig -p || ldconfig -p) 2>/dev/null | awk '/libstdc\+\+\.so\.6 .*x86-64/ { print $NF; exit }')
if [ -z "$system_cxx" ] || [ -z "$need" ] || ! grep -qa "$need" "$system_cxx"; then
    libs=$libs:$here/lib/cxx
fi
if [ "${1:-}" = --library-path ]; then
    echo "$libs"
    exit 0
fi
if [ $# -lt 1 ] || [ ! -x "$here/bin/$1" ]; then
    echo "usage: $0 PROGRAM [ARGS...], PROGRAM one of: $(ls "$here/bin" | tr '\n' ' ')" >&2
    exit 2
fi
program=$1
shift
LD_LIBRARY_PATH="$libs${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}" exec "$here/bin/$program" "$@"
EOF
chmod +x "$bundle/run" "$bundle/gpu_check.sh"

# Nothing may resolve outside the bundle but glibc, the C++ runtime and the
# driver.
outside=$(for f in "$bundle"/bin/* "$bundle"/lib/*.so*; do
    LD_LIBRARY_PATH="$bundle/lib" ldd "$f" | awk -v f="$(basename "$f")" '$2 == "=>" { print f ": " $1 " => " $3 }'
done | grep -v " => $bundle/" |
    grep -vE ': (linux-vdso|ld-linux|libc\.so|libm\.so|libpthread\.so|libdl\.so|librt\.so|libstdc\+\+\.so|libgcc_s\.so|libcuda\.so|libnvidia-)' ||
    true)
if [[ -n $outside ]]; then
    echo "gpu_bundle.sh: libraries outside the bundle:" >&2
    echo "$outside" >&2
    exit 1
fi
bytes=$(du -sb "$bundle" | cut -f1)
if ((bytes > max_bytes)); then
    echo "gpu_bundle.sh: the bundle is $bytes bytes, over the $max_bytes a device run carries" >&2
    exit 1
fi
echo "bundle: $(ls "$bundle"/lib/*.so* | wc -l) libraries (and the C++ runtime in lib/cxx, $(cat "$bundle/lib/cxx/NEEDS")), $((bytes / 1024 / 1024)) MiB ($bytes bytes), $(cat "$bundle/VERSION")" >&2
echo "$bundle"

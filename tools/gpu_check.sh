#!/usr/bin/env bash
# Checks the GPU engine on a machine with an NVIDIA GPU and the CUDA toolkit:
#   1. builds koru with CUDA (Release, into build-gpu/ unless BUILD is set);
#   2. prints each launched kernel's registers, stack and spills on sm_90
#      (nvcc --resource-usage);
#   3. runs the gpu tests (and the unit tests);
#   4. runs compute-sanitizer (memcheck, then initcheck) over a short
#      benchmark run, and over a short demo run when a display or xvfb-run is
#      there;
#   5. runs the GPU benchmark: kernel time per frame (CUDA events) and frames
#      per second for every depth with and without shadows at 640 x 480, and
#      TraverseRays throughput.
# With --resources it does steps 1 and 2 only, which need no device.
# Exits non-zero when a step fails.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD:-$root/build-gpu}
nvcc=${CUDACXX:-/usr/local/cuda/bin/nvcc}
sanitizer=$(command -v compute-sanitizer || ls /usr/local/cuda/bin/compute-sanitizer \
    /usr/local/cuda/compute-sanitizer/compute-sanitizer 2>/dev/null | head -1 || true)
only_resources=0
[[ ${1:-} == --resources ]] && only_resources=1

step() { printf '\n== %s\n' "$*"; }

step "build ($build)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKORU_CUDA=ON >/dev/null
cmake --build "$build" --target koru koru_unit_tests koru_gpu_tests koru_gpu_bench koru_demo

step "resource usage of the launched kernels on sm_90"
"$nvcc" -std=c++17 -O3 --fmad=false -DKORU_CUDA_MIN_ARCH=80 -I"$root" -arch=sm_90 --resource-usage \
    -c "$root/gpu/rtlib.cu" -o /dev/null 2>&1 |
    awk '/Compiling entry function/ { match($0, /_Z[A-Za-z0-9_]+/); name = substr($0, RSTART, RLENGTH) }
         /bytes stack frame/ { stack = $0 }
         /Used [0-9]+ registers/ && name != "" {
             match($0, /Used [0-9]+ registers/); regs = substr($0, RSTART + 5, RLENGTH - 15)
             match(stack, /[0-9]+ bytes stack frame/); frame = substr(stack, RSTART, RLENGTH - 18)
             match(stack, /[0-9]+ bytes spill stores/); stores = substr(stack, RSTART, RLENGTH - 19)
             match(stack, /[0-9]+ bytes spill loads/); loads = substr(stack, RSTART, RLENGTH - 18)
             cmd = "c++filt " name; cmd | getline pretty; close(cmd)
             printf "%-50s %4s registers %4s B stack %4s B spill stores %4s B spill loads\n", pretty, regs, frame, stores, loads
             name = "" }'
(( only_resources )) && exit 0

step "device"
nvidia-smi --query-gpu=name,compute_cap,driver_version,memory.total --format=csv,noheader || true

step "tests"
cd "$build"
# One run, kept: device time is scarce, and `ctest | grep -q` under pipefail
# can fail on the pipe that grep closes early.
ctest -L gpu --output-on-failure 2>&1 | tee gpu_tests.log
if grep -q Skipped gpu_tests.log; then
    echo "gpu tests were skipped: no usable CUDA device" >&2
    exit 1
fi
ctest -L unit --output-on-failure -j4 >/dev/null && echo "unit tests passed"

step "compute-sanitizer"
if [[ -z $sanitizer ]]; then
    echo "compute-sanitizer not found (it comes with the CUDA toolkit)" >&2
    exit 1
fi
for tool in memcheck initcheck; do
    "$sanitizer" --tool "$tool" --error-exitcode 1 ./bench/koru_gpu_bench --frames 1 --rays 4096 >/dev/null
    echo "$tool over koru_gpu_bench: clean"
done
if [[ -n ${DISPLAY:-} ]]; then
    "$sanitizer" --tool memcheck --error-exitcode 1 ./koru_demo --engine gpu --frames 10 >/dev/null
    echo "memcheck over koru_demo --engine gpu --frames 10: clean"
elif command -v xvfb-run >/dev/null; then
    xvfb-run -a -s "-screen 0 1280x1024x24" \
        "$sanitizer" --tool memcheck --error-exitcode 1 ./koru_demo --engine gpu --frames 10 >/dev/null
    echo "memcheck over koru_demo --engine gpu --frames 10 (xvfb): clean"
else
    echo "no display and no xvfb-run: the demo run is left out"
fi

step "benchmark"
./bench/koru_gpu_bench --frames 50

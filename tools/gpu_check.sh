#!/usr/bin/env bash
# Checks the GPU engine from a bundle made by tools/gpu_bundle.sh, on a
# machine that has the NVIDIA driver and nothing of ours: no build, no
# network. Packed into the bundle; run it there:
#
#   BUNDLE/gpu_check.sh OUTDIR
#
# Every step runs under its own timeout and the whole run stays inside about
# nine minutes; a step that fails does not stop the ones after it. Steps:
# the bundle's libraries, the programs starting, the driver and device, the
# GPU tests, the texture-filter probe, the demo frames of the device and of
# the host emulation at every depth and shadow setting, the frame test with
# the PTX compiled by the driver (CUDA_FORCE_PTX_JIT=1), the benchmark, and
# compute-sanitizer's memcheck and initcheck over the benchmark and the GPU
# tests. Without a device each device step says "no device".
#
# OUTDIR receives five files: summary.txt (the table and the lines that
# matter), check.log (every step's whole output), sanitizer.log,
# gpu_tests.xml and pictures.tar.gz (frames of the device and the emulation,
# and the pictures of failed image tests).
#
# Exit status: 0 every step passed; 1 a step failed or ran out of time;
# 3 no device, every other step passed.
set -uo pipefail

bundle=$(cd "$(dirname "$0")" && pwd)
if [[ $# -ne 1 ]]; then
    echo "usage: $0 OUTDIR" >&2
    exit 2
fi
mkdir -p "$1" || exit 2
out=$(cd "$1" && pwd)
# The whole run's budget in seconds, and what the summary needs at the end.
budget=${KORU_CHECK_SECONDS:-530}
reserve=10
started=$SECONDS

work=$(mktemp -d "${TMPDIR:-/tmp}/koru_gpu_check.XXXXXX")
logs=$work/logs
mkdir -p "$logs" "$work/pictures/frames" "$work/test_output"
# The programs read data/ from, and write Err.txt into, their working folder.
cp -r "$bundle/data" "$work/data"
cd "$work" || exit 2

run() { "$bundle/run" "$@"; }
sanitizer=$(command -v compute-sanitizer ||
    ls /usr/local/cuda/bin/compute-sanitizer /usr/local/cuda/compute-sanitizer/compute-sanitizer \
        /opt/nvidia/*/compute-sanitizer/compute-sanitizer 2>/dev/null | head -1)

# The driver and the device, from nvidia-smi (the driver's own tool).
device_name="" device_cc="" driver="" device=0
if command -v nvidia-smi >/dev/null 2>&1; then
    line=$(timeout 20 nvidia-smi --query-gpu=name,compute_cap,driver_version --format=csv,noheader 2>/dev/null |
        head -1)
    if [[ -n $line ]]; then
        IFS=',' read -r device_name device_cc driver <<<"$line"
        device_name=${device_name# } device_cc=${device_cc# } driver=${driver# }
        device=1
    fi
fi

names=() statuses=() times=() notes=()
record() { names+=("$1"); statuses+=("$2"); times+=("$3"); notes+=("$4"); }

# step NAME TIMEOUT NEEDS_DEVICE COMMAND...: runs the command under its
# timeout (cut to what is left of the budget), its output into its own log.
step() {
    local name=$1 limit=$2 needs_device=$3
    shift 3
    local log="$logs/$(printf '%02d' ${#names[@]})_${name// /_}.log"
    printf '\n== %s\n' "$name" | tee -a "$log"
    if ((needs_device)) && ((!device)); then
        echo "no device" | tee -a "$log"
        record "$name" "no device" 0 ""
        return
    fi
    local left=$((budget - (SECONDS - started) - reserve))
    if ((left < 5)); then
        echo "no time left" | tee -a "$log"
        record "$name" "no time" 0 ""
        return
    fi
    ((limit > left)) && limit=$left
    local begin=$SECONDS rc
    timeout --kill-after=5 "$limit" bash -c '"$@"' step "$@" >>"$log" 2>&1
    rc=$?
    local status=pass
    if ((rc == 124 || rc == 137)); then
        status="TIMEOUT ${limit}s"
    elif ((rc != 0)); then
        status="FAIL ($rc)"
    fi
    tail -n 15 "$log" | sed 's/^/  /'
    record "$name" "$status" $((SECONDS - begin)) ""
}

# Every library the bundle's programs load resolves inside the bundle, apart
# from glibc, the C++ runtime and the NVIDIA driver.
check_libraries() {
    local outside=0 file
    for file in "$bundle"/bin/* "$bundle"/lib/*.so*; do
        while read -r name _ path _; do
            [[ $path == "$bundle"/* ]] && continue
            case $name in
            linux-vdso* | ld-linux* | libc.so* | libm.so* | libpthread.so* | libdl.so* | librt.so* | \
                libstdc++.so* | libgcc_s.so* | libcuda.so* | libnvidia-*) continue ;;
            esac
            echo "$(basename "$file"): $name => $path"
            outside=1
        done < <(LD_LIBRARY_PATH="$bundle/lib" ldd "$file" 2>&1 | grep '=>')
    done
    ((outside)) && return 1
    echo "every library resolves inside the bundle (glibc, the C++ runtime and the driver apart)"
}

device_step() {
    echo "device: ${device_name:-none}, compute capability ${device_cc:-?}, driver ${driver:-?}"
    nvidia-smi | head -n 12
    # CUDA 13 needs driver 580 or newer.
    local major=${driver%%.*}
    if [[ $major =~ ^[0-9]+$ ]] && ((major < 580)); then
        echo "driver $driver is older than CUDA 13 needs (580 or newer): the GPU steps cannot run"
        return 1
    fi
}

# The programs load from the bundle and run; one short GPU test shows how
# koru sees the device (without one it says why, and skips).
programs_step() {
    echo "gpu tests listed: $(run koru_gpu_tests --gtest_list_tests | grep -c '^  ')" &&
        run koru_gpu_tests --gtest_filter=GpuDevice.EmptySceneRendersBlack 2>&1 |
        grep -E '^koru: |^\[ +(OK|SKIPPED|FAILED) +\] |no usable' &&
        run koru_render --obj data/sphere.obj --out "$work/pictures/koru_render_cpu.png" --size 160x120
}

# With a device there, a GPU test that skips means koru found it unusable.
no_skips() {
    local log=$1 rc=$2
    if grep -q '^\[  SKIPPED \]' "$log"; then
        echo "the device is there but the tests skipped: koru finds no usable device (see the reason above)"
        return 4
    fi
    return "$rc"
}

gpu_tests_step() {
    KORU_TEST_OUTPUT_DIR="$work/test_output" run koru_gpu_tests --gtest_output="xml:$out/gpu_tests.xml" 2>&1 |
        tee "$logs/gpu_tests_run.txt"
    no_skips "$logs/gpu_tests_run.txt" "${PIPESTATUS[0]}"
}

frames_step() {
    run koru_gpu_bench --frames 1 --rays 64 --png "$work/pictures/frames"
}

emulated_frames_step() {
    run koru_gpu_bench --emulate --frames 1 --png "$work/pictures/frames"
}

ptx_jit_step() {
    CUDA_FORCE_PTX_JIT=1 KORU_TEST_OUTPUT_DIR="$work/test_output/ptx_jit" \
        run koru_gpu_tests --gtest_filter=GpuDevice.FramesMatchTheHostEmulation 2>&1 | tee "$logs/ptx_jit_run.txt"
    no_skips "$logs/ptx_jit_run.txt" "${PIPESTATUS[0]}"
}

# The device tests that trace millions of rays or pixels stay out of the
# sanitizer runs: under it they take minutes.
sanitized_tests="GpuDevice.*-GpuDevice.RayQueriesTallerThanOneLaunchGoInBands:GpuDevice.TallFramesGoInBands"

sanitize() {
    local tool=$1 what=$2
    shift 2
    if [[ -z $sanitizer ]]; then
        echo "compute-sanitizer not found"
        return 1
    fi
    # The program itself runs under the sanitizer, not the launcher's tools.
    local program=$1
    shift
    LD_LIBRARY_PATH="$("$bundle/run" --library-path)" "$sanitizer" --tool "$tool" \
        --target-processes application-only --print-limit 20 --error-exitcode 1 \
        --log-file "$logs/sanitizer_${tool}_${what}.log" "$bundle/bin/$program" "$@" 2>&1 |
        tee "$logs/sanitizer_${tool}_${what}_run.txt"
    local rc=${PIPESTATUS[0]}
    grep -h "ERROR SUMMARY" "$logs/sanitizer_${tool}_${what}.log" | tail -n 1
    no_skips "$logs/sanitizer_${tool}_${what}_run.txt" "$rc"
}

# The steps run in a child shell under timeout.
export bundle out work logs sanitizer sanitized_tests device_name device_cc driver
export -f run no_skips check_libraries device_step programs_step gpu_tests_step frames_step emulated_frames_step \
    ptx_jit_step sanitize

echo "koru GPU check from $bundle ($(cat "$bundle/VERSION" 2>/dev/null || echo unknown version))"
echo "output in $out"
printf '\n== kernel resources on sm_90 (from the build)\n' >"$logs/00_resources.log"
cat "$bundle/RESOURCES.txt" >>"$logs/00_resources.log" 2>/dev/null
step "libraries" 30 0 check_libraries
step "programs start" 60 0 programs_step
step "driver and device" 20 1 device_step
step "gpu tests" 150 1 gpu_tests_step
step "texture probe" 30 1 run koru_gpu_bench --texture-probe
step "device frames" 40 1 frames_step
step "benchmark" 90 1 run koru_gpu_bench --frames 20
step "ptx jit frames" 120 1 ptx_jit_step
step "memcheck bench" 60 1 sanitize memcheck bench koru_gpu_bench --frames 1 --rays 4096
step "initcheck bench" 60 1 sanitize initcheck bench koru_gpu_bench --frames 1 --rays 4096
step "memcheck tests" 120 1 sanitize memcheck tests koru_gpu_tests --gtest_filter="$sanitized_tests"
step "initcheck tests" 90 1 sanitize initcheck tests koru_gpu_tests --gtest_filter="$sanitized_tests"
step "emulated frames" 90 0 emulated_frames_step

# Gather: at most a handful of files leave the machine.
cat "$logs"/[0-9]*.log >"$out/check.log"
if compgen -G "$logs/sanitizer_*.log" >/dev/null; then
    for f in "$logs"/sanitizer_*.log; do
        printf '== %s\n' "$(basename "$f")"
        cat "$f"
    done >"$out/sanitizer.log"
fi
cp -r "$work/test_output" "$work/pictures/test_output" 2>/dev/null
tar -czf "$out/pictures.tar.gz" -C "$work" pictures

failed=0
{
    echo "koru GPU check: $(cat "$bundle/VERSION" 2>/dev/null || echo unknown version)"
    if ((device)); then
        echo "device: $device_name, compute capability $device_cc, driver $driver"
    else
        echo "device: none (nvidia-smi found no NVIDIA GPU): every device step says so"
    fi
    grep -h "older than CUDA 13" "$out/check.log"
    grep -h "^koru: no usable CUDA device" "$out/check.log" | head -n 1
    echo
    printf '%-20s %-14s %7s\n' step status seconds
    for i in "${!names[@]}"; do
        printf '%-20s %-14s %7s\n' "${names[$i]}" "${statuses[$i]}" "${times[$i]}"
    done
    echo "total: $((SECONDS - started)) s"
    echo
    grep -hE '^\[ +(OK|FAILED|SKIPPED) +\] Gpu[A-Za-z]+\.[A-Za-z]+ ' "$logs"/*gpu_tests*.log 2>/dev/null
    grep -hE -A4 '^texture filter probe' "$out/check.log"
    grep -hE -A13 '^GPU engine, demo scene' "$logs"/*_benchmark.log 2>/dev/null | head -n 14
    grep -h '^TraverseRays' "$out/check.log" | tail -n 1
    grep -h 'ERROR SUMMARY' "$out/sanitizer.log" 2>/dev/null
} | tee "$out/summary.txt"

for s in "${statuses[@]}"; do
    case $s in
    pass | "no device") ;;
    *) failed=1 ;;
    esac
done
rm -rf "$work"
if ((failed)); then
    exit 1
elif ((!device)); then
    exit 3
fi
exit 0

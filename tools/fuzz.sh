#!/usr/bin/env bash
# Builds the fuzz targets (clang's libFuzzer with AddressSanitizer and
# UndefinedBehaviorSanitizer) into build-fuzz/ and runs them one after the
# other, SECONDS each (default 60): first over the inputs that once failed
# (fuzz/regressions/TARGET), then fuzzing from the seeds in fuzz/corpus/TARGET.
# Inputs that add coverage are kept in build-fuzz/corpus/TARGET, failing ones
# go to build-fuzz/findings/TARGET. Prints executions per target; exits
# non-zero when a target fails.
#
# Usage: tools/fuzz.sh [SECONDS] [TARGET...]   targets: bmp import scene_api kdtree
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build-fuzz"

seconds=${1:-60}
[ $# -gt 0 ] && shift
if ! [[ "$seconds" =~ ^[0-9]+$ ]] || [ "$seconds" -lt 1 ]; then
  echo "usage: tools/fuzz.sh [SECONDS] [TARGET...]" >&2
  exit 2
fi
all_targets=(bmp import scene_api kdtree)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=("${all_targets[@]}")

# Longest input per target: enough for its structure, small enough to stay fast.
declare -A max_len=([bmp]=4096 [import]=8192 [scene_api]=2048 [kdtree]=4096)
for t in "${targets[@]}"; do
  [ -n "${max_len[$t]:-}" ] || { echo "tools/fuzz.sh: unknown target '$t' (${all_targets[*]})" >&2; exit 2; }
done

"$root/tools/install_deps.sh" fuzz
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DKORU_FUZZ=ON -DKORU_CUDA=OFF -DKORU_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" --target $(printf 'koru_fuzz_%s ' "${targets[@]}")

# Leaks inside the system's assimp are not ours (fuzz/lsan.supp).
export LSAN_OPTIONS="suppressions=$root/fuzz/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"

failed=()
summary=()
for t in "${targets[@]}"; do
  exe="$build/fuzz/koru_fuzz_$t"
  corpus="$build/corpus/$t"
  findings="$build/findings/$t"
  log="$build/fuzz_$t.log"
  mkdir -p "$corpus" "$findings"
  cd "$build"

  regressions=()
  if [ -d "$root/fuzz/regressions/$t" ]; then
    while IFS= read -r -d '' f; do regressions+=("$f"); done \
      < <(find "$root/fuzz/regressions/$t" -type f ! -name '*.md' -print0 | sort -z)
  fi
  if [ ${#regressions[@]} -gt 0 ]; then
    echo "== $t: ${#regressions[@]} regression inputs"
    if ! "$exe" -timeout=60 "${regressions[@]}" >"$log.regressions" 2>&1; then
      tail -n 40 "$log.regressions"
      failed+=("$t (regressions)")
      continue
    fi
  fi

  echo "== $t: fuzzing for ${seconds} s"
  status=0
  "$exe" -max_total_time="$seconds" -max_len="${max_len[$t]}" -timeout=60 -rss_limit_mb=4096 \
    -print_final_stats=1 -artifact_prefix="$findings/" "$corpus" "$root/fuzz/corpus/$t" >"$log" 2>&1 || status=$?
  runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  summary+=("$(printf '%-10s %10s executions in %s s' "$t" "$runs" "$seconds")")
  if [ $status -ne 0 ]; then
    tail -n 60 "$log"
    echo "== $t failed; the input is in $findings"
    failed+=("$t")
  fi
done

echo
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "failed: ${failed[*]}" >&2
  exit 1
fi

#!/usr/bin/env bash
# Long runs of the demo under a virtual X server.
#
#   tools/long_run.sh rss [FRAMES]       koru_demo --engine cpu --frames FRAMES
#                                        (default 20000); resident memory is
#                                        sampled every 5 s with the frame reached,
#                                        and must stay flat from the first sample
#                                        after the scene is built to the last.
#   tools/long_run.sh valgrind [FRAMES]  one memcheck run of a short demo
#                                        (default 3 frames); the GL driver's own
#                                        findings are suppressed by
#                                        tools/valgrind.supp, so every error left
#                                        is ours. Exits non-zero on any.
#
# Samples and reports go to build/long_run/. Builds what it runs in build/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"
out="$build/long_run"
xvfb=(xvfb-run -a -s "-screen 0 1280x1024x24")
# Growth of the resident set tolerated between the first and the last sample.
rss_slack_kib=2048

usage() {
  echo "usage: tools/long_run.sh rss [FRAMES] | valgrind [FRAMES]" >&2
  exit 2
}

# Inner half of 'rss', run under the virtual X server: starts the demo and
# samples its resident set until it ends.
if [ "${1:-}" = "--sample" ]; then
  frames=$2 samples=$3 frame_log=$4
  # A log left by an earlier run would count its frames as this run's.
  : >"$frame_log"
  ./koru_demo --engine cpu --frames "$frames" --log "$frame_log" >"$out/demo_stdout.txt" 2>&1 &
  pid=$!
  start=$SECONDS
  : >"$samples"
  while kill -0 "$pid" 2>/dev/null; do
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
    frame=$(wc -l <"$frame_log" 2>/dev/null || echo 0)
    [ -n "$rss" ] && echo "$((SECONDS - start)) $frame $rss" >>"$samples"
    sleep 5
  done
  wait "$pid"
  exit $?
fi

mode=${1:-}
[ -n "$mode" ] || usage
frames=${2:-}
case "$mode" in
  rss) frames=${frames:-20000} ;;
  valgrind) frames=${frames:-3} ;;
  *) usage ;;
esac
[[ "$frames" =~ ^[1-9][0-9]*$ ]] || usage

groups=()
[ "$mode" = valgrind ] && groups=(long-run)
"$root/tools/install_deps.sh" "${groups[@]}"
[ -f "$build/CMakeCache.txt" ] || cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target koru_demo koru_textures
mkdir -p "$out"
cd "$build"   # the demo reads data/*.bmp from its working directory

if [ "$mode" = rss ]; then
  samples="$out/rss_samples.txt"
  echo "koru_demo --engine cpu --frames $frames: resident memory every 5 s in $samples"
  status=0
  "${xvfb[@]}" bash "$root/tools/long_run.sh" --sample "$frames" "$samples" "$out/frames.log" || status=$?
  if [ $status -ne 0 ]; then
    echo "koru_demo ended with status $status:" >&2
    tail -n 20 "$out/demo_stdout.txt" >&2
    exit 1
  fi
  # The first sample once frames are being drawn, the largest, the last.
  awk -v slack="$rss_slack_kib" -v frames="$frames" '
    $2 > 0 && first == "" { first = $3; first_t = $1; first_f = $2 }
    { if ($3 > max) max = $3; last = $3; last_t = $1; last_f = $2; n++ }
    END {
      if (first == "") { print "no sample was taken while frames were drawn"; exit 1 }
      printf "start: %d KiB at %d s (frame %d)\n", first, first_t, first_f
      printf "end:   %d KiB at %d s (frame %d of %d)\n", last, last_t, last_f, frames
      printf "peak:  %d KiB over %d samples\n", max, n
      growth = last - first
      printf "growth from start to end: %d KiB (tolerated: %d KiB)\n", growth, slack
      if (growth > slack) { print "resident memory grew: FAILED"; exit 1 }
      print "resident memory flat: OK"
    }' "$samples" | tee "$out/rss_report.txt"
  exit "${PIPESTATUS[0]}"
fi

report="$out/valgrind.txt"
echo "valgrind memcheck of koru_demo --engine cpu --frames $frames; report in $report"
status=0
"${xvfb[@]}" valgrind --tool=memcheck --leak-check=full --keep-debuginfo=yes \
  --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible --num-callers=30 \
  --suppressions="$root/tools/valgrind.supp" --error-exitcode=3 --log-file="$report" \
  ./koru_demo --engine cpu --frames "$frames" >"$out/valgrind_demo_stdout.txt" 2>&1 || status=$?
grep -E "ERROR SUMMARY|definitely lost|indirectly lost|possibly lost|still reachable|suppressed:" "$report" | sed 's/^==[0-9]*== //'
if [ $status -ne 0 ]; then
  echo "memcheck found errors (status $status): see $report" >&2
  exit 1
fi
echo "memcheck: no errors"

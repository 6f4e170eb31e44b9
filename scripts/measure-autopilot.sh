#!/usr/bin/env bash
# CPU and memory of the real Tovrik over a scripted UI Autopilot run, beside
# grab + JPEG of the same screens measured in the same run.
#
# Inside its own test environment (two 2560 x 1440 monitors, xcompmgr), the
# bench stand-in of the hosted service (bench/stand-in) answers each step
# request with the next line of a decision script: --steps - 1 clicks on the
# second monitor, then "done". Tovrik, signed in there with UI Autopilot on,
# is given the task through its panel's chat box. Figures:
#  - CPU of the whole process from the first step request to the last, per
#    step, against the CPU of one grab + JPEG of both displays (the capture
#    benchmark's pipeline, the same screens, measured right after the run);
#  - resident memory: idle before the run, the peak during it (sampled every
#    50 ms), and 10 s after it ended, against the size of one set of
#    screenshots (both displays' native pixels).
#
#   bash scripts/measure-autopilot.sh [--steps N]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${TOVRIK_BUILD_DIR:-$root/build}"
steps=20
while [ $# -gt 0 ]; do
  case "$1" in
    --steps) steps="$2"; shift ;;
    *) echo "measure-autopilot: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

if [ "${MEASURE_AUTOPILOT_INNER:-}" != 1 ]; then
  bash "$root/scripts/build.sh" tovrik tovrik-bench-stand-in tovrik_bench >/dev/null
  MEASURE_AUTOPILOT_INNER=1 TOVRIK_TEST_SCREEN=5120x1440x24 \
    exec bash "$root/scripts/with-test-env.sh" bash "$0" --steps "$steps"
fi

# shellcheck source=real-app-env.sh
source "$root/scripts/real-app-env.sh"
real_app_two_monitors >/dev/null
tmp=$(mktemp -d "$HOME/measure-autopilot.XXXXXX")

# The script: clicks on empty desk of the second monitor, each elsewhere.
decisions="$tmp/decisions"
for i in $(seq 1 $((steps - 1))); do
  printf '{"message":"Step %d","expected_result":"nothing changes","task_state":{"current_goal":"bench"},"action":{"type":"click","x":%d,"y":%d,"screen":2,"label":"desk"}}\n' \
    "$i" $((300 + 40 * i)) $((400 + 17 * (i % 7)))
done >"$decisions"
printf '{"message":"Done","action":{"type":"done","text":"Finished."}}\n' >>"$decisions"

REAL_APP_STAND_IN="$build/bench/stand-in/tovrik-bench-stand-in" real_app_start_stand_in "$tmp/stand-in" \
  --decisions "$decisions"
trap 'kill "$stand_in" 2>/dev/null || true; [ -n "${MEASURE_AUTOPILOT_KEEP:-}" ] && cp -r "$tmp" "$MEASURE_AUTOPILOT_KEEP"' EXIT
real_app_sign_in
python3 - "$XDG_DATA_HOME/Tovrik/tovrik.settings.json" <<'PY'
import json, sys
p = sys.argv[1]
s = json.load(open(p))
s["isUIAutopilotEnabled"] = True
json.dump(s, open(p, "w"), indent=4)
PY
real_app_start "$tmp/tovrik.log"

rss_kb() { awk '/^Rss:/ {print $2}' "/proc/$1/smaps_rollup"; }
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
hz=$(getconf CLK_TCK)

# Idle, signed in, panel shown (it shows at every launch), before the run.
sleep 12
[ -n "${MEASURE_AUTOPILOT_KEEP:-}" ] && cp "/proc/$app/smaps" "$tmp/smaps-idle"
idle_kb=$(rss_kb "$app")
idle_t0=$(cpu_ticks "$app"); idle_w0=$(date +%s.%N)
for _ in 1 2 3 4; do v=$(rss_kb "$app"); [ "$v" -lt "$idle_kb" ] && idle_kb=$v; sleep 0.5; done
idle_t1=$(cpu_ticks "$app"); idle_w1=$(date +%s.%N)

# The task, typed into the panel's chat box.
[ -n "${MEASURE_AUTOPILOT_SHOT:-}" ] && import -window root -crop 2560x1440+0+0 "$MEASURE_AUTOPILOT_SHOT" 2>/dev/null
# The panel sits at the top right of the main monitor; its chat box below the
# shortcuts, with the Ask button at its bottom right.
xdotool mousemove 2380 195 click 1
sleep 0.3
xdotool type --delay 5 "click around the second screen"
xdotool mousemove 2483 224 click 1 # Ask
peak_kb=$idle_kb
first_ticks="" ; last_ticks="" ; first_t="" ; last_t=""
deadline=$((SECONDS + 30 + 5 * steps))
while [ $SECONDS -lt $deadline ]; do
  v=$(rss_kb "$app"); [ "$v" -gt "$peak_kb" ] && peak_kb=$v
  n=$(grep -c '^autopilot step' "$stand_in_log" || true)
  if [ -z "$first_ticks" ] && [ "$n" -ge 1 ]; then
    first_ticks=$(cpu_ticks "$app"); first_t=$(date +%s.%N)
    # MEASURE_AUTOPILOT_PERF=<file> records a profile of the run (perf).
    [ -n "${MEASURE_AUTOPILOT_PERF:-}" ] && { perf record ${MEASURE_AUTOPILOT_PERF_ARGS:--F 999 -g} -p "$app" -o "$MEASURE_AUTOPILOT_PERF" >/dev/null 2>&1 & perf_pid=$!; }
  fi
  if [ "$n" -ge "$steps" ]; then
    last_ticks=$(cpu_ticks "$app"); last_t=$(date +%s.%N)
    [ -n "${perf_pid:-}" ] && { kill -INT "$perf_pid"; wait "$perf_pid" 2>/dev/null || true; }
    break
  fi
  sleep 0.05
done
if [ -z "$last_ticks" ]; then
  echo "measure-autopilot: the run did not reach step $steps ($(grep -c '^autopilot step' "$stand_in_log" || true) steps seen)" >&2
  tail -n 20 "$tmp/tovrik.log" "$stand_in_log" >&2
  [ -n "${MEASURE_AUTOPILOT_SHOT:-}" ] && import -window root -crop 2560x1440+0+0 "${MEASURE_AUTOPILOT_SHOT%.png}-end.png" 2>/dev/null
  exit 1
fi
# The run has ended once no step request came for 3 s; then 10 s more.
seen=$(grep -c '^autopilot step' "$stand_in_log" || true)
quiet_since=$SECONDS
while [ $((SECONDS - quiet_since)) -lt 3 ]; do
  v=$(rss_kb "$app"); [ "$v" -gt "$peak_kb" ] && peak_kb=$v
  n=$(grep -c '^autopilot step' "$stand_in_log" || true)
  [ "$n" != "$seen" ] && { seen=$n; quiet_since=$SECONDS; }
  sleep 0.05
done
after_t0=$(cpu_ticks "$app"); after_w0=$(date +%s.%N)
end=$((SECONDS + 7))
while [ $SECONDS -lt $end ]; do
  v=$(rss_kb "$app"); [ "$v" -gt "$peak_kb" ] && peak_kb=$v
  sleep 0.05
done
after_kb=$(rss_kb "$app")
after_t1=$(cpu_ticks "$app"); after_w1=$(date +%s.%N)
[ -n "${MEASURE_AUTOPILOT_KEEP:-}" ] && cp "/proc/$app/smaps" "$tmp/smaps-after"
kill "$app"; wait "$app" 2>/dev/null || true

# The reference: grab + JPEG of the same two displays, CPU per capture.
reference=$(TOVRIK_BENCH_DISPLAY=$DISPLAY "$build/bench/tovrik_bench" \
  --benchmark_filter='BM_Capture_GrabAndJpegAllDisplays' 2>/dev/null | grep GrabAndJpeg || true)
ref_cpu_ms=$(sed -n 's/.*cpu_ms_per_capture=\([0-9.]*\).*/\1/p' <<<"$reference")

awk -v t0="$first_ticks" -v t1="$last_ticks" -v hz="$hz" -v n="$steps" -v w0="$first_t" -v w1="$last_t" \
    -v ref="$ref_cpu_ms" -v idle="$idle_kb" -v peak="$peak_kb" -v after="$after_kb" \
    -v i0="$idle_t0" -v i1="$idle_t1" -v iw0="$idle_w0" -v iw1="$idle_w1" \
    -v a0="$after_t0" -v a1="$after_t1" -v aw0="$after_w0" -v aw1="$after_w1" 'BEGIN {
  step = 1000 * (t1 - t0) / hz / (n - 1)
  shots = 2 * 2560 * 1440 * 4 / 1024
  printf "autopilot run of %d steps: %.1f s, %.1f steps/s\n", n, w1 - w0, (n - 1) / (w1 - w0)
  printf "CPU per step, whole process:      %7.1f ms\n", step
  printf "grab + JPEG of both displays:     %7.1f ms CPU (same run)\n", ref
  if (ref > 0) printf "ratio:                            %7.2f\n", step / ref
  printf "RSS idle before the run:          %7.1f MB\n", idle / 1024
  printf "RSS peak during the run:          %7.1f MB (idle + %.1f MB; one set of screenshots %.1f MB, ratio %.2f)\n", peak / 1024, (peak - idle) / 1024, shots / 1024, (peak - idle) / shots
  printf "RSS 10 s after the run:           %7.1f MB (idle + %.1f MB)\n", after / 1024, (after - idle) / 1024
  printf "CPU idle before the run:          %7.1f ms/s (panel shown)\n", 1000 * (i1 - i0) / hz / (iw1 - iw0)
  printf "CPU 3-10 s after the run:         %7.1f ms/s\n", 1000 * (a1 - a0) / hz / (aw1 - aw0)
}'

#!/usr/bin/env bash
# A typed turn of the real Tovrik on X11 with a compositor: from the click on
# the panel's Ask button to the chat request read whole at the stand-in of the
# hosted service (bench/stand-in, which notes the time), beside the capture
# step with the real overlay on the same screens measured in the same run
# (the capture benchmark on this desktop, right after).
#
# Two 2560 x 1440 monitors with xcompmgr (its own test environment), signed
# in; --turns typed turns (default 8), each in a fresh start of the app.
# The click on Ask is posted by a clicker already connected to the X server
# (bench/clicker), which notes the time just before the press goes out.
#
#   bash scripts/measure-typed-turn.sh [--turns N]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${TOVRIK_BUILD_DIR:-$root/build}"
turns=8
while [ $# -gt 0 ]; do
  case "$1" in
    --turns) turns="$2"; shift ;;
    *) echo "measure-typed-turn: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

if [ "${MEASURE_TURN_INNER:-}" != 1 ]; then
  bash "$root/scripts/build.sh" tovrik tovrik-bench-stand-in tovrik-bench-clicker tovrik_bench >/dev/null
  MEASURE_TURN_INNER=1 TOVRIK_TEST_SCREEN=5120x1440x24 \
    exec bash "$root/scripts/with-test-env.sh" bash "$0" --turns "$turns"
fi

# shellcheck source=real-app-env.sh
source "$root/scripts/real-app-env.sh"
real_app_two_monitors >/dev/null
tmp=$(mktemp -d "$HOME/measure-typed-turn.XXXXXX")
REAL_APP_STAND_IN="$build/bench/stand-in/tovrik-bench-stand-in" real_app_start_stand_in "$tmp/stand-in"
coproc clicker { "$build/bench/tovrik-bench-clicker"; }
trap 'kill "$stand_in" "$clicker_PID" 2>/dev/null || true' EXIT
real_app_sign_in
chats() { grep -c '^POST [^ ]*/chat ' "$stand_in_log" || true; }
latencies=()
for i in $(seq 1 "$turns"); do
  # A fresh start for each turn (its panel shows at launch), signed in and
  # settled.
  real_app_start "$tmp/tovrik.log"
  sleep 7
  before=$(chats)
  # The chat box of the panel (top right of the main monitor), then Ask.
  xdotool mousemove 2380 195 click 1
  sleep 0.2
  xdotool type --delay 2 "what is on my screen? ($i)"
  sleep 0.3
  # MEASURE_TURN_TRACE=<file> keeps an strace of each turn's writes (timed).
  [ -n "${MEASURE_TURN_TRACE:-}" ] && { strace -f -ttt -e trace=write,writev,sendmsg,sendto,poll,ppoll -o "$MEASURE_TURN_TRACE.$i" -p "$app" 2>/dev/null & trace_pid=$!; sleep 0.5; }
  echo "2483 224" >&"${clicker[1]}" # Ask
  read -r clicked_ms <&"${clicker[0]}"
  clicked=$(awk -v c="$clicked_ms" 'BEGIN {printf "%.6f", c / 1000}')
  for _ in $(seq 1 200); do [ "$(chats)" -gt "$before" ] && break; sleep 0.02; done
  if [ "$(chats)" -le "$before" ]; then
    echo "measure-typed-turn: turn $i sent no chat request" >&2
    kill "$app"; wait "$app" 2>/dev/null || true
    continue
  fi
  arrived=$(grep '^POST [^ ]*/chat ' "$stand_in_log" | tail -1 | awk '{print $3}')
  [ -n "${MEASURE_TURN_TRACE:-}" ] && echo "clicked $(awk -v c="$clicked" 'BEGIN {printf "%.3f", c * 1000}') arrived $(awk -v a="$arrived" 'BEGIN {printf "%.3f", a * 1000}')" >&2
  latencies+=("$(awk -v a="$arrived" -v c="$clicked" 'BEGIN {printf "%.1f", 1000 * (a - c)}')")
  sleep 1
  [ -n "${trace_pid:-}" ] && { kill "$trace_pid" 2>/dev/null; wait "$trace_pid" 2>/dev/null || true; echo "clicked $clicked" >>"$MEASURE_TURN_TRACE.$i"; }
  kill "$app"; wait "$app" 2>/dev/null || true
done

reference=$(TOVRIK_BENCH_DISPLAY=$DISPLAY "$build/bench/tovrik_bench" \
  --benchmark_filter='StepWithRealOverlay' 2>/dev/null | grep StepWithRealOverlay || true)
step_ms=$(sed -n 's/.*step_median_ms=\([0-9.]*\).*/\1/p' <<<"$reference")
printf '%s\n' "${latencies[@]}" | sort -n | awk -v step="$step_ms" '
  { v[NR] = $1 }
  END {
    m = v[int((NR + 1) / 2)]
    printf "typed turn, Ask -> chat request read whole: median %.1f ms (min %.1f, max %.1f, %d turns)\n", m, v[1], v[NR], NR
    printf "capture step with the real overlay, same screens, same run: %.1f ms\n", step
    if (step > 0) printf "ratio: %.2f\n", m / step
  }'

#!/usr/bin/env bash
# Idle wake-ups and X traffic of the real Tovrik, signed in with its panel
# hidden, beside a bare Qt program measured in the same run (tools/overlay-floor
# --still: one translucent full-screen window per screen, nothing running).
#
# For each program, after it has settled (--settle, default 40 s: the worker
# threads of the start-up have ended), over --seconds (default 30):
#  - wake-ups: the context switches of all its threads (/proc, nothing attached);
#  - then, over the same length again with strace attached to every thread:
#    system calls, and the writes to its X connection with their bytes (the X
#    requests it sends; none written means none sent).
#
#   bash scripts/measure-idle.sh [--seconds N] [--settle N]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${TOVRIK_BUILD_DIR:-$root/build}"
seconds=30
settle=40
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) seconds="$2"; shift ;;
    --settle) settle="$2"; shift ;;
    *) echo "measure-idle: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

if [ "${MEASURE_IDLE_INNER:-}" != 1 ]; then
  bash "$root/scripts/build.sh" tovrik tovrik-fake-hosted-service tovrik-overlay-floor >/dev/null
  MEASURE_IDLE_INNER=1 TOVRIK_TEST_SCREEN=5120x1440x24 \
    exec bash "$root/scripts/with-test-env.sh" bash "$0" --seconds "$seconds" --settle "$settle"
fi

# shellcheck source=real-app-env.sh
source "$root/scripts/real-app-env.sh"
real_app_two_monitors >/dev/null
tmp=$(mktemp -d "$HOME/measure-idle.XXXXXX")

switches() {
  local total=0 t v
  for t in /proc/"$1"/task/*/status; do
    v=$(awk '/_ctxt_switches:/ {s += $2} END {print s + 0}' "$t" 2>/dev/null || echo 0)
    total=$((total + v))
  done
  echo "$total"
}

# The test environment's Xvfb (started with -displayfd, its command line names
# no display): the child of one of this script's ancestors.
server_pid() {
  local p=$$ x
  while [ "$p" -gt 1 ]; do
    x=$(pgrep -x -P "$p" Xvfb | head -1 || true)
    [ -n "$x" ] && { echo "$x"; return; }
    p=$(awk '{print $4}' "/proc/$p/stat")
  done
}
server_ticks() { awk '{print $14 + $15}' "/proc/$(server_pid)/stat"; }
# The inodes of the server's ends of its connections: a client's socket whose
# peer is one of them is an X connection.
server_sockets() { find "/proc/$(server_pid)/fd" -lname 'socket:*' -printf '%l\n' 2>/dev/null | tr -dc '0-9\n'; }

# Prints "wakeups/s syscalls/s x_writes/s x_bytes/s server_ms/s" for $1.
measure() {
  local pid=$1 name=$2 before after ticks0 ticks1 trace="$tmp/$2.strace"
  sleep "$settle"
  before=$(switches "$pid")
  ticks0=$(server_ticks)
  sleep "$seconds"
  after=$(switches "$pid")
  ticks1=$(server_ticks)
  timeout -s INT "$seconds" strace -f -qq -yy -o "$trace" -p "$pid" 2>/dev/null || true
  server_sockets >"$tmp/server-sockets"
  awk -v w=$((after - before)) -v s="$seconds" -v ticks=$((ticks1 - ticks0)) -v hz="$(getconf CLK_TCK)" '
    FNR == NR { x[$1] = 1; next }
    # Calls begun while traced, not those strace found waiting when it attached
    # (each thread was in a call when strace attached: its first line).
    /^[0-9]+ +[a-z_0-9]+\(/ { if ($1 in seen) calls++; seen[$1] = 1 }
    /^[0-9]+ +(write|writev|sendmsg|sendto)\([0-9]+<UNIX-STREAM:\[[0-9]+->[0-9]+\]>/ {
      match($0, /->[0-9]+\]/)
      if (substr($0, RSTART + 2, RLENGTH - 3) in x) {
        xw++; if (match($0, /= [0-9]+$/)) xb += substr($0, RSTART + 2)
      }
    }
    END { printf "%.2f %.2f %.2f %.1f %.2f\n", w / s, calls / s, xw / s, xb / s, 1000 * ticks / hz / s }
  ' "$tmp/server-sockets" "$trace"
  if [ -s "$trace" ]; then
    echo "-- $name: system calls seen while idle (most frequent first)" >&2
    grep -Ev '^[0-9]+ +(restart_syscall\(<\.\.\. resuming|<\.\.\.)' "$trace" | sed -E 's/^[0-9]+ +//; s/\(.*//'  | sort | uniq -c | sort -rn | head -8 >&2 || true
    if [ -n "${MEASURE_IDLE_TRACES:-}" ]; then cp "$trace" "$MEASURE_IDLE_TRACES.$name"; fi
  fi
}

# The reference.
"$build/tools/overlay-floor/tovrik-overlay-floor" --still >"$tmp/floor.log" 2>&1 &
floor=$!
floor_figures=$(measure "$floor" floor)
kill "$floor"; wait "$floor" 2>/dev/null || true

real_app_start_stand_in "$tmp/stand-in"
trap 'kill "$stand_in" 2>/dev/null || true' EXIT
real_app_sign_in
real_app_start "$tmp/tovrik.log"
real_app_hide_panel
app_figures=$(measure "$app" tovrik)
if ! grep -q "GET .*/auth/me" "$stand_in_log"; then
  echo "measure-idle: Tovrik never checked its session with the stand-in (not signed in?)" >&2
  cat "$tmp/tovrik.log" >&2
fi
kill "$app"; wait "$app" 2>/dev/null || true

printf '%-34s %12s %12s\n' "idle over ${seconds} s, per second" "tovrik" "bare qt app"
paste <(tr ' ' '\n' <<<"$app_figures") <(tr ' ' '\n' <<<"$floor_figures") |
  paste <(printf '%s\n' "wake-ups (context switches)" "system calls (strace)" "writes to the X connection" \
                        "bytes to the X connection" "X server CPU, ms") - |
  awk -F'\t' '{printf "%-34s %12s %12s\n", $1, $2, $3}'

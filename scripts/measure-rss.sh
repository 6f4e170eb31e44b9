#!/usr/bin/env bash
# Resident memory of the real Tovrik, signed in and idle with its panel hidden,
# beside the floor measured in the same run: a bare Qt program with one
# translucent full-screen window per screen (tools/overlay-floor).
#
# It starts its own X server with two 2560 x 1440 monitors and a compositor, a
# private D-Bus session with an unlocked keyring, and the local stand-in of the
# hosted service; it signs in against the stand-in, files the session where
# Tovrik keeps it (settings file + keyring item), starts Tovrik, waits for it
# to settle with its panel hidden (a click outside it), and reads
# /proc/<pid>/smaps_rollup. With --breakdown it also
# prints the resident memory of each group of mappings (heap, anonymous,
# shared memory, each library, fonts, thread stacks).
#
#   bash scripts/measure-rss.sh [--breakdown] [--settle SECONDS]
#
# MEASURE_RSS_SMAPS=<file> keeps a copy of Tovrik's /proc/<pid>/smaps.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${TOVRIK_BUILD_DIR:-$root/build}"
breakdown=0
settle=8
while [ $# -gt 0 ]; do
  case "$1" in
    --breakdown) breakdown=1 ;;
    --settle) settle="$2"; shift ;;
    *) echo "measure-rss: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

if [ "${MEASURE_RSS_INNER:-}" != 1 ]; then
  bash "$root/scripts/build.sh" tovrik tovrik-fake-hosted-service tovrik-overlay-floor >/dev/null
  args=(--settle "$settle")
  [ "$breakdown" = 1 ] && args+=(--breakdown)
  MEASURE_RSS_INNER=1 TOVRIK_TEST_SCREEN=5120x1440x24 \
    exec bash "$root/scripts/with-test-env.sh" bash "$0" "${args[@]}"
fi

# Inside the test environment (its own HOME, X server with a compositor,
# D-Bus session and unlocked keyring): two 2560 x 1440 monitors side by side.
# shellcheck source=real-app-env.sh
source "$root/scripts/real-app-env.sh"
real_app_two_monitors
tmp=$(mktemp -d "$HOME/measure-rss.XXXXXX")

# Resident kB of a process (smaps_rollup; the shared-memory segments it
# shares with the X server count in full).
rss_kb() { awk '/^Rss:/ {print $2}' "/proc/$1/smaps_rollup"; }

print_breakdown() {
  awk '
    /^[0-9a-f]+-[0-9a-f]+ / {
      name = (NF >= 6) ? $6 : "[anon]"
      for (i = 7; i <= NF; i++) name = name " " $i
      if (name ~ /\.so/) { sub(/.*\//, "", name); sub(/\.so.*/, ".so", name) }
      else if (name ~ /^\/SYSV/ || name ~ /\(deleted\)/ || name ~ /^\/dev\/shm/ || name ~ /^\/memfd:/) name = "[shared memory] " name
      else if (name ~ /fonts/) name = "[fonts]"
      next_is = name
      next
    }
    /^Rss:/ { sum[next_is] += $2 }
    END { for (n in sum) if (sum[n] >= 64) printf "%8d kB  %s\n", sum[n], n }
  ' "/proc/$1/smaps" | sort -rn | head -40
  echo "  threads: $(ls "/proc/$1/task" | wc -l)"
}

# Settles for $settle seconds, then takes the lowest of five readings a second
# apart (a transient allocation is not what idle holds).
measure() {
  sleep "$settle"
  local best=""
  for _ in 1 2 3 4 5; do
    local v
    v=$(rss_kb "$1")
    if [ -z "$best" ] || [ "$v" -lt "$best" ]; then best=$v; fi
    sleep 1
  done
  echo "$best"
}

# The floor.
"$build/tools/overlay-floor/tovrik-overlay-floor" >"$tmp/floor.log" 2>&1 &
floor=$!
floor_kb=$(measure "$floor")
[ "$breakdown" = 1 ] && { echo "== floor"; print_breakdown "$floor"; }
kill "$floor"; wait "$floor" 2>/dev/null || true

# The stand-in and a session signed in there.
real_app_start_stand_in "$tmp/stand-in"
trap 'kill "$stand_in" 2>/dev/null || true' EXIT
real_app_sign_in
real_app_start "$tmp/tovrik.log"
real_app_hide_panel
app_kb=$(measure "$app")
if ! grep -q "GET .*/auth/me" "$stand_in_log"; then
  echo "measure-rss: Tovrik never checked its session with the stand-in (not signed in?)" >&2
  cat "$tmp/tovrik.log" >&2
fi
[ "$breakdown" = 1 ] && { echo "== tovrik"; print_breakdown "$app"; }
[ -n "${MEASURE_RSS_SMAPS:-}" ] && cp "/proc/$app/smaps" "$MEASURE_RSS_SMAPS"
kill "$app"; wait "$app" 2>/dev/null || true

awk -v a="$app_kb" -v f="$floor_kb" 'BEGIN {
  printf "tovrik signed in, idle: %.1f MB\nqt floor:               %.1f MB\nratio to floor:         %.2f\n",
         a / 1024, f / 1024, a / f }'

#!/usr/bin/env bash
# Spoken answers of several lengths (a 440 Hz sine encoded by lame), each
# played by the program's own output (bench/speech) and by
# `gst-launch-1.0 playbin` in the same run, into the test environment's null
# sink, starting on a suspended sink: the time to the first sound heard on
# the sink's monitor, the CPU time and the resident memory.
#
#   bash scripts/measure-speech.sh [--long]
#
# Every answer is played whole, twice: 10 s, 1 and 3 min take about 9 min;
# --long adds 10 min and 130 min at 32 kbit/s (about 5 hours).
#
# Tovrik's first sound counts from the hand-over of the clip (the bytes are
# in memory), playbin's from its start; Tovrik's CPU from the hand-over to
# the finish, playbin's for its whole run; Tovrik's memory is its peak and
# its level 2 s after the answer, above the level just before (the clip
# already held), playbin's its whole peak.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${TOVRIK_BUILD_DIR:-$root/build}"
if [ "${MEASURE_SPEECH_INNER:-}" != 1 ]; then
  bash "$root/scripts/build.sh" tovrik-bench-speech >/dev/null
  MEASURE_SPEECH_INNER=1 exec bash "$root/scripts/with-test-env.sh" bash "$0" "$@"
fi
bench="$build/bench/tovrik-bench-speech"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
lengths=(10 60 180)
[ "${1:-}" = --long ] && lengths+=(600 7800)
field() { awk -v k="$1" '$1 == k { print $2 }' "$2"; }
printf '%-8s %-9s %9s %9s %8s %8s %8s %8s %9s %7s\n' length side first_ms ratio cpu_ms ratio peak_mib after_mib threads result
for seconds in "${lengths[@]}"; do
  clip="$work/answer-$seconds.mp3"
  bitrate=128
  [ "$seconds" -gt 3600 ] && bitrate=32
  "$bench" tone "$seconds" | lame -r -s 44.1 --bitwidth 16 --signed --little-endian -m m -b "$bitrate" --quiet - "$clip"
  "$bench" listen -- "$bench" play "$clip" >"$work/t.txt"
  "$bench" listen -- gst-launch-1.0 -q playbin uri="file://$clip" >"$work/g.txt"
  tf=$(field first_sound_ms "$work/t.txt"); gf=$(field first_sound_ms "$work/g.txt")
  tc=$(field cpu_ms "$work/t.txt"); gc=$(field child_cpu_ms "$work/g.txt")
  idle=$(field idle_rss_mib "$work/t.txt")
  peak=$(awk -v p="$(field peak_rss_mib "$work/t.txt")" -v i="$idle" 'BEGIN { printf "+%.1f", p - i }')
  after=$(awk -v a="$(field after_rss_mib "$work/t.txt")" -v i="$idle" 'BEGIN { printf "+%.1f", a - i }')
  threads="$(field idle_threads "$work/t.txt")->$(field after_threads "$work/t.txt")"
  printf '%-8s %-9s %9s %9s %8s %8s %8s %8s %9s %7s\n' "${seconds}s" tovrik "$tf" \
    "$(awk -v a="$tf" -v b="$gf" 'BEGIN { printf "%.2f", a / b }')" "$tc" \
    "$(awk -v a="$tc" -v b="$gc" 'BEGIN { printf "%.2f", a / b }')" "$peak" "$after" "$threads" "$(field result "$work/t.txt")"
  printf '%-8s %-9s %9s %9s %8s %8s %8s %8s %9s %7s\n' "" playbin "$gf" 1 "$gc" 1 "$(field child_peak_rss_mib "$work/g.txt")" - - "exit $(field exit "$work/g.txt")"
done

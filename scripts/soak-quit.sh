#!/usr/bin/env bash
# Quits the real Tovrik right after a speech request, again and again, and
# counts the crashes (not a test: a soak). Each round starts the app on two
# 2560 x 1440 monitors with a compositor (its own test environment), signed
# in to the stand-in of the hosted service, asks a typed question in the
# panel, waits for the answer's /tts request at the stand-in and then ends the
# app at once, by SIGTERM or by Ctrl+Q, alternately. By quarters of the run,
# the stand-in answers the speech request with an ordinary MP3 ("ok"), with
# an error ("failed") or with header fields that never end ("flooded"), or
# the app runs without a sound server, so that the MP3 it bought cannot play
# ("no-sound-server"). Core
# dumps are on (ulimit -c unlimited); a round whose app did not end with
# status 0 is a crash, and its log is kept.
#
# With --hold, each round instead holds the voice chord (Ctrl+Alt, through
# XTest) until the app records, and ends the app during the hold by SIGTERM,
# SIGINT, SIGHUP or SIGQUIT in turn; every other four rounds the app is
# slowed at the quit (stopped for 150 ms, let run for 2 ms, again and again
# until it ends). A recording left behind counts too. With --released as
# well, the chord is let go first and the quit comes while the spoken turn
# uploads its recording and waits for the answer.
#
#   bash scripts/soak-quit.sh [--rounds N] [--hold [--released]]   (default 200 rounds)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${TOVRIK_BUILD_DIR:-$root/build}"
rounds=200
hold=0
released=0
while [ $# -gt 0 ]; do
  case "$1" in
    --rounds) rounds="$2"; shift ;;
    --hold) hold=1 ;;
    --released) released=1 ;;
    *) echo "soak-quit: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

hold_option=()
[ "$hold" = 1 ] && hold_option=(--hold)
[ "$released" = 1 ] && hold_option+=(--released)
if [ "${SOAK_QUIT_INNER:-}" != 1 ]; then
  bash "$root/scripts/build.sh" tovrik tovrik-fake-hosted-service >/dev/null
  SOAK_QUIT_INNER=1 TOVRIK_TEST_SCREEN=5120x1440x24 \
    exec bash "$root/scripts/with-test-env.sh" bash "$0" --rounds "$rounds" "${hold_option[@]}"
fi

ulimit -c unlimited
# shellcheck source=real-app-env.sh
source "$root/scripts/real-app-env.sh"
real_app_two_monitors >/dev/null
tmp=$(mktemp -d "$HOME/soak-quit.XXXXXX")
keep="${SOAK_QUIT_LOGS:-/tmp/tovrik-soak-quit}"
mkdir -p "$keep"
crashes=0
ok=0
if [ "$hold" = 1 ]; then
  # shellcheck source=soak-quit-hold.sh
  source "$root/scripts/soak-quit-hold.sh"
  soak_quit_hold
  exit $?
fi
ctrl_q_missed=0
kind=""
for i in $(seq 1 "$rounds"); do
  previous="$kind"
  case $((4 * (i - 1) / rounds)) in
    0) kind=ok ;;
    1) kind=failed ;;
    2) kind=flooded ;;
    *) kind=no-sound-server ;;
  esac
  if [ $((i % 2)) = 0 ]; then how=ctrl-q; else how=sigterm; fi
  if [ "$kind" != "$previous" ]; then
    # A stand-in of its own for each kind of speech answer.
    [ -n "${stand_in:-}" ] && { kill "$stand_in" 2>/dev/null || true; wait "$stand_in" 2>/dev/null || true; }
    extra=()
    [ "$kind" = failed ] && extra=(--speech-fails)
    [ "$kind" = flooded ] && extra=(--speech-header-flood)
    real_app_start_stand_in "$tmp/stand-in-$kind" --reply "An answer to speak." "${extra[@]}"
    trap 'kill "$stand_in" 2>/dev/null || true' EXIT
    real_app_sign_in
  fi
  speech() { grep -c '^POST [^ ]*/tts\( \|$\)' "$stand_in_log" || true; }
  before=$(speech)
  if [ "$kind" = no-sound-server ]; then
    PULSE_SERVER=unix:/nonexistent/tovrik-soak real_app_start "$tmp/tovrik.log"
  else
    real_app_start "$tmp/tovrik.log"
  fi
  sleep 7
  xdotool mousemove 2380 195 click 1
  sleep 0.2
  xdotool type --delay 2 "say something ($i)"
  xdotool mousemove 2483 224 click 1
  for _ in $(seq 1 300); do [ "$(speech)" -gt "$before" ] && break; sleep 0.02; done
  if [ "$(speech)" -le "$before" ]; then
    echo "soak-quit: round $i made no speech request; quitting anyway" >&2
    cp "$stand_in_log" "$keep/stand-in-round-$i.log"
  fi
  if [ "$how" = sigterm ]; then
    kill -TERM "$app"
  else
    xdotool mousemove 2380 195 click 1 key ctrl+q
    sleep 3
    if kill -0 "$app" 2>/dev/null; then # Ctrl+Q did not reach the panel
      ctrl_q_missed=$((ctrl_q_missed + 1))
      kill -TERM "$app"
    fi
  fi
  status=0
  wait "$app" || status=$?
  criticals=$((${criticals:-0} + $(grep -c 'CRITICAL' "$tmp/tovrik.log" || true)))
  if [ "$status" != 0 ]; then
    crashes=$((crashes + 1))
    cp "$tmp/tovrik.log" "$keep/round-$i.log"
    echo "soak-quit: round $i ($kind, $how) ended with status $status (log in $keep/round-$i.log)" >&2
  else
    ok=$((ok + 1))
  fi
done
cores=$(find "$HOME" "$tmp" "$PWD" -maxdepth 2 -name 'core*' -type f 2>/dev/null | wc -l)
echo "quits: $rounds, clean: $ok, crashed: $crashes, core files: $cores (Ctrl+Q quits that needed SIGTERM: $ctrl_q_missed; GStreamer criticals logged: ${criticals:-0})"
[ "$crashes" = 0 ]

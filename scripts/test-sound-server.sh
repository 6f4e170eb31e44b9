#!/usr/bin/env bash
# The test environment's sound server (scripts/with-test-env.sh): a per-user
# PulseAudio on the private runtime folder whose only sink plays into
# nothing (tovrik_test_sink, suspended after a second of quiet, as a
# desktop's is after five) and whose default microphone is a steady 440 Hz
# sine (tovrik_test_mic, a source of fixed latency of 2 s).
#
#   test-sound-server.sh start   starts it in the background (its pid in
#                                $XDG_RUNTIME_DIR/tovrik-test-pulse.pid) and
#                                waits until it answers; false when it does not
#   test-sound-server.sh stop    ends the one started last (also a stopped one)
#
# With the server, the environment's speech-dispatcher (configured in
# $XDG_RUNTIME_DIR/tovrik-test-speechd by the environment) is started anew:
# its output module may not survive the server it spoke into.
# Tests that kill the server start it again the same way, and the
# environment's cleanup ends whichever runs last.
set -euo pipefail
pidfile="$XDG_RUNTIME_DIR/tovrik-test-pulse.pid"
log="$XDG_RUNTIME_DIR/tovrik-test-pulse.log"
speechd="$XDG_RUNTIME_DIR/tovrik-test-speechd"
export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse/native"

end() { # pid file
  [ -f "$1" ] || return 0
  local pid
  pid=$(cat "$1")
  kill -CONT "$pid" 2>/dev/null || true
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.02
  done
  if kill -0 "$pid" 2>/dev/null; then kill -9 "$pid" 2>/dev/null || true; fi
  rm -f "$1"
}

case "${1:-}" in
  start)
    setsid pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --realtime=no --high-priority=no \
           -L "module-native-protocol-unix auth-anonymous=1" \
           -L "module-null-sink sink_name=tovrik_test_sink" \
           -L "module-suspend-on-idle timeout=1" >>"$log" 2>&1 </dev/null &
    echo $! >"$pidfile"
    for _ in $(seq 1 100); do
      pactl info >/dev/null 2>&1 && break
      sleep 0.05
    done
    if ! pactl info >/dev/null 2>&1; then
      cat "$log" >&2
      exit 1
    fi
    pactl load-module module-sine-source source_name=tovrik_test_mic frequency=440 >/dev/null &&
      pactl set-default-source tovrik_test_mic || true
    if [ -d "$speechd" ]; then
      end "$speechd/pid"
      config=()
      [ -f "$speechd/speechd.conf" ] && config=(-C "$speechd")
      mkdir -p "$XDG_RUNTIME_DIR/speech-dispatcher"
      rm -f "$XDG_RUNTIME_DIR/speech-dispatcher/speechd.sock"
      setsid speech-dispatcher -s -t 0 "${config[@]}" -c unix_socket -S "$XDG_RUNTIME_DIR/speech-dispatcher/speechd.sock" \
             -P "$speechd/pid" -L "$speechd" >>"$speechd/log" 2>&1 </dev/null &
      for _ in $(seq 1 100); do
        [ -S "$XDG_RUNTIME_DIR/speech-dispatcher/speechd.sock" ] && break
        sleep 0.05
      done
    fi ;;
  stop)
    end "$speechd/pid"
    end "$pidfile" ;;
  *)
    echo "usage: $0 start|stop" >&2
    exit 2 ;;
esac

#!/usr/bin/env bash
# Runs a command inside the environment the tests need: a temporary HOME and
# XDG folders, an Xvfb server with a compositor (without one, translucent
# windows paint black), a private D-Bus session and an unlocked
# gnome-keyring (the real Secret Service). TOVRIK_TEST_SCREEN sets the
# server's screen (default 1920x1080x24).
set -euo pipefail

tmp=$(mktemp -d /tmp/tovrik-test-env.XXXXXX)
export HOME="$tmp/home" XDG_DATA_HOME="$tmp/data" XDG_CONFIG_HOME="$tmp/config" \
       XDG_CACHE_HOME="$tmp/cache" XDG_RUNTIME_DIR="$tmp/runtime"
mkdir -p "$HOME" "$XDG_DATA_HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

# The server picks its own display number (-displayfd writes it once the
# server accepts connections): choosing one by looking for free lock files
# races with any other X server starting at the same moment.
Xvfb -displayfd 1 -screen 0 "${TOVRIK_TEST_SCREEN:-1920x1080x24}" +extension RANDR +extension XTEST +extension XInputExtension \
     -nolisten tcp -noreset >"$tmp/display" 2>"$tmp/xvfb.log" &
xvfb=$!
pids+=($xvfb)
for _ in $(seq 1 600); do
  # One whole line (the number and its newline), or a server that gave up.
  [ "$(wc -l <"$tmp/display")" -ge 1 ] && break
  kill -0 "$xvfb" 2>/dev/null || break
  sleep 0.05
done
n=$(head -n 1 "$tmp/display")
if ! [[ "$n" =~ ^[0-9]+$ ]]; then
  echo "with-test-env: Xvfb did not start" >&2
  cat "$tmp/xvfb.log" >&2
  exit 1
fi
export DISPLAY=":$n"
if ! xdpyinfo >/dev/null 2>&1; then
  echo "with-test-env: Xvfb on $DISPLAY does not answer" >&2
  cat "$tmp/xvfb.log" >&2
  exit 1
fi
xcompmgr >"$tmp/xcompmgr.log" 2>&1 &
pids+=($!)
export TOVRIK_TEST_COMPOSITOR=1

# A sound server of its own whose only sink plays into nothing: playback has
# somewhere to go, and tests record what was played from the sink's monitor
# (TOVRIK_TEST_PULSE_SINK names the sink). A per-user server on the private
# runtime folder, also when run as root. Its sink suspends after a second of
# quiet, as a desktop's does (after five there), so that playback is tested
# starting on a suspended sink as well as on a running one.
if command -v pulseaudio >/dev/null 2>&1; then
  pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no --realtime=no --high-priority=no \
             -L "module-native-protocol-unix auth-anonymous=1" \
             -L "module-null-sink sink_name=tovrik_test_sink" \
             -L "module-suspend-on-idle timeout=1" >"$tmp/pulseaudio.log" 2>&1 &
  pids+=($!)
  export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse/native"
  for _ in $(seq 1 100); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.05
  done
  if pactl info >/dev/null 2>&1; then
    export TOVRIK_TEST_PULSE_SINK=tovrik_test_sink
    # The default microphone: a steady 440 Hz sine (TOVRIK_TEST_PULSE_MIC names it).
    if pactl load-module module-sine-source source_name=tovrik_test_mic frequency=440 >/dev/null &&
       pactl set-default-source tovrik_test_mic; then
      export TOVRIK_TEST_PULSE_MIC=tovrik_test_mic
    fi
  else
    echo "with-test-env: PulseAudio did not start; tests play into no sound server" >&2
    cat "$tmp/pulseaudio.log" >&2
  fi
fi
# The system voice's speech-dispatcher, started here where clients look for
# it, so that it ends with the environment instead of being spawned by the
# first client and outliving it.
# Its modules are named (eSpeak NG where installed): left to find them itself
# it also starts its fallback module, which holds a playback stream open from
# the start and so keeps the sink from ever suspending.
if command -v speech-dispatcher >/dev/null 2>&1; then
  mkdir -p "$XDG_RUNTIME_DIR/speech-dispatcher"
  speechd_config=()
  if [ -x /usr/lib/speech-dispatcher-modules/sd_espeak-ng ] && [ -f /etc/speech-dispatcher/speechd.conf ] &&
     [ -f /etc/speech-dispatcher/modules/espeak-ng.conf ]; then
    mkdir -p "$tmp/speechd/modules"
    cp /etc/speech-dispatcher/modules/espeak-ng.conf "$tmp/speechd/modules/"
    [ -d /etc/speech-dispatcher/clients ] && cp -r /etc/speech-dispatcher/clients "$tmp/speechd/"
    { grep -v -E '^[[:space:]]*(AddModule|DefaultModule)' /etc/speech-dispatcher/speechd.conf
      echo 'AddModule "espeak-ng" "sd_espeak-ng" "espeak-ng.conf"'
      echo 'DefaultModule espeak-ng'; } >"$tmp/speechd/speechd.conf"
    speechd_config=(-C "$tmp/speechd")
  fi
  speech-dispatcher -s -t 0 "${speechd_config[@]}" -c unix_socket -S "$XDG_RUNTIME_DIR/speech-dispatcher/speechd.sock" \
                    -P "$XDG_RUNTIME_DIR/speech-dispatcher/pid" -L "$tmp" >"$tmp/speech-dispatcher.log" 2>&1 &
  pids+=($!)
  for _ in $(seq 1 100); do
    [ -S "$XDG_RUNTIME_DIR/speech-dispatcher/speechd.sock" ] && break
    sleep 0.05
  done
fi

# The keyring runs inside a private session bus; its password is non-empty
# so the login collection is created unlocked.
inner=$(cat <<'INNER'
set -euo pipefail
eval "$(printf 'tovrik-test-password' | gnome-keyring-daemon --unlock --components=secrets 2>/dev/null)"
eval "$(gnome-keyring-daemon --start --components=secrets 2>/dev/null)"
export GNOME_KEYRING_CONTROL SSH_AUTH_SOCK 2>/dev/null || true
export TOVRIK_TEST_SECRET_SERVICE=1
exec "$@"
INNER
)
status=0
dbus-run-session -- bash -c "$inner" bash "$@" 2> >(grep -v "Failed to set fd limit" >&2) || status=$?
exit $status

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
  [ -n "${TOVRIK_TEST_SOUND_SERVER:-}" ] && bash "$TOVRIK_TEST_SOUND_SERVER" stop 2>/dev/null || true
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

# The system voice's speech-dispatcher, started with the sound server (and
# again with it) where clients look for it, so that it ends with the
# environment instead of being spawned by the first client and outliving it.
# Its modules are named (eSpeak NG where installed): left to find them itself
# it also starts its fallback module, which holds a playback stream open from
# the start and so keeps the sink from ever suspending.
if command -v speech-dispatcher >/dev/null 2>&1; then
  speechd="$XDG_RUNTIME_DIR/tovrik-test-speechd"
  mkdir -p "$speechd"
  if [ -x /usr/lib/speech-dispatcher-modules/sd_espeak-ng ] && [ -f /etc/speech-dispatcher/speechd.conf ] &&
     [ -f /etc/speech-dispatcher/modules/espeak-ng.conf ]; then
    mkdir -p "$speechd/modules"
    cp /etc/speech-dispatcher/modules/espeak-ng.conf "$speechd/modules/"
    [ -d /etc/speech-dispatcher/clients ] && cp -r /etc/speech-dispatcher/clients "$speechd/"
    { grep -v -E '^[[:space:]]*(AddModule|DefaultModule)' /etc/speech-dispatcher/speechd.conf
      echo 'AddModule "espeak-ng" "sd_espeak-ng" "espeak-ng.conf"'
      echo 'DefaultModule espeak-ng'; } >"$speechd/speechd.conf"
  fi
fi

# A sound server of its own whose only sink plays into nothing: playback has
# somewhere to go, and tests record what was played from the sink's monitor
# (TOVRIK_TEST_PULSE_SINK names the sink, TOVRIK_TEST_PULSE_MIC the default
# microphone). Its sink suspends when quiet, so that playback is tested
# starting on a suspended sink as well as on a running one.
# TOVRIK_TEST_SOUND_SERVER names the script that starts and stops it: a test
# that kills the server starts it again with that, and leaves it running.
sound_server="$(cd "$(dirname "$0")" && pwd)/test-sound-server.sh"
if command -v pulseaudio >/dev/null 2>&1; then
  export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse/native"
  if bash "$sound_server" start 2>"$tmp/pulseaudio.log"; then
    export TOVRIK_TEST_PULSE_SINK=tovrik_test_sink TOVRIK_TEST_SOUND_SERVER="$sound_server"
    pactl list short sources | grep -q tovrik_test_mic && export TOVRIK_TEST_PULSE_MIC=tovrik_test_mic
  else
    echo "with-test-env: PulseAudio did not start; tests play into no sound server" >&2
    cat "$tmp/pulseaudio.log" >&2
  fi
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

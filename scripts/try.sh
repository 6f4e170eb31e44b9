#!/usr/bin/env bash
# Tries Tovrik against the local stand-in of the hosted service: builds both,
# starts the stand-in, starts Tovrik trusting the stand-in's test CA (no root,
# the system's trust store is not touched) and stops the stand-in when Tovrik
# quits. Tovrik runs with a profile of its own (settings and keyring in the
# stand-in's data folder, on a private D-Bus session), so a real installation
# and its account are left alone.
#
#   bash scripts/try.sh [stand-in options...]
#
# Sign in with ada@example.com / secret123 (or pass --account). The stand-in
# publishes this build as an update: "Check for updates" finds it and says
# that a build run from the build tree cannot install it. Options go to
# the stand-in, e.g. --reply "The Save button is at the top. [POINT:400,120:Save button:screen1]"
# or --decisions FILE (UI Autopilot decisions, see the README).
# --data-dir PATH keeps the stand-in's CA and Tovrik's profile in PATH.
# What a Tovrik killed mid-run left held down or lent, the next start on the
# same display lets go of and gives back.
# SIGTERM, SIGINT, SIGHUP or SIGQUIT to this script quit Tovrik the normal
# way, and the stand-in stops with it. Should this script end without its
# own clean-up (SIGKILL), the session still ends the same way.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${TOVRIK_BUILD_DIR:-$root/build}"
stand_in_binary="$build/tools/fake-hosted-service/tovrik-fake-hosted-service"

data="${TOVRIK_TRY_DATA_DIR:-${XDG_DATA_HOME:-$HOME/.local/share}/tovrik-fake-hosted-service}"
stand_in_args=()
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help|--help-all)
      sed -n '2,/^set -euo/{/^set -euo/d;s/^# \{0,1\}//;p}' "$0"
      if [ -x "$stand_in_binary" ]; then
        echo
        "$stand_in_binary" --help | sed -n '/^Options:/,$p'
      else
        echo
        echo "(Build the stand-in to list its options: bash scripts/build.sh tovrik-fake-hosted-service)"
      fi
      exit 0 ;;
    --data-dir) [ $# -ge 2 ] || { echo "tovrik try: --data-dir needs a folder" >&2; exit 2; }
                data="$2"; shift 2 ;;
    --data-dir=*) data="${1#--data-dir=}"; shift ;;
    *) stand_in_args+=("$1"); shift ;;
  esac
done
set -- "${stand_in_args[@]+"${stand_in_args[@]}"}"
if [ -z "${DISPLAY:-}" ]; then
  echo "tovrik: no X11 display (DISPLAY is not set); start it from an X11 desktop session." >&2
  exit 1
fi
bash "$root/scripts/setup-deps.sh"
bash "$root/scripts/build.sh" tovrik tovrik-fake-hosted-service
# A release for "Check for updates" to find: this build packed as an update.
bash "$root/scripts/build.sh" tovrik_update_package >/dev/null 2>&1 \
  || { echo "tovrik try: could not pack the update package (cmake --build build --target tovrik_update_package)" >&2; exit 1; }

mkdir -p "$data/profile"
data=$(cd "$data" && pwd)
chmod 700 "$data" "$data/profile"
log="$data/stand-in.log"

args=(--data-dir "$data" --update-dir "$build/update")
case " $* " in *" --account "*) ;; *) args+=(--account "ada@example.com:secret123:1200") ;; esac
case " $* " in
  *" --reply "*) ;;
  *) args+=(--reply "This is the local stand-in of the hosted service. Here is the top-left corner. [POINT:40,40:top-left corner:screen1]") ;;
esac

# Tovrik's runtime folder: one per data folder (short enough for the sockets
# in it) in one folder of the user's. Its Tovrik folder is kept while it holds
# anything: the records of what a Tovrik killed mid-run left held down or
# lent, which the next start on the same display lets go of and gives back.
# The rest goes with the session.
base="${TMPDIR:-/tmp}/tovrik-try-$(id -u)"
mkdir -m 700 "$base" 2>/dev/null || true
if [ -L "$base" ] || [ ! -d "$base" ] || [ "$(stat -c %u "$base")" != "$(id -u)" ]; then
  echo "tovrik try: $base is not a folder of this user's; remove it and start again" >&2
  exit 1
fi
chmod 700 "$base"
runtime="$base/$(printf '%s' "$data" | sha256sum | cut -c1-16)"
mkdir -m 700 -p "$runtime"
# One try session at a time on a data folder (they would share the runtime
# folder); the lock is this script's alone, not its children's.
exec 9>>"$runtime/.lock"
if ! flock -n 9; then
  echo "tovrik try: another try session uses $data" >&2
  exit 1
fi
clear_runtime() {
  find "$runtime" -mindepth 1 -maxdepth 1 ! -name Tovrik ! -name .lock -exec rm -rf {} + 2>/dev/null || true
}
clear_runtime
# What the sessions of other data folders that no longer run left behind
# (a fresh data folder each time, as in the README) is this start's to give
# back.
for other in "$base"/*; do
  [ "$other" = "$runtime" ] || [ ! -d "$other" ] && continue
  exec 8>>"$other/.lock"
  if flock -n 8; then
    if [ -d "$other/Tovrik" ]; then
      mkdir -m 700 -p "$runtime/Tovrik"
      find "$other/Tovrik" -mindepth 1 -maxdepth 1 -type f -exec mv -n -t "$runtime/Tovrik" {} + 2>/dev/null || true
    fi
    rm -rf "$other"
  fi
  exec 8>&-
done
# The log exists before anything reads it.
: >"$log"
"$stand_in_binary" "${args[@]}" "$@" >"$log" 2>&1 9>&- &
stand_in=$!
# Whether process $1 runs (an ended one waiting to be reaped does not).
running() {
  local state
  state=$(sed 's/.*) //' "/proc/$1/stat" 2>/dev/null | cut -d' ' -f1) && [ -n "$state" ] && [ "$state" != Z ]
}
# The system voice starts a speech-dispatcher of its own in the private
# runtime folder; it goes with the session (by force when it hangs on TERM,
# as it does when its audio output never opened).
end_session() {
  kill "$stand_in" 2>/dev/null || true
  for _ in $(seq 1 100); do running "$stand_in" || break; sleep 0.1; done
  speechd=$(cat "$runtime/speech-dispatcher/pid" 2>/dev/null || true)
  if [ -n "$speechd" ]; then kill "$speechd" 2>/dev/null; sleep 0.5; kill -9 "$speechd" 2>/dev/null; fi
  clear_runtime
  if rmdir "$runtime/Tovrik" 2>/dev/null || [ ! -e "$runtime/Tovrik" ]; then rm -f "$runtime/.lock"; rmdir "$runtime" 2>/dev/null; fi
  true
}
trap 'end_session; { echo done >&7; } 2>/dev/null || true' EXIT
trap 'exit 1' TERM INT HUP QUIT
# The session's keeper: it holds the lifeline (fd 7, which no program of
# the session keeps) and the data folder's lock. When this script goes without its clean-up (SIGKILL), the lifeline
# breaks: the keeper quits Tovrik the normal way, ends the session as the
# clean-up would, and only then lets go of the lock.
keeper() {
  trap '' INT TERM HUP QUIT
  local said="" session
  read -r said || true
  [ "$said" = done ] && exit 0
  session=$(cat "$runtime/session.pid" 2>/dev/null || true)
  if [ -n "$session" ]; then
    for _ in $(seq 1 100); do [ -s "$runtime/tovrik.pid" ] || ! running "$session" && break; sleep 0.1; done
    kill -TERM "$(cat "$runtime/tovrik.pid" 2>/dev/null)" 2>/dev/null || kill -TERM "$session" 2>/dev/null || true
    for _ in $(seq 1 300); do running "$session" || break; sleep 0.1; done
    kill -KILL "$(cat "$runtime/tovrik.pid" 2>/dev/null)" "$session" 2>/dev/null || true
  fi
  end_session
}
exec 7> >(keeper >/dev/null 2>&1)
port=""
for _ in $(seq 1 300); do
  port=$(sed -n 's/^fake hosted service listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$log")
  [ -n "$port" ] && break
  kill -0 "$stand_in" 2>/dev/null || break
  sleep 0.1
done
if [ -z "$port" ]; then
  echo "tovrik try: the stand-in did not start:" >&2
  cat "$log" >&2
  exit 1
fi
echo "tovrik try: stand-in on 127.0.0.1:$port (its requests are logged in $log)" >&2

export https_proxy="http://127.0.0.1:$port" HTTPS_PROXY="http://127.0.0.1:$port"
export TOVRIK_EXTRA_CA_FILE="$data/trusted-ca.pem"
export XDG_DATA_HOME="$data/profile"
# A runtime folder of its own keeps the private keyring away from the
# desktop's; the sound server is still found where it was.
if [ -z "${PULSE_SERVER:-}" ] && [ -S "${XDG_RUNTIME_DIR:-/nonexistent}/pulse/native" ]; then
  export PULSE_SERVER="unix:$XDG_RUNTIME_DIR/pulse/native"
fi
export XDG_RUNTIME_DIR="$runtime"
# Tovrik's own keyring, unlocked with a fixed password, on a private session bus.
# Its process id is written down, so that a signal to this script reaches it.
inner=$(cat <<'INNER'
set -euo pipefail
eval "$(printf 'tovrik-try' | gnome-keyring-daemon --unlock --components=secrets 2>/dev/null)"
eval "$(gnome-keyring-daemon --start --components=secrets 2>/dev/null)"
echo $$ >"$XDG_RUNTIME_DIR/tovrik.pid"
exec "$@"
INNER
)
# In the background with `wait`, which a signal interrupts (a foreground
# child would hold the signal back until it ends): the signal goes on to
# Tovrik, which quits the normal way, and the stand-in stops after it.
dbus-run-session -- bash -c "$inner" bash "$build/src/app/tovrik" 7>&- 9>&- &
session=$!
echo "$session" >"$runtime/session.pid"
forward() {
  kill "-$1" "$(cat "$runtime/tovrik.pid" 2>/dev/null)" 2>/dev/null || kill "-$1" "$session" 2>/dev/null || true
}
trap 'forward TERM' TERM
trap 'forward INT' INT
trap 'forward HUP' HUP
trap 'forward QUIT' QUIT
status=0
while :; do
  wait "$session" && status=0 || status=$?
  kill -0 "$session" 2>/dev/null || break
done
trap - TERM INT HUP QUIT
exit $status

# Sourced by soak-quit.sh for --hold: quits during a voice hold. Uses the
# variables soak-quit.sh set up (rounds, tmp, keep, build, the helpers of
# real-app-env.sh).

# The recording the app is making now, if any.
soak_hold_recording() {
  find "$XDG_RUNTIME_DIR/Tovrik" -maxdepth 1 -name 'tovrik-recording-*' 2>/dev/null | head -n 1
}

# Whether process $1 has ended (gone, or a zombie waiting to be reaped).
soak_hold_ended() {
  local state
  state=$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null || true)
  [ -z "$state" ] || [ "$state" = Z ]
}

# Presses the chord until the app records (the first presses may come
# before its hotkey monitor runs); false when it never did.
soak_hold_press() {
  local try
  for try in $(seq 1 40); do
    xdotool keydown ctrl+alt
    for _ in $(seq 1 20); do
      [ -n "$(soak_hold_recording)" ] && return 0
      sleep 0.05
    done
    xdotool keyup alt ctrl
    sleep 0.3
  done
  return 1
}

# Sends signal $2 to the app $1 while stopping it for 150 ms and letting it
# run for 2 ms, again and again, until it ends.
soak_hold_quit_slowed() {
  local pid="$1" signal="$2"
  kill -STOP "$pid"
  sleep 0.15
  kill "-$signal" "$pid"
  for _ in $(seq 1 400); do
    kill -CONT "$pid" 2>/dev/null || break
    sleep 0.002
    soak_hold_ended "$pid" && break
    kill -STOP "$pid" 2>/dev/null || break
    sleep 0.15
  done
  kill -CONT "$pid" 2>/dev/null || true
}

soak_quit_hold() {
  local i signal slowed status left missed=0
  real_app_start_stand_in "$tmp/stand-in-hold" --reply "An answer to speak."
  trap 'kill "$stand_in" 2>/dev/null || true; xdotool keyup alt ctrl 2>/dev/null || true' EXIT
  real_app_sign_in
  left=0
  for i in $(seq 1 "$rounds"); do
    case $(((i - 1) % 4)) in
      0) signal=TERM ;;
      1) signal=INT ;;
      2) signal=HUP ;;
      *) signal=QUIT ;;
    esac
    slowed=$((((i - 1) / 4) % 2))
    real_app_start "$tmp/tovrik.log"
    sleep 1
    if ! soak_hold_press; then
      missed=$((missed + 1))
      echo "soak-quit: round $i never recorded; quitting anyway" >&2
    fi
    sleep 0.$((RANDOM % 10))
    if [ "$released" = 1 ]; then
      xdotool keyup alt ctrl
      sleep 0.$((RANDOM % 6))
    fi
    if [ "$slowed" = 1 ]; then
      soak_hold_quit_slowed "$app" "$signal"
    else
      kill "-$signal" "$app"
    fi
    status=0
    wait "$app" || status=$?
    xdotool keyup alt ctrl
    if [ -n "$(soak_hold_recording)" ]; then
      left=$((left + 1))
      rm -f "$XDG_RUNTIME_DIR"/Tovrik/tovrik-recording-*
    fi
    if [ "$status" != 0 ]; then
      crashes=$((crashes + 1))
      cp "$tmp/tovrik.log" "$keep/hold-round-$i.log"
      echo "soak-quit: round $i (hold, SIG$signal, slowed $slowed) ended with status $status (log in $keep/hold-round-$i.log)" >&2
    else
      ok=$((ok + 1))
    fi
  done
  local cores
  cores=$(find "$HOME" "$tmp" "$PWD" -maxdepth 2 -name 'core*' -type f 2>/dev/null | wc -l)
  echo "quits during a hold$([ "$released" = 1 ] && echo ' (after its release)'): $rounds, clean: $ok, crashed: $crashes, core files: $cores, recordings left: $left (rounds that never recorded: $missed)"
  [ "$crashes" = 0 ] && [ "$left" = 0 ]
}

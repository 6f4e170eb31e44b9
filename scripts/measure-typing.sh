#!/usr/bin/env bash
# UI Autopilot typing in the real Tovrik, read back from the program typed
# into: a mixed text (default 2,000 characters, about 74 distinct ones a line
# that the US layout lacks, ASCII punctuation, tabs, line breaks) in one
# `input` action of a scripted run (the bench stand-in of the hosted service
# answers the step requests), into xterm (core X), a Tk text widget, mousepad
# (GTK 3), featherpad (Qt 5) and the tests' Qt 6 editor, under each layout
# asked for; each program a fresh start of Tovrik. Per run: exact or not
# (where the text first differs; a failure's note as the model got it), the time from the step request before the
# input action to the one after it (the click, the typing and the step around
# them) per character,
# and, the same run, a text of the same length that the layout has keys for
# (ratio mixed / keymap-only). Afterwards the keyboard map must be as before
# and no key down. While it types, Tovrik's windows are pinged (_NET_WM_PING)
# every 50 ms: the longest answer shows whether its event loop stayed live,
# beside the longest answer in the two seconds after (the floor).
# "lagging" is the tests' bare Xlib program that takes 20 ms over each key
# and answers no ping; "worker" the same without the delay, with a thread
# that works 1 ms in every 8; "tktimer" the Tk widget with a 10 ms timer.
#
#   bash scripts/measure-typing.sh [--layouts "us de fr"] [--programs "xterm tk mousepad featherpad qt6 lagging"]
#                                  [--chars 2000] [--busy] [--ime]
#
# --busy keeps every CPU busy (stress-ng --cpu 0) while Tovrik types;
# --ime runs ibus with XIM and starts the programs with it (exact, or failed
# with a note that says how much was typed).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${TOVRIK_BUILD_DIR:-$root/build}"
layouts="us"
programs="xterm tk mousepad featherpad qt6"
chars=2000
busy=0
ime=0
while [ $# -gt 0 ]; do
  case "$1" in
    --layouts) layouts="$2"; shift ;;
    --programs) programs="$2"; shift ;;
    --chars) chars="$2"; shift ;;
    --busy) busy=1 ;;
    --ime) ime=1 ;;
    *) echo "measure-typing: unknown option $1" >&2; exit 2 ;;
  esac
  shift
done

if [ "${MEASURE_TYPING_INNER:-}" != 1 ]; then
  bash "$root/scripts/build.sh" tovrik tovrik-bench-stand-in tovrik-test-text-sink tovrik-test-lagging-sink \
    tovrik-bench-ping-watch >/dev/null
  args=(--layouts "$layouts" --programs "$programs" --chars "$chars")
  [ "$busy" = 1 ] && args+=(--busy)
  [ "$ime" = 1 ] && args+=(--ime)
  MEASURE_TYPING_INNER=1 TOVRIK_TEST_SCREEN=5120x1440x24 \
    exec bash "$root/scripts/with-test-env.sh" bash "$0" "${args[@]}"
fi

# shellcheck source=real-app-env.sh
source "$root/scripts/real-app-env.sh"
real_app_two_monitors >/dev/null
tmp=$(mktemp -d "$HOME/measure-typing.XXXXXX")
export LC_ALL=C.UTF-8 LANG=C.UTF-8

# The texts: mixed, and keymap-only of the same length.
python3 - "$chars" "$tmp" <<'PY'
import sys
n, out = int(sys.argv[1]), sys.argv[2]
pool = [chr(c) for c in range(0xc0, 0x100) if c not in (0xd7, 0xf7)]
pool += [chr(c) for c in range(0x3b1, 0x3ca)] + [chr(c) for c in range(0x391, 0x3aa) if c != 0x3a2]
pool += [chr(c) for c in range(0x430, 0x450)] + [chr(c) for c in range(0x410, 0x430)] + list("€✓½→日本語ŁőŒœ")
ascii_ = "x,.;:'\"!?\\`-=+*&%$#@~^_|/<>"
text, line = "", 0
while len(text) < n:
    text += "L%d\t" % line
    for i in range(74):
        text += pool[(line * 53 + i) % len(pool)]
        if i % 12 == 11:
            text += ascii_[(line + i) % len(ascii_)]
    text += "\n"
    line += 1
text = text[: n - 1] + "\n"
# The same lines of characters the layout has keys for (no line starts with
# a blank: an editor's automatic indentation would repeat it).
keys = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 ()[]{}"
plain, line = "", 0
while len(plain) < n:
    plain += "L%d\t" % line
    for i in range(74):
        plain += keys[(line * 53 + i) % len(keys)]
        if i % 12 == 11:
            plain += ascii_[(line + i) % len(ascii_)]
    plain += "\n"
    line += 1
plain = plain[: n - 1] + "\n"
open(out + "/mixed.txt", "w").write(text)
open(out + "/keymap.txt", "w").write(plain)
PY

# Two runs a program and layout (mixed, keymap-only), each a wait (there is
# no window manager: the program is given the keyboard focus meanwhile, which
# the panel took), an input action and done.
decisions="$tmp/decisions"
: >"$decisions"
for layout in $layouts; do for program in $programs; do for kind in mixed keymap; do
  python3 - "$tmp/$kind.txt" >>"$decisions" <<'PY'
import json, sys
text = open(sys.argv[1]).read()
print(json.dumps({"message": "Waiting", "action": {"type": "wait", "ms": 2500}}))
print(json.dumps({"message": "Typing", "expected_result": "the text is typed",
                  "task_state": {"current_goal": "type"},
                  "action": {"type": "input", "x": 400, "y": 500, "screen": 1, "label": "editor", "text": text}}))
print(json.dumps({"message": "Done", "action": {"type": "done", "text": "Typed."}}))
PY
done; done; done

REAL_APP_STAND_IN="$build/bench/stand-in/tovrik-bench-stand-in" real_app_start_stand_in "$tmp/stand-in" \
  --decisions "$decisions"
stress=""
trap 'kill "$stand_in" 2>/dev/null || true; [ -n "$stress" ] && kill "$stress" 2>/dev/null; [ -n "${MEASURE_TYPING_KEEP:-}" ] && cp -r "$tmp" "$MEASURE_TYPING_KEEP"; true' EXIT
real_app_sign_in
python3 - "$XDG_DATA_HOME/Tovrik/tovrik.settings.json" <<'PY'
import json, sys
p = sys.argv[1]
s = json.load(open(p))
s["isUIAutopilotEnabled"] = True
json.dump(s, open(p, "w"), indent=4)
PY

if [ "$ime" = 1 ]; then
  ibus-daemon --xim --daemonize --replace >/dev/null 2>&1 || true
  sleep 3
  export XMODIFIERS=@im=ibus GTK_IM_MODULE=xim QT_IM_MODULE=xim
else
  export XMODIFIERS=@im=none GTK_IM_MODULE=gtk-im-context-simple QT_IM_MODULE=compose
fi

keymap() { xmodmap -pke; }
steps() { grep -c '^autopilot step' "$stand_in_log" || true; }
step_time() { awk -v n="$1" '/^POST / {t = $NF} /^autopilot step/ {if (++c == n) {print t; exit}}' "$stand_in_log"; }

# Starts the program on FILE, its window at 0,300 (1800 x 1000) on the
# first monitor, away from the panel; sets prog.
start_program() {
  local program=$1 file=$2
  case "$program" in
    xterm) xterm -u8 -geometry 200x55+0+300 -T typing-target -e sh -c 'stty -ixon; cat > "$0"' "$file" & ;;
    tk|tktimer) printf '%s\n' 'set path [lindex $argv 0]' 'wm title . typing-target' 'wm geometry . 1800x1000+0+300' \
          'text .t' 'pack .t -fill both -expand 1' 'focus .t' \
          'bind .t <Control-s> {set f [open $path w]; fconfigure $f -encoding utf-8; puts -nonewline $f [.t get 1.0 {end - 1 chars}]; close $f; exit}' \
          >"$tmp/target.tcl"
        if [ "$program" = tktimer ]; then printf '%s\n' 'proc tick {} { after 10 tick }' 'tick' >>"$tmp/target.tcl"; fi
        wish "$tmp/target.tcl" "$file" & ;;
    mousepad) mousepad --disable-server "$file" & ;;
    featherpad) featherpad --standalone "$file" & ;;
    qt6) "$build/tests/autopilot/tovrik-test-text-sink" "$file" & ;;
    lagging) "$build/tests/autopilot/tovrik-test-lagging-sink" "$file" 20 & ;;
    worker) "$build/tests/autopilot/tovrik-test-lagging-sink" "$file" 0 worker & ;;
  esac
  prog=$!
  target=$(xdotool search --sync --onlyvisible --name typing-target | head -n 1)
  xdotool windowmove "$target" 0 300 windowsize "$target" 1800 1000
  sleep 1
}

# Ends the program's input (xterm) or saves (the editors) and reads back.
finish_program() {
  local program=$1 file=$2
  case "$program" in
    xterm) xdotool key ctrl+d ;;
    *) xdotool key ctrl+s ;;
  esac
  # The lagging program works through its queue first (20 ms a key).
  local tries=100
  [ "$program" = lagging ] && tries=1000
  for _ in $(seq 1 "$tries"); do
    if ! kill -0 "$prog" 2>/dev/null || { [ "$program" != xterm ] && [ -s "$file" ]; }; then break; fi
    sleep 0.1
  done
  sleep 0.5
  kill "$prog" 2>/dev/null || true
  wait "$prog" 2>/dev/null || true
}

compare() {
  python3 - "$1" "$2" <<'PY'
import sys
want = open(sys.argv[1], encoding="utf-8").read()
got = open(sys.argv[2], encoding="utf-8", errors="replace").read()
while got.endswith("\n") and len(got) > len(want):
    got = got[:-1]
if got == want:
    print("exact")
else:
    i = 0
    while i < min(len(want), len(got)) and want[i] == got[i]:
        i += 1
    print("NOT exact: %d of %d characters read back, first difference at %d (wanted %r, got %r)"
          % (len(got), len(want), i, want[i:i + 12], got[i:i + 12]))
PY
}

map_before=$(keymap)
done_steps=0
notes=0
# The longest ping answer while the watcher ran (unanswered pings count with
# how long they waited).
ping_max() { awk '{ m = $6 > $10 ? $6 : $10; printf "%.0f", m }' "$1"; }
watch_pings() { "$build/bench/tovrik-bench-ping-watch" "$app" >"$1" & watcher=$!; }
stop_pings() { kill "$watcher" 2>/dev/null || true; wait "$watcher" 2>/dev/null || true; }
printf '%-6s %-11s %-7s %-9s %-9s %-15s %s\n' layout program kind ms/char ratio "ping max/floor" result
for layout in $layouts; do
  setxkbmap "$layout"
  map_before=$(keymap)
  for program in $programs; do
    declare -A ms=()
    for kind in mixed keymap; do
      file="$tmp/typing-target-$layout-$program-$kind.txt"
      : >"$file"
      real_app_start "$tmp/tovrik-$layout-$program-$kind.log"
      sleep 5
      start_program "$program" "$file"
      # The task, typed into the panel's chat box (top right of the main
      # monitor), then Ask.
      xdotool mousemove 2380 195 click 1
      sleep 0.3
      xdotool type --delay 5 "type the text into the editor"
      [ "$busy" = 1 ] && { stress-ng --cpu 0 --quiet & stress=$!; }
      xdotool mousemove 2483 224 click 1
      deadline=$((SECONDS + 300))
      while [ "$(steps)" -lt $((done_steps + 1)) ] && [ $SECONDS -lt $deadline ]; do sleep 0.1; done
      xdotool windowfocus "$target"
      while [ "$(steps)" -lt $((done_steps + 2)) ] && [ $SECONDS -lt $deadline ]; do sleep 0.05; done
      watch_pings "$tmp/ping-typing"
      while [ "$(steps)" -lt $((done_steps + 3)) ] && [ $SECONDS -lt $deadline ]; do sleep 0.05; done
      stop_pings
      [ -n "$stress" ] && { kill "$stress" 2>/dev/null || true; wait "$stress" 2>/dev/null || true; stress=""; }
      t0=$(step_time $((done_steps + 2)))
      t1=$(step_time $((done_steps + 3)))
      done_steps=$((done_steps + 3))
      # The lent keycodes go back a second after the typing; the floor of
      # the ping answers meanwhile.
      watch_pings "$tmp/ping-floor"
      sleep 2
      stop_pings
      pings="$(ping_max "$tmp/ping-typing")/$(ping_max "$tmp/ping-floor") ms"
      finish_program "$program" "$file"
      kill "$app" 2>/dev/null || true
      wait "$app" 2>/dev/null || true
      ms[$kind]=$(awk -v a="$t0" -v b="$t1" -v n="$chars" 'BEGIN { if (a != "" && b != "") printf "%.2f", 1000 * (b - a) / n; else print "-" }')
      result=$(compare "$tmp/$kind.txt" "$file")
      note=$( (grep '^note: ' "$stand_in_log" || true) | sed -n "$((notes + 1)),\$p" | head -n 1)
      notes=$(grep -c '^note: ' "$stand_in_log" || true)
      [ -n "$note" ] && result="$result; failed, ${note}"
      ratio="-"
      [ "$kind" = keymap ] && ratio=$(awk -v m="${ms[mixed]}" -v k="${ms[keymap]}" 'BEGIN { if (k > 0) printf "%.2f", m / k; else print "-" }')
      [ "$(keymap)" = "$map_before" ] || result="$result; KEYBOARD MAP CHANGED"
      # Our keys go through the XTEST device (a master cannot be queried).
      if ! command -v xinput >/dev/null || ! held=$(xinput query-state "Virtual core XTEST keyboard"); then
        result="$result; KEYS NOT CHECKED"
      elif grep -q 'key\[[0-9]*\]=down' <<<"$held"; then
        result="$result; A KEY IS DOWN"
      fi
      printf '%-6s %-11s %-7s %-9s %-9s %-15s %s\n' "$layout" "$program" "$kind" "${ms[$kind]}" "$ratio" "$pings" "$result"
    done
  done
done
setxkbmap us

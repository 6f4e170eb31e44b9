# Sourced by the measuring scripts that run the real Tovrik: inside the test
# environment (scripts/with-test-env.sh, with TOVRIK_TEST_SCREEN=5120x1440x24)
# it splits the screen into two 2560 x 1440 monitors, starts the local
# stand-in of the hosted service, files a session signed in there where
# Tovrik keeps it, and starts Tovrik with its panel hidden.
#
#   real_app_two_monitors
#   real_app_start_stand_in DIR [stand-in options...]   sets stand_in, port
#                           ($REAL_APP_STAND_IN names another stand-in program)
#   real_app_sign_in                                    (after the stand-in)
#   real_app_start LOG                                  sets app
#   real_app_hide_panel
#
# $build must name the build folder.

real_app_two_monitors() {
  local output
  output=$(xrandr | awk '/ connected/ {print $1; exit}')
  xrandr --setmonitor left 2560/677x1440/381+0+0 "$output"
  xrandr --setmonitor right 2560/677x1440/381+2560+0 none
  xrandr --output "$output" --primary >/dev/null 2>&1 || true
}

real_app_start_stand_in() {
  local data="$1"
  shift
  mkdir -p "$data"
  # The log exists before the loop below reads it (the program may not
  # have opened it yet).
  : >"$data/log"
  "${REAL_APP_STAND_IN:-$build/tools/fake-hosted-service/tovrik-fake-hosted-service}" --data-dir "$data" \
      --account "ada@example.com:secret123:1200" "$@" >"$data/log" 2>&1 &
  stand_in=$!
  stand_in_log="$data/log"
  port=""
  for _ in $(seq 1 300); do
    port=$(sed -n 's/^fake hosted service listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$data/log")
    [ -n "$port" ] && break
    kill -0 "$stand_in" 2>/dev/null || break
    sleep 0.1
  done
  if [ -z "$port" ]; then
    echo "the stand-in did not start" >&2
    cat "$data/log" >&2
    return 1
  fi
  export https_proxy="http://127.0.0.1:$port" HTTPS_PROXY="http://127.0.0.1:$port"
  export TOVRIK_EXTRA_CA_FILE="$data/trusted-ca.pem"
}

real_app_sign_in() {
  local domain host token
  domain=$(sed -n 's/^#define TOVRIK_WEB_DOMAIN "\(.*\)"$/\1/p' "$build/src/common/generated/common/BuildSettings.h")
  host="https://${domain:-tovrik.ai}"
  token=$(curl -sS --cacert "$TOVRIK_EXTRA_CA_FILE" -H 'Content-Type: application/json' \
               -d '{"email":"ada@example.com","password":"secret123"}' "$host/auth/signin" |
          python3 -c 'import json,sys; print(json.load(sys.stdin)["sessionToken"])')
  # Where the keychain files Tovrik's items, in the form it reads back.
  printf '%s' "$(printf '%s' "$token" | base64 -w0)" |
    secret-tool store --label "Tovrik session" user hostedAccountSessionToken \
                server ai.tovrik.mac.credentials type base64
  mkdir -p "$XDG_DATA_HOME/Tovrik"
  chmod 700 "$XDG_DATA_HOME/Tovrik"
  printf '{\n    "hostedAccountEmail": "ada@example.com"\n}\n' >"$XDG_DATA_HOME/Tovrik/tovrik.settings.json"
  chmod 600 "$XDG_DATA_HOME/Tovrik/tovrik.settings.json"
}

real_app_start() {
  "$build/src/app/tovrik" >"$1" 2>&1 &
  app=$!
}

# Every launch shows the panel; a click outside it (on the second monitor)
# hides it, as a user would.
real_app_hide_panel() {
  sleep 3
  xdotool mousemove 3840 1000 click 1
}

#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (-fsanitize=fuzzer,address,
# undefined) into /work/build-fuzz and runs each for a bounded time, starting
# from the seeds in fuzz/corpus/<target>/ (copied; the seeds are not touched).
#
#   bash scripts/fuzz.sh [seconds-per-target]     (default 60)
#
# Prints, per target, the number of executions run and whether it crashed.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
OUT=${TOVRIK_FUZZ_DIR:-/work/build-fuzz}
SECONDS_EACH=${1:-60}
CXX=${TOVRIK_FUZZ_CXX:-clang++}
mkdir -p "$OUT"

read -r -a QT_CFLAGS <<<"$(pkg-config --cflags Qt6Core Qt6Gui)"
read -r -a QT_LIBS <<<"$(pkg-config --libs Qt6Core Qt6Gui)"
FLAGS=(-std=c++20 -g -O1 -fPIC -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=undefined
       -I"$ROOT/src" "${QT_CFLAGS[@]}")

build() {
  local name=$1; shift
  echo "== building $name"
  "$CXX" "${FLAGS[@]}" -o "$OUT/$name" "$@" "${QT_LIBS[@]}"
}

build sse_reader_fuzzer "$ROOT/fuzz/sse_reader_fuzzer.cpp" "$ROOT/src/hosted/ServerSentEventParser.cpp"
build http_response_fuzzer "$ROOT/fuzz/http_response_fuzzer.cpp" "$ROOT/src/hosted/HTTPResponseParser.cpp"
build loopback_request_fuzzer "$ROOT/fuzz/loopback_request_fuzzer.cpp" "$ROOT/src/hosted/LoopbackHTTPRequest.cpp"
build hosted_payload_fuzzer "$ROOT/fuzz/hosted_payload_fuzzer.cpp" "$ROOT/src/hosted/HostedPayloads.cpp" \
      "$ROOT/src/hosted/HTTPError.cpp" "$ROOT/src/common/Error.cpp"
build autopilot_decision_fuzzer "$ROOT/fuzz/autopilot_decision_fuzzer.cpp" \
      "$ROOT/src/autopilot/UIAutopilotParsing.cpp" "$ROOT/src/autopilot/UIAutopilotAction.cpp" \
      "$ROOT/src/autopilot/AutopilotTaskMemory.cpp" "$ROOT/src/autopilot/AutopilotJson.cpp" "$ROOT/src/common/Error.cpp"

status=0
summary=()
for pair in sse_reader_fuzzer:sse http_response_fuzzer:http loopback_request_fuzzer:loopback hosted_payload_fuzzer:payload \
            autopilot_decision_fuzzer:autopilot; do
  name=${pair%%:*}; seeds=${pair##*:}
  work="$OUT/corpus/$name"
  mkdir -p "$work"
  cp -n "$ROOT/fuzz/corpus/$seeds/"* "$work/" 2>/dev/null || true
  echo "== running $name for ${SECONDS_EACH}s"
  log="$OUT/$name.log"
  if ( cd "$OUT" && ASAN_OPTIONS=detect_leaks=1 "./$name" -max_total_time="$SECONDS_EACH" -max_len=4096 \
         -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 "$work" ) >"$log" 2>&1; then
    result=ok
  else
    result=CRASH
    status=1
  fi
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo "?")
  summary+=("$name: $execs executions, $result (log: $log)")
done
printf '%s\n' "${summary[@]}"
exit $status

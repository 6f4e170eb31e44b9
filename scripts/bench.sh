#!/usr/bin/env bash
# Builds and runs every benchmark (inside the test environment, so the X11
# ones have a display).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup-deps.sh"
TOVRIK_BUILD_TYPE=Release bash "$root/scripts/build.sh" tovrik_bench
exec bash "$root/scripts/with-test-env.sh" "${TOVRIK_BUILD_DIR:-$root/build}/bench/tovrik_bench" "$@"

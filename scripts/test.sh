#!/usr/bin/env bash
# Sets up, builds and runs every test (the README's test command).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup-deps.sh"
bash "$root/scripts/build.sh"
build="${TOVRIK_BUILD_DIR:-$root/build}"
exec bash "$root/scripts/with-test-env.sh" \
  ctest --test-dir "$build" --output-on-failure -j"$(nproc)" --timeout 180

#!/usr/bin/env bash
# Sets up, builds and starts Tovrik on the current X11 desktop.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ -z "${DISPLAY:-}" ]; then
  echo "tovrik: no X11 display (DISPLAY is not set); start it from an X11 desktop session." >&2
  exit 1
fi
bash "$root/scripts/setup-deps.sh"
bash "$root/scripts/build.sh" tovrik
exec "${TOVRIK_BUILD_DIR:-$root/build}/src/app/tovrik" "$@"

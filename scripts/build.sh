#!/usr/bin/env bash
# Configures (once) and builds into build/ (or $TOVRIK_BUILD_DIR): every
# target, or only the targets named as arguments.
#
#   TOVRIK_SANITIZE=address,undefined  builds with those sanitizers, into
#                                      build-asan/ unless TOVRIK_BUILD_DIR says.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sanitize="${TOVRIK_SANITIZE:-}"
if [ -n "$sanitize" ]; then
  build="${TOVRIK_BUILD_DIR:-$root/build-asan}"
else
  build="${TOVRIK_BUILD_DIR:-$root/build}"
fi
launcher=()
if command -v ccache >/dev/null 2>&1; then
  # Paths below the checkout are hashed relative to it, so clones share hits.
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=true
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${TOVRIK_BUILD_TYPE:-RelWithDebInfo}" "${launcher[@]}" \
        -DTOVRIK_SANITIZE="$sanitize"
fi
if [ $# -gt 0 ]; then
  cmake --build "$build" -j"${TOVRIK_JOBS:-$(nproc)}" --target "$@"
else
  cmake --build "$build" -j"${TOVRIK_JOBS:-$(nproc)}"
fi

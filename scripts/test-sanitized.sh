#!/usr/bin/env bash
# Builds everything with AddressSanitizer + UndefinedBehaviorSanitizer into
# build-asan/ (or $TOVRIK_BUILD_DIR) and runs every test there, with leak
# detection on. A sanitizer report fails the test that caused it.
#
#   bash scripts/test-sanitized.sh [ctest options...]     e.g. -R Hosted
#
# Leaks inside third-party libraries are suppressed by scripts/lsan.supp
# (each entry says why); a leak in our code is a failure.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export TOVRIK_SANITIZE="${TOVRIK_SANITIZE:-address,undefined}"
export TOVRIK_BUILD_DIR="${TOVRIK_BUILD_DIR:-$root/build-asan}"
bash "$root/scripts/build.sh"
# Sanitizer settings reach every test and the programs the tests start (the
# real binary, the stand-in of the hosted service).
# intercept_tls_get_addr=0: the sanitizer runtime of this toolchain misreads
# glibc's dynamic TLS blocks now and then and its leak checker then crashes at
# exit ("Tracer caught signal 11") after a passing test; without the
# interception it still scans every thread's static TLS and stacks.
# intercept_strstr=0: the checked strstr measures the whole haystack on every
# call, and the speech-dispatcher client splits its voice list (espeak-ng's
# thousands of voices, one string) with strstr in a loop: minutes per list,
# and the system-voice tests timed out. Our code does not call strstr.
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:detect_stack_use_after_return=0:check_initialization_order=1:intercept_tls_get_addr=0:intercept_strstr=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export LSAN_OPTIONS="suppressions=$root/scripts/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
exec bash "$root/scripts/with-test-env.sh" \
  ctest --test-dir "$TOVRIK_BUILD_DIR" --output-on-failure -j"${TOVRIK_JOBS:-2}" --timeout 600 "$@"

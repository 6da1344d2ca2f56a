#!/usr/bin/env bash
# Builds and runs the whole test suite: the normal build, then the same suite
# under AddressSanitizer and UndefinedBehaviorSanitizer.
# Usage: scripts/test.sh [--fast]   (--fast skips the sanitizer pass)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
fast=0
[ "${1:-}" = "--fast" ] && fast=1

"$top/scripts/build.sh" "$top/build"
(cd "$top/build" && ctest --output-on-failure -j"$(nproc)" --timeout 300)

if [ $fast -eq 0 ]; then
  "$top/scripts/build.sh" --sanitize "$top/build-asan"
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  (cd "$top/build-asan" && ctest --output-on-failure -j"$(nproc)" --timeout 600)
fi

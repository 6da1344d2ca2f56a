#!/usr/bin/env bash
# Configures and builds. Usage: scripts/build.sh [--sanitize] [--bench] [build-dir]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
sanitize=OFF; bench=OFF; dir=""
for a in "$@"; do
  case "$a" in
    --sanitize) sanitize=ON ;;
    --bench) bench=ON ;;
    *) dir="$a" ;;
  esac
done
if [ -z "$dir" ]; then
  dir="$top/build"
  [ "$sanitize" = ON ] && dir="$top/build-asan"
  [ "$bench" = ON ] && dir="$top/build-bench"
fi
"$top/scripts/deps.sh"
build_type=RelWithDebInfo
[ "$bench" = ON ] && build_type=Release
cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=$build_type \
  -DVX_SANITIZE=$sanitize -DVX_BUILD_BENCH=$bench >/dev/null
cmake --build "$dir" -j"$(nproc)"

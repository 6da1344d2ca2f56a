#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs each one. Benchmarks report their
# ratios against a baseline measured in the same run.
# Usage: scripts/bench.sh [NAME-FILTER]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh" --bench "$top/build-bench" >/dev/null
export VX_PAUSE_SCALE=0
for b in "$top"/build-bench/bench/*; do
  [ -x "$b" ] && [ -f "$b" ] || continue
  case "$(basename "$b")" in *${1:-}*) ;; *) continue ;; esac
  echo "== $(basename "$b")"
  "$b"
done

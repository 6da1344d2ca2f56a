#!/usr/bin/env bash
# The demo on built-in defaults: builds everything, creates a demo network
# under ./demo-net and shows what the suite does on it so far.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/build.sh" "$top/build" >/dev/null
bin="$top/build/bin"
net="${VX_DEMO_DIR:-$top/demo-net}"
rm -rf "$net"
mkdir -p "$net"

echo "== creating the console host CONSOLE in $net/console"
"$bin/vxhost" create "$net/console" --name CONSOLE --drive C=fixed --user Administrator
export VX_HOST_ROOT="$net/console"

echo
echo "== Windows paths of the console host resolve case-insensitively, short names too"
"$bin/vxhost" path 'c:\program files' 'C:\PROGRA~1\COMMON~1' 'C:\windows\SYSTEM32\VXAgent.exe'

for step in "$top"/scripts/demo.d/*.sh; do
  [ -e "$step" ] || continue
  echo
  # shellcheck source=/dev/null
  . "$step"
done

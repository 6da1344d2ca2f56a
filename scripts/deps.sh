#!/usr/bin/env bash
# Installs every Debian package that building, testing and benchmarking need.
# Idempotent: packages already present are not touched and apt is not asked.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config clang
  libsqlite3-dev sqlite3 libssl-dev openssl
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  attr procps hyperfine
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "deps: installing ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

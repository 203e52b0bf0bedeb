#!/usr/bin/env bash
# Installs what the build, the tests and the Windows build need (Debian or
# Ubuntu), then configures the build in build/. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ libssl-dev clang libgtest-dev libgmock-dev libbenchmark-dev python3 socat
          g++-mingw-w64-x86-64 wine64)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update
  $sudo apt-get install -y "${missing[@]}"
fi

cmake -S . -B build -G Ninja -DKORVA_WERROR=ON >/dev/null

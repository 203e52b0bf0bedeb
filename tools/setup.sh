#!/usr/bin/env bash
# Installs what is missing (Debian or Ubuntu), then configures the build in
# build/ (the default preset of CMakePresets.json). Safe to run again.
#
#   tools/setup.sh          what building and running need: CMake, Ninja,
#                           g++, python3 (the image embedder), OpenSSL's
#                           libcrypto headers (SHA-256), and GoogleTest,
#                           without which build/ (tests included) does not
#                           configure
#   tools/setup.sh --tests  that, and what the test stages need: clang
#                           (fuzzing), clang-format (the format check), socat,
#                           MinGW-w64 and Wine (the Windows stage)
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ python3 libssl-dev libgtest-dev)
if [ "${1:-}" = "--tests" ]; then
  packages+=(clang clang-format socat g++-mingw-w64-x86-64 wine64)
fi
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

cmake --preset default >/dev/null

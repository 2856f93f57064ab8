#!/usr/bin/env bash
# Installs the Debian packages Varnelix needs to build, run and test, when
# any is missing. Safe to run again; needs root (or sudo) only when it installs.
set -euo pipefail

packages=(cmake make g++ pkg-config libgtest-dev qt6-base-dev xvfb xauth ser2net socat python3-serial)
[ "${VX_WITH_MINGW:-0}" = 1 ] && packages+=(g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix)
[ "${VX_WITH_FUZZ:-0}" = 1 ] && packages+=(clang libclang-rt-14-dev)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"

#!/usr/bin/env bash
# Configures and builds into build/ (or $VX_BUILD_DIR), passing extra CMake arguments through.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${VX_BUILD_DIR:-build}"
# CMake options go to the configure step; "--target ..." and what follows to the build.
configure=() build=()
while [ $# -gt 0 ]; do
  if [ "$1" = --target ]; then build=("$@"); break; fi
  configure+=("$1"); shift
done
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="${VX_BUILD_TYPE:-RelWithDebInfo}" "${configure[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)" "${build[@]}"

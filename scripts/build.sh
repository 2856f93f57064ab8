#!/usr/bin/env bash
# Configures and builds into build/ (or $VX_BUILD_DIR), passing extra CMake arguments through.
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${VX_BUILD_DIR:-build}"
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE="${VX_BUILD_TYPE:-RelWithDebInfo}" "$@" >/dev/null
cmake --build "$dir" -j"$(nproc)"

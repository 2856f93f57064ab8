#!/usr/bin/env bash
# Builds Varnelix and runs every test. The dialog's tests use Qt's offscreen platform.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
cd "${VX_BUILD_DIR:-build}"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 ${VX_CTEST_ARGS:-}

#!/usr/bin/env bash
# Builds Varnelix and runs it. With a display, the Varnelix window opens; with
# none (a server, CI, a fresh container), the headless exerciser sends the
# shipped sample file through the built-in loopback port, loop://, and reports.
# Arguments, if any, go to varnelix-run (see scripts/run.sh --help).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh >/dev/null
bin="${VX_BUILD_DIR:-build}"
if [ $# -eq 0 ] && [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -z "${CI:-}" ]; then
  exec "$bin/console/varnelix"
fi
if [ $# -eq 0 ]; then
  set -- --port loop:// --file docs/sample.txt
fi
exec "$bin/tools/varnelix-run" "$@"

#!/usr/bin/env bash
# Soak: a stress run of the exerciser for a given time on loop:// and on a
# pseudo-terminal echo (both at once), printing every interval the process's
# resident memory, open descriptors and threads with the bytes moved so far.
# Memory and descriptors should stay flat. Not run by CI.
#   bench/soak.sh [SECONDS] [INTERVAL]     (defaults: 600 and 60)
set -euo pipefail
cd "$(dirname "$0")/.."
duration="${1:-600}"
interval="${2:-60}"
bin="${VX_BUILD_DIR:-build}/tools"
out=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$out"' EXIT

# A file of 1 MiB, so that a pass is about half a second at 2048 bytes a tick.
head -c 1048576 /dev/urandom | tr '\000' '\001' > "$out/send.bin"

"$bin/varnelix-echo" > "$out/echo.txt" &
for _ in $(seq 50); do [ -s "$out/echo.txt" ] && break; sleep 0.1; done
pty=$(head -n 1 "$out/echo.txt")

"$bin/varnelix-run" --port loop:// --file "$out/send.bin" --packet-size 2048 --stress --duration "$duration" > "$out/loop.log" 2>&1 &
loop_pid=$!
"$bin/varnelix-run" --port "$pty" --file "$out/send.bin" --packet-size 2048 --stress --duration "$duration" > "$out/pty.log" 2>&1 &
pty_pid=$!

sample() {  # name pid log
  local rss fds threads last
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$2/status" 2>/dev/null || echo -)
  threads=$(awk '/^Threads:/ {print $2}' "/proc/$2/status" 2>/dev/null || echo -)
  fds=$(ls "/proc/$2/fd" 2>/dev/null | wc -l)
  last=$( (grep -a 'Received/Written' "$3" || true) | tail -n 1 | sed 's/.*Data size = \([0-9]*\/[0-9]*\).*/\1/')
  printf '%6ds  %-5s rss %8s kB  fds %4s  threads %3s  received/written bytes %s\n' "$elapsed" "$1" "$rss" "$fds" "$threads" "$last"
}

echo "soak: $duration s on loop:// and $pty, sampled every $interval s"
elapsed=0
while kill -0 "$loop_pid" 2>/dev/null || kill -0 "$pty_pid" 2>/dev/null; do
  sample loop "$loop_pid" "$out/loop.log"
  sample pty "$pty_pid" "$out/pty.log"
  sleep "$interval"
  elapsed=$((elapsed + interval))
done
wait "$loop_pid" && loop_rc=0 || loop_rc=$?
wait "$pty_pid" && pty_rc=0 || pty_rc=$?
echo "loop:// $(tail -n 2 "$out/loop.log" | tr '\n' ' ') exit $loop_rc"
echo "pty     $(tail -n 2 "$out/pty.log" | tr '\n' ' ') exit $pty_rc"

#!/usr/bin/env bash
# varnelix-run as a script or CI uses it: its exit status for a whole echo, a
# silent peer, a peer that drops bytes, bad arguments, and a timed stress run.
# Usage: varnelix_run_test.sh BIN_DIR SAMPLE_FILE
set -u
bin="$1"
sample="$2"
failed=0
passed=0
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT

expect() {  # description, expected status, command...
  local what="$1" want="$2"
  shift 2
  "$@" > "$work/out.txt" 2>&1
  local got=$?
  if [ "$got" = "$want" ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $what: exit $got, expected $want"
    sed 's/^/    /' "$work/out.txt" | tail -n 5
  fi
}

peer() {  # options...: starts varnelix-echo, sets $device
  rm -f "$work/echo.txt"
  "$bin/varnelix-echo" "$@" > "$work/echo.txt" 2>/dev/null &
  peer_pid=$!
  for _ in $(seq 50); do [ -s "$work/echo.txt" ] && break; sleep 0.1; done
  device=$(head -n 1 "$work/echo.txt")
}

stop_peer() {
  kill "$peer_pid" 2>/dev/null
  wait "$peer_pid" 2>/dev/null
}

expect "loop:// gives the file back" 0 "$bin/varnelix-run" --port loop:// --file "$sample"
peer
expect "an echoing pty gives the file back" 0 "$bin/varnelix-run" --port "$device" --file "$sample"
stop_peer
peer --silent
expect "a silent peer loses everything" 1 "$bin/varnelix-run" --port "$device" --file "$sample"
stop_peer
peer --drop-every 997
expect "a peer that drops bytes" 1 "$bin/varnelix-run" --port "$device" --file "$sample"
stop_peer
expect "a port that does not exist" 1 "$bin/varnelix-run" --port /dev/nonexistent-tty --file "$sample"
expect "an unknown option" 2 "$bin/varnelix-run" --speed 9 --file "$sample"
expect "a missing file" 2 "$bin/varnelix-run" --file "$work/missing"
grep -q "missing" "$work/out.txt" || { failed=$((failed + 1)); echo "FAIL: the message does not name the missing file"; }
expect "a packet size out of range" 2 "$bin/varnelix-run" --file "$sample" --packet-size 4096
expect "--help" 0 "$bin/varnelix-run" --help

start=$(date +%s)
expect "a 3 s stress run" 0 "$bin/varnelix-run" --port loop:// --file "$sample" --stress --duration 3
took=$(( $(date +%s) - start ))
if [ "$took" -ge 3 ] && [ "$took" -le 7 ]; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAIL: a 3 s stress run took ${took} s"; fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# varnelix-run as a script or CI uses it, against peers that echo, stay silent,
# drop, corrupt, insert, delay, stall and hang up: each verdict, exit status and
# report field, checked against what the peer itself counted.
# Usage: varnelix_run_test.sh BIN_DIR SAMPLE_FILE
set -u
bin="$1"
sample="$2"
failed=0
passed=0
work=$(mktemp -d)
chmod 755 "$work"
trap 'kill $(jobs -p) 2>/dev/null; rm -rf "$work"' EXIT

fail() {
  failed=$((failed + 1))
  echo "FAIL: $*"
}

# Runs varnelix-run with a JSON report; checks its exit status.
# Usage: run DESCRIPTION STATUS ARGS...   (the report lands in $work/report.json)
run() {
  local what="$1" want="$2"
  shift 2
  rm -f "$work/report.json"
  "$bin/varnelix-run" "$@" --json "$work/report.json" > "$work/out.txt" 2>&1
  local got=$?
  last="$what"
  if [ "$got" = "$want" ]; then
    passed=$((passed + 1))
  else
    fail "$what: exit $got, expected $want"
    sed 's/^/    /' "$work/out.txt" | tail -n 12
  fi
}

# A field of the last report, e.g. field counts.lost
field() {
  python3 -c 'import json,sys
v = json.load(open(sys.argv[1]))
for k in sys.argv[2].split("."): v = v[int(k)] if isinstance(v, list) else v[k]
print(str(v).lower() if isinstance(v, bool) else v)' "$work/report.json" "$1" 2>/dev/null
}

# Usage: check FIELD OP VALUE   (OP: = != -gt -ge ... as test(1) takes; has for "contains")
check() {
  local name="$1" op="$2" want="$3" got
  got=$(field "$name")
  if [ "$op" = has ]; then
    case "$got" in *"$want"*) passed=$((passed + 1)); return ;; esac
  elif [ -n "$got" ] && [ "$got" "$op" "$want" ] 2>/dev/null; then
    passed=$((passed + 1))
    return
  fi
  fail "$last: $name is '$got', expected $op $want"
}

peer() {  # options...: starts varnelix-echo, sets $device
  rm -f "$work/echo.txt" "$work/echo.err"
  "$bin/varnelix-echo" "$@" > "$work/echo.txt" 2> "$work/echo.err" &
  peer_pid=$!
  for _ in $(seq 50); do [ -s "$work/echo.txt" ] && break; sleep 0.1; done
  device=$(head -n 1 "$work/echo.txt")
}

# Stops the peer; sets peer_received, peer_dropped, peer_corrupted, peer_inserted from its last words.
stop_peer() {
  kill "$peer_pid" 2>/dev/null
  wait "$peer_pid" 2>/dev/null
  read -r peer_received peer_dropped peer_corrupted peer_inserted < <(sed -n \
    's/.*received \([0-9]*\), sent [0-9]*, dropped \([0-9]*\), corrupted \([0-9]*\), inserted \([0-9]*\).*/\1 \2 \3 \4/p' \
    "$work/echo.err")
}

# Starts a python peer that makes its own pty and prints its device first:
# sets $pty_peer_pid and $pty_peer_device. Usage: pty_peer SCRIPT [ARGS...]
pty_peer() {
  rm -f "$work/pty_peer_dev"
  python3 "$@" > "$work/pty_peer_dev" &
  pty_peer_pid=$!
  for _ in $(seq 50); do [ -s "$work/pty_peer_dev" ] && break; sleep 0.1; done
  pty_peer_device=$(head -n 1 "$work/pty_peer_dev")
}
stop_pty_peer() { kill "$pty_peer_pid" 2>/dev/null; wait "$pty_peer_pid" 2>/dev/null; }

head -c 2000 "$sample" > "$work/2000.txt"
head -c 3000 "$sample" > "$work/3000.txt"
head -c 30000 /dev/urandom > "$work/random.bin"
# Zero bytes galore: the display stops at them, the judge must not.
python3 -c 'import sys; sys.stdout.buffer.write(bytes((i * 7) % 256 if i % 5 == 0 else 0 for i in range(20000)))' \
  > "$work/zeros.bin"

# --- Intact lines, fast and slow -------------------------------------------
run "loop:// gives the file back" 0 --port loop:// --file "$sample"
check verdict = ok
check counts.written = 16442
check counts.received = 16442
check counts.matched = 16442
check counts.lost = 0
check settings.file_size = 16442
grep -q "^varnelix-run: OK" "$work/out.txt" || fail "the summary does not start with the verdict"

run "a 115200-baud loop, slower than the pacing" 0 --port 'loop://?baud=115200' --file "$sample"
check counts.received = 16442

run "a 9600-baud loop, one 2000-byte packet back 2 s later" 0 --port 'loop://?baud=9600' --file "$work/2000.txt" --packet-size 2048
check counts.matched = 2000
check drain_end = quiet

peer --baud 9600
run "a 9600-baud echo" 0 --port "$device" --file "$work/3000.txt"
stop_peer
check counts.matched = 3000
check other_holders = "[]"  # the peer holds the pty's slave too, as its maker: not another program

peer
run "an echo of a file full of zero bytes" 0 --port "$device" --file "$work/zeros.bin"
check counts.matched = 20000
stop_peer

peer --delay 1500
run "an echo 1.5 s late" 0 --port "$device" --file "$sample"
stop_peer

# --- What a faulty line does -----------------------------------------------
peer --corrupt-every 1000
run "a peer that flips a bit of every 1000th byte" 1 --port "$device" --file "$work/random.bin"
stop_peer
check verdict = failed
check counts.corrupted = "$peer_corrupted"
check counts.bit_errors = "$peer_corrupted"
check counts.lost = 0
check counts.extra = 0
check differences.0.expected_offset = 999
check rates.bit_error_rate != 0
grep -q "hint: bytes came back changed" "$work/out.txt" || fail "no hint for corrupted bytes"

peer --corrupt-every 777
run "bit flips in stress passes over zero bytes" 1 --port "$device" --file "$work/zeros.bin" --stress --duration 2
stop_peer
check counts.corrupted = "$peer_corrupted"
check counts.lost = 0
check counts.extra = 0

# Every 8th: faults closer together than the 32 bytes the judge needs in step.
for every in 997 8; do
  peer --drop-every "$every"
  run "a peer that drops every ${every}th byte" 1 --port "$device" --file "$sample"
  stop_peer
  check counts.lost = "$peer_dropped"
  check counts.lost_gaps = "$peer_dropped"
  check counts.corrupted = 0
  check counts.extra = 0
done

peer --banner "BOOT 1.0> "
run "a peer that greets with a banner" 1 --port "$device" --file "$sample"
stop_peer
check counts.extra = 10
check counts.lost = 0
check counts.matched = 16442
check differences.0.received_hex has "42 4f 4f 54"

peer --insert-every 4000
run "a peer that adds a byte every 4000" 1 --port "$device" --file "$work/random.bin"
stop_peer
check counts.extra = "$peer_inserted"
check counts.lost = 0
check counts.corrupted = 0

peer --chatter
run "a peer that chatters" 1 --port "$device" --file "$sample"
stop_peer
check counts.extra -gt 0
check counts.matched = 16442

peer --silent
run "a silent peer" 1 --port "$device" --file "$sample" --drain-timeout 2
stop_peer
check counts.received = 0
check counts.lost = 16442
check hint has "nothing came back"

peer --stall-after 5000
start=$(date +%s)
head -c 300000 /dev/urandom > "$work/300k.bin"  # more than the pty and the link's queue hold
run "a peer that stops reading" 1 --port "$device" --file "$work/300k.bin" --drain-timeout 2
took=$(( $(date +%s) - start ))
stop_peer
check counts.matched -le 5000
check sending_stalled = true
# What the line never took was never sent. What it took sits unread before
# the far end, which may only have paused: not back, not lost.
check counts.written -lt "$(field counts.accepted)"
check counts.lost = 0
check counts.unreturned = $(( $(field counts.written) - $(field counts.matched) ))
check counts.unreturned -ge 5000
# The stall is called after 3 s of it (--drain-timeout 2 is less); the rest
# is the runner starting and ending, slow under the sanitizers.
[ "$took" -le 15 ] || fail "a stalled peer kept the runner $took s"

# The same, with a far end that keeps talking once it has stopped reading (a
# dot every half second): its own bytes are no progress, and the run ends.
cat > "$work/deaf_peer.py" <<'PEER'
import os, time
master, slave = os.openpty()
print(os.ttyname(slave), flush=True)
echoed = 0
try:
    while echoed < 5000:
        data = os.read(master, 5000 - echoed)
        os.write(master, data)
        echoed += len(data)
    while True:
        time.sleep(0.5)
        os.write(master, b".")
except OSError:
    pass
PEER
pty_peer "$work/deaf_peer.py"
start=$(date +%s)
( sleep 30; kill "$pty_peer_pid" 2>/dev/null ) &  # a runner that never ends then sees a hang-up
run "a peer that stops reading and keeps talking" 1 --port "$pty_peer_device?flow=none" \
  --file "$work/300k.bin" --drain-timeout 2
took=$(( $(date +%s) - start ))
stop_pty_peer
check sending_stalled = true
check counts.matched = 5000
check counts.extra -gt 0
check counts.lost = 0
[ "$took" -le 15 ] || fail "a stalled peer that talks kept the runner $took s"

# A peer that stops answering after 1000 bytes while the pty still takes the
# rest: the drain times out long after the last answer. Those bytes are lost,
# not on their way.
peer --stall-after 1000
run "a peer that stops answering, cut by --drain-timeout" 1 --port "$device" --file "$sample" --drain-timeout 5
stop_peer
check drain_end = timeout
check counts.unreturned = 0
check counts.lost = $(( $(field counts.written) - $(field counts.matched) ))
check hint has "stopped answering"

# At 1200 baud the echo never pauses 20 ms, so the link's read is still
# gathering when the drain times out: what it held is counted at the close,
# and counted as received, with a time and a rate. The rest was still on its
# way back, with the line answering: not back yet, not lost.
peer --baud 1200
run "a slow echo cut short by --drain-timeout" 1 --port "$device" --file "$work/3000.txt" --drain-timeout 2
stop_peer
check counts.received -gt 0
check counts.matched = "$(field counts.received)"
check counts.lost = 0
check counts.unreturned = $(( $(field counts.written) - $(field counts.matched) ))
check hint has "still answering when --drain-timeout ended"
[ "$(field durations.last_receipt_s | cut -d. -f1)" -ge 1 ] 2>/dev/null && passed=$((passed + 1)) ||
  fail "$last: last_receipt_s is '$(field durations.last_receipt_s)', expected the close's time"
check rates.received_bytes_per_s != 0.0

# A far end that stops reading mid-run in a stress run, cut by the drain
# timeout while the line still holds the sender back: what it has not read
# is queued before it, not lost. (The wait is long enough that its last
# answer is more than 3 s old at the cut even on a slow machine: a line
# still answering gets another hint.)
peer --stall-after 100000
run "a stress run cut while the far end holds the line back" 1 --port "$device" --file "$work/random.bin" \
  --stress --duration 2 --drain-timeout 4
stop_peer
check counts.matched = 100000
check counts.lost = 0
check counts.unreturned = $(( $(field counts.written) - 100000 ))
check counts.written -lt "$(field counts.accepted)"
check hint has "holding the line back when --drain-timeout ended"

# The dialog sends nothing while it waits at the end of the file for the
# last bytes: with a drain timeout shorter than that wait, that is no stall.
peer --drop-every 5000
run "one byte dropped in a stress run with a short drain timeout" 1 --port "$device" --file "$work/random.bin" \
  --stress --duration 3 --drain-timeout 0.5
stop_peer
check sending_stalled = false
check counts.written -ge $((2 * 30000))
check counts.lost = "$peer_dropped"
run "a whole file back with a drain timeout of a millisecond" 0 --port loop:// --file "$sample" --drain-timeout 0.001

peer --hang-up-after 5000
run "a peer that hangs up" 1 --port "$device" --file "$sample"
stop_peer
check verdict = link-error
check link_error = true
check counts.lost -gt 0

# A file truncated during a stress run: what was sent is no longer what it
# holds, and no verdict from it can be trusted.
cp "$sample" "$work/shrinks.txt"
(sleep 1; truncate -s 100 "$work/shrinks.txt") &
run "a file truncated while it is sent" 1 --port loop:// --file "$work/shrinks.txt" --stress --duration 2
check file_changed = true
check hint has "the file changed while it was being sent"

# On an XON/XOFF line the file's own 0x11 and 0x13 come back as flow control.
peer
run "a binary file on an XON/XOFF line" 1 --port "$device?flow=xonxoff" --file "$work/random.bin" --drain-timeout 3
check hint has "XON/XOFF flow control and the file holds"
stop_peer

# --- Ports that cannot be used ---------------------------------------------
run "a port that does not exist" 1 --port /dev/nonexistent-tty --file "$sample"
check verdict = port-error
check port_error has "no such device"
run "a device that is no serial port" 1 --port /dev/null --file "$sample"
check port_error has "not a serial port"
run "a directory as the port" 1 --port "$work" --file "$sample"
check port_error has "not a serial port (a directory)"
run "a plain file with line settings as the port" 1 --port "$sample?baud=9600" --file "$sample"
check port_error has "not a serial port (a plain file)"
# A pseudo-terminal its master never unlocked refuses to open with EIO.
python3 -c 'import fcntl, os, struct, sys, time
fd = os.open("/dev/ptmx", os.O_RDWR | os.O_NOCTTY)
n = struct.unpack("I", fcntl.ioctl(fd, 0x80045430, b"\0" * 4))[0]
print("/dev/pts/%d" % n, flush=True)
time.sleep(30)' > "$work/locked.txt" &
locker=$!
for _ in $(seq 50); do [ -s "$work/locked.txt" ] && break; sleep 0.1; done
run "a locked pseudo-terminal" 1 --port "$(cat "$work/locked.txt")" --file "$sample"
check port_error has "Input/output error"
check hint has "not yet unlocked"
kill $locker
run "a network port where nothing listens" 1 --port tcp://127.0.0.1:1 --file "$sample"
check port_error has "nothing listens"
# A server that takes the connection, reads the negotiation, closes it and
# is gone: it was there, whatever opening the port again finds.
python3 -c 'import socket
s = socket.socket(); s.bind(("127.0.0.1", 0)); s.listen(1); print(s.getsockname()[1], flush=True)
c, _ = s.accept(); s.close(); c.recv(100); c.close()' > "$work/gone_port" &
gone=$!
for _ in $(seq 50); do [ -s "$work/gone_port" ] && break; sleep 0.1; done
run "an RFC 2217 server that closes the connection at once and goes" 1 \
  --port "rfc2217://127.0.0.1:$(cat "$work/gone_port")" --file "$sample"
check port_error has "took the connection and closed it at once, and no longer listens"
wait "$gone" 2>/dev/null

peer
"$bin/varnelix-run" --port "$device" --file "$sample" --stress --duration 4 > /dev/null 2>&1 &
holder=$!
sleep 1
run "a port another exerciser holds" 1 --port "$device" --file "$sample"
check port_error has "busy"
wait "$holder"
[ $? = 0 ] || fail "the exerciser holding the port did not finish cleanly"
stop_peer

if [ "$(id -u)" = 0 ] && command -v setpriv > /dev/null && setpriv --reuid=65534 --regid=65534 --clear-groups true 2> /dev/null; then
  peer
  chmod 600 "$device"
  setpriv --reuid=65534 --regid=65534 --clear-groups "$bin/varnelix-run" --port "$device" --file "$sample" \
    --json - > "$work/report.json" 2> "$work/out.txt"
  got=$?
  last="a port without permission"
  if [ "$got" = 1 ]; then passed=$((passed + 1)); else fail "$last: exit $got, expected 1"; fi
  check port_error has "permission denied"
  check hint has "usermod -aG"
  stop_peer
fi

# --- Another program on the port ---------------------------------------------
# The port's exclusivity keeps out only programs that open it later: one that
# had it open before reads bytes meant for the run. It is named, and the bytes
# it read are not blamed on the line first.
cat > "$work/holder.py" <<'HOLDER'
import os, signal, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
taken = 0
def done(*_):
    print(taken, flush=True)
    sys.exit(0)
signal.signal(signal.SIGTERM, done)
signal.signal(signal.SIGALRM, done)
signal.alarm(int(sys.argv[3]) if len(sys.argv) > 3 else 0)
open(sys.argv[2], "w").close()
while True:
    taken += len(os.read(fd, 4096))
HOLDER
hold() {  # device, delay[, seconds]: the other program from `delay` s on (for `seconds`), sets $holder_pid
  rm -f "$work/held" "$work/taken"
  (sleep "$2"; exec python3 "$work/holder.py" "$1" "$work/held" ${3:-} > "$work/taken") &
  holder_pid=$!
}
peer
hold "$device" 0
for _ in $(seq 50); do [ -e "$work/held" ] && break; sleep 0.1; done
run "a port another program reads too" 1 --port "$device" --file "$work/random.bin" --drain-timeout 3
kill "$holder_pid"
wait "$holder_pid"
stop_peer
check other_holders.0.pid = "$holder_pid"
check other_holders.0.command = python3
check counts.lost = "$(cat "$work/taken")"
check counts.corrupted = 0
check hint has "another program has $device open too ($holder_pid (python3)): it may have read the bytes called lost"
grep -q "^  shared    $device is open in another program too: $holder_pid (python3)" "$work/out.txt" ||
  fail "$last: the summary does not name the other program"
# One that leaves during the run is found by the look at the start.
peer
hold "$device" 0 1
for _ in $(seq 50); do [ -e "$work/held" ] && break; sleep 0.1; done
run "a port another program reads for the first second" 1 --port "$device" --file "$work/random.bin" --stress \
  --duration 3
wait "$holder_pid"
stop_peer
check other_holders.0.pid = "$holder_pid"
# Root is not kept out by TIOCEXCL: a program that opens the port during the
# run, and leaves before its end, is found by the look made as the bytes it
# took show up as lost.
if [ "$(id -u)" = 0 ]; then
  peer
  hold "$device" 1 1
  run "a port another program opens during the run" 1 --port "$device" --file "$work/random.bin" --stress \
    --duration 3
  wait "$holder_pid"
  stop_peer
  check other_holders.0.pid = "$holder_pid"
  check hint has "another program has $device open too"
fi

# --- Interrupted runs --------------------------------------------------------
# Runs a command in the background, sends it a signal 1.5 s in, and checks
# its exit status. Usage: signalled DESCRIPTION SIGNAL STATUS COMMAND...
signalled() {
  local what="$1" sig="$2" want="$3"
  shift 3
  "$@" > "$work/out.txt" 2>&1 &
  local pid=$!
  sleep 1.5
  kill -"$sig" $pid
  wait $pid
  local got=$?
  last="$what"
  if [ "$got" = "$want" ]; then passed=$((passed + 1)); else fail "$what: exit $got, expected $want"; fi
}
# (A background job of a script starts with SIGINT ignored, as from nohup
# with SIGHUP: the runner keeps what it was started with, so these start with
# the signals at their default, as from a terminal.)
for sig in INT TERM HUP QUIT USR1 XCPU; do
  want=$(case $sig in INT) echo 130 ;; TERM) echo 143 ;; HUP) echo 129 ;; QUIT) echo 131 ;; USR1) echo 138 ;; XCPU) echo 152 ;; esac)
  signalled "SIG$sig in a stress run" $sig "$want" env --default-signal=INT,HUP,QUIT "$bin/varnelix-run" --port loop:// \
    --file "$sample" --stress --duration 60 --json "$work/report.json"
  check verdict = interrupted
  check signal = "SIG$sig"
  check counts.written -gt 0
  grep -q "^varnelix-run: INTERRUPTED" "$work/out.txt" || fail "$last: no summary of what was checked"
done

# A closed terminal ends a run on a real port as the other signals do: the
# port gets back the settings it had before the run.
peer --silent
stty -F "$device" 9600 2> /dev/null
signalled "SIGHUP on a pty" HUP 129 env --default-signal=HUP "$bin/varnelix-run" --port "$device?baud=115200" \
  --file "$sample" --drain-timeout 30 --json "$work/report.json"
check signal = SIGHUP
speed=$(stty -F "$device" speed 2> /dev/null)
if [ "$speed" = 9600 ]; then passed=$((passed + 1)); else fail "$last: the port was left at $speed baud"; fi
stop_peer

# Started under nohup, a run outlives its terminal.
signalled "SIGHUP to a run started under nohup" HUP 0 nohup "$bin/varnelix-run" --port loop:// --file "$sample" \
  --stress --duration 2

# A reader of the output that goes away does not end the run (SIGPIPE), and a
# report that cannot be written is said and fails the run.
( "$bin/varnelix-run" --port loop:// --file "$sample" --json "$work/report.json"; echo $? > "$work/status.txt" ) | head -c 1 > /dev/null
last="output into a pipe closed early"
got=$(cat "$work/status.txt")
if [ "$got" = 0 ]; then passed=$((passed + 1)); else fail "$last: exit $got, expected 0"; fi
check verdict = ok
expect_report_failure() {  # description, then the command with its redirections
  local what="$1"
  shift
  "$@" > /dev/null 2> "$work/err.txt"
  local got=$?
  if [ "$got" = 1 ]; then passed=$((passed + 1)); else fail "$what: exit $got, expected 1"; fi
  grep -q "cannot write" "$work/err.txt" || fail "$what: nothing said on stderr"
}
expect_report_failure "a report to a full disk" "$bin/varnelix-run" --port loop:// --file "$sample" --json /dev/full
expect_report_failure "a report to a full standard output" \
  sh -c "'$bin/varnelix-run' --port loop:// --file '$sample' --json - > /dev/full"

# --- Arguments and the report's own form --------------------------------------
expect_status() {  # description, status, command...
  local what="$1" want="$2"
  shift 2
  "$@" > "$work/out.txt" 2>&1
  local got=$?
  last="$what"
  if [ "$got" = "$want" ]; then passed=$((passed + 1)); else fail "$what: exit $got, expected $want"; fi
}
expect_status "an unknown option" 2 "$bin/varnelix-run" --speed 9 --file "$sample"
expect_status "a missing file" 2 "$bin/varnelix-run" --file "$work/missing"
grep -q "missing" "$work/out.txt" || fail "the message does not name the missing file"
expect_status "a directory as the file" 2 "$bin/varnelix-run" --file "$work"
expect_status "a packet size out of range" 2 "$bin/varnelix-run" --file "$sample" --packet-size 4096
expect_status "a drain timeout of nothing" 2 "$bin/varnelix-run" --file "$sample" --drain-timeout 0
expect_status "a pause of nothing allowed" 2 "$bin/varnelix-run" --file "$sample" --max-pause 0
expect_status "--help" 0 "$bin/varnelix-run" --help
# What cannot be judged, or would destroy the file under test, is refused
# before the run.
: > "$work/empty.bin"
expect_status "an empty file" 2 "$bin/varnelix-run" --file "$work/empty.bin"
grep -q "is empty" "$work/out.txt" || fail "$last: no reason given"
expect_status "a file the system makes up as it is read" 2 "$bin/varnelix-run" --file /proc/self/status
cp "$work/2000.txt" "$work/firmware.bin"
expect_status "a report over the file to send" 2 "$bin/varnelix-run" --file "$work/firmware.bin" \
  --json "$work/firmware.bin"
cmp -s "$work/2000.txt" "$work/firmware.bin" || fail "$last: the file to send was overwritten"
expect_status "a report where none can be written" 2 "$bin/varnelix-run" --file "$sample" --json "$work/no/dir.json"
expect_status "--duration without --stress" 2 "$bin/varnelix-run" --file "$sample" --duration 5
expect_status "seconds in hexadecimal" 2 "$bin/varnelix-run" --file "$sample" --stress --duration 0x1

"$bin/varnelix-run" --port loop:// --file "$sample" --json - > "$work/report.json" 2> "$work/out.txt"
last="--json -"
check verdict = ok
grep -q "^varnelix-run: OK" "$work/out.txt" || fail "with --json -, the summary does not go to stderr"

start=$(date +%s)
run "a 3 s stress run" 0 --port loop:// --file "$sample" --stress --duration 3
took=$(( $(date +%s) - start ))
check counts.written -gt 16442
check counts.offered -ge "$(field counts.written)"
check counts.matched = "$(field counts.written)"
if [ "$took" -ge 3 ] && [ "$took" -le 7 ]; then passed=$((passed + 1)); else fail "a 3 s stress run took ${took} s"; fi

# --- Several ports at once ------------------------------------------------------
peer
good="$device"
good_pid=$peer_pid
peer --silent
silent="$device"
run "four ports, one of them silent" 1 --file "$work/2000.txt" --port loop:// --port "$good" --port "$silent" \
  --port "loop://?baud=115200" --drain-timeout 3
check exit_status = 1
check ports.0.verdict = ok
check ports.1.verdict = ok
check ports.1.settings.port = "$good"
check ports.2.verdict = failed
check ports.2.counts.lost = 2000
check ports.3.verdict = ok
[ "$(grep -c ' \(ok\|failed\)  ' "$work/out.txt")" = 4 ] || fail "$last: no table of four rows"
grep -q "^$silent  *failed " "$work/out.txt" || fail "$last: the silent port's row does not say failed"
stop_peer
kill "$good_pid" 2>/dev/null
wait "$good_pid" 2>/dev/null

peer
run "one port named twice" 1 --file "$sample" --port "$device" --port "$device" --stress --duration 2
grep -q "busy: .*[0-9] (varnelix-run)" "$work/out.txt" || fail "$last: the holder is not named as varnelix-run"
stop_peer

# --- Line settings in the port name -------------------------------------------
run "a setting the exerciser does not know" 1 --port "loop://?speed=9600" --file "$sample"
check port_error has "unknown setting 'speed'"
run "a bad rate" 1 --port "loop://?baud=fast" --file "$sample"
check port_error has "baud 'fast'"
run "settings that are fine" 0 --port "loop://?baud=230400&format=8N1&flow=none" --file "$work/3000.txt"
# A pseudo-terminal keeps 8 data bits and no parity whatever it is told, and
# every byte comes back: over a line other than the one asked for.
peer
run "a format the port does not hold" 1 --port "$device?format=7E1" --file "$work/3000.txt"
check verdict = failed
check counts.matched = 3000
check settings_not_held = "8 data bits and no parity where 7 data bits and even parity were set"
check hint has "a pseudo-terminal carries 8 data bits without parity whatever it is told: leave format= out"
grep -q "^  settings  the port holds 8 data bits and no parity where 7 data bits and even parity were set" \
  "$work/out.txt" || fail "$last: the summary does not say what the port holds"
run "settings the port holds" 0 --port "$device?baud=250000&format=8N2&flow=rtscts" --file "$work/3000.txt"
check settings_not_held = None
stop_peer

# --- Far ends that keep talking or hang up, on a plain TCP port ----------------
# A read ends at 2048 bytes or 20 ms after the last byte, so bytes that keep
# trickling in stay inside it however long the line looks quiet; the verdict
# must still count them. And bytes that came just before a hang-up count.
cat > "$work/tcp_peer.py" <<'PEER'
import socket, sys, time
mode = sys.argv[1]
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(1)
print(s.getsockname()[1], flush=True)
if mode == "echo":  # a device behind a raw port, served to one client after another
    while True:
        c, _ = s.accept()
        try:
            for data in iter(lambda: c.recv(65536), b""):
                c.sendall(data)
        except OSError:
            pass
        c.close()
while mode == "busy":  # a server busy with another client that leaves the next one in its backlog
    time.sleep(1)
while mode == "close":  # a server busy with another client, as ser2net says it
    c, _ = s.accept()
    c.sendall(b"Port already in use\r\n")
    c.close()
if mode == "parity":  # an RFC 2217 server whose line echoes, and reports one parity error
    c, _ = s.accept()
    c.sendall(bytes([255, 253, 44]))
    pending, told = b"", False
    for data in iter(lambda: c.recv(65536), b""):
        pending += data
        out, i = bytearray(), 0
        while i < len(pending):
            if pending[i] != 255:
                out.append(pending[i]); i += 1
            elif i + 1 >= len(pending):
                break
            elif pending[i + 1] == 255:
                out.append(255); i += 2
            elif pending[i + 1] == 250:
                end = pending.find(bytes([255, 240]), i)
                if end < 0:
                    break
                i = end + 2
            else:
                i += 3 if pending[i + 1] >= 251 else 2
        pending = pending[i:]
        c.sendall(bytes(out).replace(b"\xff", b"\xff\xff"))
        if out and not told:
            c.sendall(bytes([255, 250, 44, 106, 0x04, 255, 240]))
            told = True
    sys.exit(0)
c, _ = s.accept()
c.settimeout(0.05)
echoed = 0
try:
    while True:
        try:
            data = c.recv(65536)
        except socket.timeout:
            if mode == "trickle" and echoed:
                while True:  # a dot every 5 ms until the client goes
                    c.sendall(b".")
                    time.sleep(0.005)
            continue
        if not data:
            break
        if mode == "hang-up":
            data = data[:3000 - echoed]
        if mode == "holds" and echoed < 12000 <= echoed + len(data):  # XOFF at the server's line for 5 s
            c.sendall(data[:12000 - echoed])
            time.sleep(5)
            c.sendall(data[12000 - echoed:])
            echoed += len(data)
            continue
        if mode == "slows":  # fast for 4000 bytes, then a byte every 5 ms
            fast = data[:max(0, 4000 - echoed)]
            c.sendall(fast)
            for b in data[len(fast):]:
                c.sendall(bytes([b]))
                time.sleep(0.005)
        else:
            c.sendall(data)
        echoed += len(data)
        if mode == "hang-up" and echoed >= 3000:
            time.sleep(0.005)
            break
except OSError:
    pass
c.close()
PEER
tcp_peer() {  # mode: starts the peer, sets $tcp_port
  rm -f "$work/tcp_port"
  python3 "$work/tcp_peer.py" "$1" > "$work/tcp_port" &
  tcp_pid=$!
  for _ in $(seq 50); do [ -s "$work/tcp_port" ] && break; sleep 0.1; done
  tcp_port=$(head -n 1 "$work/tcp_port")
}
tcp_peer trickle
run "a far end that trickles unasked bytes after the echo" 1 --port "tcp://127.0.0.1:$tcp_port" --file "$sample"
check counts.matched = 16442
check counts.lost = 0
check counts.extra -gt 0
kill "$tcp_pid" 2>/dev/null; wait "$tcp_pid" 2>/dev/null
# Fast at first, then 200 B/s: the link's read gathers the slow part for 10 s
# without a 20 ms gap, and only the bytes it has taken show the line alive.
head -c 6000 "$sample" > "$work/6000.txt"
tcp_peer slows
run "a far end that slows down after 4000 bytes" 0 --port "tcp://127.0.0.1:$tcp_port" --file "$work/6000.txt"
check counts.matched = 6000
kill "$tcp_pid" 2>/dev/null; wait "$tcp_pid" 2>/dev/null
tcp_peer hang-up
run "a far end that hangs up after 3000 bytes" 1 --port "tcp://127.0.0.1:$tcp_port" --file "$work/random.bin" --packet-size 64
check link_error = true
check counts.received = 3000
check counts.matched = 3000
check hint has "the serial server closed the connection during the transfer: the far end hung up, another client"
kill "$tcp_pid" 2>/dev/null; wait "$tcp_pid" 2>/dev/null
# TCP connects before the server accepts: a server busy with another client
# takes the bytes into its backlog and never answers.
tcp_peer busy
run "a serial server that never takes the connection up" 1 --port "tcp://127.0.0.1:$tcp_port" \
  --file "$work/3000.txt" --drain-timeout 3
check counts.received = 0
check hint has "the serial server, serving another client, never took this connection up"
kill "$tcp_pid" 2>/dev/null; wait "$tcp_pid" 2>/dev/null
# A network far end that holds the bytes back for 5 s after 12000: the hold is
# out of sight behind a network port, so the drain waits longer for it.
tcp_peer holds
run "a network far end that holds the tail back for 5 s" 0 --port "tcp://127.0.0.1:$tcp_port" --file "$sample"
check counts.matched = 16442
kill "$tcp_pid" 2>/dev/null; wait "$tcp_pid" 2>/dev/null
# rfc2217:// at a raw port whose device echoes: refused, with the name to use.
tcp_peer echo
run "rfc2217:// at a raw echo" 1 --port "rfc2217://127.0.0.1:$tcp_port?baud=9600" --file "$sample"
check port_error has "does not speak RFC 2217"
check hint has "name it tcp://127.0.0.1:$tcp_port"
kill "$tcp_pid" 2>/dev/null; wait "$tcp_pid" 2>/dev/null
tcp_peer close
run "a serial server that closes each connection at once, over Telnet" 1 --port "rfc2217://127.0.0.1:$tcp_port" \
  --file "$sample"
check port_error has "closed the connection at once"
run "a serial server that closes each connection at once, raw" 1 --port "tcp://127.0.0.1:$tcp_port" --file "$sample"
check hint has 'closed the connection before anything was sent, saying "Port already in use"'
kill "$tcp_pid" 2>/dev/null; wait "$tcp_pid" 2>/dev/null
tcp_peer parity
run "an RFC 2217 line that reports a parity error" 1 --port "rfc2217://127.0.0.1:$tcp_port" --file "$sample"
check counts.matched = 16442
check line_errors = 1
check line_error_kinds = parity
kill "$tcp_pid" 2>/dev/null; wait "$tcp_pid" 2>/dev/null

# A far end on a pty that sends XOFF after 12000 bytes and XON 5 s later,
# the port opened with flow=xonxoff: the line holds the link's last packets
# back, quiet all the while, then takes them and echoes them. Nothing lost.
cat > "$work/xoff_peer.py" <<'PEER'
import os, time
master, slave = os.openpty()
print(os.ttyname(slave), flush=True)
echoed, held = 0, False
try:
    while True:
        data = os.read(master, 4096)
        os.write(master, data)
        echoed += len(data)
        if not held and echoed >= 12000:
            held = True
            os.write(master, b"\x13")
            time.sleep(5)
            os.write(master, b"\x11")
except OSError:
    pass
PEER
pty_peer "$work/xoff_peer.py"
run "a far end that holds XOFF for 5 s near the end" 0 --port "$pty_peer_device?flow=xonxoff" \
  --file "$sample"
check counts.matched = 16442
stop_pty_peer

# A far end on a pty that echoes at 2000 B/s, so that the last bytes come
# back seconds into the drain, and 0.1 s after its last echo sends five bytes
# of its own: they are extra, not unseen.
cat > "$work/trailer_peer.py" <<'PEER'
import os, sys, time
total = int(sys.argv[1])
master, slave = os.openpty()
print(os.ttyname(slave), flush=True)
pending = os.read(master, 4096)
start, echoed = time.monotonic(), 0
try:
    while echoed < total:
        if not pending:
            pending = os.read(master, 4096)
        due = int((time.monotonic() - start) * 2000) - echoed
        if due > 0:
            chunk, pending = pending[:due], pending[due:]
            os.write(master, chunk)
            echoed += len(chunk)
        time.sleep(0.005)
    time.sleep(0.1)
    os.write(master, b"EXTRA")
    time.sleep(30)
except OSError:
    pass
PEER
head -c 12000 /dev/urandom > "$work/12000.bin"
pty_peer "$work/trailer_peer.py" 12000
run "a slow far end that sends five bytes of its own after its last echo" 1 --port "$pty_peer_device?flow=none" \
  --file "$work/12000.bin"
check counts.matched = 12000
check counts.extra = 5
stop_pty_peer

# A far end that echoes its first 1000 bytes at once, then gathers the rest
# and answers only once its input has been quiet for 2 s: the bytes it holds
# are waited for 3 s from the last byte sent, however long ago it last
# answered.
cat > "$work/gather_peer.py" <<'PEER'
import os, select
master, slave = os.openpty()
print(os.ttyname(slave), flush=True)
echoed, held = 0, b""
try:
    while True:
        ready, _, _ = select.select([master], [], [], 2.0)
        if not ready:
            if held:
                os.write(master, held)
                held = b""
            continue
        data = os.read(master, 4096)
        if echoed < 1000:
            now, data = data[:1000 - echoed], data[1000 - echoed:]
            os.write(master, now)
            echoed += len(now)
        held += data
except OSError:
    pass
PEER
head -c 6000 /dev/urandom > "$work/6000.bin"
pty_peer "$work/gather_peer.py"
run "a far end that answers once its input has gone quiet" 0 --port "$pty_peer_device?flow=none" \
  --file "$work/6000.bin" --packet-size 1
stop_pty_peer
check counts.matched = 6000
check counts.lost = 0

# A far end that reads everything, echoes only its first N bytes, and then
# sends a dot every half second: the dots keep the line busy, but they answer
# nothing, so the bytes it never echoed are lost, not "on their way".
cat > "$work/dot_peer.py" <<'PEER'
import os, select, sys
echo = int(sys.argv[1])
master, slave = os.openpty()
print(os.ttyname(slave), flush=True)
echoed = 0
try:
    while True:
        if select.select([master], [], [], 0.5)[0]:
            data = os.read(master, 4096)
            now = data[:max(0, echo - echoed)]
            os.write(master, now)
            echoed += len(now)
        if echoed >= echo:
            os.write(master, b".")
except OSError:
    pass
PEER
head -c 20000 /dev/urandom > "$work/20000.bin"
pty_peer "$work/dot_peer.py" 4000
run "a far end that stops echoing and sends dots" 1 --port "$pty_peer_device?flow=none" --file "$work/20000.bin" \
  --drain-timeout 5
stop_pty_peer
check counts.matched = 4000
check counts.lost = 16000
check counts.unreturned = 0
check counts.corrupted = 0
check counts.extra -ge 5
check hint has "stopped answering"
pty_peer "$work/dot_peer.py" 0
run "a far end that never echoes and sends dots" 1 --port "$pty_peer_device?flow=none" --file "$work/20000.bin" \
  --drain-timeout 5
stop_pty_peer
check counts.lost = 20000
check counts.corrupted = 0
check hint has "none of the bytes sent came back"

# A far end that echoes the first 8000 bytes, then pauses 6 s before the
# rest: past the 3 s a local far end may fall silent with bytes owed, they
# are lost, and the hint says how to allow such a pause; allowed, it is OK.
cat > "$work/pausing_peer.py" <<'PEER'
import os, select, time
master, slave = os.openpty()
print(os.ttyname(slave), flush=True)
echoed, held, resume = 0, b"", None
try:
    while True:
        if select.select([master], [], [], 0.01)[0]:
            held += os.read(master, 4096)
        if echoed < 8000 and held:
            now, held = held[:8000 - echoed], held[8000 - echoed:]
            os.write(master, now)
            echoed += len(now)
            resume = time.monotonic() + 6 if echoed == 8000 else None
        elif resume and time.monotonic() >= resume and held:
            os.write(master, held)
            held = b""
except OSError:
    pass
PEER
pty_peer "$work/pausing_peer.py"
run "a far end that pauses 6 s mid-answer" 1 --port "$pty_peer_device?flow=none" --file "$sample"
stop_pty_peer
check counts.lost = 8442
check hint has "needs --max-pause"
pty_peer "$work/pausing_peer.py"
run "a far end that pauses 6 s mid-answer, allowed 8" 0 --port "$pty_peer_device?flow=none" --file "$sample" \
  --max-pause 8
stop_pty_peer
check counts.matched = 16442

# A far end that reads everything at once and echoes it at 960 B/s, one bit
# wrong in every 20th byte: never 32 bytes in step, so the judge holds what
# comes until it has a window of it. Cut short by --drain-timeout, the line
# was still answering: what had not come back is on its way, not lost.
cat > "$work/damaging_peer.py" <<'PEER'
import os, select, time
master, slave = os.openpty()
print(os.ttyname(slave), flush=True)
held, echoed, start = bytearray(), 0, None
try:
    while True:
        if select.select([master], [], [], 0.005)[0]:
            held += os.read(master, 4096)
            start = start or time.monotonic()
        due = int((time.monotonic() - start) * 960) - echoed if start and held else 0
        if due > 0:
            chunk = held[:due]
            del held[:due]
            for k in range(len(chunk)):
                if (echoed + k) % 20 == 19:
                    chunk[k] ^= 1
            os.write(master, bytes(chunk))
            echoed += len(chunk)
except OSError:
    pass
PEER
pty_peer "$work/damaging_peer.py"
run "a slow far end that damages every 20th byte, cut short" 1 --port "$pty_peer_device?flow=none" \
  --file "$work/20000.bin" --drain-timeout 4
stop_pty_peer
check counts.lost = 0
check counts.unreturned -gt 10000
check counts.corrupted -gt 100

# --- An RFC 2217 server of another make: pyserial's, over its own loop:// --------
# (The system's python3 has the Debian package; another first on the PATH may not.)
pyserial=""
for py in python3 /usr/bin/python3; do
  "$py" -c 'import serial.rfc2217' 2> /dev/null && pyserial="$py" && break
done
if [ -n "$pyserial" ]; then
  cat > "$work/pyserial_rfc2217.py" <<'PEER'
import socket, sys, threading, serial, serial.rfc2217
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(1)
print(s.getsockname()[1], flush=True)
c, _ = s.accept()
line = serial.serial_for_url("loop://", timeout=0.05, do_not_open=True)
line.baudrate = 9600
line.open()
class Network:
    def write(self, data):
        c.sendall(data)
manager = serial.rfc2217.PortManager(line, Network())
def answer():
    while True:
        data = line.read(4096)
        if data:
            c.sendall(b"".join(manager.escape(data)))
threading.Thread(target=answer, daemon=True).start()
try:
    for data in iter(lambda: c.recv(4096), b""):
        line.write(b"".join(manager.filter(data)))
except OSError:
    pass
print(line.baudrate, line.bytesize, line.parity, line.stopbits, flush=True)
PEER
  rm -f "$work/pyserial_port"
  "$pyserial" "$work/pyserial_rfc2217.py" > "$work/pyserial_port" 2>&1 &
  py_pid=$!
  for _ in $(seq 50); do [ -s "$work/pyserial_port" ] && break; sleep 0.1; done
  run "pyserial's RFC 2217 server" 0 --port "rfc2217://127.0.0.1:$(head -n 1 "$work/pyserial_port")?baud=57600&format=7E1" \
    --file "$work/random.bin"
  check counts.matched = 30000
  wait "$py_pid"
  settings=$(sed -n 2p "$work/pyserial_port")
  [ "$settings" = "57600 7 E 1" ] && passed=$((passed + 1)) || fail "pyserial's RFC 2217 server: its line ended at '$settings'"
else
  echo "(pyserial is not installed: its RFC 2217 server not tried; scripts/install-deps.sh installs it)"
fi

# --- Network ports through a real ser2net ---------------------------------------
if [ -x /usr/sbin/ser2net ]; then
  peer
  free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
  raw=$(free_port)
  tel=$(free_port)
  {
    echo "connection: &raw"
    echo "  accepter: tcp,127.0.0.1,$raw"
    echo "  connector: serialdev,$device,115200n81,local"
    echo "  options:"
    echo "    kickolduser: true"
    echo "connection: &tel"
    echo "  accepter: telnet(rfc2217),tcp,127.0.0.1,$tel"
    echo "  connector: serialdev,$device,115200n81,local"
    echo "  options:"
    echo "    kickolduser: true"
  } > "$work/ser2net.yaml"
  /usr/sbin/ser2net -n -d -c "$work/ser2net.yaml" > "$work/ser2net.log" 2>&1 &
  ser2net_pid=$!
  listening() { grep -q "0100007F:$(printf '%04X' "$1") 00000000:0000 0A" /proc/net/tcp; }
  for _ in $(seq 50); do listening "$raw" && listening "$tel" && break; sleep 0.1; done
  run "ser2net, raw" 0 --port "tcp://127.0.0.1:$raw" --file "$sample"
  check counts.matched = 16442
  sleep 0.3  # ser2net lets go of the device before it serves the next connection
  run "ser2net, RFC 2217, every byte value" 0 --port "rfc2217://127.0.0.1:$tel?baud=57600" --file "$work/random.bin" \
    --packet-size 512
  check counts.matched = 30000
  sleep 0.3
  run "ser2net's Telnet port named as a raw one" 1 --port "tcp://127.0.0.1:$tel" --file "$work/random.bin" \
    --drain-timeout 3
  check hint has "name it rfc2217://127.0.0.1:$tel"
  sleep 0.3
  # The server killed mid-transfer: a dead line, not a slow one.
  ( sleep 1.5; kill "$ser2net_pid" ) &
  run "ser2net killed mid-transfer" 1 --port "rfc2217://127.0.0.1:$tel" --file "$sample" --stress --duration 8
  check link_error = true
  check hint has "the serial server closed the connection during the transfer"
  wait "$ser2net_pid" 2>/dev/null
  stop_peer
else
  echo "(ser2net is not installed: network ports not checked; scripts/install-deps.sh installs it)"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]

#!/usr/bin/env bash
# The shared virtual processor, used as people use it: a daemon, programs
# that share its slaves through Kalmorix, dpsim changing and watching it, a
# malformed client, clients and a daemon without the key, and the daemon
# killed in the middle of a job.
#
# Usage: tools/daemon_test.sh BIN_DIR [WIN32_BIN_DIR]
#   BIN_DIR        holds dpsim and zelcli (native)
#   WIN32_BIN_DIR  holds zelcli.exe and its DLLs: then a win32 zelcli under
#                  Wine and the native one share the daemon as well
set -euo pipefail
bin=$(cd "$1" && pwd)
win32=${2:-}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kalmorix-daemon.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT
# The daemons' key files go to a directory of this test's own.
export XDG_RUNTIME_DIR=$tmp/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
unset DPSIM_KEY_FILE
fail() {
  echo "FAILED: $*" >&2
  for f in "$tmp"/*.out "$tmp"/*.err; do
    [ -s "$f" ] && { echo "--- $f" >&2; tail -n 20 "$f" >&2; }
  done
  exit 1
}
# wait_for FILE PATTERN SECONDS
wait_for() {
  local deadline=$((SECONDS + $3))
  until grep -q -- "$2" "$1" 2>/dev/null; do
    [ $SECONDS -lt $deadline ] || fail "no '$2' in $(basename "$1") within $3 s"
    sleep 0.05
  done
}
# wait_status PATTERN SECONDS: until dpsim status shows PATTERN
wait_status() {
  local deadline=$((SECONDS + $2))
  until timeout 5 "$bin/dpsim" status 2>/dev/null | grep -q -- "$1"; do
    [ $SECONDS -lt $deadline ] || fail "dpsim status shows no '$1' within $2 s"
    sleep 0.05
  done
}
# start_daemon NAME [VAR=value ...] [-- serve options]: sets $daemon (pid),
# $port and $keyfile
start_daemon() {
  local name=$1
  shift
  local vars=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do vars+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  env "${vars[@]}" "$bin/dpsim" serve --listen 127.0.0.1:0 "$@" >"$tmp/$name.out" \
    2>"$tmp/$name.err" &
  daemon=$!
  pids+=("$daemon")
  wait_for "$tmp/$name.out" "key file" 10
  port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$tmp/$name.out")
  keyfile=$(sed -n 's/^dpsim: key file \(.*\) (clients need to read it)$/\1/p' "$tmp/$name.out")
}
zelcli() { timeout 60 "$bin/zelcli" --json "$@"; }

echo "== one daemon, several programs"
start_daemon daemon
export DPSIM_SERVER=127.0.0.1:$port
# Bounded, yet alive to the end of the test under the sanitizers too.
timeout 280 "$bin/dpsim" log -f >"$tmp/log.out" 2>"$tmp/log.err" &
follower=$!
pids+=("$follower")
wait_status "dpsim (claimed pid" 10

# The same job cycle gives the same results in-process and through the daemon.
same_demo() { sed -E 's/after [0-9]+ ms/after N ms/; /DP master library/d' "$1"; }
timeout 60 env -u DPSIM_SERVER "$bin/zelcli" demo >"$tmp/demo-local.out" || fail "demo in-process"
timeout 60 "$bin/zelcli" demo >"$tmp/demo-daemon.out" || fail "demo through the daemon"
diff <(same_demo "$tmp/demo-local.out") <(same_demo "$tmp/demo-daemon.out") >&2 ||
  fail "the demo's results differ through the daemon"

zelcli write 4 CAFE01 >"$tmp/write.out" || fail "write through the daemon"
zelcli read 4 >"$tmp/read.out" || fail "read through the daemon"
grep -q '"data": "cafe01"' "$tmp/read.out" || fail "a second process does not see the written data"
[ "$(timeout 10 "$bin/dpsim" get VCP1 4)" = "ca fe 01" ] || fail "dpsim get does not show the write"

echo "== dpsim set, seen by a running reader"
"$bin/zelcli" --json watch 3 --interval 100 --count 600 >"$tmp/watch.out" &
watcher=$!
pids+=("$watcher")
wait_for "$tmp/watch.out" '"read": 2' 30
timeout 10 "$bin/dpsim" set VCP1 3 "0a 0b 0c" >/dev/null || fail "dpsim set"
wait_for "$tmp/watch.out" '"data": "0a0b0c"' 30
kill "$watcher" 2>/dev/null || true
wait "$watcher" 2>/dev/null || true

echo "== silence and answer"
timeout 10 "$bin/dpsim" silence VCP1 5 >/dev/null
if zelcli read 5 >"$tmp/silent.out"; then fail "a silenced slave answered"; fi
grep -q '"resultCode": 22' "$tmp/silent.out" || fail "a silenced slave: no error result"
timeout 10 "$bin/dpsim" answer VCP1 5 >/dev/null
zelcli read 5 >/dev/null || fail "the slave does not answer again"

echo "== dpsim as people type it: options anywhere, usage errors, JSON fields"
# dpsim_case EXPECTED_EXIT OUTPUT_PATTERN ARGS...: stdout and stderr together
dpsim_case() {
  local expect=$1 pattern=$2 code=0
  shift 2
  timeout 10 "$bin/dpsim" "$@" >"$tmp/case.out" 2>&1 || code=$?
  [ "$code" = "$expect" ] || fail "dpsim $*: exit $code, not $expect"
  grep -q -- "$pattern" "$tmp/case.out" || fail "dpsim $*: no '$pattern' in: $(cat "$tmp/case.out")"
}
dpsim_case 3 "a byte split by a blank at position 2" set VCP1 4 "1 2 3 4"
dpsim_case 3 "odd number of hex digits" set VCP1 4 ABC
dpsim_case 3 "'x' at position 2 is not a hex digit" set VCP1 4 0x4142
dpsim_case 3 '"code":3' --json set VCP1 4 "1 2 3"
dpsim_case 0 '"processor":"VCP1","slave":4,"bytes":3' set VCP1 4 "ca:fe,01" --json
dpsim_case 0 "^dpsim: slave 4 on VCP1 set, 3 bytes$" set VCP1 4 ca fe 01
dpsim_case 0 '"server":' status --json
dpsim_case 0 "usage: dpsim" help
dpsim_case 0 "^usage: dpsim .* status$" status --help
dpsim_case 0 "^usage: dpsim .* log \[-f\]$" help log
dpsim_case 3 "^dpsim: unknown command \"bogus\" (see 'dpsim help')$" bogus
dpsim_case 1 '{"error":"no slave 77 on VCP1","code":1}' --json get VCP1 77
dpsim_case 1 "^dpsim: no slave 77 on VCP1$" silence VCP1 77
dpsim_case 0 "zelcli\[[0-9]*\] VCP1 handle [0-9]* slave 5 read" log
[ "$(wc -l <"$tmp/case.out")" -ge 3 ] || fail "dpsim log shows fewer jobs than were done"
timeout 10 "$bin/dpsim" log --json >"$tmp/log.json" || fail "dpsim log --json"
python3 -c 'import json, sys
lines = [json.loads(l) for l in open(sys.argv[1])]
assert lines and all(l["program"] and l["pid"] > 0 for l in lines), "no program or pid"
' "$tmp/log.json" || fail "dpsim log --json: not one object per job with program and pid"

echo "== an empty write is a write of 0 bytes, in zelcli and dpsim alike"
zelcli write 4 "" >/dev/null || fail "zelcli write of 0 bytes"
[ -z "$(timeout 10 "$bin/dpsim" get VCP1 4)" ] || fail "a write of 0 bytes left data"
dpsim_case 0 "set, 0 bytes" set VCP1 4 ""
timeout 10 "$bin/dpsim" set VCP1 4 cafe01 >/dev/null || fail "dpsim set"

echo "== zelcli interrupted says so; a second Ctrl-C says what it still waits for"
"$bin/zelcli" write 4 cafe01 >"$tmp/int.out" 2>"$tmp/int.err" &
writer=$!
pids+=("$writer")
wait_for "$tmp/int.out" "DPC1 write of 3 bytes to slave 4" 10
kill -INT "$writer"
# The first one ends the wait; the close then waits for the write's read-back.
wait_for "$tmp/int.err" "zelcli: interrupted: closing the channel" 10
kill -INT "$writer" 2>/dev/null || true
code=0
wait "$writer" || code=$?
[ "$code" = 130 ] || fail "an interrupted write: exit $code, not 130"
grep -q "closing the channel first (up to 10 s)" "$tmp/int.err" ||
  fail "a second Ctrl-C during the close says nothing"
"$bin/zelcli" demo >"$tmp/int-demo.out" 2>&1 &
writer=$!
pids+=("$writer")
wait_for "$tmp/int-demo.out" "DPC1 write to slave 3" 10
kill -INT "$writer"
code=0
wait "$writer" || code=$?
[ "$code" = 130 ] || fail "an interrupted demo: exit $code, not 130"
grep -q "zelcli: interrupted" "$tmp/int-demo.out" || fail "an interrupted demo does not say so"
if grep -q "FDL results are collected\|Subsystem 0x29" "$tmp/int-demo.out"; then
  fail "an interrupted demo went on explaining"
fi
echo "== dpsim reset: back to the configuration the daemon started with"
timeout 10 "$bin/dpsim" silence VCP1 5 >/dev/null
timeout 10 "$bin/dpsim" fault VCP1 late 5% >/dev/null
printf 'processor ONLY\nslave 1 text x\n' >"$tmp/only.cfg"
timeout 10 "$bin/dpsim" load "$tmp/only.cfg" >/dev/null || fail "dpsim load"
timeout 10 "$bin/dpsim" reset >/dev/null || fail "dpsim reset"
timeout 10 "$bin/dpsim" status >"$tmp/reset.out" || fail "dpsim status after reset"
grep -qx "processor VCP1: slaves 3 (18 bytes), 4 (24 bytes), 5 (36 bytes)" "$tmp/reset.out" ||
  fail "reset did not restore VCP1's slaves, silence and faults"
grep -q "processor ONLY" "$tmp/reset.out" && fail "reset kept the loaded processor"
timeout 10 "$bin/dpsim" set VCP1 4 cafe01 >/dev/null  # as the steps below expect

echo "== only who holds the key: the key file and its directory"
[ "$keyfile" = "$XDG_RUNTIME_DIR/kalmorix/dpsim-$port.key" ] || fail "key file at '$keyfile'"
[ "$(stat -c %a "$keyfile")" = 600 ] || fail "key file mode $(stat -c %a "$keyfile"), not 600"
[ "$(stat -c %a "$XDG_RUNTIME_DIR/kalmorix")" = 700 ] || fail "key directory mode not 700"
main_port=$port
main_key=$keyfile
main_daemon=$daemon

echo "== clients without the key are turned away while a program's jobs go on"
"$bin/zelcli" --json watch 4 --interval 50 --count 2000 >"$tmp/keep.out" &
keeper=$!
pids+=("$keeper")
wait_for "$tmp/keep.out" '"read": 2' 30
head -c 32 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$tmp/wrong.key"
chmod 600 "$tmp/wrong.key"
code=0
DPSIM_KEY_FILE=$tmp/wrong.key timeout 10 "$bin/dpsim" set VCP1 4 "ee ee" >/dev/null 2>"$tmp/wrongkey.err" || code=$?
[ "$code" = 4 ] || fail "dpsim with a wrong key: exit $code, not 4"
grep -q "could not prove itself" "$tmp/wrongkey.err" || fail "no 'could not prove itself' with a wrong key"
code=0
DPSIM_KEY_FILE=$tmp/none zelcli read 4 >/dev/null 2>"$tmp/nokey.err" || code=$?
[ "$code" = 2 ] || fail "zelcli without a key: exit $code, not 2"
chmod 644 "$tmp/wrong.key"
code=0
DPSIM_KEY_FILE=$tmp/wrong.key timeout 10 "$bin/dpsim" status >/dev/null 2>"$tmp/openkey.err" || code=$?
[ "$code" = 4 ] || fail "a key file others can read was used (exit $code)"
grep -q "readable by nobody else" "$tmp/openkey.err" || fail "no word on the unsafe key file"
# A client that claims a proof it cannot make, and one that skips it and
# asks at once: neither gets anything done.
hello() { # a Hello frame with zero nonce
  printf '\x2d\x00\x00\x00\x02\x01\x00\x00\x01\x00\x00\x00\x04evil'
  head -c 32 /dev/zero
}
{ hello; printf '\x24\x00\x00\x00\x02\x07\x00\x00'; head -c 32 /dev/zero; } |
  timeout 5 bash -c "cat >/dev/tcp/127.0.0.1/$port" || true
wait_for "$tmp/daemon.err" "wrong proof of the key; connection closed" 10
{ hello; printf '\x0f\x00\x00\x00\x02\x12\x00\x00\x00\x04VCP1\x04\x02\x00\xee\xee'; } |
  timeout 5 bash -c "cat >/dev/tcp/127.0.0.1/$port" || true
wait_for "$tmp/daemon.err" "no proof of the key after Hello" 10
[ "$(timeout 10 "$bin/dpsim" get VCP1 4)" = "ca fe 01" ] || fail "a client without the key changed a slave"
timeout 10 "$bin/dpsim" status >"$tmp/status.out" || fail "dpsim status"
grep -q "evil" "$tmp/status.out" && fail "status lists a client that did not prove itself"
reads=$(grep -c '"read"' "$tmp/keep.out")
sleep 0.5
[ "$(grep -c '"read"' "$tmp/keep.out")" -gt "$reads" ] || fail "a program's reads stopped"
kill -0 "$keeper" 2>/dev/null || fail "a program ended while clients were turned away"
kill "$keeper" 2>/dev/null || true
wait "$keeper" 2>/dev/null || true

echo "== the key file is made anew, never through a link, in a private directory only"
mkdir -p "$tmp/open/kalmorix"
chmod 755 "$tmp/open/kalmorix"
code=0
XDG_RUNTIME_DIR=$tmp/open timeout 10 "$bin/dpsim" serve --listen 127.0.0.1:0 >/dev/null \
  2>"$tmp/opendir.err" || code=$?
[ "$code" = 1 ] || fail "a daemon kept its key in a directory others can enter (exit $code)"
grep -q "not a directory of this user's alone" "$tmp/opendir.err" || fail "no word on the directory"
echo keep >"$tmp/victim"
ln -s "$tmp/victim" "$tmp/impostor.key"

echo "== a listener without the key is not taken for the daemon"
start_daemon impostor -- --key-file "$tmp/impostor.key"
[ "$(cat "$tmp/victim")" = keep ] || fail "the daemon wrote its key through a link"
[ -L "$tmp/impostor.key" ] && fail "the key file is still a link"
[ "$(stat -c %a "$tmp/impostor.key")" = 600 ] || fail "--key-file: mode not 600"
code=0
DPSIM_SERVER=127.0.0.1:$port DPSIM_KEY_FILE=$main_key zelcli read 4 >"$tmp/imp-read.out" \
  2>"$tmp/imp-read.err" || code=$?
[ "$code" = 2 ] || fail "zelcli read from an impostor: exit $code, not 2"
grep -q "could not prove itself" "$tmp/imp-read.err" || fail "zelcli: no 'could not prove itself'"
code=0
DPSIM_SERVER=127.0.0.1:$port DPSIM_KEY_FILE=$main_key timeout 10 "$bin/dpsim" status \
  >/dev/null 2>"$tmp/imp-status.err" || code=$?
[ "$code" = 4 ] || fail "dpsim status from an impostor: exit $code, not 4"
# Without DPSIM_KEY_FILE the default key file of that port is not there.
code=0
DPSIM_SERVER=127.0.0.1:$port timeout 10 "$bin/dpsim" status >/dev/null 2>&1 || code=$?
[ "$code" = 4 ] || fail "dpsim status with no key for the port: exit $code, not 4"
kill -TERM "$daemon"
wait "$daemon" || fail "the impostor daemon's exit code: $?"
[ -e "$tmp/impostor.key" ] && fail "the key file stays after the daemon stopped"
port=$main_port
keyfile=$main_key
daemon=$main_daemon

echo "== a malformed message closes only its own connection"
exec 3<>"/dev/tcp/127.0.0.1/$port"
printf '\x10\x00\x00\x00\x01\x7f\x00\x00not a message' >&3
exec 3>&-
wait_for "$tmp/daemon.err" "malformed message" 10
printf '\xff\xff\xff\xff' | timeout 5 bash -c "cat >/dev/tcp/127.0.0.1/$port" || true
wait_for "$tmp/daemon.err" "frame length out of range" 10
zelcli read 4 >/dev/null || fail "the daemon serves no more after a malformed message"
kill -0 "$follower" 2>/dev/null || fail "the log follower was dropped with the malformed client"
wait_for "$tmp/log.out" "zelcli\[[0-9]*\] VCP1 handle [0-9]* slave 4 write 3 bytes ok" 10
deadline=$((SECONDS + 10))
until [ "$(grep -c 'slave 4 read' "$tmp/log.out")" -ge 3 ]; do
  [ $SECONDS -lt $deadline ] || fail "log -f misses reads"
  sleep 0.05
done

echo "== hostile clients: idle, half-sent, too many connections, too many handles"
# One table of clients that would each hold the daemon's threads or memory
# for ever; each must be turned away while the others are served.
# A sanitized stand-in library cannot be loaded into Python.
sanitized=
# grep reads all of ldd's output: with -q it could stop early, and ldd's
# SIGPIPE would fail the pipeline (pipefail) as if nothing were found.
if ldd "$bin/../lib/libdpmaster.so" 2>/dev/null | grep 'libasan\|libtsan' >/dev/null; then
  sanitized=yes
fi
timeout 120 python3 - "$port" "$bin/../lib" "$daemon" "$keyfile" "$sanitized" "$tmp/daemon.err" <<'PY' || fail "hostile clients"
import ctypes, hashlib, hmac, os, socket, struct, sys, time
port, lib_dir, daemon, key_file = int(sys.argv[1]), sys.argv[2], sys.argv[3], sys.argv[4]
sanitized, daemon_err = sys.argv[5] == "yes", sys.argv[6]

def connect():
    return socket.create_connection(("127.0.0.1", port), timeout=10)

def frame(kind, fields):
    return struct.pack("<I", 4 + len(fields)) + bytes([2, kind, 0, 0]) + fields

def hello(s):  # the library's first message (sim/wire/protocol.h), no proof to follow
    s.sendall(frame(0x01, struct.pack("<I", os.getpid()) + bytes([7]) + b"hostile" + bytes(32)))
    assert len(s.recv(4096)) > 8, "no reply to Hello"

def recv_frame(s):
    def exactly(n):
        out = b""
        while len(out) < n:
            part = s.recv(n - len(out))
            assert part, "connection closed during the handshake"
            out += part
        return out
    return exactly(struct.unpack("<I", exactly(4))[0])

def proven():  # a client that holds the key (sim/wire/key.cpp)
    key = bytes.fromhex(open(key_file).read().strip())
    s = connect()
    mine = os.urandom(32)
    s.sendall(frame(0x01, struct.pack("<I", os.getpid()) + bytes([9]) + b"no-reader" + mine))
    body = recv_frame(s)
    name_end = 4 + 4 + 1 + body[8]
    theirs, proof = body[name_end:name_end + 32], body[name_end + 32:name_end + 64]
    assert hmac.compare_digest(proof, hmac.new(key, b"server" + mine + theirs, hashlib.sha256).digest())
    s.sendall(frame(0x07, hmac.new(key, b"client" + theirs + mine, hashlib.sha256).digest()))
    recv_frame(s)
    return s

def closed_within(s, seconds):
    s.settimeout(seconds)
    try:
        while s.recv(65536):
            pass
        return True
    except socket.timeout:
        return False
    except OSError:
        return True

def daemon_figure(key):
    with open("/proc/%s/status" % daemon) as f:
        return next(l.split()[1] for l in f if l.startswith(key + ":"))

# Idle without Hello, a frame half sent before Hello and one after Hello
# instead of the proof: all closed after the deadline (5 s), not at once and
# not never.
idle = connect()
before = connect()
before.sendall(struct.pack("<I", 65536) + b"\x01\x01\x00\x00" + b"x" * 1000)
after = connect()
hello(after)
after.sendall(struct.pack("<I", 65536) + b"\x02\x07\x00\x00" + b"x" * 1000)
start = time.monotonic()
for name, s in (("idle", idle), ("half-sent", before), ("half-sent after Hello", after)):
    left = 9 - (time.monotonic() - start)
    assert closed_within(s, max(left, 0.1)), name + " client still connected after 9 s"
    assert time.monotonic() - start >= 4, name + " client closed before its deadline"
    s.close()

# A client that asks and never reads: once its replies fill the buffers,
# the daemon gives up on it after its send time-out (10 s), not never.
lazy = proven()
lazy.settimeout(5)
batch = frame(0x10, b"\x00") * 1000  # status requests
try:
    for _ in range(400):
        lazy.sendall(batch)
except socket.timeout:
    pass
# Read nothing, ever: the daemon's log says when it let the client go.
deadline = time.monotonic() + 45
while "a reply could not be sent" not in open(daemon_err).read():
    assert time.monotonic() < deadline, "a client that never reads still held after 45 s"
    time.sleep(0.2)
lazy.close()

# The connection cap: beyond 256, a new connection is closed at once.
many = [connect() for _ in range(300)]
time.sleep(0.5)
threads = daemon_figure("Threads")
refused = sum(1 for s in many if closed_within(s, 0.01))
print("300 connections: %d refused at once, daemon threads %s" % (refused, threads))
assert 40 <= refused <= 60, "%d of 300 connections refused" % refused
for s in many:
    s.close()

# The handle cap: a program gets 1,024 handles, then "out of resources".
if sanitized:
    print("handle cap: checked with the plain build only")
    sys.exit(0)
lib = ctypes.CDLL(os.path.join(lib_dir, "libdpmaster.so"))
rss = int(daemon_figure("VmRSS"))
handle, err = ctypes.c_int32(), (ctypes.c_uint32 * 16)()
opened = 0
for _ in range(1100):
    if lib.OpenDpHandle(b"VCP1", ctypes.byref(handle), err) != 0:
        break
    opened += 1
print("handles: %d opened, then ErrClass %d ErrCode %d; daemon RSS +%d kB" %
      (opened, err[0], err[1], int(daemon_figure("VmRSS")) - rss))
assert opened == 1024 and err[0] == 2 and err[1] == 5, "no handle cap at 1024"
PY
grep -q "no Hello within" "$tmp/daemon.err" || fail "the idle client's end was not logged"
grep -q "no proof of the key within" "$tmp/daemon.err" || fail "the half-sent proof's end was not logged"
grep -q "connections already" "$tmp/daemon.err" || fail "the refused connections were not logged"
zelcli read 4 >/dev/null || fail "the daemon serves no more after the hostile clients"
kill -0 "$follower" 2>/dev/null || fail "the log follower was dropped with the hostile clients"

if [ -n "$win32" ]; then
  echo "== a win32 program under Wine and a native one share the daemon"
  # The win32 program reads the native daemon's key through Wine's Z: drive.
  wine=(timeout 120 env "DPSIM_KEY_FILE=Z:${keyfile//\//\\}" wine "$win32/zelcli.exe" --json)
  WINEDEBUG=-all "${wine[@]}" write 5 5e5e >"$tmp/wine-write.out" 2>&1 || fail "win32 write"
  zelcli read 5 | grep -q '"data": "5e5e"' || fail "native read of the win32 write"
  zelcli write 3 0d0e >/dev/null || fail "native write"
  WINEDEBUG=-all "${wine[@]}" read 3 >"$tmp/wine-read.out" 2>&1 || fail "win32 read"
  grep -q '"data": "0d0e"' "$tmp/wine-read.out" || fail "win32 read of the native write"
fi

echo "== a configuration over the wire does not move the trace, nor stall the bus"
printf 'trace %s\ndelay_us 4294967294\nprocessor A\033[2JB\nprocessor VCP1\nslave 4\n' \
  "$tmp/created.trace" >"$tmp/hostile.cfg"
code=0
timeout 10 "$bin/dpsim" load "$tmp/hostile.cfg" >"$tmp/load.out" 2>&1 || code=$?
[ "$code" = 1 ] || fail "a configuration with bad lines loaded with exit $code"
[ ! -e "$tmp/created.trace" ] || fail "load over the wire created the trace file"
grep -q "trace kept" "$tmp/load.out" || fail "load does not say the trace was kept"
grep -q "delay_us must be" "$tmp/load.out" || fail "a delay of 71 minutes was taken"
grep -q "control characters" "$tmp/load.out" || fail "a processor name with ESC was taken"
if grep -q $'\033' "$tmp/load.out"; then fail "an escape sequence reached the terminal"; fi
# Refused whole: VCP2, which the file does not name, is still there.
timeout 10 "$bin/dpsim" get VCP2 3 >/dev/null || fail "a refused configuration replaced the running one"
code=0
timeout 10 "$bin/dpsim" --json load "$tmp/hostile.cfg" >"$tmp/load.json" || code=$?
[ "$code" = 1 ] || fail "dpsim --json load of a bad configuration: exit $code"
python3 -c 'import json, sys; d = json.load(open(sys.argv[1]))
assert d["code"] == 1 and "refused" in d["error"] and d["rejectedLines"] >= 2, d
' "$tmp/load.json" || fail "dpsim --json load of a bad configuration: no error object"

echo "== a status too long for one reply is cut between entries, and says so"
for i in $(seq 2000); do printf "processor P%04d\nslave 1\n" "$i"; done >"$tmp/many.cfg"
timeout 10 "$bin/dpsim" load "$tmp/many.cfg" >/dev/null || fail "loading 2000 processors"
timeout 10 "$bin/dpsim" --json status >"$tmp/status.json" || fail "dpsim --json status"
python3 -c 'import json, sys; d = json.load(open(sys.argv[1]))
assert d["truncated"] is True and 100 < len(d["processors"]) < 2000, "not cut between entries"
' "$tmp/status.json" || fail "a long --json status is not valid JSON marked truncated"

echo "== SIGTERM stops the daemon cleanly"
kill -TERM "$daemon"
for _ in $(seq 100); do kill -0 "$daemon" 2>/dev/null || break; sleep 0.1; done
kill -0 "$daemon" 2>/dev/null && fail "the daemon did not stop within 10 s of SIGTERM"
wait "$daemon" || fail "the daemon's exit code after SIGTERM: $?"
grep -q stopping "$tmp/daemon.out" || fail "no 'stopping'"
[ -e "$keyfile" ] && fail "the key file stays after the daemon stopped"

echo "== the daemon killed in the middle of a job"
# Jobs take 2 s on this bus, so the kill lands while one is in flight.
start_daemon slow DPSIM_DELAY_US=2000000
export DPSIM_SERVER=127.0.0.1:$port
start=$SECONDS
zelcli read 4 >"$tmp/killed.out" 2>"$tmp/killed.err" &
reader=$!
wait_status "DP handles [0-9]" 10
sleep 0.3
kill -9 "$daemon"
wait "$daemon" 2>/dev/null || true
code=0
wait "$reader" || code=$?
[ "$code" = 1 ] || [ "$code" = 4 ] || fail "a job in flight when the daemon died: exit $code, not an error result (1) or refusal (4)"
[ $((SECONDS - start)) -le 15 ] || fail "the job in flight took $((SECONDS - start)) s to end"
grep -q '"resultCode": 22' "$tmp/killed.out" || [ "$code" = 4 ] || fail "no error result"
code=0
zelcli read 4 >/dev/null 2>&1 || code=$?
[ "$code" = 2 ] || fail "opening without the daemon: exit $code, not 2 (cannot open)"

forker=$bin/../tests/bin/fork_child
# ThreadSanitizer cannot start threads in the child of a threaded process.
if [ -x "$forker" ] && ! ldd "$forker" | grep libtsan >/dev/null; then
  echo "== fork(): parent and child each get their own jobs through the daemon"
  start_daemon fork DPSIM_DELAY_US=200000
  DPSIM_SERVER=127.0.0.1:$port timeout 60 "$forker" >"$tmp/forker.out" 2>"$tmp/forker.err" ||
    fail "fork_child through the daemon"
  grep -q "malformed" "$tmp/fork.err" && fail "the daemon saw a malformed message after a fork"
  kill -TERM "$daemon"
  wait "$daemon" || fail "the fork test's daemon: exit $?"
fi

echo "== many log followers do not slow a program's jobs"
start_daemon fast DPSIM_DELAY_US=0
# The load program is not built under the sanitizers: there the followers
# still watch a few reads, and their speed is not measured.
jobs_per_s() {
  if [ -x "$bin/kx_bench" ]; then
    (cd "$bin" && DPSIM_SERVER=127.0.0.1:$port timeout 30 ./kx_bench --load 2 1000) |
      awk '/^jobs/ { print $2 }'
  else
    for _ in 1 2 3; do DPSIM_SERVER=127.0.0.1:$port zelcli read 4 >/dev/null || true; done
    echo 1
  fi
}
alone=$(jobs_per_s)
followers=()
for i in $(seq 40); do
  DPSIM_SERVER=127.0.0.1:$port timeout 30 "$bin/dpsim" log -f >"$tmp/f$i.log" 2>&1 &
  followers+=("$!")
done
sleep 1
watched=$(jobs_per_s)
refused=0
for i in $(seq 40); do grep -q "too many followers" "$tmp/f$i.log" && refused=$((refused + 1)); done
for p in "${followers[@]}"; do kill "$p" 2>/dev/null || true; done
for p in "${followers[@]}"; do wait "$p" 2>/dev/null || true; done
echo "jobs/s: $alone alone, $watched with 40 followers ($refused refused)"
[ "$refused" = 8 ] || fail "$refused of 40 followers refused, not 8 (at most 32)"
[ $((watched * 5)) -ge "$alone" ] || fail "followers slowed the jobs from $alone to $watched a second"
grep -q "slave [0-9]* read" "$tmp"/f*.log || fail "a follower saw no jobs"
kill -TERM "$daemon"
wait "$daemon" || fail "the daemon's exit code after the followers: $?"

echo "== a daemon whose stderr reader went away goes on"
"$bin/dpsim" serve --listen 127.0.0.1:0 >"$tmp/pipe.out" 2> >(exec true) &
daemon=$!
pids+=("$daemon")
wait_for "$tmp/pipe.out" "listening on" 10
port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$tmp/pipe.out")
sleep 0.2
# Each malformed message is a line on the closed stderr.
for _ in 1 2 3; do
  printf '\x10\x00\x00\x00\x01\x7f\x00\x00not a message' |
    timeout 5 bash -c "cat >/dev/tcp/127.0.0.1/$port" || true
done
timeout 10 "$bin/dpsim" --server "127.0.0.1:$port" status >/dev/null ||
  fail "the daemon died writing to a closed stderr"
kill -TERM "$daemon"
wait "$daemon" || fail "the daemon with a closed stderr exited with $?"

echo "== port 0 from DPSIM_SERVER: a free port, no complaint"
DPSIM_SERVER=127.0.0.1:0 "$bin/dpsim" serve >"$tmp/port0.out" 2>"$tmp/port0.err" &
daemon=$!
pids+=("$daemon")
wait_for "$tmp/port0.out" "key file" 10
kill -TERM "$daemon"
wait "$daemon" || fail "the daemon on port 0 exited with $?"
[ ! -s "$tmp/port0.err" ] || fail "serve on port 0 complained: $(cat "$tmp/port0.err")"

echo "== only loopback unless asked"
code=0
timeout 10 "$bin/dpsim" serve --listen 0.0.0.0:0 >/dev/null 2>"$tmp/remote.err" || code=$?
if [ "$code" != 1 ] || ! grep -q "not a loopback address" "$tmp/remote.err"; then
  fail "listened off loopback"
fi

echo "daemon test passed"

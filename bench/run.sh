#!/usr/bin/env bash
# Builds and runs every benchmark of both targets and prints one table:
# the native table, instructions per job under callgrind, Google Benchmark's
# view of the same paths, and the win32 table under Wine (where this machine
# can execute 32-bit programs; elsewhere that column says "not run").
# Usage: bench/run.sh [--quick]   (--quick: short runs, for a first look)
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/win32_probe.sh
kx_win32_probe
# The in-process figures are measured in-process; the daemon's own run below
# starts its own daemon.
unset DPSIM_SERVER

quick=()
if [ "${1:-}" = "--quick" ]; then quick=(--quick); fi

tools/setup.sh native win32 bench
export WINEDEBUG=-all
jobs=$(nproc)
out=build/bench
mkdir -p "$out"

for preset in native win32; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs" --target kx_bench >/dev/null
done
cmake --build --preset native -j "$jobs" --target kx_gbench >/dev/null

echo "== native"
(cd build/native/bin && ./kx_bench "${quick[@]}") | tee "$out/native.txt"

echo
echo "== the virtual processor in the daemon (native)"
# A daemon that confirms at once, as the stand-in does for the table above;
# then one program's round trips, then two programs with 4 channels each.
daemon_log=$out/daemon.log
DPSIM_DELAY_US=0 DPSIM_TRACE=off build/native/bin/dpsim serve --listen 127.0.0.1:0 >"$daemon_log" 2>&1 &
daemon=$!
for _ in $(seq 100); do grep -q "listening on" "$daemon_log" && break; sleep 0.1; done
port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$daemon_log")
load_ms=2000
if [ ${#quick[@]} -gt 0 ]; then load_ms=500; fi
{
  (cd build/native/bin && DPSIM_SERVER=127.0.0.1:$port ./kx_bench --daemon "${quick[@]}")
  (cd build/native/bin && DPSIM_SERVER=127.0.0.1:$port ./kx_bench --load 4 $load_ms) >"$out/load1.txt" &
  first=$!
  (cd build/native/bin && DPSIM_SERVER=127.0.0.1:$port ./kx_bench --load 4 $load_ms) >"$out/load2.txt"
  wait $first
  cat "$out/load1.txt" "$out/load2.txt" | awk -v ms=$load_ms '/^jobs/ { n += $2 }
    END { printf "%-44s %9.0f /s\n", "daemon: 8 channels from 2 processes", n * 1000 / ms }'
} | tee "$out/daemon.txt"
kill -TERM "$daemon"
wait "$daemon" || true

echo
echo "== instructions per job (callgrind, native, 1000 jobs)"
cg="$PWD/$out/callgrind.out"
rm -f "$cg" "$cg".* "$out"/callgrind_*.txt
if (cd build/native/bin && valgrind --tool=callgrind --callgrind-out-file="$cg" \
  ./kx_bench --callgrind 1000 >/dev/null 2>"$cg.log"); then
  echo "DPC1 read round trip, window message, one ZEL_receive:"
  python3 bench/callgrind_sum.py "$cg.1" 1000 --top 6 | tee "$out/callgrind_jobs.txt"
  echo "empty poll (ZEL_receive with nothing stored):"
  python3 bench/callgrind_sum.py "$cg.2" 1000 | head -n 1 | tee "$out/callgrind_polls.txt"
else
  echo "NOT MEASURED: kx_bench --callgrind failed (see $cg.log)"
  echo "module (libkalmorix.so) not-measured" >"$out/callgrind_jobs.txt"
fi
# What the module's own code could allocate with: it imports no allocation function.
allocs=$(nm -D --undefined-only build/native/lib/libkalmorix.so |
  grep -cE ' (malloc|calloc|realloc|free|aligned_alloc|posix_memalign|_Znw|_Zna|_ZdlPv|_ZdaPv)' || true)
echo "allocation functions imported by libkalmorix.so: $allocs"

echo
echo "== Google Benchmark (native)"
(cd build/native/bin && ./kx_gbench) 2>&1 | tee "$out/gbench.txt"

echo
echo "== win32 under Wine"
if [ "$KX_WIN32_RUNS" = yes ]; then
  (cd build/win32/bin && wine ./kx_bench.exe "${quick[@]}") | tr -d '\r' | tee "$out/win32.txt"
else
  echo "NOT RUN: $KX_WIN32_WHY"
  : >"$out/win32.txt"
fi

# The first word after the label `$2` on its line in file `$1`; "-" where
# the file has no such line, "not run" for the win32 table that did not run.
field() {
  if [ "$1" = "$out/win32.txt" ] && [ "$KX_WIN32_RUNS" = no ]; then
    echo "not run"
    return
  fi
  awk -v k="$2" 'i = index($0, k) { split(substr($0, i + length(k)), a, " "); print a[1]; exit }' "$1"
}
# One line of the summary: its label, then the figures found after the
# label `$2` in the native and the win32 table.
both() {
  printf '%-46s %12s %12s\n' "$1" "$(field "$out/native.txt" "$2")" "$(field "$out/win32.txt" "$2")"
}
echo
echo "================ summary ================"
printf '%-46s %12s %12s\n' "" native win32
both "round trip / floor, median (target <= 1.15)" 'ratio to the floor'
both "round trip, median (us)" 'DPC1 read round trip (polled)'
both "round trip / stand-in floor, median (<= 1.10)" 'ratio to the stand-in floor'
printf '%-46s %12s %12s\n' "round trip through the daemon, median (us)" \
  "$(field "$out/daemon.txt" 'DPC1 read round trip through the daemon')" "-"
printf '%-46s %12s %12s\n' "daemon: 8 channels from 2 processes (jobs/s)" \
  "$(field "$out/daemon.txt" 'daemon: 8 channels from 2 processes')" "-"
both "notification: confirmation ready -> seen (us)" 'notification: confirmation ready -> seen'
both "throughput, 8 channels (jobs/s)" 'throughput, 8 channels x 1 thread'
both "  floor: 8 handoff pairs (jobs/s)" 'floor: 8 handoff pairs'
both "idle wake-ups, 8 channels (/s, limit 8)" 'worker wake-ups (companion polls)'
both "idle CPU, 8 channels (ms per run)" 'idle, 8 channels'
printf '%-46s %12s %12s\n' "module instructions per job (target <= 2000)" \
  "$(field "$out/callgrind_jobs.txt" 'module (libkalmorix.so)')" "-"
both "heap allocations by the module after attach" 'heap allocations after attach: module'
printf '%-46s %12s %12s\n' "allocation functions libkalmorix.so imports" "$allocs" "-"
both "channel table (bytes)" 'static footprint: channel table'
both "module file (bytes; target <= 65536 for the DLL)" 'module file'
if [ "$KX_WIN32_RUNS" = no ]; then echo "win32: not run (no 32-bit execution: $KX_WIN32_WHY)"; fi
echo "(full outputs in $out/)"

#!/usr/bin/env bash
# Builds and runs every benchmark of both targets and prints one table:
# the native table, instructions per job under callgrind, Google Benchmark's
# view of the same paths, and the win32 table under Wine.
# Usage: bench/run.sh [--quick]   (--quick: short runs, for a first look)
set -euo pipefail
cd "$(dirname "$0")/.."

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
(cd build/win32/bin && wine ./kx_bench.exe "${quick[@]}") | tr -d '\r' | tee "$out/win32.txt"

# The first word after the label `$2` on its line in file `$1`.
field() {
  awk -v k="$2" 'i = index($0, k) { split(substr($0, i + length(k)), a, " "); print a[1]; exit }' "$1"
}
echo
echo "================ summary ================"
printf '%-46s %12s %12s\n' "" native win32
printf '%-46s %12s %12s\n' "round trip / floor, median (target <= 1.15)" \
  "$(field "$out/native.txt" 'ratio to the floor')" "$(field "$out/win32.txt" 'ratio to the floor')"
printf '%-46s %12s %12s\n' "round trip, median (us)" \
  "$(field "$out/native.txt" 'DPC1 read round trip (polled)')" \
  "$(field "$out/win32.txt" 'DPC1 read round trip (polled)')"
printf '%-46s %12s %12s\n' "notification: confirmation ready -> seen (us)" \
  "$(field "$out/native.txt" 'notification: confirmation ready -> seen')" \
  "$(field "$out/win32.txt" 'notification: confirmation ready -> seen')"
printf '%-46s %12s %12s\n' "throughput, 8 channels (jobs/s)" \
  "$(field "$out/native.txt" 'throughput, 8 channels x 1 thread')" \
  "$(field "$out/win32.txt" 'throughput, 8 channels x 1 thread')"
printf '%-46s %12s %12s\n' "  floor: 8 handoff pairs (jobs/s)" \
  "$(field "$out/native.txt" 'floor: 8 handoff pairs')" \
  "$(field "$out/win32.txt" 'floor: 8 handoff pairs')"
printf '%-46s %12s %12s\n' "idle wake-ups, 8 channels (/s, limit 8)" \
  "$(field "$out/native.txt" 'worker wake-ups (companion polls)')" \
  "$(field "$out/win32.txt" 'worker wake-ups (companion polls)')"
printf '%-46s %12s %12s\n' "idle CPU, 8 channels (ms per run)" \
  "$(field "$out/native.txt" 'idle, 8 channels')" "$(field "$out/win32.txt" 'idle, 8 channels')"
printf '%-46s %12s %12s\n' "module instructions per job (target <= 2000)" \
  "$(field "$out/callgrind_jobs.txt" 'module (libkalmorix.so)')" "-"
printf '%-46s %12s %12s\n' "heap allocations by the module after attach" \
  "$(field "$out/native.txt" 'heap allocations after attach: module')" \
  "$(field "$out/win32.txt" 'heap allocations after attach: module')"
printf '%-46s %12s %12s\n' "allocation functions libkalmorix.so imports" "$allocs" "-"
printf '%-46s %12s %12s\n' "channel table (bytes)" \
  "$(field "$out/native.txt" 'static footprint: channel table')" \
  "$(field "$out/win32.txt" 'static footprint: channel table')"
printf '%-46s %12s %12s\n' "module file (bytes; target <= 65536 for the DLL)" \
  "$(field "$out/native.txt" 'module file')" "$(field "$out/win32.txt" 'module file')"
echo "(full outputs in $out/)"

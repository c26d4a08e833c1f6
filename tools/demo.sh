#!/usr/bin/env bash
# The main job: builds Kalmorix.dll and runs one full job cycle against the
# stand-in processor under Wine. `tools/demo.sh --native` runs the Linux build,
# and so does a machine that cannot execute 32-bit programs (it says so).
set -euo pipefail
cd "$(dirname "$0")/.."
source tools/win32_probe.sh

preset=win32
if [ "${1:-}" = "--native" ]; then preset=native; shift; fi
if [ $preset = win32 ]; then
  kx_win32_probe
  if [ "$KX_WIN32_RUNS" = no ]; then
    echo "== win32 demo NOT RUN ($KX_WIN32_WHY): running the native demo instead"
    preset=native
  fi
fi
tools/setup.sh "$preset"

cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" --target zelcli ky_dll dpmaster kalmorix >/dev/null

echo "== Kalmorix demo ($preset) against the stand-in processor"
if [ "$preset" = win32 ]; then
  cd build/win32/bin
  exec env WINEDEBUG=-all DPSIM_TRACE="${DPSIM_TRACE:-stderr}" wine zelcli.exe demo "$@"
else
  exec env DPSIM_TRACE="${DPSIM_TRACE:-stderr}" build/native/bin/zelcli demo "$@"
fi

#!/usr/bin/env bash
# The main job: builds Kalmorix.dll and runs one full job cycle against the
# stand-in processor under Wine. `tools/demo.sh --native` runs the Linux build,
# and so does a machine that cannot execute 32-bit programs (it says so).
# tools/demo.sh --help says more.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=win32_probe.sh
source tools/win32_probe.sh

usage() {
  cat <<'USAGE'
Usage: tools/demo.sh [--native] [DEMO OPTIONS...]
Builds Kalmorix and runs `zelcli demo`: one full job cycle (DPC1 read, write,
read-back, FDL services 11 and 26) against the stand-in processor, in-process.
  (default)  the 32-bit Windows build (build/win32), run under Wine; on a
             machine that cannot execute 32-bit programs it says so and runs
             the native demo instead
  --native   the Linux build (build/native)
  -h, --help this text
Further options go to `zelcli demo`: --slave N, --silent-slave N, --poll,
--timeout MS, --json, -p NAME (see `zelcli help demo`).
First it runs tools/setup.sh for the build it needs, which installs missing
Debian packages (see tools/setup.sh --help): cmake, ninja, g++, and for win32
the MinGW-w64 cross compiler and Wine (with sudo unless run as root).
It builds zelcli, the module, the stand-in libraries and the dpsim daemon (for
the shared processor, README "zelcli"); the build's log is
build/PRESET/demo-build.log. The stand-in's trace goes to stderr unless
DPSIM_TRACE says otherwise. Exit code: zelcli's (0 when the cycle succeeded).
USAGE
}

preset=win32
case "${1:-}" in
  -h | --help)
    usage
    exit 0
    ;;
  --native)
    preset=native
    shift
    ;;
esac
if [ $preset = win32 ]; then
  kx_win32_probe
  if [ "$KX_WIN32_RUNS" = no ]; then
    echo "== win32 demo NOT RUN ($KX_WIN32_WHY): running the native demo instead"
    preset=native
  fi
fi

echo "== [1/4] Packages for the $preset build (tools/setup.sh $preset)"
tools/setup.sh "$preset"

log=build/$preset/demo-build.log
mkdir -p "build/$preset"
# Shows the last lines of the log and where it is, then fails.
failed() {
  echo "== demo: $1 FAILED; the last lines of $log:" >&2
  tail -n 30 "$log" >&2
  echo "== demo: the whole log: $log" >&2
  exit 1
}

echo "== [2/4] Configuring build/$preset (log: $log)"
cmake --preset "$preset" >"$log" 2>&1 || failed "configuring"

echo "== [3/4] Building zelcli, dpsim, the module and the stand-in libraries"
# The build's own progress lines ([done/total] step), the rest to the log.
set +e
cmake --build --preset "$preset" --target zelcli dpsim ky_dll dpmaster kalmorix 2>&1 |
  tee -a "$log" | grep --line-buffered -E '^\[[0-9]+/[0-9]+\]' | cut -c1-100
rc=${PIPESTATUS[0]}
set -e
[ "$rc" = 0 ] || failed "the build"

echo "== [4/4] Kalmorix demo ($preset) against the stand-in processor"
if [ "$preset" = win32 ]; then
  if [ ! -f "${WINEPREFIX:-$HOME/.wine}/system.reg" ]; then
    echo "== (the first Wine start creates the Wine prefix: about 20 s)"
  fi
  cd build/win32/bin
  exec env WINEDEBUG=-all DPSIM_TRACE="${DPSIM_TRACE:-stderr}" wine zelcli.exe demo "$@"
else
  exec env DPSIM_TRACE="${DPSIM_TRACE:-stderr}" build/native/bin/zelcli demo "$@"
fi

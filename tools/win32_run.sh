#!/usr/bin/env bash
# The win32 build's emulator (CMAKE_CROSSCOMPILING_EMULATOR): runs a 32-bit
# Windows program under Wine, or says why this machine cannot, instead of
# ctest's bare "Unable to find executable: wine".
#   tools/win32_run.sh PROGRAM.exe [ARGS...]
set -euo pipefail
# shellcheck source=win32_probe.sh
source "$(dirname "${BASH_SOURCE[0]}")/win32_probe.sh"
if ! command -v wine >/dev/null 2>&1; then
  echo "win32_run.sh: wine not installed: run tools/setup.sh win32 (cannot run ${1:-the program})" >&2
  exit 127
fi
kx_win32_probe
if [ "$KX_WIN32_RUNS" = no ]; then
  echo "win32_run.sh: ${1:-the program} NOT RUN: $KX_WIN32_WHY" >&2
  exit 126
fi
exec wine "$@"

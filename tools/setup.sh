#!/usr/bin/env bash
# Installs the Debian packages that building and testing Kalmorix need, when
# they are missing. Usage: tools/setup.sh [native] [win32] [bench] [lint] [browser];
# tools/setup.sh --help says what each part installs.
# win32 installs Wine only where this machine can execute 32-bit programs.
set -euo pipefail
# shellcheck source=win32_probe.sh
source "$(dirname "$0")/win32_probe.sh"

usage() {
  cat <<'USAGE'
Usage: tools/setup.sh [PART...]
Installs the Debian 12 packages that building and testing Kalmorix need, when
they are missing (with sudo unless run as root; apt-get, nothing else is
downloaded). Always: cmake, ninja-build, g++, make, python3. Parts:
  native  GoogleTest, pkg-config, cpp-httplib and nlohmann-json (the
          dashboard), and for the Python package's tests python3-venv,
          python3-setuptools, python3-wheel, python3-pytest
  win32   the MinGW-w64 i686 cross compiler, GoogleTest's sources, llvm, lld
          and clang (the MSVC import library and its check); where this
          machine can execute 32-bit programs also wine and wine32:i386 (adds
          the i386 architecture) and creates the Wine prefix once (~20 s)
  bench   Google Benchmark and Valgrind
  lint    clang-format, clang-tidy, ShellCheck, mypy, python3-pytest
  browser headless Chromium, its driver and Selenium (the dashboard's test)
Options: -h, --help  this text.
USAGE
}

want_native=0
want_win32=0
want_bench=0
want_lint=0
want_browser=0
for arg in "$@"; do
  case "$arg" in
    native) want_native=1 ;;
    win32) want_win32=1 ;;
    bench) want_bench=1 ;;
    lint) want_lint=1 ;;
    browser) want_browser=1 ;;
    -h | --help) usage; exit 0 ;;
    *) echo "setup.sh: unknown part '$arg' (tools/setup.sh --help)" >&2; exit 2 ;;
  esac
done

sudo_cmd=()
if [ "$(id -u)" != 0 ]; then sudo_cmd=(sudo); fi

missing=()
need() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed" || missing+=("$1"); }

for p in cmake ninja-build g++ make python3; do need "$p"; done
if [ $want_native = 1 ]; then
  for p in googletest pkg-config; do need "$p"; done
  # The Python package's tests: a virtual environment, offline.
  for p in python3-venv python3-setuptools python3-wheel python3-pytest; do need "$p"; done
  # The daemon's dashboard (dpsim serve --http): HTTP server and JSON parser.
  for p in libcpp-httplib-dev nlohmann-json3-dev; do need "$p"; done
fi
if [ $want_browser = 1 ]; then
  # tools/dashboard_test.py: Debian's Chromium, its driver and Selenium;
  # nothing is downloaded when the test runs.
  for p in chromium chromium-driver python3-selenium; do need "$p"; done
fi
if [ $want_bench = 1 ]; then
  for p in libbenchmark-dev valgrind; do need "$p"; done
fi
if [ $want_lint = 1 ]; then
  # tools/lint.sh; mypy reads pytest's types for the package's tests.
  for p in clang-format clang-tidy shellcheck mypy python3-pytest; do need "$p"; done
fi
if [ $want_win32 = 1 ]; then
  need googletest
  need g++-mingw-w64-i686
  # llvm-dlltool makes the MSVC import library; clang and lld-link check it.
  for p in llvm lld clang; do need "$p"; done
  kx_win32_probe
fi
if [ $want_win32 = 1 ] && [ "$KX_WIN32_RUNS" = yes ]; then
  need wine
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
    missing+=("wine32:i386")
  else
    need wine32:i386
  fi
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "== Installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
fi

if [ $want_win32 = 1 ] && [ "$KX_WIN32_RUNS" = yes ] && [ ! -f "${WINEPREFIX:-$HOME/.wine}/system.reg" ]; then
  echo "== Creating the Wine prefix (once, about 20 s)"
  WINEDEBUG=-all wineboot -i >/dev/null 2>&1 || true
fi

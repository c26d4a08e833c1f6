#!/usr/bin/env bash
# The Python package as users get it: installed the way its README says (a
# virtual environment, offline, with Debian's setuptools), then tested with
# pytest against an installation of the native build and its stand-in.
# Needs a built native preset. Usage: tools/python_test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
# The tests use the stand-in in-process, not a daemon the caller set up.
unset DPSIM_SERVER DPSIM_CONFIG DPSIM_KEY_FILE
python=${KX_PYTHON:-/usr/bin/python3}
work=build/python-check
rm -rf "$work"
mkdir -p "$work"
cmake --install build/native --prefix "$PWD/$work/prefix" >/dev/null
"$python" -m venv --system-site-packages "$work/venv"
# pip builds in the source tree; leave it clean, whatever happens.
trap 'rm -rf python/build python/src/*.egg-info' EXIT
"$work/venv/bin/pip" install -q --no-build-isolation ./python
# From outside the source tree, so that the installed package is the one tested.
cd "$work"
export KALMORIX_LIBRARY="$PWD/prefix/lib/libkalmorix.so.0" DPSIM_TRACE=off
venv/bin/python -m pytest -q -p no:cacheprovider ../../python/tests/test_kalmorix.py
# A run of its own: its plugin's daemon then serves the whole process, while
# the tests above keep the in-process stand-in.
DPSIM_PROGRAM="$PWD/prefix/bin/dpsim" \
  venv/bin/python -m pytest -q -p no:cacheprovider ../../python/tests/test_sim.py

#!/usr/bin/env bash
# Builds and runs every test of both targets: native (plain, ASan+UBSan,
# TSan) and win32 (under Wine), then the native suite under Valgrind and a
# short run of each fuzzer. Exits non-zero when anything fails.
set -euo pipefail
cd "$(dirname "$0")/.."

tools/setup.sh native win32
export WINEDEBUG=-all
jobs=$(nproc)
failed=()
summary=()

run_preset() {
  local preset=$1
  local ctest_jobs=$jobs
  # Wine 8's server has been seen to crash when two test processes load and
  # unload the same DLLs at the same time (each alone never did): the win32
  # tests run one process at a time.
  if [ "$preset" = win32 ]; then ctest_jobs=1; fi
  echo
  echo "================ $preset ================"
  if ! cmake --preset "$preset" >/dev/null; then failed+=("$preset (configure)"); return; fi
  if ! cmake --build --preset "$preset" -j "$jobs"; then failed+=("$preset (build)"); return; fi
  local log="build/$preset/ctest.log"
  if ctest --preset "$preset" -j "$ctest_jobs" 2>&1 | tee "$log"; then
    summary+=("$preset: $(grep -E 'tests passed' "$log" | tail -n 1)")
  else
    summary+=("$preset: $(grep -E 'tests passed|tests failed' "$log" | tail -n 1)")
    failed+=("$preset")
  fi
}

for preset in native asan tsan win32; do run_preset "$preset"; done

run_step() {
  local name=$1
  shift
  echo
  echo "================ $name ================"
  if "$@"; then
    summary+=("$name: passed")
  else
    summary+=("$name: FAILED")
    failed+=("$name")
  fi
}
# Memcheck over the native test programs, and a short run of each fuzzer.
run_step valgrind tools/valgrind.sh
run_step fuzz fuzz/run.sh "${KX_FUZZ_SECONDS:-60}"

echo
echo "================ summary ================"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all test suites passed"

#!/usr/bin/env bash
# Runs the native test programs under Valgrind's memcheck, in a build of their
# own (build/valgrind: Debug, no sanitizers). Any memory error or leak fails.
#
# Usage: tools/valgrind.sh [program...]     e.g. tools/valgrind.sh core_test fault_test
#
# Without arguments every gtest program runs (about 2 minutes) except
# stress_test: it gives each job 9 s to end, which Valgrind, running one
# thread at a time, does not always leave it with eight channels busy, so it
# fails without a memory error; name it to run it anyway. Nor attribution_test,
# whose scripts spend nearly three minutes waiting on the module's real 3 s and
# 4 s times in paths the job tests cover too. leak_test runs 200
# cycles per variant (KX_LEAK_CYCLES): memcheck reports a leak after one.
#
# KX_VALGRIND_BUILD_DIR overrides the build directory.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

tools/setup.sh native
if ! command -v valgrind >/dev/null; then
  sudo_cmd=()
  if [ "$(id -u)" != 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    valgrind
fi

build=${KX_VALGRIND_BUILD_DIR:-$root/build/valgrind}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKALMORIX_SANITIZE= >/dev/null
cmake --build "$build" -j "$(nproc)"

if [ $# -gt 0 ]; then
  programs=("$@")
else
  programs=()
  for p in "$build"/tests/bin/*_test; do
    name=$(basename "$p")
    case "$name" in
      stress_test | attribution_test) ;;
      *) programs+=("$name") ;;
    esac
  done
fi

suppressions=()
if [ -f "$root/tools/valgrind.supp" ]; then suppressions=(--suppressions="$root/tools/valgrind.supp"); fi
logs=$build/valgrind-logs
mkdir -p "$logs"
export KX_LEAK_CYCLES=${KX_LEAK_CYCLES:-200}
failed=()
for name in "${programs[@]}"; do
  echo "== $name"
  start=$SECONDS
  # The tests run where and as ctest runs them: apart from the caller's
  # daemon settings, with no companion library unless they choose one.
  if (cd "$build/tests" && env -u DPSIM_SERVER -u DPSIM_CONFIG -u DPSIM_KEY_FILE -u DPSIM_BAUD \
        -u DPSIM_DELAY_US -u DPSIM_TRACE -u KALMORIX_LIBRARY \
        KALMORIX_COMPANION_DIR="$build/tests/kydll/none" valgrind --tool=memcheck --error-exitcode=1 --leak-check=full \
        "${suppressions[@]}" --gen-suppressions=all --log-file="$logs/$name.log" "$build/tests/bin/$name" --gtest_color=no \
        >"$logs/$name.out" 2>&1); then
    echo "   passed in $((SECONDS - start)) s"
  else
    echo "   FAILED in $((SECONDS - start)) s: $logs/$name.log, $logs/$name.out"
    grep -E "ERROR SUMMARY|definitely lost|possibly lost|\[  FAILED  \]" \
      "$logs/$name.log" "$logs/$name.out" | sed 's/^/   /' || true
    failed+=("$name")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED under memcheck: ${failed[*]}"
  exit 1
fi
echo "all ${#programs[@]} programs clean under memcheck"

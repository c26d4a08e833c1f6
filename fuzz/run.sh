#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for SECONDS (default 60), starting
# from a copy of its seed corpus. Fails when a fuzzer finds a crash, a broken
# invariant, a leak or a timeout; the finding and the log are kept and their
# place is printed. Ends with each target's executions and rate.
#
# Usage: fuzz/run.sh [SECONDS]
# Environment: KX_FUZZ_BUILD  build directory (default build/fuzz)
#              KX_FUZZ_WORK   where the working corpora go (default: a new directory in TMPDIR)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
seconds=${1:-60}
case "$seconds" in
  '' | *[!0-9]*)
    echo "usage: fuzz/run.sh [SECONDS]" >&2
    exit 2
    ;;
esac
build=${KX_FUZZ_BUILD:-$root/build/fuzz}

# clang with its runtimes (libFuzzer, sanitizers), cmake and ninja, when missing.
sudo_cmd=()
if [ "$(id -u)" != 0 ]; then sudo_cmd=(sudo); fi
missing=()
for p in clang libclang-rt-14-dev cmake ninja-build; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== Installing: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
fi

echo "== Building in $build"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKALMORIX_FUZZ=ON -DKALMORIX_TESTS=OFF >/dev/null
cmake --build "$build" --target fuzz_api fuzz_worker fuzz_wire ky_dll

work=${KX_FUZZ_WORK:-$(mktemp -d "${TMPDIR:-/tmp}/kalmorix-fuzz.XXXXXX")}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
status=0
summary=()
for target in api worker wire; do
  dir=$work/$target
  rm -rf "$dir"
  mkdir -p "$dir/corpus" "$dir/findings"
  # The corpus in the repository stays as it is; the fuzzer adds to a copy.
  cp "$root/fuzz/corpus/$target/"* "$dir/corpus/"
  # A wire input is one frame: let it reach a load of realistic size (a frame
  # holds up to 64 KiB after its length field).
  max_len=4096
  if [ "$target" = wire ]; then max_len=65540; fi
  echo "== fuzz_$target for ${seconds} s"
  if (cd "$dir" && "$build/bin/fuzz_$target" -max_total_time="$seconds" -timeout=30 \
    -rss_limit_mb=4096 -max_len=$max_len -print_final_stats=1 -artifact_prefix="$dir/findings/" \
    "$dir/corpus" >"$dir/fuzz.log" 2>&1); then
    result="ok"
  else
    status=1
    result="FAILED: log $dir/fuzz.log, findings in $dir/findings"
    grep -E "^fuzz_$target: |ERROR: |SUMMARY: |Test unit written" "$dir/fuzz.log" || tail -n 30 "$dir/fuzz.log"
  fi
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/fuzz.log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/fuzz.log")
  summary+=("fuzz_$target: ${execs:-?} executions, ${rate:-?} exec/s; $result")
  grep -E "^Done [0-9]+ runs" "$dir/fuzz.log" || true
done

echo
echo "== Summary (${seconds} s per target)"
printf '%s\n' "${summary[@]}"
if [ $status = 0 ]; then
  [ -n "${KX_FUZZ_WORK:-}" ] || rm -rf "$work"
else
  echo "A finding replays with: $build/bin/fuzz_<target> <file>; add it to fuzz/regress/<target>/"
fi
exit $status

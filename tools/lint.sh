#!/usr/bin/env bash
# Static checks over what the repository tracks; exits non-zero on any
# finding and prints one summary line per tool:
# - clang-format: every C and C++ file, in check mode (.clang-format);
# - ShellCheck: every shell script, *.sh and any file with a shell shebang;
# - clang-tidy: the sources of src/, sim/ and tools/ (.clang-tidy), through
#   the native build's compile database (build/native, configured here);
# - mypy --strict: the Python package and its tests, as on Linux and as on
#   Windows.
# Installs its tools first (tools/setup.sh lint). Usage: tools/lint.sh
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=$(nproc)
out=build/lint
tools/setup.sh lint

rm -rf "$out/tidy" "$out"/*.log
mkdir -p "$out/tidy"
failed=()
summary=()

# result NAME WHAT RC LOG: the tool NAME checked WHAT since $t0, exited
# with RC and printed its findings, one a line, to LOG. A tool that failed
# without a finding (it could not run) fails too.
result() {
  local name=$1 what=$2 rc=$3 log=$4 count took=$((SECONDS - t0))
  count=$(grep -c . "$log" || true)
  if [ "$count" -gt 0 ]; then
    cat "$log"
    summary+=("$name: $count finding(s) in $what ($took s): FAILED")
    failed+=("$name")
  elif [ "$rc" != 0 ]; then
    summary+=("$name: exited with $rc without a finding, see $out ($took s): FAILED")
    failed+=("$name")
  else
    summary+=("$name: $what, clean ($took s)")
  fi
}

start=$SECONDS

# --- clang-format ---------------------------------------------------------
t0=$SECONDS
mapfile -d '' cxx < <(git ls-files -z -- '*.c' '*.cc' '*.cpp' '*.cxx' '*.h' '*.hh' '*.hpp' '*.hxx' '*.inl')
rc=0
printf '%s\0' "${cxx[@]}" | xargs -0 -P "$jobs" -n 16 clang-format --dry-run --Werror \
  >"$out/format-all.log" 2>&1 || rc=$?
grep ': error: ' "$out/format-all.log" >"$out/format.log" || true
result clang-format "${#cxx[@]} C/C++ files" "$rc" "$out/format.log"

# --- shellcheck -----------------------------------------------------------
t0=$SECONDS
scripts=()
while IFS= read -r -d '' f; do
  case "$f" in
    *.sh) scripts+=("$f"); continue ;;
  esac
  [ -f "$f" ] || continue
  first=
  IFS= read -r first <"$f" || true
  if [[ $first =~ ^\#!.*[/\ ](ba|da|k)?sh([[:space:]]|$) ]]; then scripts+=("$f"); fi
done < <(git ls-files -z)
# -x with the script's folder: follow what each script sources.
rc=0
shellcheck -f gcc -x --source-path=SCRIPTDIR "${scripts[@]}" >"$out/shellcheck.log" 2>&1 || rc=$?
result shellcheck "${#scripts[@]} scripts" "$rc" "$out/shellcheck.log"

# --- clang-tidy -----------------------------------------------------------
t0=$SECONDS
# Configured every time (under a second), so that new files are in the
# database and the generated headers exist. The preset asks for the database.
cmake --preset native >"$out/configure.log" 2>&1 || {
  cat "$out/configure.log"
  echo "lint.sh: cannot configure the native preset" >&2
  exit 1
}
# Each file once, in the plainest of the product's builds of it (fewest
# definitions): the library rather than its fault-injecting twin for the
# tests, the stand-in rather than a test program that compiles its sources
# again. The other builds add little but time.
mapfile -t tidy_files < <(python3 - "$root" "$out" <<'EOF'
import json, shlex, sys
root, out = sys.argv[1], sys.argv[2]
with open(root + "/build/native/compile_commands.json") as f:
    entries = json.load(f)
chosen = {}
for e in entries:
    rel = e["file"][len(root) + 1:] if e["file"].startswith(root + "/") else ""
    top = rel.split("/")[0]
    if top not in ("src", "sim", "tools"):
        continue
    args = shlex.split(e["command"]) if "command" in e else e["arguments"]
    obj = args[args.index("-o") + 1] if "-o" in args else ""
    rank = (not obj.startswith(top + "/"), sum(a.startswith("-D") for a in args))
    if e["file"] not in chosen or rank < chosen[e["file"]][0]:
        chosen[e["file"]] = (rank, e)
with open(out + "/compile_commands.json", "w") as f:
    json.dump([e for _, e in chosen.values()], f, indent=1)
print("\n".join(chosen))
EOF
)
if [ ${#tidy_files[@]} = 0 ]; then
  echo "lint.sh: no source of src/, sim/ or tools/ in the compile database" >&2
  exit 1
fi
# One process per file; each writes its own log, so that reports do not
# interleave. The largest files start first, to keep both cores busy to the end.
rc=0
# shellcheck disable=SC2016 # the inner shell expands them
stat -c '%s %n' "${tidy_files[@]}" | sort -rn | cut -d ' ' -f 2- |
  xargs -d '\n' -P "$jobs" -I{} sh -c \
    'clang-tidy -p "$1" --quiet --header-filter="$2" "$3" >"$1/tidy/$(echo "$3" | tr / _).log" 2>&1' \
    tidy "$out" "^$root/(src|sim|tools|include)/" {} || rc=$?
cat "$out/tidy"/*.log | grep -v ' warnings\? generated\.$' >"$out/tidy-all.log" || true
# A header's finding is reported by each file that includes it: once here.
grep -E ': (warning|error): ' "$out/tidy-all.log" | sort -u >"$out/tidy.log" || true
result clang-tidy "${#tidy_files[@]} source files" "$rc" "$out/tidy.log"
if [ -s "$out/tidy.log" ]; then echo "(each with its context: $out/tidy-all.log)"; fi

# --- mypy -----------------------------------------------------------------
t0=$SECONDS
py=(python/src/kalmorix python/tests)
rc=0
for platform in linux win32; do
  mypy --strict --platform "$platform" --cache-dir "$out/mypy-cache-$platform" \
    --no-error-summary "${py[@]}" >>"$out/mypy-all.log" 2>&1 || rc=$?
done
# What both platforms see is said once.
awk '!seen[$0]++' "$out/mypy-all.log" >"$out/mypy.log"
result mypy "${py[*]}, as on linux and on win32" "$rc" "$out/mypy.log"

echo
echo "================ lint ($((SECONDS - start)) s) ================"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
  echo "lint FAILED: ${failed[*]}"
  exit 1
fi
echo "lint passed"

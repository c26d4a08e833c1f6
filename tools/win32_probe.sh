# shellcheck shell=bash
# Sourced by the scripts that would run a 32-bit program (the win32 tests,
# the demo, the benchmarks): can this machine execute 32-bit x86 programs,
# and so 32-bit Wine? Some kernels cannot, and Wine then only says
# "Exec format error".
#
#   kx_win32_probe   sets KX_WIN32_RUNS (yes|no) and KX_WIN32_WHY, and exports
#                    both so that scripts started from this one ask no more.
#
# KX_ASSUME_NO_WIN32=1 forces "no", to try that path on any machine.
#
# The probe writes a 96-byte static 32-bit ELF program that exits with 42
# through the 32-bit system call gate and runs it: it needs no i386 package,
# so it answers before anything is installed, in milliseconds. A binfmt_misc
# handler that takes over 32-bit ELF programs (an emulator such as
# qemu-i386) would make the probe pass while Wine under it does not start,
# so such a handler counts as "no".

kx_win32_probe() {
  if [ -n "${KX_WIN32_RUNS:-}" ]; then
    export KX_WIN32_WHY="${KX_WIN32_WHY:-KX_WIN32_RUNS=$KX_WIN32_RUNS}"
    return 0
  fi
  export KX_WIN32_RUNS=no KX_WIN32_WHY=""
  if [ "${KX_ASSUME_NO_WIN32:-0}" = 1 ]; then
    KX_WIN32_WHY="KX_ASSUME_NO_WIN32=1"
    return 0
  fi
  case "$(uname -m)" in
    x86_64 | i?86) ;;
    *)
      KX_WIN32_WHY="this machine is $(uname -m), not x86"
      return 0
      ;;
  esac
  local entry
  if ! grep -qx disabled /proc/sys/fs/binfmt_misc/status 2>/dev/null; then
    for entry in /proc/sys/fs/binfmt_misc/*; do
      [ -f "$entry" ] || continue
      if grep -qx enabled "$entry" 2>/dev/null &&
        grep -q '^magic 7f454c4601010100000000000000000002000300' "$entry" 2>/dev/null; then
        KX_WIN32_WHY="32-bit programs would run through the emulator of binfmt_misc entry ${entry##*/}, under which Wine does not start"
        return 0
      fi
    done
  fi
  local dir prog rc
  dir=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build
  mkdir -p "$dir" || {
    KX_WIN32_WHY="cannot write the probe to $dir"
    return 0
  }
  # One file per process: tests under ctest may probe at the same time.
  prog="$dir/.x86-32-probe.$$"
  # The 52-byte ELF header, one loadable segment at 0x08048000, then the
  # code at 0x54:
  # mov eax,1 (exit); mov ebx,42; int 0x80.
  printf '%b' \
    '\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00' \
    '\x02\x00\x03\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00' \
    '\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00' \
    '\x00\x00\x00\x00' \
    '\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08' \
    '\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00' \
    '\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$prog" && chmod +x "$prog"
  rc=0
  "$prog" 2>/dev/null || rc=$?
  rm -f "$prog"
  if [ "$rc" = 42 ]; then
    KX_WIN32_RUNS=yes
  else
    KX_WIN32_WHY="this machine cannot execute 32-bit programs"
  fi
}

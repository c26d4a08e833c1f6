#!/usr/bin/env bash
# The daemon's jobs per second while `dpsim log -f` followers watch: one
# kx_bench --load process (4 channels) against a daemon that confirms at
# once, with 0 and then more followers. Loopback only; every run is bounded.
#
# Usage: bench/followers.sh [BIN_DIR] [FOLLOWERS...]   (default: 0 32 50)
set -euo pipefail
bin=$(cd "${1:-build/native/bin}" && pwd)
shift || true
counts=("$@")
[ ${#counts[@]} -gt 0 ] || counts=(0 32 50)
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kalmorix-followers.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT
DPSIM_DELAY_US=0 DPSIM_TRACE=off "$bin/dpsim" serve --listen 127.0.0.1:0 >"$tmp/daemon.out" 2>&1 &
daemon=$!
pids+=("$daemon")
for _ in $(seq 100); do grep -q "listening on" "$tmp/daemon.out" && break; sleep 0.1; done
port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$tmp/daemon.out")
export DPSIM_SERVER=127.0.0.1:$port
load_ms=2000
for n in "${counts[@]}"; do
  followers=()
  for _ in $(seq "$n"); do
    timeout 60 "$bin/dpsim" log -f >/dev/null 2>&1 &
    followers+=("$!")
  done
  sleep 1
  jobs=$(cd "$bin" && timeout 60 ./kx_bench --load 4 $load_ms | awk '/^jobs/ { print $2 }')
  printf '%4d followers: %9.0f jobs/s\n' "$n" "$((jobs * 1000 / load_ms))"
  for p in "${followers[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${followers[@]}"; do wait "$p" 2>/dev/null || true; done
done

#!/usr/bin/env bash
# The daemon's jobs per second with its dashboard open: two kx_bench --load 4
# processes at once (8 channels from 2 processes) against a daemon that
# confirms at once and serves the dashboard, with no page open, with the page
# open in headless Chromium, and with the most live views (4 event streams
# read by curl). Loopback only; every run is bounded. Figures only.
#
# Usage: bench/dashboard.sh [BIN_DIR] [ROUNDS]   (default build/native/bin, 2)
set -euo pipefail
bin=$(cd "${1:-build/native/bin}" && pwd)
rounds=${2:-2}
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kalmorix-dashboard-bench.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR=$tmp/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
DPSIM_DELAY_US=0 DPSIM_TRACE=off "$bin/dpsim" serve --listen 127.0.0.1:0 --http 0 \
  >"$tmp/daemon.out" 2>&1 &
pids+=("$!")
for _ in $(seq 100); do grep -q "dashboard at" "$tmp/daemon.out" && break; sleep 0.1; done
port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$tmp/daemon.out")
url=$(sed -n 's/^dpsim: dashboard at //p' "$tmp/daemon.out")
if [ -z "$port" ] || [ -z "$url" ]; then cat "$tmp/daemon.out" >&2; exit 1; fi
export DPSIM_SERVER=127.0.0.1:$port
load_ms=2000

load() {
  (cd "$bin" && timeout 60 ./kx_bench --load 4 $load_ms) >"$tmp/load1.txt" &
  local first=$!
  (cd "$bin" && timeout 60 ./kx_bench --load 4 $load_ms) >"$tmp/load2.txt"
  wait $first
  cat "$tmp/load1.txt" "$tmp/load2.txt" | awk -v ms=$load_ms -v what="$1" '/^jobs/ { n += $2 }
    END { printf "%-36s %9.0f jobs/s\n", what, n * 1000 / ms }'
}

# The page in headless Chromium until the file $tmp/stop appears (at most
# 60 s); started in the background, so it is told by a file, not a signal.
page() {
  /usr/bin/python3 - "$url" "$tmp/stop" <<'PY'
import os, signal, sys, time
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.support.ui import WebDriverWait
signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
o = webdriver.ChromeOptions()
o.binary_location = "/usr/bin/chromium"
for a in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1280,1500"):
    o.add_argument(a)
d = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=o)
try:
    d.get(sys.argv[1])
    WebDriverWait(d, 15).until(lambda d: d.find_element("id", "conn").text == "live")
    print("page open", flush=True)
    end = time.monotonic() + 60
    while not os.path.exists(sys.argv[2]) and time.monotonic() < end:
        time.sleep(0.1)
finally:
    d.quit()
PY
}

for _ in $(seq "$rounds"); do
  load "no page open"
  if [ -x /usr/bin/chromium ] && /usr/bin/python3 -c 'import selenium' 2>/dev/null; then
    rm -f "$tmp/stop"
    page >"$tmp/page.out" 2>&1 &
    viewer=$!
    pids+=("$viewer")
    for _ in $(seq 300); do grep -q "page open" "$tmp/page.out" && break; sleep 0.1; done
    if grep -q "page open" "$tmp/page.out"; then
      load "the page open in Chromium"
    else
      echo "the page open in Chromium: NOT RUN (Chromium did not open it)"
    fi
    touch "$tmp/stop"
    wait "$viewer" 2>/dev/null || true
  else
    echo "the page open in Chromium: NOT RUN (no Chromium or Selenium: tools/setup.sh browser)"
  fi
  views=()
  token=${url##*token=}
  for _ in 1 2 3 4; do
    timeout 30 curl -s -N "${url%%/#*}/api/events?token=$token" >/dev/null &
    views+=("$!")
  done
  sleep 1
  load "4 live views (curl)"
  for p in "${views[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${views[@]}"; do wait "$p" 2>/dev/null || true; done
done

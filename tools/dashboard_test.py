#!/usr/bin/env python3
"""The daemon's dashboard as a person uses it, in a real browser.

Usage: tools/dashboard_test.py BIN_DIR [--screenshot PNG]

Starts `dpsim serve --http 0` (loopback), then:
  - over HTTP, from here: the access rules (token, Host, sizes, live view cap,
    a request sent slowly);
  - in headless Chromium driven by Selenium: a slave's value after `dpsim set`,
    an edit on the page seen by `dpsim get` and a running `zelcli watch`, a
    job of `zelcli read` in the page's log.
Exit 0: passed; 1: failed; 77: the HTTP checks passed, the browser part NOT
RUN (no Chromium, or it did not start; the reason is printed). KX_CHROMIUM
names another Chromium binary.
"""

from __future__ import annotations

import http.client
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time
from typing import Any, Callable, List, Optional

NOT_RUN = 77
WAIT_S = 15.0


class Failed(Exception):
    pass


def wait_until(what: str, check: Callable[[], bool], seconds: float = WAIT_S) -> None:
    deadline = time.monotonic() + seconds
    while not check():
        if time.monotonic() > deadline:
            raise Failed(f"{what}: not within {seconds:g} s")
        time.sleep(0.05)


class Plant:
    """A daemon with its dashboard, and the programs that use it."""

    def __init__(self, bin_dir: str, tmp: str) -> None:
        self.bin = bin_dir
        self.tmp = tmp
        run = os.path.join(tmp, "run")
        os.mkdir(run, 0o700)
        self.env = dict(os.environ, XDG_RUNTIME_DIR=run)
        self.env.pop("DPSIM_KEY_FILE", None)
        self.env.pop("DPSIM_SERVER", None)
        self.out = os.path.join(tmp, "daemon.out")
        self.err = os.path.join(tmp, "daemon.err")
        self.procs: List["subprocess.Popen[bytes]"] = []
        with open(self.out, "wb") as out, open(self.err, "wb") as err:
            self.daemon = self.spawn(
                [os.path.join(bin_dir, "dpsim"), "serve", "--listen", "127.0.0.1:0", "--http", "0"],
                out, err)
        try:
            wait_until("the daemon's dashboard address",
                       lambda: "dashboard at" in self.text(self.out) or self.daemon.poll() is not None,
                       10)
            if self.daemon.poll() is not None:
                raise Failed(f"dpsim serve --http ended with exit {self.daemon.returncode}: "
                             + self.text(self.err).strip())
            text = self.text(self.out)
            m = re.search(r"listening on (127\.0\.0\.1:\d+)", text)
            d = re.search(r"dashboard at (http://127\.0\.0\.1:(\d+)/#token=([0-9a-f]{64}))", text)
            if m is None or d is None:
                raise Failed("no address or dashboard URL in: " + text)
            self.env["DPSIM_SERVER"] = m.group(1)
            self.url, self.http_port, self.token = d.group(1), int(d.group(2)), d.group(3)
        except BaseException:
            self.stop()
            raise

    @staticmethod
    def text(path: str) -> str:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def spawn(self, args: List[str], out: Any, err: Any) -> "subprocess.Popen[bytes]":
        p = subprocess.Popen(args, stdout=out, stderr=err, env=self.env)
        self.procs.append(p)
        return p

    def dpsim(self, *args: str) -> str:
        r = subprocess.run([os.path.join(self.bin, "dpsim"), *args], env=self.env,
                           capture_output=True, text=True, timeout=20)
        if r.returncode != 0:
            raise Failed(f"dpsim {' '.join(args)}: exit {r.returncode}: {r.stderr.strip()}")
        return r.stdout.strip()

    def zelcli(self, *args: str) -> str:
        r = subprocess.run([os.path.join(self.bin, "zelcli"), "--json", *args], env=self.env,
                           capture_output=True, text=True, timeout=60)
        if r.returncode != 0:
            raise Failed(f"zelcli {' '.join(args)}: exit {r.returncode}: {r.stderr.strip()}")
        return r.stdout

    def stop(self) -> None:
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
        for p in self.procs:
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait(10)


def request(plant: Plant, method: str, path: str, body: Optional[bytes] = None,
            headers: Optional[dict[str, str]] = None) -> tuple[int, bytes]:
    c = http.client.HTTPConnection("127.0.0.1", plant.http_port, timeout=10)
    try:
        c.request(method, path, body=body, headers=headers or {})
        r = c.getresponse()
        return r.status, r.read()
    finally:
        c.close()


def access_rules(plant: Plant) -> None:
    """What a page of another site, or another user of the machine, can do."""
    token = {"X-Dpsim-Token": plant.token}
    change = b'{"processor":"VCP1","slave":4,"data":"ee ee"}'
    json_type = {"Content-Type": "application/json"}
    before = plant.dpsim("get", "VCP1", "4")
    wrong = "0" * 64 if plant.token != "0" * 64 else "1" * 64
    cases: List[tuple[str, str, str, Optional[bytes], dict[str, str], int]] = [
        ("state without the token", "GET", "/api/state", None, {}, 401),
        ("state with a wrong token", "GET", "/api/state", None, {"X-Dpsim-Token": wrong}, 401),
        ("change without the token", "POST", "/api/set", change, json_type, 401),
        ("change with a wrong bearer token", "POST", "/api/set", change,
         {**json_type, "Authorization": "Bearer " + wrong}, 401),
        ("token in the address of a change", "POST", "/api/set?token=" + plant.token, change,
         json_type, 401),
        ("change by GET", "GET", "/api/set", None, token, 404),
        ("change as a form", "POST", "/api/set", b"processor=VCP1",
         {**token, "Content-Type": "application/x-www-form-urlencoded"}, 415),
        ("change too large", "POST", "/api/set", b"{" + b" " * 5000 + b"}", {**token, **json_type}, 413),
        ("change not JSON", "POST", "/api/set", b"{", {**token, **json_type}, 400),
        ("state for a foreign Host", "GET", "/api/state", None,
         {**token, "Host": f"attacker.example:{plant.http_port}"}, 421),
        ("page for a foreign Host", "GET", "/", None, {"Host": "attacker.example"}, 421),
        ("change for a foreign Host", "POST", "/api/set", change,
         {**token, **json_type, "Host": f"localhost.attacker.example:{plant.http_port}"}, 421),
        ("state", "GET", "/api/state", None, token, 200),
        ("state for localhost", "GET", "/api/state", None,
         {"Authorization": "Bearer " + plant.token, "Host": f"localhost:{plant.http_port}"}, 200),
    ]
    for name, method, path, body, headers, expect in cases:
        status, _ = request(plant, method, path, body, headers)
        if status != expect:
            raise Failed(f"{name}: HTTP {status}, not {expect}")
    if plant.dpsim("get", "VCP1", "4") != before:
        raise Failed("a refused change changed the slave")
    # Live views: at most 4 at once; the fifth is refused with 503.
    views = []
    try:
        for i in range(5):
            c = http.client.HTTPConnection("127.0.0.1", plant.http_port, timeout=10)
            views.append(c)
            c.request("GET", "/api/events?token=" + plant.token)
            r = c.getresponse()
            if i < 4 and (r.status != 200 or not r.readline()):
                raise Failed(f"live view {i + 1}: HTTP {r.status}")
            if i == 4 and r.status != 503:
                raise Failed(f"a fifth live view: HTTP {r.status}, not 503")
    finally:
        for c in views:
            c.close()
    print("access rules: token, Host, method, type, size and live view cap enforced")


class SlowClient:
    """Sends a request a byte a second: let go within its 10 s, not held."""

    def __init__(self, plant: Plant) -> None:
        import threading
        self.result: Optional[str] = None
        self.sock = socket.create_connection(("127.0.0.1", plant.http_port), timeout=1)
        self.sock.sendall(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ")
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self) -> None:
        start = time.monotonic()
        try:
            while time.monotonic() - start < 30:
                self.sock.sendall(b"a")
                try:
                    if self.sock.recv(4096) == b"":
                        break
                except socket.timeout:
                    pass
        except OSError:
            pass
        took = time.monotonic() - start
        self.result = None if 8 <= took <= 16 else f"a request sent a byte a second was let go after {took:.1f} s, not about 10"
        self.sock.close()

    def check(self) -> None:
        self.thread.join(35)
        if self.thread.is_alive() or self.result is not None:
            raise Failed(self.result or "the slow client's check did not end")


def browser(plant: Plant, screenshot: Optional[str]) -> Optional[str]:
    """The page in headless Chromium; the reason when it cannot run."""
    chromium = os.environ.get("KX_CHROMIUM") or shutil.which("chromium") or "/usr/bin/chromium"
    driver_path = shutil.which("chromedriver") or "/usr/bin/chromedriver"
    if not os.path.exists(chromium) or not os.path.exists(driver_path):
        return "no Chromium or chromedriver (tools/setup.sh browser)"
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        from selenium.webdriver.common.by import By
        from selenium.webdriver.support.wait import WebDriverWait
    except ImportError as e:
        return f"no Selenium ({e})"
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for a in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
              "--window-size=1280,1500", "--no-proxy-server"):
        options.add_argument(a)  # type: ignore[no-untyped-call]
    try:
        driver = webdriver.Chrome(service=Service(driver_path), options=options)
    except Exception as e:  # any reason the browser does not start
        return "Chromium did not start: " + str(e).strip().splitlines()[0]
    try:
        driver.set_page_load_timeout(WAIT_S)
        wait = WebDriverWait(driver, WAIT_S, poll_frequency=0.05)

        def field(kind: str, slave: int) -> Any:
            return driver.find_element(By.CSS_SELECTOR,
                                       f'input.{kind}[data-cp="VCP1"][data-slave="{slave}"]')

        driver.get(plant.url)
        wait.until(lambda d: d.find_element(By.ID, "conn").text == "live")

        # The page shows what dpsim set.
        plant.dpsim("set", "VCP1", "3", "48 69 21")
        wait.until(lambda d: field("hex", 3).get_attribute("value") == "48 69 21")
        wait.until(lambda d: field("text", 3).get_attribute("value") == "Hi!")

        # An edit on the page: seen by dpsim get and by a reader running all along.
        watch_out = os.path.join(plant.tmp, "watch.out")
        with open(watch_out, "wb") as out:
            plant.spawn([os.path.join(plant.bin, "zelcli"), "--json", "watch", "4", "--interval",
                         "100", "--count", "600"], out, subprocess.DEVNULL)
        wait_until("zelcli watch reading", lambda: '"read": 2' in plant.text(watch_out))
        hex4 = field("hex", 4)
        hex4.clear()
        hex4.send_keys("12 34 56")
        driver.find_element(By.CSS_SELECTOR, '.processor[data-cp="VCP1"] tr:nth-child(2) button.set').click()
        wait_until("dpsim get showing the page's edit",
                   lambda: plant.dpsim("get", "VCP1", "4") == "12 34 56")
        wait_until("zelcli watch seeing the page's edit",
                   lambda: '"data": "123456"' in plant.text(watch_out))
        wait.until(lambda d: "dirty" not in (field("hex", 4).get_attribute("class") or ""))

        # A job of another program in the page's log, and that program listed.
        plant.zelcli("read", "5")
        wait.until(lambda d: d.execute_script(
            "return [...document.querySelectorAll('#log tbody tr')].some(r => {"
            " const c = [...r.cells].map(x => x.textContent);"
            " return c[1] === 'VCP1' && c[4] === '5' && c[5] === 'read'; })"))
        wait.until(lambda d: "zelcli" in d.find_element(By.ID, "clients").text)

        # A silenced slave shows as such; the filter keeps one slave's jobs.
        driver.find_element(By.CSS_SELECTOR, '.processor[data-cp="VCP1"] tr:nth-child(3) button.toggle').click()
        wait_until("silence from the page", lambda: "silent" in plant.dpsim("get", "VCP1", "5"))
        driver.find_element(By.ID, "f-slave").send_keys("4")
        wait.until(lambda d: d.execute_script(
            "const r = [...document.querySelectorAll('#log tbody tr')];"
            " return r.length > 0 && r.every(x => x.cells[4].textContent === '4');"))
        driver.find_element(By.ID, "f-slave").clear()
        driver.find_element(By.CSS_SELECTOR, '.processor[data-cp="VCP1"] tr:nth-child(3) button.toggle').click()
        wait_until("answer from the page", lambda: "silent" not in plant.dpsim("get", "VCP1", "5"))

        # A fault rate set on the page, as dpsim fault would.
        rate = driver.find_element(By.CSS_SELECTOR, 'input.rate[data-cp="VCP2"][data-kind="refuse"]')
        rate.clear()
        rate.send_keys("5")
        driver.find_element(By.CSS_SELECTOR, '.processor[data-cp="VCP2"] .faults button').click()
        wait_until("the page's fault rate in dpsim status",
                   lambda: "refuse 5 %" in plant.dpsim("status"))

        console = driver.get_log("browser")  # type: ignore[no-untyped-call]
        errors = [e for e in console if e.get("level") == "SEVERE"]
        if errors:
            raise Failed("the page's console: " + "; ".join(str(e.get("message")) for e in errors))
        if screenshot:
            # A few seconds of the reader's jobs in the plot.
            time.sleep(4)
            driver.save_screenshot(screenshot)
            print("screenshot:", screenshot)
    finally:
        driver.quit()
    print("browser: dpsim set shown, page edit seen by dpsim get and zelcli watch, job logged, "
          "silence, filter and fault rate from the page")
    return None


def main() -> int:
    # Debian's Selenium is installed for Debian's Python: use that one when
    # another Python (a virtual environment, pyenv) runs this without it.
    system = "/usr/bin/python3"
    if os.path.realpath(sys.executable) != os.path.realpath(system) and os.path.exists(system):
        try:
            import selenium  # noqa: F401
        except ImportError:
            os.execv(system, [system, *sys.argv])
    args = sys.argv[1:]
    screenshot = None
    if len(args) == 3 and args[1] == "--screenshot":
        screenshot = os.path.abspath(args[2])
    elif len(args) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    bin_dir = os.path.abspath(args[0])
    with tempfile.TemporaryDirectory(prefix="kalmorix-dashboard.") as tmp:
        plant: Optional[Plant] = None
        try:
            plant = Plant(bin_dir, tmp)
            slow = SlowClient(plant)
            access_rules(plant)
            why = browser(plant, screenshot)
            slow.check()
            print("a slow request: let go at its deadline")
        except (Failed, subprocess.TimeoutExpired, OSError) as e:
            print("FAILED:", e, file=sys.stderr)
            if plant is not None:
                print("--- daemon stderr\n" + plant.text(plant.err)[-2000:], file=sys.stderr)
            return 1
        finally:
            if plant is not None:
                plant.stop()
        # SIGTERM stops the daemon cleanly, dashboard and all (a sanitizer's
        # report would end it otherwise).
        if plant.daemon.returncode != 0:
            print(f"FAILED: the daemon's exit code {plant.daemon.returncode}\n--- daemon stderr\n"
                  + plant.text(plant.err)[-3000:], file=sys.stderr)
            return 1
        if why is not None:
            print("browser part NOT RUN:", why)
            return NOT_RUN
    print("dashboard test passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())

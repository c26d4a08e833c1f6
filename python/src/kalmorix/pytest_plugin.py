"""pytest fixtures for tests against a private virtual processor (installed
with the package; `-p no:kalmorix_dpsim` turns it off):

    def test_pump(dpsim):
        dpsim.set("VCP1", 4, b"\\x01")
        with kalmorix.open("VCP1") as ch:
            assert ch.read(4).data == b"\\x01"

`dpsim` is a kalmorix.sim.Connection to a daemon of this test run, reset to
its start-up configuration before each test; `dpsim_log` follows the jobs of
the test; `dpsim_daemon` is the daemon itself. The daemon (the `dpsim`
program: --dpsim-program, the ini value dpsim_program, $DPSIM_PROGRAM, else
PATH) starts only when a selected test uses one of these fixtures, and then
before the first test: the stand-in library takes DPSIM_SERVER once, when a
process first uses it, so the whole run (and every program it starts) uses
this daemon. It listens on a free loopback port with its key in a temporary
folder of its own, and stops when the run ends.
"""

from __future__ import annotations

import os
import shutil
import subprocess
import tempfile
import threading
import time
import warnings
from typing import Any, Dict, Iterator, List, Optional, Union

import pytest

from . import _library, sim

__all__ = ["DaemonProcess", "JobLog", "find_program"]

_FIXTURES = {"dpsim", "dpsim_log", "dpsim_daemon"}
_PLUGIN = "kalmorix-dpsim-daemon"
_START_TIMEOUT = 10.0
_STOP_TIMEOUT = 5.0


def find_program(given: Optional[str] = None) -> str:
    """The dpsim program: `given`, else $DPSIM_PROGRAM, else `dpsim` on PATH."""
    program = given or os.environ.get("DPSIM_PROGRAM") or shutil.which("dpsim")
    if not program:
        raise FileNotFoundError("no dpsim program: give --dpsim-program (or the ini value "
                                "dpsim_program), set DPSIM_PROGRAM, or put dpsim on PATH")
    return program


class DaemonProcess:
    """A `dpsim serve` of our own: a free loopback port, its key file in a
    private temporary folder. Every wait is bounded; stop() ends it."""

    def __init__(self, program: str, config: Optional[str] = None,
                 start_timeout: float = _START_TIMEOUT) -> None:
        self.program = program
        self.folder = tempfile.mkdtemp(prefix="kalmorix-dpsim-")  # mode 0700
        self.key_file = os.path.join(self.folder, "dpsim.key")
        self.address = ""
        self._lines: List[str] = []
        self._ready = threading.Event()
        env = dict(os.environ)
        env.pop("DPSIM_SERVER", None)
        if config:
            env["DPSIM_CONFIG"] = os.path.abspath(config)
        self._errors = open(os.path.join(self.folder, "daemon.err"), "w+b")
        try:
            self.process = subprocess.Popen(
                [program, "serve", "--listen", "127.0.0.1:0", "--key-file", self.key_file],
                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self._errors, env=env)
        except OSError as e:
            self._cleanup()
            raise RuntimeError(f"cannot start {program}: {e}") from None
        # The daemon's output is read to its end, so that it never blocks on it.
        self._reader = threading.Thread(target=self._read_output, daemon=True)
        self._reader.start()
        ended = time.monotonic() + start_timeout
        while not self._ready.wait(0.05):
            if self.process.poll() is not None or time.monotonic() > ended:
                why = self.errors().strip() or " ".join(self._lines) or "no word from it"
                self.stop()
                raise RuntimeError(f"{program} serve did not start within {start_timeout} s: "
                                   f"{why}")
        for line in self._lines:
            if line.startswith("dpsim: listening on "):
                self.address = line.split()[-1]
        if not self.address:
            self.stop()
            raise RuntimeError(f"{program} serve did not say where it listens: {self._lines}")

    def _read_output(self) -> None:
        assert self.process.stdout is not None
        for raw in self.process.stdout:
            self._lines.append(raw.decode("utf-8", "replace").rstrip())
            if self._lines[-1].startswith("dpsim: key file"):
                self._ready.set()

    def __repr__(self) -> str:
        return f"<kalmorix DaemonProcess {self.address or '-'} pid {self.process.pid}>"

    def errors(self) -> str:
        """What the daemon wrote to stderr so far."""
        self._errors.flush()
        with open(self._errors.name, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def connect(self) -> sim.Connection:
        return sim.connect(self.address, self.key_file)

    def stop(self, timeout: float = _STOP_TIMEOUT) -> Optional[int]:
        """Ends the daemon (terminate, then kill after `timeout`); its exit code."""
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout)
        code = self.process.returncode
        self._reader.join(timeout)  # it sees the end of the output
        self._cleanup()
        return code

    def _cleanup(self) -> None:
        if hasattr(self, "process") and self.process.stdout is not None:
            self.process.stdout.close()
        self._errors.close()
        shutil.rmtree(self.folder, ignore_errors=True)


class JobLog:
    """The jobs of one test, as the daemon records them, collected in the
    background. `jobs` is what came so far; wait_for() waits for more."""

    def __init__(self, log: sim.Log) -> None:
        self._log = log
        self._jobs: List[sim.Job] = []
        self.dropped = 0
        self._error: Optional[BaseException] = None
        self._changed = threading.Condition()
        self._thread = threading.Thread(target=self._follow, daemon=True)
        self._thread.start()

    def _follow(self) -> None:
        try:
            for entry in self._log:
                with self._changed:
                    if isinstance(entry, sim.Dropped):
                        self.dropped += entry.count
                    else:
                        self._jobs.append(entry)
                    self._changed.notify_all()
        except BaseException as e:  # noqa: B036 (handed to the test's thread)
            with self._changed:
                self._error = e
                self._changed.notify_all()

    @property
    def jobs(self) -> List[sim.Job]:
        with self._changed:
            if self._error is not None:
                raise self._error
            return list(self._jobs)

    def wait_for(self, count: int = 1, timeout: float = 5.0,
                 **match: Union[str, int, None]) -> List[sim.Job]:
        """Waits until `count` jobs whose fields equal `match` (processor="VCP1",
        slave=4, job="read", result="ok", ...) have come; those jobs. Fails the
        test when they do not come within `timeout` seconds."""
        fields = set(sim.Job.__dataclass_fields__)
        unknown = set(match) - fields
        if unknown:
            raise TypeError(f"a job has no field {', '.join(sorted(unknown))}")
        end = time.monotonic() + timeout
        with self._changed:
            while True:
                if self._error is not None:
                    raise self._error
                found = [j for j in self._jobs
                         if all(getattr(j, k) == v for k, v in match.items())]
                left = end - time.monotonic()
                if len(found) >= count or left <= 0:
                    break
                self._changed.wait(left)
            if len(found) < count:
                raise AssertionError(f"{len(found)} of {count} jobs with {match} within "
                                     f"{timeout} s; the test's jobs: {self._jobs}")
            return found

    def close(self) -> None:
        self._log.close()
        self._thread.join(_STOP_TIMEOUT)


class _Plugin:
    """Starts the run's daemon once, on demand, and stops it at the end."""

    def __init__(self, config: pytest.Config) -> None:
        self.config = config
        self.daemon: Optional[DaemonProcess] = None
        self.error: Optional[BaseException] = None
        self.saved: Dict[str, Optional[str]] = {}

    def ensure(self) -> DaemonProcess:
        if self.error is not None:
            raise RuntimeError(f"the run's dpsim daemon could not start: {self.error}")
        if self.daemon is None:
            program = (self.config.getoption("dpsim_program")
                       or self.config.getini("dpsim_program") or None)
            config = self.config.getini("dpsim_config") or None
            if config and self.config.inipath is not None:
                config = os.path.join(self.config.inipath.parent, config)  # as written there
            try:
                self.daemon = DaemonProcess(find_program(program), config)
            except (OSError, RuntimeError) as e:
                self.error = e
                raise
            if _library._loaded:
                warnings.warn(pytest.PytestWarning(
                    "the Kalmorix library was loaded before the dpsim daemon started: if this "
                    "process used it already, its stand-in keeps processors of its own"))
            # For this process's stand-in (read when it is first used) and for
            # every program the tests start.
            for name, value in (("DPSIM_SERVER", self.daemon.address),
                                ("DPSIM_KEY_FILE", self.daemon.key_file)):
                self.saved[name] = os.environ.get(name)
                os.environ[name] = value
        return self.daemon

    def stop(self) -> None:
        if self.daemon is not None:
            self.daemon.stop()
            self.daemon = None
        for name, value in self.saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        self.saved.clear()

    def pytest_collection_finish(self, session: pytest.Session) -> None:
        # After deselection: only the tests that will run count.
        if self.config.getoption("collectonly"):
            return
        if any(_FIXTURES & set(getattr(item, "fixturenames", ())) for item in session.items):
            try:
                self.ensure()
            except (OSError, RuntimeError):
                pass  # each test that asks for the daemon reports it

    def pytest_unconfigure(self) -> None:
        self.stop()


def pytest_addoption(parser: pytest.Parser) -> None:
    group = parser.getgroup("dpsim", "the virtual processor of kalmorix (fixture dpsim)")
    group.addoption("--dpsim-program", dest="dpsim_program", default=None, metavar="PATH",
                    help="the dpsim program to start (default: ini dpsim_program, "
                         "$DPSIM_PROGRAM, else dpsim on PATH)")
    parser.addini("dpsim_program", "the dpsim program to start for the fixture dpsim")
    parser.addini("dpsim_config", "a configuration file the fixture's daemon starts with "
                  "(and dpsim.reset() returns to)")


def pytest_configure(config: pytest.Config) -> None:
    config.pluginmanager.register(_Plugin(config), _PLUGIN)


def _plugin(config: pytest.Config) -> _Plugin:
    plugin: Any = config.pluginmanager.get_plugin(_PLUGIN)
    assert isinstance(plugin, _Plugin)
    return plugin


@pytest.fixture(scope="session")
def dpsim_daemon(request: pytest.FixtureRequest) -> DaemonProcess:
    """The run's daemon (address, key_file, errors())."""
    return _plugin(request.config).ensure()


@pytest.fixture
def dpsim(dpsim_daemon: DaemonProcess) -> Iterator[sim.Connection]:
    """A connection to the run's daemon, reset to its start-up configuration."""
    with dpsim_daemon.connect() as connection:
        connection.reset()
        yield connection


@pytest.fixture
def dpsim_log(dpsim: sim.Connection) -> Iterator[JobLog]:
    """The jobs made during the test (after the reset), as they come."""
    log = JobLog(dpsim.log())
    try:
        yield log
    finally:
        log.close()

"""kalmorix.sim and the pytest plugin against a real daemon (the plugin's own:
DPSIM_PROGRAM names dpsim, KALMORIX_LIBRARY the library). Run in a pytest of
its own: the daemon starts before the first test, and the stand-in of this
process uses it."""
import os
import socket
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any, Dict, Iterator, Tuple, Type

import pytest

import kalmorix
from kalmorix import sim
from kalmorix.pytest_plugin import DaemonProcess, JobLog, find_program

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "python" / "test_dpsim_example.py"


def test_change_and_read_back_the_processor(dpsim: sim.Connection) -> None:
    dpsim.set("VCP1", 4, b"\x01\x02")
    dpsim.set("VCP1", 9, b"")  # a new address adds a slave
    dpsim.silence("VCP1", 5)
    dpsim.fault("VCP2", "refuse", 0.05)
    status = dpsim.status()
    vcp1, vcp2 = status.processors["VCP1"], status.processors["VCP2"]
    assert vcp1.slaves[4] == sim.Slave(4, b"\x01\x02", False)
    assert vcp1.slaves[9].data == b"" and not vcp1.slaves[5].answers
    assert (vcp1.faults, vcp2.faults) == ({}, {"refuse": 0.05})
    assert dpsim.get("VCP1", 4) == b"\x01\x02"
    dpsim.answer("VCP1", 5)
    assert dpsim.status().processors["VCP1"].slaves[5].answers
    assert dpsim.reset() == 2
    vcp1 = dpsim.status().processors["VCP1"]
    assert vcp1.slaves[4].data == b"VCP1 slave 4 BRAVO-BRAVO" and 9 not in vcp1.slaves


def test_load_a_configuration_and_reset_to_the_start(dpsim: sim.Connection,
                                                     tmp_path: Path) -> None:
    config = tmp_path / "plant.cfg"
    config.write_text("processor CP_PLANT\nslave 3 text Pump station 3 ready\n")
    assert dpsim.load_file(config) == 1
    assert list(dpsim.status().processors) == ["CP_PLANT"]
    assert dpsim.get("CP_PLANT", 3) == b"Pump station 3 ready"
    with pytest.raises(sim.DaemonError, match="unknown keyword 'bogus'") as e:
        dpsim.load("processor P2\nslave 1 text x\nbogus line\n")
    assert e.value.code == 1
    assert list(dpsim.status().processors) == ["CP_PLANT"]  # refused whole
    dpsim.reset()
    assert sorted(dpsim.status().processors) == ["VCP1", "VCP2"]


@pytest.mark.parametrize("call, args, error", [
    ("get", ("NOPE", 4), sim.DaemonError),
    ("get", ("VCP1", 99), sim.DaemonError),
    ("silence", ("VCP1", 99), sim.DaemonError),
    ("set", ("NOPE", 4, b"x"), sim.DaemonError),
    ("get", ("VCP\x1b1", 4), ValueError),
    ("get", ("", 4), ValueError),
    ("set", ("VCP1", 256, b"x"), ValueError),
    ("set", ("VCP1", 4, bytes(241)), ValueError),
    ("fault", ("VCP1", "sometimes", 0.1), ValueError),
    ("fault", ("VCP1", "late", 1.5), ValueError),
])
def test_refused_and_bad_requests_change_nothing(dpsim: sim.Connection, call: str,
                                                 args: Tuple[Any, ...], error: Type[Exception]) -> None:
    before = dpsim.status().processors
    with pytest.raises(error) as e:
        getattr(dpsim, call)(*args)
    if isinstance(e.value, sim.DaemonError):
        assert e.value.code == 1 and e.value.message.startswith("no ")
    assert dpsim.status().processors == before


def test_log_follows_a_job_made_through_kalmorix(dpsim: sim.Connection,
                                                 dpsim_log: JobLog) -> None:
    dpsim.set("VCP2", 3, b"from the daemon")
    with kalmorix.open("VCP2") as ch:  # this process's stand-in uses the daemon
        assert ch.read(3).data == b"from the daemon"
    [job] = dpsim_log.wait_for(processor="VCP2", slave=3, job="read")
    assert (job.result, job.bytes, job.service) == ("ok", 15, None)
    assert [j.slave for j in dpsim_log.jobs] == [3]  # this test's jobs only


def _impostor() -> Tuple[socket.socket, int]:
    """A listener that answers Hello with a proof made without the key."""
    server = socket.create_server(("127.0.0.1", 0))

    def answer() -> None:
        conn, _ = server.accept()
        with conn:
            conn.settimeout(5)
            conn.recv(4096)
            name = b"dpsim"
            body = struct.pack("<BBHI", 2, 0x81, 0, 1) + bytes([len(name)]) + name
            body += os.urandom(64)
            conn.sendall(struct.pack("<I", len(body)) + body)
            conn.recv(4096)

    threading.Thread(target=answer, daemon=True).start()
    return server, server.getsockname()[1]


def test_the_key_is_proven_both_ways(dpsim_daemon: DaemonProcess, tmp_path: Path) -> None:
    other = tmp_path / "other.key"
    other.write_text(os.urandom(32).hex() + "\n")
    other.chmod(0o600)
    # The daemon proves itself first: with another key its proof fails, and
    # ours is never sent.
    with pytest.raises(sim.DaemonUnproven):
        sim.connect(dpsim_daemon.address, str(other))
    other.chmod(0o644)  # others may read it: not trusted
    with pytest.raises(sim.DaemonUnreachable, match="readable by nobody else"):
        sim.connect(dpsim_daemon.address, str(other))
    server, port = _impostor()
    with server, pytest.raises(sim.DaemonUnproven):
        sim.connect(f"127.0.0.1:{port}", dpsim_daemon.key_file)
    # Nobody at a port: unreachable, at once.
    with socket.create_server(("127.0.0.1", 0)) as s:
        free = s.getsockname()[1]
    with pytest.raises(sim.DaemonUnreachable, match="cannot reach"):
        sim.connect(f"127.0.0.1:{free}", dpsim_daemon.key_file)


@pytest.fixture
def own_daemon() -> Iterator[DaemonProcess]:
    daemon = DaemonProcess(find_program())
    try:
        yield daemon
    finally:
        daemon.stop()


def _wait_stopped(pid: int) -> None:
    # SIGSTOP takes effect a moment after kill() returns: a request sent in
    # between would still be answered.
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        states = []
        for task in os.listdir(f"/proc/{pid}/task"):
            with open(f"/proc/{pid}/task/{task}/stat") as f:
                states.append(f.read().rsplit(")", 1)[1].split()[0])
        if all(state in ("T", "t") for state in states):
            return
        time.sleep(0.01)
    raise AssertionError("the daemon did not stop")


def test_a_stalled_or_lost_daemon_raises_within_the_bound(own_daemon: DaemonProcess) -> None:
    if sys.platform == "win32":
        pytest.skip("stops the daemon with SIGSTOP")
    else:
        import signal
        with own_daemon.connect() as d, d.log() as log:
            os.kill(own_daemon.process.pid, signal.SIGSTOP)
            try:
                _wait_stopped(own_daemon.process.pid)
                began = time.monotonic()
                with pytest.raises(sim.DaemonUnreachable, match="no reply"):
                    d.status()
                assert time.monotonic() - began < sim.TIMEOUT + 3
                with pytest.raises(sim.DaemonUnreachable):
                    d.status()  # the connection is out of step: never used again
            finally:
                os.kill(own_daemon.process.pid, signal.SIGCONT)
            own_daemon.process.kill()
            began = time.monotonic()
            with pytest.raises(sim.DaemonUnreachable):
                log.next(10.0)  # waits for jobs, but not for a daemon that is gone
            assert time.monotonic() - began < 5


def _pytest(args: Tuple[str, ...], cwd: Path, **env: str) -> "subprocess.CompletedProcess[str]":
    environ: Dict[str, str] = dict(os.environ, **env)
    for name in ("DPSIM_SERVER", "DPSIM_KEY_FILE"):
        environ.pop(name, None)  # the run's own daemon, not this one's
    return subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *args],
                          cwd=cwd, env=environ, capture_output=True, text=True, timeout=120)


def test_plugin_runs_the_worked_example(tmp_path: Path) -> None:
    if not EXAMPLE.exists():
        pytest.skip("not in the source tree")
    run = _pytest((str(EXAMPLE),), tmp_path, DPSIM_PROGRAM=find_program())
    assert run.returncode == 0, run.stdout + run.stderr
    assert "3 passed" in run.stdout


def test_plugin_starts_a_daemon_only_when_asked(tmp_path: Path) -> None:
    (tmp_path / "test_plain.py").write_text("def test_plain():\n    pass\n")
    (tmp_path / "test_uses.py").write_text(
        "def test_uses(dpsim):\n"
        "    dpsim.set('CP_PLANT', 3, b'x')\n"
        "    dpsim.reset()\n"
        "    assert dpsim.get('CP_PLANT', 3) == b'ready'\n")
    (tmp_path / "pytest.ini").write_text("[pytest]\ndpsim_config = plant.cfg\n")
    (tmp_path / "plant.cfg").write_text("processor CP_PLANT\nslave 3 text ready\n")
    missing = str(tmp_path / "no-dpsim")
    run = _pytest(("test_plain.py",), tmp_path, DPSIM_PROGRAM=missing)
    assert run.returncode == 0 and "1 passed" in run.stdout, run.stdout + run.stderr
    run = _pytest((".",), tmp_path, DPSIM_PROGRAM=missing)
    assert "1 passed, 1 error" in run.stdout and "cannot start" in run.stdout, run.stdout
    run = _pytest((".",), tmp_path, DPSIM_PROGRAM=find_program())
    assert run.returncode == 0 and "2 passed" in run.stdout, run.stdout + run.stderr

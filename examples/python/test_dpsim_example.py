"""A test engineer's tests against the virtual processor: the fixture `dpsim`
(from the kalmorix package's pytest plugin) starts a private daemon for the
run, resets it before each test and hands over a connection to change it;
the code under test opens its channels through Kalmorix as usual.

    pip install ./python                 # the package, with its pytest plugin
    DPSIM_PROGRAM=/path/to/dpsim KALMORIX_LIBRARY=/path/to/libkalmorix.so.0 \\
        python3 -m pytest examples/python/test_dpsim_example.py

(dpsim on PATH and the library on the library path do as well.)
"""
import kalmorix
from kalmorix import sim
from kalmorix.pytest_plugin import JobLog

PUMP = ("VCP1", 4)  # the pump station: processor and slave address


def pump_running() -> bool:
    """The code under test: reads the pump's status byte through Kalmorix."""
    with kalmorix.open(PUMP[0]) as ch:
        result = ch.read(PUMP[1])
    if not result.ok:
        raise RuntimeError(f"pump not answering (ResultCode {result.result_code})")
    return result.data[:1] == b"\x01"


def test_pump_running(dpsim: sim.Connection) -> None:
    dpsim.set(*PUMP, b"\x01\x2c")
    assert pump_running()
    dpsim.set(*PUMP, b"\x00")
    assert not pump_running()


def test_silent_pump_is_reported(dpsim: sim.Connection, dpsim_log: JobLog) -> None:
    dpsim.silence(*PUMP)
    try:
        pump_running()
    except RuntimeError as e:
        assert "not answering" in str(e)
    else:
        raise AssertionError("a silent pump was read")
    [job] = dpsim_log.wait_for(processor="VCP1", slave=4, job="read")
    assert job.result != "ok"


def test_each_test_starts_afresh(dpsim: sim.Connection) -> None:
    # What the tests above changed is gone: the daemon was reset.
    slave = dpsim.status().processors["VCP1"].slaves[4]
    assert slave.answers and slave.data == b"VCP1 slave 4 BRAVO-BRAVO"

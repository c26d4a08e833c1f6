"""The package against the native Kalmorix library and its stand-in processor
(KALMORIX_LIBRARY names the library; DPSIM_TRACE=off keeps the trace quiet)."""
import ctypes
import gc
import logging
import os
import re
import warnings

import pytest

import kalmorix

DPSIM_FDL_OPEN_RESULT = 6  # enum DpSimScript in dpsim.h


@pytest.fixture
def dpsim() -> ctypes.CDLL:
    """The stand-in's control interface, in the DP master library the module loaded."""
    kalmorix.load()
    try:
        lib = ctypes.CDLL("libdpmaster.so")
        lib.DpSim_Script.argtypes = [ctypes.c_int, ctypes.c_int32, ctypes.c_int32]
    except (OSError, AttributeError):
        pytest.skip("not the stand-in")
    return lib


def test_read_returns_the_slaves_data() -> None:
    with kalmorix.open("VCP1") as ch:
        r = ch.read(4)
    assert (r.ok, r.subsystem, r.operation, r.data) == (True, "DPC1", "read",
                                                        b"VCP1 slave 4 BRAVO-BRAVO")
    assert repr(r) == ("<kalmorix.Result DPC1 read of slave 4, job 1, result_code 0, 24 bytes: "
                       "56 43 50 31 20 73 6c 61 76 65 20 34 20 42 52 41 ...>")


def test_write_is_read_back_and_seen_by_the_next_read() -> None:
    with kalmorix.open("VCP2") as ch:
        w = ch.write(5, b"python was here")
        r = ch.read(5)
    assert (w.ok, w.operation, w.data) == (True, "write", b"")
    assert repr(w) == (f"<kalmorix.Result DPC1 write of slave 5, job {w.job_id}, result_code 0, "
                       "0 bytes>")
    assert r.data == b"python was here"
    assert r.job_id == w.job_id + 1


def test_silent_slave_and_fdl_job() -> None:
    with kalmorix.open("VCP1") as ch:
        assert ch.read(77).result_code == kalmorix.DPC1_ERROR
        f = ch.fdl(26)
    assert (f.ok, f.subsystem, f.fdl_service) == (True, "FDL", 26)


def test_refused_open_and_time_out(caplog: pytest.LogCaptureFixture) -> None:
    assert kalmorix.errno_code(258) == 219  # leaves the thread's last error at 258
    with pytest.raises(kalmorix.OpenError) as e:
        kalmorix.open("vcp1")  # names are case-sensitive
    assert (e.value.code, e.value.errno_code) == (kalmorix.NO_DEVICE_AVAILABLE, 0)
    assert not [r for r in caplog.records if r.levelno >= logging.WARNING]  # the error says it
    with kalmorix.open("VCP1") as ch:
        with pytest.raises(kalmorix.ResultTimeout):
            ch.fdl(11, timeout=0.01)  # FDL results are collected about once a second
        with pytest.raises(kalmorix.JobRefused):
            ch.send(bytes(kalmorix.BLOCK_SIZE))  # Subsystem 0: refused


def test_a_dropped_channel_is_closed_with_a_resource_warning() -> None:
    with pytest.warns(ResourceWarning, match="unclosed channel <kalmorix.Channel 'VCP1'") as w:
        for _ in range(20):  # more than the 8 channels there are
            assert kalmorix.open("VCP1").read(4).ok
            gc.collect()  # where dropping does not finalize at once
    assert len(w) == 20
    ch = kalmorix.open("VCP1")
    ch.close()
    ch.close()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        del ch  # closed: nothing to say
        gc.collect()


def test_a_channel_without_fdl(dpsim: ctypes.CDLL) -> None:
    dpsim.DpSim_Script(DPSIM_FDL_OPEN_RESULT, -1, 1)  # the companion cannot open the processor
    with kalmorix.open("VCP1") as ch:
        assert not ch.has_fdl
        with pytest.raises(kalmorix.FdlUnavailable, match="has no FDL.*companion library"):
            ch.fdl(26)
        assert ch.read(4).ok  # DPC1 all the same
    with kalmorix.open("VCP1") as ch:
        assert ch.has_fdl


def test_errno_code_and_a_missing_library() -> None:
    assert kalmorix.errno_code(258) == 219
    with pytest.raises(kalmorix.LibraryNotFound, match="KALMORIX_LIBRARY"):
        kalmorix.load("/nonexistent/libkalmorix.so.0")


def test_version_is_the_builds() -> None:
    top = os.path.join(os.path.dirname(__file__), "..", "..", "CMakeLists.txt")
    if not os.path.exists(top):
        pytest.skip("not in the source tree")
    with open(top) as f:
        found = re.search(r"project\(Kalmorix VERSION ([0-9.]+)", f.read())
    assert found, "no version in CMakeLists.txt"
    assert kalmorix.__version__ == found.group(1)

"""The package against the native Kalmorix library and its stand-in processor
(KALMORIX_LIBRARY names the library; DPSIM_TRACE=off keeps the trace quiet)."""
import os
import re

import pytest

import kalmorix


def test_read_returns_the_slaves_data() -> None:
    with kalmorix.open("VCP1") as ch:
        r = ch.read(4)
    assert (r.ok, r.subsystem, r.operation, r.data) == (True, "DPC1", "read",
                                                        b"VCP1 slave 4 BRAVO-BRAVO")


def test_write_is_read_back_and_seen_by_the_next_read() -> None:
    with kalmorix.open("VCP2") as ch:
        w = ch.write(5, b"python was here")
        r = ch.read(5)
    assert (w.ok, w.operation, w.data) == (True, "write", b"")
    assert r.data == b"python was here"
    assert r.job_id == w.job_id + 1


def test_silent_slave_and_fdl_job() -> None:
    with kalmorix.open("VCP1") as ch:
        assert ch.read(77).result_code == kalmorix.DPC1_ERROR
        f = ch.fdl(26)
    assert (f.ok, f.subsystem, f.fdl_service) == (True, "FDL", 26)


def test_refused_open_and_time_out() -> None:
    with pytest.raises(kalmorix.OpenError) as e:
        kalmorix.open("vcp1")  # names are case-sensitive
    assert e.value.code == kalmorix.NO_DEVICE_AVAILABLE
    with kalmorix.open("VCP1") as ch:
        with pytest.raises(kalmorix.ResultTimeout):
            ch.fdl(11, timeout=0.01)  # FDL results are collected about once a second
        with pytest.raises(kalmorix.JobRefused):
            ch.send(bytes(kalmorix.BLOCK_SIZE))  # Subsystem 0: refused


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

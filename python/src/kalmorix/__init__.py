"""Kalmorix from Python: DPC1 reads and writes of DP slaves and FDL jobs on a
PROFIBUS communications processor, through the ZEL_ interface of the Kalmorix
module (ctypes over the installed library; no compiled extension).

    import kalmorix
    with kalmorix.open("VCP1") as ch:
        result = ch.read(4)
        print(result.result_code, result.data)

The module is found as `load` says: an explicit path, $KALMORIX_LIBRARY, then
the platform's search. Messages go to the logger "kalmorix".
"""

from __future__ import annotations

import ctypes
import struct
import threading
import time
import warnings
from dataclasses import dataclass, field
from typing import Callable, Optional, Union

from ._library import Library, LibraryNotFound, load, log

__all__ = [
    "BLOCK_SIZE", "DPC1_ERROR", "NO_DEVICE_AVAILABLE", "INVALID_SUBSYSTEM", "CLOSE_FAILED",
    "KalmorixError", "LibraryNotFound", "OpenError", "JobRefused", "FdlUnavailable",
    "ResultTimeout",
    "Result", "Channel", "Library", "load", "open", "errno_code",
]
__version__ = "0.1.0"

BLOCK_SIZE = 340
DATA_MAX = 260
DPC1_DATA_MAX = 240
DPC1_ERROR = 22
NO_DEVICE_AVAILABLE = 244
INVALID_SUBSYSTEM = 245
CLOSE_FAILED = 251

_OFS_JOB_ID, _OFS_SUBSYSTEM, _OFS_OPERATION, _OFS_RESULT_CODE = 5, 12, 13, 14
_OFS_DATA_LENGTH, _OFS_SLAVE_ADDRESS, _OFS_FDL_SERVICE = 16, 38, 38
_OFS_PARAM1, _OFS_PARAM2, _OFS_PARAM3, _OFS_FDL_WORD60, _OFS_DATA = 39, 40, 41, 60, 80
_DPC1, _FDL, _READ, _WRITE = 0x28, 0x22, 0x30, 0x31
_REPR_BYTES = 16


class KalmorixError(Exception):
    """Base of the errors this package raises (LibraryNotFound is an OSError)."""


class OpenError(KalmorixError):
    """ZEL_open failed. `code` is its result (244), `errno_code` what
    ZEL_get_errno said right after it: the system error of this open, 0 when
    no system call failed (an unknown processor, all 8 channels in use)."""

    def __init__(self, processor: str, code: int, errno_code: int) -> None:
        super().__init__(
            f"cannot open processor {processor!r}: ZEL_open returned {code}, ZEL_get_errno "
            f"{errno_code} (is the name right? names are case-sensitive; all 8 channels in use?)")
        self.processor = processor
        self.code = code
        self.errno_code = errno_code


class JobRefused(KalmorixError):
    """ZEL_send did not take the job: `code` is its result (-1, or 245 for a
    Subsystem that is neither DPC1 nor FDL)."""

    def __init__(self, code: int, what: str) -> None:
        super().__init__(f"{what}: ZEL_send returned {code}")
        self.code = code


class FdlUnavailable(JobRefused):
    """An FDL job on a channel without FDL: the companion library (ky_dll)
    was not found, or could not be used, when the channel was opened. The
    channel still serves DPC1 jobs."""

    def __init__(self, what: str, channel: "Channel") -> None:
        KalmorixError.__init__(
            self, f"{what}: channel {channel.handle} on {channel.processor!r} has no FDL: the "
            "FDL companion library (ky_dll) was not found or could not be opened when the "
            "channel was opened (ZEL_send returned -1)")
        self.code = -1


class ResultTimeout(KalmorixError):
    """No result came within the time allowed."""


@dataclass(frozen=True, repr=False)
class Result:
    """A result block, decoded. `raw` holds all 340 bytes; `slave` is the DP
    slave of a `read` or `write` (the block does not carry it), else None."""

    raw: bytes
    slave: Optional[int] = field(default=None, compare=False)

    def __repr__(self) -> str:
        kind = (f"FDL service {self.fdl_service}" if self.subsystem == "FDL"
                else f"DPC1 {self.operation}")
        if self.slave is not None:
            kind += f" of slave {self.slave}"
        data = self.data
        shown = data[:_REPR_BYTES].hex(" ") + (" ..." if len(data) > _REPR_BYTES else "")
        return (f"<kalmorix.Result {kind}, job {self.job_id}, result_code {self.result_code}, "
                f"{len(data)} bytes{': ' + shown if data else ''}>")

    @property
    def job_id(self) -> int:
        return _u16(self.raw, _OFS_JOB_ID)

    @property
    def subsystem(self) -> str:
        return "FDL" if self.raw[_OFS_SUBSYSTEM] == _FDL else "DPC1"

    @property
    def operation(self) -> str:
        if self.subsystem == "FDL":
            return "fdl"
        return "read" if self.raw[_OFS_OPERATION] == _READ else "write"

    @property
    def result_code(self) -> int:
        """0 for success; DPC1: 22 (DPC1_ERROR); FDL: the companion's code."""
        return _u16(self.raw, _OFS_RESULT_CODE)

    @property
    def ok(self) -> bool:
        return self.result_code == 0

    @property
    def data(self) -> bytes:
        n = min(_u16(self.raw, _OFS_DATA_LENGTH), DATA_MAX)
        return bytes(self.raw[_OFS_DATA:_OFS_DATA + n])

    @property
    def fdl_service(self) -> Optional[int]:
        return _u16(self.raw, _OFS_FDL_SERVICE) if self.subsystem == "FDL" else None

    @property
    def fdl_word60(self) -> Optional[int]:
        return _u16(self.raw, _OFS_FDL_WORD60) if self.subsystem == "FDL" else None


def _u16(b: bytes, ofs: int) -> int:
    return b[ofs] | (b[ofs + 1] << 8)


class Channel:
    """An open channel. Use it as a context manager, or call close(). A
    channel dropped while open is closed when it is finalized, with a
    ResourceWarning, as Python's files are. `has_fdl`: whether the channel
    can take FDL jobs (its companion library was found and opened)."""

    def __init__(self, lib: Library, processor: str, handle: int,
                 poll_interval: float, has_fdl: bool = True) -> None:
        self.lib = lib
        self.processor = processor
        self.handle = handle
        self.poll_interval = poll_interval
        self.has_fdl = has_fdl
        self._job_id = 0
        self._lock = threading.Lock()
        # Held around every call with the handle: once closed, the module
        # hands the number to the next open, whose channel no call here may touch.
        self._handle_lock = threading.Lock()
        self._close_failed = False

    def __enter__(self) -> "Channel":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # The module's globals may be gone when this runs at interpreter shutdown:
    # what it needs is bound here.
    def __del__(self, _warn: Callable[..., None] = warnings.warn,
                _log_warning: Callable[..., None] = log.warning) -> None:
        if getattr(self, "handle", -1) < 0 or not hasattr(self, "_handle_lock"):
            return
        try:
            _warn(f"unclosed channel {self!r}", ResourceWarning, stacklevel=2, source=self)
        finally:
            try:
                self.close()
            except Exception as e:  # noqa: BLE001 (nothing may escape a finalizer unsaid)
                # No one holds the channel any more: the log is the only one to tell.
                _log_warning("dropped channel %r not closed: %s", self.processor, e)

    def __repr__(self) -> str:
        state = "closed" if self.handle < 0 else f"handle {self.handle}"
        return f"<kalmorix.Channel {self.processor!r} {state}>"

    # ---- raw blocks -----------------------------------------------------------
    def send(self, block: bytes) -> None:
        """Hands a 340-byte job block to ZEL_send; raises JobRefused."""
        if len(block) != BLOCK_SIZE:
            raise ValueError(f"a job block has {BLOCK_SIZE} bytes, not {len(block)}")
        buf = ctypes.create_string_buffer(bytes(block), BLOCK_SIZE)
        with self._handle_lock:
            self._check_open()
            rc = self.lib.cdll.ZEL_send(self.handle, BLOCK_SIZE, buf)
        if rc != 0:
            raise JobRefused(rc, "job refused" + self._why_refused())
        log.debug("channel %d: job %d sent", self.handle, _u16(block, _OFS_JOB_ID))

    def receive(self) -> Optional[bytes]:
        """One look with ZEL_receive: the 340-byte result block, or None."""
        buf = ctypes.create_string_buffer(BLOCK_SIZE)
        length = ctypes.c_uint16(0)
        with self._handle_lock:
            self._check_open()
            rc = self.lib.cdll.ZEL_receive(self.handle, 0, ctypes.byref(length), 0, buf)
        if rc != 0:
            raise KalmorixError(f"ZEL_receive returned {rc}")
        return buf.raw if length.value == BLOCK_SIZE else None

    def wait(self, timeout: float) -> Result:
        """Polls for the result of the job last sent; raises ResultTimeout."""
        end = time.monotonic() + timeout
        while True:
            raw = self.receive()
            if raw is not None:
                result = Result(raw)
                log.debug("channel %d: result of job %d, ResultCode %d, %d bytes",
                          self.handle, result.job_id, result.result_code, len(result.data))
                return result
            if time.monotonic() >= end:
                raise ResultTimeout(f"no result within {timeout} s")
            time.sleep(self.poll_interval)

    # ---- jobs -----------------------------------------------------------------
    def read(self, slave: int, timeout: float = 5.0) -> Result:
        """DPC1 read of up to 240 bytes of a DP slave's data."""
        block = self._job(_DPC1)
        block[_OFS_OPERATION] = _READ
        block[_OFS_SLAVE_ADDRESS] = _byte(slave, "slave")
        return self._run(block, timeout, f"read of slave {slave}", slave)

    def write(self, slave: int, data: Union[bytes, bytearray], param1: Optional[int] = None,
              param2: int = 0, param3: int = 0, timeout: float = 10.0) -> Result:
        """DPC1 write of up to 240 bytes. The result comes after the slave has
        been read back, 3 s after the write was confirmed; `param1` defaults to
        the slave's address (the stand-in ignores it; see your DP master
        library's documentation)."""
        if len(data) > DPC1_DATA_MAX:
            raise ValueError(f"a DPC1 write carries at most {DPC1_DATA_MAX} bytes")
        block = self._job(_DPC1)
        block[_OFS_OPERATION] = _WRITE
        block[_OFS_SLAVE_ADDRESS] = _byte(slave, "slave")
        block[_OFS_PARAM1] = _byte(slave if param1 is None else param1, "param1")
        block[_OFS_PARAM2] = _byte(param2, "param2")
        struct.pack_into("<H", block, _OFS_PARAM3, param3)
        struct.pack_into("<H", block, _OFS_DATA_LENGTH, len(data))
        block[_OFS_DATA:_OFS_DATA + len(data)] = bytes(data)
        return self._run(block, timeout, f"write to slave {slave}", slave)

    def fdl(self, service: int, timeout: float = 5.0) -> Result:
        """FDL job, service 11 or 26 (results are collected about once a second).
        On a channel without FDL (`has_fdl` False) raises FdlUnavailable."""
        if service not in (11, 26):
            raise ValueError("Kalmorix converts FDL services 11 and 26 only")
        block = self._job(_FDL)
        struct.pack_into("<H", block, _OFS_FDL_SERVICE, service)
        return self._run(block, timeout, f"FDL service {service}")

    def close(self) -> None:
        """Closes the channel (waits out a write's read-back pause, up to 3 s;
        at most about 10 s). A result not yet fetched is lost with the channel.
        Closing a closed channel does nothing; any thread may close."""
        with self._handle_lock:
            if self.handle < 0:
                return
            rc = self.lib.cdll.ZEL_close(self.handle)
            log.debug("channel %d closed: %d", self.handle, rc)
            if rc != 0:
                # Still open in the module: a later close may succeed.
                self._close_failed = True
                raise KalmorixError(f"ZEL_close returned {rc}; the channel is still open")
            self.handle = -1

    def _job(self, subsystem: int) -> bytearray:
        with self._lock:
            self._job_id = self._job_id % 0xFFFF + 1
            job_id = self._job_id
        block = bytearray(BLOCK_SIZE)
        struct.pack_into("<H", block, _OFS_JOB_ID, job_id)
        block[_OFS_SUBSYSTEM] = subsystem
        return block

    def _run(self, block: bytearray, timeout: float, what: str,
             slave: Optional[int] = None) -> Result:
        try:
            self.send(bytes(block))
        except JobRefused as e:
            if block[_OFS_SUBSYSTEM] == _FDL and not self.has_fdl and e.code == -1:
                raise FdlUnavailable(f"{what} refused", self) from None
            raise JobRefused(e.code, f"{what} refused" + self._why_refused()) from None
        result = self.wait(timeout)
        return result if slave is None else Result(result.raw, slave)

    def _why_refused(self) -> str:
        if self._close_failed:
            return " (a close failed: the channel takes no more jobs)"
        return ""

    def _check_open(self) -> None:
        if self.handle < 0:
            raise KalmorixError("the channel is closed")


def _byte(value: int, name: str) -> int:
    if not 0 <= value <= 255:
        raise ValueError(f"{name} must be 0..255, not {value}")
    return value


def open(processor: str, library: Optional[str] = None,  # noqa: A001 (like builtins.open)
         poll_interval: float = 0.002) -> Channel:
    """Opens a channel on `processor`; raises OpenError. `library`: the
    module's path (see load)."""
    lib = load(library)
    # The thread's last error is left by whatever failed before, and an open
    # that fails without a failed system call does not set it.
    lib.clear_last_error()
    handle = lib.cdll.ZEL_open(processor.encode())
    if not 0 <= handle <= 7:
        code = int(lib.cdll.ZEL_get_errno())
        # The exception says it all; a caller that catches it wants no output.
        log.debug("ZEL_open(%r) returned %d, ZEL_get_errno %d", processor, handle, code)
        raise OpenError(processor, handle, code)
    has_fdl = _has_fdl(lib, handle)
    log.debug("channel %d open on %r%s", handle, processor, "" if has_fdl else ", without FDL")
    return Channel(lib, processor, handle, poll_interval, has_fdl)


def _has_fdl(lib: Library, handle: int) -> bool:
    """Whether a channel just opened has FDL. The interface tells it only by
    refusing an FDL job; one for a service other than 11 and 26 is refused
    without a companion and otherwise taken and dropped, touching nothing
    (there is no result yet to give up)."""
    block = bytearray(BLOCK_SIZE)
    block[_OFS_SUBSYSTEM] = _FDL
    probe = ctypes.create_string_buffer(bytes(block), BLOCK_SIZE)
    return int(lib.cdll.ZEL_send(handle, BLOCK_SIZE, probe)) == 0


def errno_code(last_error: int, library: Optional[str] = None) -> int:
    """The interface code that ZEL_get_errno gives for a system last-error value."""
    return load(library).errno_code(last_error)

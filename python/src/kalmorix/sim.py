"""Control of a shared virtual processor (the `dpsim serve` daemon) from Python,
speaking the daemon's own protocol (no compiled code):

    from kalmorix import sim
    with sim.connect() as d:              # DPSIM_SERVER, else 127.0.0.1:47213
        d.set("VCP1", 4, b"\\x01\\x02")
        d.silence("VCP1", 5)
        print(d.status().processors["VCP1"].slaves[4].data)
        d.reset()                         # back to the daemon's start-up configuration

Whoever connects proves that it holds the daemon's key (the key file named by
`key_file`, else DPSIM_KEY_FILE, else the daemon's default place for its
port), and the daemon proves it too. Every connect, request and reply is
bounded (2 s by default): a daemon that is not there or goes away raises
DaemonUnreachable, never hangs. A request the daemon refuses raises
DaemonError with its code.
"""

from __future__ import annotations

import hashlib
import hmac
import json
import os
import select
import socket
import stat
import struct
import sys
import threading
import time
from dataclasses import dataclass
from typing import Any, Dict, Iterator, Optional, Tuple, Union

from . import KalmorixError

__all__ = [
    "DEFAULT_ADDRESS", "TIMEOUT", "FAULTS", "SimError", "DaemonError", "DaemonUnreachable",
    "KeyRefused", "DaemonUnproven", "Slave", "Processor", "Client", "Status", "Job", "Dropped",
    "Connection", "Log", "connect", "parse_address", "key_path", "read_key",
]

DEFAULT_PORT = 47213
DEFAULT_ADDRESS = f"127.0.0.1:{DEFAULT_PORT}"
TIMEOUT = 2.0  # as the stand-in library waits for the daemon
FAULTS = ("late", "unknown-kind", "refuse", "fdl-refuse", "fdl-foreign")  # kinds 1..5
MAX_SLAVE_DATA = 240
MAX_CONFIG = 60000

_VERSION = 2
_MAX_FRAME = 65536
_NONCE = 32
_HELLO, _PROOF = 0x01, 0x07
_STATUS, _GET, _SET, _SILENCE, _FAULT, _LOAD, _FOLLOW, _RESET = range(0x10, 0x18)
_HELLO_REPLY, _STATUS_REPLY, _TEXT, _LOG_LINE = 0x81, 0x82, 0x90, 0xA0
_JSON = 1
_POLL = 0.2  # how soon a closed Log notices


class SimError(KalmorixError):
    """Base of the errors of kalmorix.sim."""


class DaemonError(SimError):
    """The daemon refused a request: `code` is its status (1), `message` its reason."""

    def __init__(self, code: int, message: str) -> None:
        super().__init__(f"the daemon refused: {message} (status {code})")
        self.code = code
        self.message = message


class DaemonUnreachable(SimError):
    """No daemon there, no key for it, no reply within the time, or it went away."""


class KeyRefused(DaemonUnreachable):
    """The daemon did not accept our proof: the key file is another daemon's."""


class DaemonUnproven(DaemonUnreachable):
    """Whoever answers could not prove that it holds the key: not our daemon."""


@dataclass(frozen=True)
class Slave:
    address: int
    data: bytes
    silent: bool

    @property
    def answers(self) -> bool:
        return not self.silent


@dataclass(frozen=True)
class Processor:
    name: str
    slaves: Dict[int, Slave]
    faults: Dict[str, float]  # kind -> probability per job, only the ones set


@dataclass(frozen=True)
class Client:
    """A program connected to the daemon (program and pid as it says)."""

    id: int
    program: str
    pid: int
    peer: str
    dp_handles: Tuple[int, ...]
    fdl_handles: Tuple[int, ...]
    jobs: int


@dataclass(frozen=True)
class Status:
    server: str
    version: str
    jobs_per_second: int
    jobs: int
    processors: Dict[str, Processor]
    clients: Tuple[Client, ...]
    truncated: bool  # the daemon left entries out to fit its reply


@dataclass(frozen=True)
class Job:
    """One job as the daemon decided it (at its submission)."""

    time: str
    processor: str
    handle: int
    slave: Optional[int]  # None for FDL
    job: str  # "read", "write", "fdl"
    service: Optional[int]
    bytes: int
    result: str
    bus_us: int


@dataclass(frozen=True)
class Dropped:
    """This follower fell behind: `count` jobs are not shown."""

    count: int


# ---- addresses and keys ------------------------------------------------------

def parse_address(text: str) -> Tuple[str, int]:
    """"host:port", "[v6]:port", "host" or ":port" (host 127.0.0.1, port 47213
    where left out), as the daemon and dpsim read it; ValueError otherwise."""
    host, port = text, ""
    if text.startswith("["):
        close = text.find("]")
        if close < 0:
            raise ValueError(f"not a daemon address: {text!r}")
        host, rest = text[1:close], text[close + 1:]
        if rest:
            if not rest.startswith(":") or len(rest) == 1:
                raise ValueError(f"not a daemon address: {text!r}")
            port = rest[1:]
    elif ":" in text:
        if text.count(":") > 1:
            raise ValueError(f"not a daemon address (brackets around IPv6): {text!r}")
        host, port = text.split(":")
        if not port:
            raise ValueError(f"not a daemon address: {text!r}")
    if port and (len(port) > 5 or not port.isdigit() or not port.isascii() or int(port) > 65535):
        raise ValueError(f"not a daemon address: {text!r}")
    return host or "127.0.0.1", int(port) if port else DEFAULT_PORT


def key_path(port: int) -> str:
    """The key file a client uses: DPSIM_KEY_FILE, else the daemon's default
    place for `port`. DaemonUnreachable when there is none to trust."""
    env = os.environ.get("DPSIM_KEY_FILE")
    if env:
        return env
    name = f"dpsim-{port}.key"
    if sys.platform == "win32":
        base = os.environ.get("LOCALAPPDATA")
        if not base:
            raise DaemonUnreachable("no key: LOCALAPPDATA is not set")
        return os.path.join(base, "Kalmorix", name)
    else:
        return _posix_key_path(name)


def _own(uid: int) -> bool:
    """The file belongs to this user (Windows: its folder's ACL decides)."""
    if sys.platform == "win32":
        return True
    else:
        return uid == os.geteuid()


def _posix_key_path(name: str) -> str:
    run, home = os.environ.get("XDG_RUNTIME_DIR", ""), os.environ.get("HOME", "")
    if run.startswith("/"):
        folder = run + "/kalmorix"
    elif home.startswith("/"):
        folder = home + "/.cache/kalmorix"
    else:
        raise DaemonUnreachable("no key: neither XDG_RUNTIME_DIR nor HOME is set")
    try:
        st = os.lstat(folder)
    except OSError as e:
        raise DaemonUnreachable(f"no key: no directory {folder}: {e.strerror}") from None
    if not stat.S_ISDIR(st.st_mode) or not _own(st.st_uid) or st.st_mode & 0o077:
        raise DaemonUnreachable(f"no key: {folder} is not a directory of this user's alone")
    return folder + "/" + name


def read_key(path: str) -> bytes:
    """The 32-byte key of a key file (64 hex digits). On POSIX only the user's
    own regular file that nobody else may read is trusted."""
    try:
        if sys.platform == "win32":
            with open(path, "rb") as f:
                text = f.read(80)
        else:
            fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
            try:
                st = os.fstat(fd)
                if (not stat.S_ISREG(st.st_mode) or not _own(st.st_uid)
                        or st.st_mode & 0o077):
                    raise DaemonUnreachable(
                        f"no key: {path} is not this user's own file, readable by nobody else")
                text = os.read(fd, 80)
            finally:
                os.close(fd)
    except OSError as e:
        raise DaemonUnreachable(f"no key: cannot open {path}: {e.strerror}") from None
    hexdigits = text.rstrip(b"\r\n")
    try:
        if len(hexdigits) != 64:
            raise ValueError
        return bytes.fromhex(hexdigits.decode("ascii"))
    except ValueError:
        raise DaemonUnreachable(f"no key: {path} does not hold a key") from None


# ---- frames ------------------------------------------------------------------

def _frame(kind: int, payload: bytes) -> bytes:
    return struct.pack("<IBBH", 4 + len(payload), _VERSION, kind, 0) + payload


def _name(text: str, what: str = "processor") -> bytes:
    raw = text.encode("utf-8")
    if not 1 <= len(raw) <= 255 or any(c < 0x20 or c == 0x7F for c in raw):
        raise ValueError(f"a {what} name has 1 to 255 bytes and no control characters: {text!r}")
    return bytes([len(raw)]) + raw


def _slave(slave: int) -> bytes:
    if not isinstance(slave, int) or not 0 <= slave <= 255:
        raise ValueError(f"a slave address is 0..255, not {slave!r}")
    return bytes([slave])


class _Parser:
    """Reads a frame's fields; any short or long frame is the daemon's fault."""

    def __init__(self, body: bytes) -> None:
        self.body, self.pos = body, 0

    def take(self, n: int) -> bytes:
        if len(self.body) - self.pos < n:
            raise DaemonUnreachable("malformed reply from the daemon: frame too short")
        out = self.body[self.pos:self.pos + n]
        self.pos += n
        return out

    def u8(self) -> int:
        return self.take(1)[0]

    def u16(self) -> int:
        value: int = struct.unpack("<H", self.take(2))[0]
        return value

    def u32(self) -> int:
        value: int = struct.unpack("<I", self.take(4))[0]
        return value

    def end(self) -> None:
        if self.pos != len(self.body):
            raise DaemonUnreachable("malformed reply from the daemon: frame too long")


class _Link:
    """One proven connection; every read and write bounded by `timeout`."""

    def __init__(self, address: Optional[str], key_file: Optional[str], timeout: float,
                 name: str) -> None:
        if address is None:
            env = os.environ.get("DPSIM_SERVER", "")
            address = env if env and env != "off" else DEFAULT_ADDRESS
        self.address = address
        self.timeout = timeout
        host, port = parse_address(address)
        self.key_file = key_file or key_path(port)
        key = read_key(self.key_file)
        try:
            self.sock = socket.create_connection((host, port), timeout=timeout)
        except OSError as e:
            raise DaemonUnreachable(
                f"cannot reach the daemon at {address}: {e} (is 'dpsim serve' running?)") from None
        self.sock.settimeout(timeout)
        self._pending = bytearray()
        try:
            self._hello(key, name)
        except BaseException:
            self.close()
            raise

    def _hello(self, key: bytes, name: str) -> None:
        nonce = os.urandom(_NONCE)
        self.send(_frame(_HELLO, struct.pack("<I", os.getpid() & 0xFFFFFFFF)
                         + _name(name, "program") + nonce))
        kind, body = self.receive()
        if kind != _HELLO_REPLY:
            raise DaemonUnreachable(f"the daemon at {self.address}: unexpected reply")
        p = _Parser(body)
        p.u32()
        p.take(p.u8())
        theirs = p.take(_NONCE)
        proof = p.take(32)
        p.end()
        expect = hmac.new(key, b"server" + nonce + theirs, hashlib.sha256).digest()
        if not hmac.compare_digest(expect, proof):
            raise DaemonUnproven(f"the daemon at {self.address} could not prove that it holds "
                                 f"the key ({self.key_file}); not using it")
        mine = hmac.new(key, b"client" + theirs + nonce, hashlib.sha256).digest()
        try:
            self.send(_frame(_PROOF, mine))
            kind, body = self.receive()
            p = _Parser(body)
            status = p.u32()
            p.u32()
            p.end()
        except DaemonUnreachable as e:
            raise KeyRefused(f"the daemon at {self.address} did not accept the key "
                             f"{self.key_file} ({e})") from None
        if kind != _STATUS_REPLY or status != 0:
            raise KeyRefused(f"the daemon at {self.address} did not accept the key "
                             f"{self.key_file}")

    def send(self, frame: bytes) -> None:
        try:
            self.sock.settimeout(self.timeout)
            self.sock.sendall(frame)
        except OSError as e:
            self.close()
            raise DaemonUnreachable(f"lost the daemon at {self.address}: {e}") from None

    def _read(self, n: int, deadline: Optional[float]) -> bytes:
        """n bytes; by the deadline, or (None) as long as it takes."""
        while len(self._pending) < n:
            try:
                if deadline is None:
                    self.sock.settimeout(None)
                else:
                    left = deadline - time.monotonic()
                    if left <= 0:
                        raise socket.timeout()
                    self.sock.settimeout(left)
                chunk = self.sock.recv(max(4096, n - len(self._pending)))
            except socket.timeout:
                self.close()
                raise DaemonUnreachable(
                    f"no reply from the daemon at {self.address} within {self.timeout} s") from None
            except OSError as e:
                self.close()
                raise DaemonUnreachable(f"lost the daemon at {self.address}: {e}") from None
            if not chunk:
                self.close()
                raise DaemonUnreachable(f"the daemon at {self.address} closed the connection")
            self._pending += chunk
        out = bytes(self._pending[:n])
        del self._pending[:n]
        return out

    def receive(self, first_by: Optional[float] = -1.0) -> Tuple[int, bytes]:
        """One frame: its type and fields. The first byte is awaited until
        `first_by` (-1: the link's time-out from now; None: no limit); the
        rest of a frame once begun within the time-out."""
        limit = time.monotonic() + self.timeout
        head = self._read(1, limit if first_by == -1.0 else first_by)
        head += self._read(7, time.monotonic() + self.timeout)
        length, version, kind, reserved = struct.unpack("<IBBH", head)
        if not 4 <= length <= _MAX_FRAME or version != _VERSION or reserved != 0:
            self.close()
            raise DaemonUnreachable(f"malformed reply from the daemon at {self.address}")
        return kind, self._read(length - 4, time.monotonic() + self.timeout)

    def has_data(self, wait: float) -> bool:
        if self._pending:
            return True
        readable, _, _ = select.select([self.sock], [], [], wait)
        return bool(readable)

    def close(self) -> None:
        sock: Optional[socket.socket] = getattr(self, "sock", None)
        if sock is not None:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()


def _text_reply(link: _Link) -> Tuple[int, str]:
    kind, body = link.receive()
    if kind != _TEXT:
        link.close()
        raise DaemonUnreachable(f"unexpected reply from the daemon at {link.address}")
    p = _Parser(body)
    status = p.u32()
    text = p.take(p.u16()).decode("utf-8", "replace")
    p.end()
    return status, text


def _refused(status: int, text: str) -> DaemonError:
    try:
        reply = json.loads(text)
    except ValueError:
        return DaemonError(status, text.strip())
    if isinstance(reply, dict) and "error" in reply:
        rejected = str(reply.get("rejected", "")).strip()  # load: the lines refused
        return DaemonError(status, f"{reply['error']}: {rejected}" if rejected else
                           str(reply["error"]))
    return DaemonError(status, text.strip())


def _job(entry: Dict[str, Any]) -> Union[Job, Dropped]:
    if "dropped" in entry:
        return Dropped(int(entry["dropped"]))
    slave = entry.get("slave")
    service = entry.get("service")
    return Job(time=str(entry["time"]), processor=str(entry["processor"]),
               handle=int(entry["handle"]), slave=None if slave is None else int(slave),
               job=str(entry["job"]), service=None if service is None else int(service),
               bytes=int(entry["bytes"]), result=str(entry["result"]),
               bus_us=int(entry["busUs"]))


def _status(reply: Dict[str, Any]) -> Status:
    processors: Dict[str, Processor] = {}
    for p in reply["processors"]:
        slaves = {int(s["address"]): Slave(int(s["address"]), bytes.fromhex(s["data"]),
                                           bool(s["silent"])) for s in p["slaves"]}
        faults = {str(k): int(v) / 1e6 for k, v in p["faultsPerMillion"].items()}
        processors[str(p["name"])] = Processor(str(p["name"]), slaves, faults)
    clients = tuple(Client(int(c["id"]), str(c["program"]), int(c["pid"]), str(c["peer"]),
                           tuple(int(h) for h in c["dpHandles"]),
                           tuple(int(h) for h in c["fdlHandles"]), int(c["jobs"]))
                    for c in reply["clients"])
    return Status(str(reply["server"]), str(reply["version"]), int(reply["jobsPerSecond"]),
                  int(reply["jobs"]), processors, clients, bool(reply["truncated"]))


class Connection:
    """A connection to the daemon: one request at a time (a lock makes it safe
    to share between threads). After a lost daemon every call raises
    DaemonUnreachable; connect again."""

    def __init__(self, address: Optional[str] = None, key_file: Optional[str] = None,
                 timeout: float = TIMEOUT, name: str = "python") -> None:
        self._args = (address, key_file, timeout, name)
        self._link = _Link(address, key_file, timeout, name)
        self.address = self._link.address
        self.key_file = self._link.key_file
        self._lock = threading.Lock()
        self._closed = False

    def __enter__(self) -> "Connection":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<kalmorix.sim.Connection {self.address}{' closed' if self._closed else ''}>"

    def close(self) -> None:
        self._closed = True
        self._link.close()

    def _ask(self, kind: int, payload: bytes) -> Dict[str, Any]:
        with self._lock:
            if self._closed:
                raise SimError("the connection is closed")
            self._link.send(_frame(kind, bytes([_JSON]) + payload))
            status, text = _text_reply(self._link)
        if status != 0:
            raise _refused(status, text)
        try:
            reply: Dict[str, Any] = json.loads(text)
        except ValueError:
            raise DaemonUnreachable(f"malformed reply from the daemon: {text[:80]!r}") from None
        return reply

    def status(self) -> Status:
        """Processors with their slaves' data and silence, fault rates, clients."""
        return _status(self._ask(_STATUS, b""))

    def get(self, processor: str, slave: int) -> bytes:
        """A slave's data; DaemonError when there is no such processor or slave."""
        reply = self._ask(_GET, _name(processor) + _slave(slave))
        return bytes.fromhex(reply["data"])

    def set(self, processor: str, slave: int, data: Union[bytes, bytearray]) -> None:
        """Replaces a slave's data (at most 240 bytes; a new address adds a slave)."""
        if not isinstance(data, (bytes, bytearray)) or len(data) > MAX_SLAVE_DATA:
            raise ValueError(f"slave data are bytes, at most {MAX_SLAVE_DATA} of them")
        self._ask(_SET, _name(processor) + _slave(slave) + struct.pack("<H", len(data))
                  + bytes(data))

    def silence(self, processor: str, slave: int) -> None:
        """The slave stops answering (its data are kept)."""
        self._ask(_SILENCE, _name(processor) + _slave(slave) + b"\x01")

    def answer(self, processor: str, slave: int) -> None:
        """The slave answers again."""
        self._ask(_SILENCE, _name(processor) + _slave(slave) + b"\x00")

    def fault(self, processor: str, kind: str, rate: float) -> None:
        """Random faults on the processor's jobs: `kind` one of FAULTS, `rate` a
        probability 0..1 per job (0 ends them)."""
        if kind not in FAULTS:
            raise ValueError(f"a fault kind is one of {', '.join(FAULTS)}, not {kind!r}")
        if not 0 <= rate <= 1:
            raise ValueError(f"a fault rate is a probability 0..1, not {rate!r}")
        self._ask(_FAULT, _name(processor) + bytes([FAULTS.index(kind) + 1])
                  + struct.pack("<I", round(rate * 1e6)))

    def load(self, text: str) -> int:
        """Replaces the configuration with `text` (as a DPSIM_CONFIG file) and
        resets everything, as `dpsim load`. A configuration with a line that
        cannot be used is refused whole: DaemonError lists the lines and
        nothing changes. Returns the number of processors loaded."""
        raw = text.encode("utf-8")
        if len(raw) > MAX_CONFIG:
            raise ValueError(f"a configuration has at most {MAX_CONFIG} bytes")
        return int(self._ask(_LOAD, struct.pack("<H", len(raw)) + raw)["processors"])

    def load_file(self, path: Union[str, "os.PathLike[str]"]) -> int:
        """load() with a file's text."""
        with open(path, encoding="utf-8") as f:
            text = f.read(MAX_CONFIG + 1)
        if len(text.encode("utf-8")) > MAX_CONFIG:
            raise ValueError(f"{os.fspath(path)} is larger than {MAX_CONFIG} bytes")
        return self.load(text)

    def reset(self) -> int:
        """Back to the configuration the daemon started with: slaves, data,
        silence and faults as then; jobs under way are dropped. Returns the
        number of processors."""
        return int(self._ask(_RESET, b"")["processors"])

    def log(self) -> "Log":
        """Follows the jobs from now on, on a connection of its own (as
        `dpsim log -f`)."""
        address, key_file, timeout, name = self._args
        return Log(self.address, key_file or self.key_file, timeout, name)


class Log:
    """The jobs as the daemon records them: iterate for Job (and Dropped)
    records. Waits for new jobs as long as it takes, but raises
    DaemonUnreachable when the daemon goes away; close() ends the iteration."""

    def __init__(self, address: Optional[str] = None, key_file: Optional[str] = None,
                 timeout: float = TIMEOUT, name: str = "python") -> None:
        self._link = _Link(address, key_file, timeout, name)
        self._closed = False
        self._lock = threading.Lock()
        self._link.send(_frame(_FOLLOW, bytes([_JSON])))
        status, text = _text_reply(self._link)
        if status != 0:
            self._link.close()
            raise _refused(status, text)

    def __enter__(self) -> "Log":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __iter__(self) -> Iterator[Union[Job, Dropped]]:
        return self

    def __next__(self) -> Union[Job, Dropped]:
        while True:
            entry = self.next(None)
            if entry is not None:
                return entry
            if self._closed:
                raise StopIteration

    def next(self, timeout: Optional[float]) -> Optional[Union[Job, Dropped]]:
        """The next record, or None when none came within `timeout` seconds
        (None: until one comes) or the log was closed."""
        end = None if timeout is None else time.monotonic() + timeout
        with self._lock:
            while not self._closed:
                wait = _POLL if end is None else min(_POLL, end - time.monotonic())
                if wait < 0:
                    return None
                try:
                    ready = self._link.has_data(wait)
                except (OSError, ValueError):
                    if self._closed:
                        return None
                    raise DaemonUnreachable(f"lost the daemon at {self._link.address}") from None
                if not ready:
                    continue
                try:
                    kind, body = self._link.receive(None)
                except DaemonUnreachable:
                    if self._closed:
                        return None
                    raise
                if kind != _LOG_LINE:
                    self._link.close()
                    raise DaemonUnreachable("unexpected frame from the daemon in the log")
                p = _Parser(body)
                text = p.take(p.u16()).decode("utf-8", "replace")
                p.end()
                try:
                    return _job(json.loads(text))
                except (ValueError, KeyError, TypeError):
                    self._link.close()
                    raise DaemonUnreachable(f"malformed log line: {text[:80]!r}") from None
        return None

    def close(self) -> None:
        """Ends the log; an iteration in another thread stops within 0.2 s."""
        self._closed = True
        self._link.close()


def connect(address: Optional[str] = None, key_file: Optional[str] = None,
            timeout: float = TIMEOUT) -> Connection:
    """A Connection to the daemon at `address` (else DPSIM_SERVER, else
    127.0.0.1:47213) with the key of `key_file` (else DPSIM_KEY_FILE, else the
    daemon's default place for its port)."""
    return Connection(address, key_file, timeout)

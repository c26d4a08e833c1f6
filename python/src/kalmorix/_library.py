"""Finding and loading the Kalmorix module with ctypes."""

from __future__ import annotations

import ctypes
import ctypes.util
import logging
import os
import sys
import threading
from typing import Callable, Dict, List, Optional, Tuple

log = logging.getLogger("kalmorix")

# The Windows-only ctypes names (WinDLL, windll, set_last_error) sit behind a
# literal `sys.platform == "win32"` test instead, the form type checkers follow.
WINDOWS = sys.platform == "win32"

# Sets the calling thread's last error, as the module's ZEL_get_errno reads it.
LastErrorSetter = Callable[[int], object]


class LibraryNotFound(OSError):
    """The Kalmorix module could not be loaded; the message says where it was looked for."""


class Library:
    """The loaded module with its exports typed, and where it came from."""

    def __init__(self, cdll: ctypes.CDLL, path: str) -> None:
        self.cdll = cdll
        self.path = path
        f = cdll
        f.ZEL_open.argtypes = [ctypes.c_char_p]
        f.ZEL_open.restype = ctypes.c_int32
        f.ZEL_close.argtypes = [ctypes.c_int32]
        f.ZEL_close.restype = ctypes.c_int32
        f.ZEL_send.argtypes = [ctypes.c_int32, ctypes.c_uint16, ctypes.c_void_p]
        f.ZEL_send.restype = ctypes.c_int32
        f.ZEL_receive.argtypes = [ctypes.c_int32, ctypes.c_uint32,
                                  ctypes.POINTER(ctypes.c_uint16), ctypes.c_uint32,
                                  ctypes.c_void_p]
        f.ZEL_receive.restype = ctypes.c_int32
        f.ZEL_get_errno.argtypes = []
        f.ZEL_get_errno.restype = ctypes.c_int32
        self._set_last_error = self._last_error_setter()

    def _last_error_setter(self) -> Optional[LastErrorSetter]:
        """How to set the calling thread's last error that ZEL_get_errno reads."""
        if sys.platform == "win32":
            return ctypes.set_last_error  # loaded with use_last_error: swapped in per call
        # On Linux the module's platform layer keeps it: plat::LastErrorSet.
        plat = os.path.join(os.path.dirname(self.path), "libkxplat.so")
        try:
            setter = getattr(ctypes.CDLL(plat if os.path.exists(plat) else "libkxplat.so"),
                             "_ZN4plat12LastErrorSetEj")
        except (OSError, AttributeError):
            return None
        setter.argtypes = [ctypes.c_uint32]
        setter.restype = None
        setter_fn: LastErrorSetter = setter
        return setter_fn

    def clear_last_error(self) -> bool:
        """Sets the calling thread's last error to 0, so that ZEL_get_errno
        after the next call tells what that call left; False when it cannot."""
        if self._set_last_error is None:
            return False
        self._set_last_error(0)
        return True

    def errno_code(self, last_error: int) -> int:
        """The interface code that ZEL_get_errno gives for a system last-error value."""
        if self._set_last_error is None:
            raise NotImplementedError("the platform layer (libkxplat) was not found")
        self._set_last_error(last_error & 0xFFFFFFFF)
        return int(self.cdll.ZEL_get_errno())


def _candidates(path: Optional[str]) -> List[Tuple[str, str]]:
    """(how, name) pairs in the order they are tried."""
    if path:
        return [("given path", path)]
    env = os.environ.get("KALMORIX_LIBRARY")
    if env:
        return [("KALMORIX_LIBRARY", env)]
    names = ["Kalmorix.dll"] if WINDOWS else ["libkalmorix.so.0", "libkalmorix.so"]
    found = ctypes.util.find_library("kalmorix")
    out = [("the platform's search", n) for n in names]
    if found and found not in names:
        out.append(("the platform's search", found))
    return out


_lock = threading.Lock()
_loaded: Dict[str, Library] = {}


def load(path: Optional[str] = None) -> Library:
    """Loads the module: `path` if given, else $KALMORIX_LIBRARY, else the
    platform's own search (libkalmorix.so.0 / Kalmorix.dll). One Library per
    file for the life of the process."""
    errors: List[str] = []
    for how, name in _candidates(path):
        with _lock:
            if name in _loaded:
                return _loaded[name]
            try:
                cdll: ctypes.CDLL
                if sys.platform == "win32":
                    if ctypes.sizeof(ctypes.c_void_p) != 4:
                        raise OSError("Kalmorix.dll is 32-bit: it needs a 32-bit Python")
                    cdll = ctypes.WinDLL(name, use_last_error=True)  # stdcall exports
                else:
                    cdll = ctypes.CDLL(name)
            except OSError as e:
                errors.append(f"{name} ({how}): {e}")
                continue
            lib = Library(cdll, _path_of(cdll, name))
            _loaded[name] = lib
            log.info("loaded Kalmorix from %s (%s)", lib.path, how)
            return lib
    raise LibraryNotFound(
        "cannot load the Kalmorix module; tried " + "; ".join(errors) +
        ". Pass its path, set KALMORIX_LIBRARY, or put it on the library path.")


def _path_of(cdll: ctypes.CDLL, name: str) -> str:
    """The file that was really loaded, where the platform tells."""
    if sys.platform == "win32":
        buf = ctypes.create_unicode_buffer(1024)
        if ctypes.windll.kernel32.GetModuleFileNameW(ctypes.c_void_p(cdll._handle), buf, 1024):
            return buf.value
        return name
    if sys.platform.startswith("linux"):
        try:
            with open("/proc/self/maps") as maps:
                for line in maps:
                    parts = line.split()
                    if len(parts) >= 6 and os.path.basename(parts[5]).startswith("libkalmorix.so"):
                        return parts[5]
        except OSError:
            pass
    return name

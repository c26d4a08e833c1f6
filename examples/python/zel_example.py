#!/usr/bin/env python3
"""Drives Kalmorix from Python with ctypes: open a channel, submit a DPC1
read, poll for the result, print it, close.

    zel_example.py [LIBRARY] [PROCESSOR] [SLAVE]

LIBRARY is the path of libkalmorix.so.0 (Linux) or Kalmorix.dll (Windows,
32-bit Python). Without it, $KALMORIX_LIBRARY names it, and without that the
platform's own search finds it (the library path; on Windows the program's
folder and PATH). For more than an example, see the kalmorix package in
python/ of Kalmorix.
"""
import ctypes
import os
import sys
import time

BLOCK_SIZE = 340
OFS_JOB_ID, OFS_SUBSYSTEM, OFS_OPERATION = 5, 12, 13
OFS_RESULT_CODE, OFS_DATA_LENGTH, OFS_SLAVE_ADDRESS, OFS_DATA = 14, 16, 38, 80
SUBSYSTEM_DPC1, OPERATION_READ = 0x28, 0x30


def load(path):
    # The exports use the standard Windows calling convention: WinDLL there.
    lib = ctypes.WinDLL(path) if os.name == "nt" else ctypes.CDLL(path)
    lib.ZEL_open.argtypes = [ctypes.c_char_p]
    lib.ZEL_open.restype = ctypes.c_int32
    lib.ZEL_close.argtypes = [ctypes.c_int32]
    lib.ZEL_close.restype = ctypes.c_int32
    lib.ZEL_send.argtypes = [ctypes.c_int32, ctypes.c_uint16, ctypes.c_void_p]
    lib.ZEL_send.restype = ctypes.c_int32
    lib.ZEL_receive.argtypes = [ctypes.c_int32, ctypes.c_uint32, ctypes.POINTER(ctypes.c_uint16),
                                ctypes.c_uint32, ctypes.c_void_p]
    lib.ZEL_receive.restype = ctypes.c_int32
    lib.ZEL_get_errno.argtypes = []
    lib.ZEL_get_errno.restype = ctypes.c_int32
    return lib


def u16(block, ofs):
    return block[ofs] | (block[ofs + 1] << 8)


def main():
    default = "Kalmorix.dll" if os.name == "nt" else "libkalmorix.so.0"
    path = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("KALMORIX_LIBRARY", default)
    processor = sys.argv[2] if len(sys.argv) > 2 else "VCP1"
    slave = int(sys.argv[3]) if len(sys.argv) > 3 else 3
    try:
        zel = load(path)
    except OSError as e:
        print(f"cannot load {path}: {e}\n"
              "give the library's path as the first argument, or in KALMORIX_LIBRARY",
              file=sys.stderr)
        return 2

    channel = zel.ZEL_open(processor.encode())
    if not 0 <= channel <= 7:
        print(f"ZEL_open({processor!r}) failed: {channel}, ZEL_get_errno {zel.ZEL_get_errno()}")
        return 2
    print(f"channel {channel} open on {processor}")
    try:
        job = (ctypes.c_uint8 * BLOCK_SIZE)()
        job[OFS_JOB_ID] = 42
        job[OFS_SUBSYSTEM] = SUBSYSTEM_DPC1
        job[OFS_OPERATION] = OPERATION_READ
        job[OFS_SLAVE_ADDRESS] = slave
        if zel.ZEL_send(channel, BLOCK_SIZE, job) != 0:
            print("ZEL_send refused the job")
            return 4
        result = (ctypes.c_uint8 * BLOCK_SIZE)()
        length = ctypes.c_uint16(0)
        deadline = time.monotonic() + 5
        while time.monotonic() < deadline:
            if zel.ZEL_receive(channel, 0, ctypes.byref(length), 0, result) == 0 and length.value == BLOCK_SIZE:
                break
            time.sleep(0.01)
        else:
            print("no result within 5 s")
            return 4
        n = u16(result, OFS_DATA_LENGTH)
        data = bytes(result[OFS_DATA:OFS_DATA + n])
        print(f"result of job {u16(result, OFS_JOB_ID)}: ResultCode {u16(result, OFS_RESULT_CODE)}, "
              f"{n} bytes: {data.hex(' ')} {data!r}")
        return 0 if u16(result, OFS_RESULT_CODE) == 0 else 1
    finally:
        if zel.ZEL_close(channel) != 0:
            print("ZEL_close failed")


if __name__ == "__main__":
    sys.exit(main())

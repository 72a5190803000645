"""Prints how many KiB of a file are not on disk yet: its dirty pages and those under
writeback, from cachestat(2) (Linux 6.5 and later), which reads the file's own pages.

    python3 sucias.py ARCHIVO
"""

import ctypes
import os
import sys

SYS_CACHESTAT = 451  # x86-64


class Rango(ctypes.Structure):
    _fields_ = [("off", ctypes.c_uint64), ("len", ctypes.c_uint64)]


class Cachestat(ctypes.Structure):
    _fields_ = [
        (n, ctypes.c_uint64)
        for n in ("cache", "dirty", "writeback", "evicted", "recently_evicted")
    ]


def main():
    libc = ctypes.CDLL(None, use_errno=True)
    fd = os.open(sys.argv[1], os.O_RDONLY)
    rango, estado = Rango(0, 0), Cachestat()  # len 0: to the end of the file
    if libc.syscall(SYS_CACHESTAT, fd, ctypes.byref(rango), ctypes.byref(estado), 0) != 0:
        sys.exit(f"sucias: cachestat: {os.strerror(ctypes.get_errno())}")
    print((estado.dirty + estado.writeback) * os.sysconf("SC_PAGE_SIZE") // 1024)


main()

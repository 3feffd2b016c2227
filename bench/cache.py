#!/usr/bin/env python3
"""Drops files from the page cache, or tells how much of them it holds; no root needed.

  cache.py evict FILE...     write back, then drop every cached page of each file
  cache.py resident FILE...  print "PATH RESIDENT_MIB TOTAL_MIB" per file (from mincore)
"""
import ctypes
import ctypes.util
import mmap
import os
import sys

sys.dont_write_bytecode = True

MiB = 1 << 20


def evict(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        # Dirty pages cannot be dropped: an image just written would stay cached otherwise.
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def resident_bytes(path):
    """Bytes of the file in the page cache, counted a 256 MiB window at a time."""
    libc = ctypes.CDLL(ctypes.util.find_library("c"), use_errno=True)
    libc.mincore.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_char_p]
    libc.mmap.restype = ctypes.c_void_p
    libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int,
                          ctypes.c_int, ctypes.c_long]
    libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    page = mmap.PAGESIZE
    size = os.path.getsize(path)
    window = 256 * MiB
    total = 0
    fd = os.open(path, os.O_RDONLY)
    try:
        for start in range(0, size, window):
            length = min(window, size - start)
            addr = libc.mmap(None, length, mmap.PROT_READ, mmap.MAP_SHARED, fd, start)
            if addr in (None, ctypes.c_void_p(-1).value):
                raise OSError(ctypes.get_errno(), "mmap " + path)
            try:
                vec = ctypes.create_string_buffer((length + page - 1) // page)
                if libc.mincore(addr, length, vec) != 0:
                    raise OSError(ctypes.get_errno(), "mincore " + path)
                total += sum(b & 1 for b in vec.raw) * page
            finally:
                libc.munmap(addr, length)
    finally:
        os.close(fd)
    return min(total, size), size


def main(argv):
    if len(argv) < 3 or argv[1] not in ("evict", "resident"):
        sys.exit(__doc__)
    for path in argv[2:]:
        if argv[1] == "evict":
            evict(path)
        else:
            held, size = resident_bytes(path)
            print("%s %.1f %.1f" % (path, held / MiB, size / MiB))


if __name__ == "__main__":
    main(sys.argv)

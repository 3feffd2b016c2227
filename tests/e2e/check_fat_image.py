#!/usr/bin/env python3
"""Checks tools/fat_image.py where the generators do not reach it yet: sector sizes above 512,
a volume inside a larger image, table writes on every FAT type, directories that grow.

Usage: check_fat_image.py   (needs mkfs.fat, fsck.fat and mtools; exits 1 on a difference)
Each volume is made by mkfs.fat and mtools, edited through the module at an offset inside a
larger image, cut out again, and read back by fsck.fat and mtools.
"""

import os
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # no caches in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from fat_image import ATTR_ARCHIVE, ATTR_DIRECTORY, FatError, FatImage, short_entry  # noqa: E402
from make_volume import tool_environment  # noqa: E402

# FAT type, bytes per sector, volume size in KiB.
VOLUMES = [(12, 4096, 8192), (16, 1024, 16384), (32, 512, 40960)]
OFFSET = 1 << 20  # where a first partition starts
LONG_NAME = "Ein langer Name.txt"


def run(args, env, **kw):
    return subprocess.run(args, env=env, check=True, capture_output=True, **kw).stdout


def check_volume(fat, sector, kib, work, env):
    volume = os.path.join(work, f"fat{fat}.img")
    container = volume + ".disk"
    run(["mkfs.fat", "-C", "-F", str(fat), "-S", str(sector), "-s", "1", "--invariant", volume,
         str(kib)], env)
    source = os.path.join(work, LONG_NAME)
    with open(source, "wb") as stream:
        stream.write(bytes(range(256)) * 40)
    run(["mmd", "-i", volume, "::Folder"], env)
    run(["mcopy", "-i", volume, source, "::Folder/"], env)
    with open(volume, "rb") as inner, open(container, "wb") as outer:
        outer.write(b"\xaa" * OFFSET + inner.read() + b"\xaa" * OFFSET)

    with FatImage(container, writable=True, offset=OFFSET) as image:
        g = image.geometry
        if (g.fat_type, g.bytes_per_sector) != (fat, sector):
            return [f"FAT{fat}: read as FAT{g.fat_type} with {g.bytes_per_sector}-byte sectors"]
        entry = image.find("folder/" + LONG_NAME)
        if image.read_chain(entry.cluster, entry.size) != bytes(range(256)) * 40:
            return [f"FAT{fat}: {LONG_NAME} reads back wrong"]
        # Files of 3 clusters each in a new folder that spans clusters, and a folder that grows.
        files = []
        for number in range(g.cluster_bytes // 32 + 3):
            chain = image.allocate(3)
            for cluster in chain:
                image.write_cluster(cluster, bytes([number]) * g.cluster_bytes)
            files.append(short_entry(b"FILE%04dCHK" % number, ATTR_ARCHIVE, chain[0],
                                     3 * g.cluster_bytes))
        first = image.make_directory(files)
        image.add_entry(0, short_entry(b"FOUND   000", ATTR_DIRECTORY, first, 0))
        folder = image.find("Folder").cluster
        for number in range(g.cluster_bytes // 32):
            image.add_entry(folder, short_entry(b"EMPTY%03d   " % number, ATTR_ARCHIVE, 0, 0))
    with open(container, "rb") as outer:
        outer.seek(OFFSET)
        edited = outer.read(os.path.getsize(volume))
    with open(volume, "wb") as inner:
        inner.write(edited)

    failures = []
    check = subprocess.run(["fsck.fat", "-n", volume], env=env, capture_output=True, text=True)
    if check.returncode != 0:
        failures.append(f"FAT{fat}: fsck.fat finds the edited volume inconsistent:\n"
                        + check.stdout[-800:])
    last = len(files) - 1
    if run(["mtype", "-i", volume, f"::FOUND.000/FILE{last:04d}.CHK"], env) != \
            bytes([last]) * 3 * g.cluster_bytes:
        failures.append(f"FAT{fat}: mtools reads FILE{last:04d}.CHK wrong")
    listed = run(["mdir", "-b", "-i", volume, "::Folder"], env, text=True).split()
    if sum(1 for name in listed if "EMPTY" in name) != g.cluster_bytes // 32:
        failures.append(f"FAT{fat}: the grown folder lists {listed}")
    return failures


def check_malformed(work):
    """A zeroed boot sector or a cut-off image is an error, never a wrong reading."""
    with open(os.path.join(work, "fat16.img"), "rb") as stream:
        head = stream.read(4096)
    failures = []
    for name, data in (("a zeroed boot sector", bytes(512)), ("a cut-off image", head)):
        path = os.path.join(work, "bad.img")
        with open(path, "wb") as stream:
            stream.write(data)
        try:
            FatImage(path).close()
            failures.append(f"{name} was read without an error")
        except FatError:
            pass
    return failures


def main():
    env = tool_environment()
    failures = []
    with tempfile.TemporaryDirectory() as work:
        for fat, sector, kib in VOLUMES:
            failures += check_volume(fat, sector, kib, work, env)
        failures += check_malformed(work)
    print("\n".join(failures) or "fat_image: all as expected")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

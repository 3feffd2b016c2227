#!/usr/bin/env python3
"""Builds a large damaged FAT32 volume the way the disk checker leaves one.

  make_volume.py KIND WORKDIR      KIND is "large", "orphans" or "small"

Writes into WORKDIR/KIND/:
  tree/          the host tree that was put on the volume (the "extracted copy")
  intact.img     the volume before the damage
  damaged.img    the same volume after the damage and the salvage into FOUND.nnn
  expected       expected_files=<saved files> expected_recovered=<files with a parent>
                 table_kib=<size of one allocation table>
  tops           the top-level folders, one a line

The tree goes onto a fresh mkfs.fat volume with one `mcopy -s` per top-level folder. Then a
tenth of the files are fragmented by moving the back part of their chain elsewhere; every
top-level folder is cut loose (its short and long-name entries marked 0xE5, its clusters left
allocated); and the lost chains are salvaged as the disk checker does it: each chain that no
live entry owns becomes FOUND.nnn\\FILEnnnn.CHK, 10,000 to a folder. For "orphans", most
folders also lose their own clusters (freed in the table), so their files come back as loose
orphans that no directory names.

`fsck.fat -a -f` would do the salvage too, but dosfstools 4.2 takes minutes per thousand lost
chains (105 s for 1,050 with -w), hours at this size; `fsck.fat -n` still checks the result.
"""
import collections
import os
import random
import shutil
import subprocess
import sys

sys.dont_write_bytecode = True  # no caches in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from cut_loose import cut_loose  # noqa: E402
from fat_image import (ATTR_ARCHIVE, ATTR_DIRECTORY, FREE, FatImage,  # noqa: E402
                       fat_date_time, short_entry)

MiB = 1 << 20

KINDS = {
    # 1.1 GiB in ~22,000 files, ~2,200 folders up to depth 6, 16 KiB clusters.
    "large": dict(tops=20, dirs_per_top=110, files_per_top=1100, total_bytes=1100 * MiB,
                  image_bytes=1700 * MiB, sectors_per_cluster=32, loose_tops=0,
                  median_kib=16, sigma=1.6),
    # 300 small folders that come back as folders, 45 that lose their clusters and
    # leave 1,000 loose files each: ~51,300 orphans.
    "orphans": dict(tops=345, dirs_per_top=1, files_per_top=20, total_bytes=0,
                    image_bytes=512 * MiB, sectors_per_cluster=8, loose_tops=45,
                    loose_files=1000, median_kib=2, sigma=1.2),
    # A few hundred files in seconds, both ways of losing a folder: for checking the scripts
    # themselves (run.sh --kind small --check-only), not for timing.
    "small": dict(tops=12, dirs_per_top=6, files_per_top=40, total_bytes=0,
                  image_bytes=40 * MiB, sectors_per_cluster=1, loose_tops=3,
                  loose_files=30, median_kib=2, sigma=1.2),
}

SIGNATURES = [
    bytes([0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 0x4A, 0x46, 0x49, 0x46]),
    b"%PDF-1.4\n", b"PK\x03\x04", b"ID3\x03", b"OggS", b"MZ\x90\x00",
]
WORDS = ["report", "Photo", "holiday", "notes", "Backup", "draft", "final", "scan", "invoice",
         "letter", "Music", "track", "video", "data", "Projekt", "summary", "old", "copy"]


def run(*args, **kw):
    subprocess.run(args, check=True, **kw)


# ---------------------------------------------------------------- host tree

def name_for(rng, index, is_dir):
    """Half 8.3 names, half long names with blanks and mixed case."""
    if rng.random() < 0.5:
        base = "%s%d" % (rng.choice(WORDS).upper()[:5], index)
        return base[:8] if is_dir else base[:8] + rng.choice([".TXT", ".DAT", ".JPG", ".BIN"])
    words = " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 4)))
    return "%s %d%s" % (words, index, "" if is_dir else rng.choice([".txt", ".jpeg", ".pdf",
                                                                    ".tar.gz", ".dat"]))


def file_sizes(rng, count, median_kib, sigma, total):
    sizes = [max(1, min(64 * MiB, int(rng.lognormvariate(0, sigma) * median_kib * 1024)))
             for _ in range(count)]
    if total:
        scale = total / sum(sizes)
        sizes = [max(1, int(s * scale)) for s in sizes]
    return sizes


def write_file(path, size, rng, pool):
    with open(path, "wb") as out:
        if rng.random() < 0.3:
            head = rng.choice(SIGNATURES)[:size]
            out.write(head)
            size -= len(head)
        while size > 0:
            at = rng.randrange(0, len(pool) - MiB)
            piece = min(size, MiB)
            out.write(pool[at:at + piece])
            size -= piece
    # Varied times within FAT's range and at its 2-second resolution.
    stamp = 946684800 + rng.randrange(0, 600_000_000) // 2 * 2
    os.utime(path, (stamp, stamp))


def make_tree(root, cfg, rng):
    """Returns [(top name, chains, files)]: the top folders with their chain and file counts."""
    pool = os.urandom(64 * MiB)
    tops = []
    loose = set(rng.sample(range(cfg["tops"]), cfg["loose_tops"]))
    total_files = sum(cfg["loose_files"] if t in loose else cfg["files_per_top"]
                      for t in range(cfg["tops"]))
    share = cfg["total_bytes"] // max(1, total_files) if cfg["total_bytes"] else 0
    for t in range(cfg["tops"]):
        top = "TOP%03d" % t if t % 2 else "Top folder %03d" % t
        top_path = os.path.join(root, top)
        os.mkdir(top_path)
        if t in loose:
            dirs, files = [top_path], cfg["loose_files"]
        else:
            dirs = [top_path]
            depth = {top_path: 1}
            for d in range(cfg["dirs_per_top"] - 1):
                parent = rng.choice([p for p in dirs[-40:] if depth[p] < 6] or [top_path])
                path = os.path.join(parent, name_for(rng, d, True))
                os.mkdir(path)
                dirs.append(path)
                depth[path] = depth[parent] + 1
            files = cfg["files_per_top"]
        sizes = file_sizes(rng, files, cfg["median_kib"], cfg["sigma"], share * files)
        for f, size in enumerate(sizes):
            write_file(os.path.join(rng.choice(dirs), name_for(rng, f, False)), size, rng, pool)
        chains = files + (0 if t in loose else len(dirs))
        tops.append((top, chains, files, t in loose))
    return tops


# ---------------------------------------------------------------- damage and salvage

def fragment(img, fraction, rng):
    """Moves the back part of a tenth of the multi-cluster files to free clusters far away."""
    with FatImage(img, writable=True) as image:
        cluster_bytes = image.geometry.cluster_bytes
        files = [entry for _, entry in image.walk() if not entry.is_dir]
        multi = [entry for entry in files if entry.size > cluster_bytes]
        chosen = rng.sample(multi, min(len(multi), max(1, int(len(files) * fraction))))
        free = collections.deque(image.free_clusters())
        moved = 0
        for entry in chosen:
            chain = image.chain(entry.cluster)
            cut = rng.randint(1, len(chain) - 1)
            tail = chain[cut:]
            if len(free) < len(tail):
                break
            # One run from the low end of the free space, or two: the second from the high end.
            low = len(tail) if rng.random() < 0.5 else (len(tail) + 1) // 2
            targets = [free.popleft() for _ in range(low)]
            targets += reversed([free.pop() for _ in range(len(tail) - low)])
            for old, new in zip(tail, targets):
                image.write_cluster(new, image.read_cluster(old))
            image.set_chain([chain[cut - 1]] + targets)
            for old in tail:
                image.set_entry(old, FREE)
            moved += 1
    return moved, len(files)


def owned_clusters(image):
    """One byte per cluster: 1 when a live entry's chain (or the root's) holds it."""
    owned = bytearray(image.geometry.cluster_count + 2)
    for cluster in image.chain(image.geometry.root_cluster):
        owned[cluster] = 1
    for _, entry in image.walk():
        for cluster in image.chain(entry.cluster):
            owned[cluster] = 1
    return owned


SALVAGE_STAMP = fat_date_time(2024, 5, 17, 10, 20, 30)  # the time the salvage "ran"


def salvage(img, per_folder):
    """What the disk checker does with lost chains: every chain that no live entry owns and no
    other lost cluster points into becomes FOUND.nnn\\FILEnnnn.CHK, its size the whole chain."""
    with FatImage(img, writable=True) as image:
        g = image.geometry
        owned = owned_clusters(image)
        lost = [c for c in range(2, g.cluster_count + 2)
                if not owned[c] and image.entry(c) not in (FREE, g.bad_cluster)]
        pointed = bytearray(g.cluster_count + 2)
        for c in lost:
            successor = image.entry(c)
            if g.is_cluster(successor):
                pointed[successor] = 1
        heads = [c for c in lost if not pointed[c]]
        folders = 0
        for start in range(0, len(heads), per_folder):
            entries = [short_entry(b"FILE%04dCHK" % k, ATTR_ARCHIVE, c,
                                   min(len(image.chain(c)) * g.cluster_bytes, 0xFFFFFFFF),
                                   *SALVAGE_STAMP)
                       for k, c in enumerate(heads[start:start + per_folder])]
            first = image.make_directory(entries, 0, *SALVAGE_STAMP)
            image.add_entry(0, short_entry(b"FOUND   %03d" % folders, ATTR_DIRECTORY, first, 0,
                                           *SALVAGE_STAMP))
            folders += 1
    return len(heads), folders


# ---------------------------------------------------------------- the whole build

def build(kind, workdir):
    cfg = KINDS[kind]
    rng = random.Random(20261207 + len(kind))
    out = os.path.join(workdir, kind)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    tree = os.path.join(out, "tree")
    os.mkdir(tree)
    print("%s: writing the host tree" % kind, flush=True)
    tops = make_tree(tree, cfg, rng)

    img = os.path.join(out, "intact.img")
    with open(img, "wb") as f:
        f.truncate(cfg["image_bytes"])
    run("mkfs.fat", "-F", "32", "-s", str(cfg["sectors_per_cluster"]), "-n", "BENCH", img,
        stdout=subprocess.DEVNULL)
    print("%s: copying %d top folders onto the volume" % (kind, len(tops)), flush=True)
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1", MTOOLS_NO_VFAT="0")
    for top, _, _, _ in tops:
        run("mcopy", "-s", "-m", "-i", img, os.path.join(tree, top), "::/", env=env)
    moved, files = fragment(img, 0.1, rng)
    print("%s: fragmented %d of %d files" % (kind, moved, files), flush=True)

    damaged = os.path.join(out, "damaged.img")
    shutil.copyfile(img, damaged)
    cut_loose(damaged, [t[0] for t in tops], overwritten=[t[0] for t in tops if t[3]])
    chains, folders = salvage(damaged, 10000)
    print("%s: salvaged %d lost chains into %d FOUND folders" % (kind, chains, folders),
          flush=True)
    check = subprocess.run(["fsck.fat", "-n", damaged], capture_output=True, text=True)
    if check.returncode != 0:
        sys.exit("fsck.fat finds the damaged volume inconsistent:\n" + check.stdout[-2000:])

    saved = sum(t[2] for t in tops)
    recovered = sum(t[2] for t in tops if not t[3])
    with FatImage(damaged) as image:
        table_kib = image.geometry.fat_bytes // 1024
    with open(os.path.join(out, "tops"), "w") as f:
        f.write("".join(t[0] + "\n" for t in tops))
    with open(os.path.join(out, "expected"), "w") as f:
        f.write("expected_files=%d\nexpected_recovered=%d\ntable_kib=%d\n"
                % (saved, recovered, table_kib))


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in KINDS:
        sys.exit(__doc__)
    build(sys.argv[1], sys.argv[2])

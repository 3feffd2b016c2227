#!/usr/bin/env python3
"""Builds a large damaged FAT32 volume the way the disk checker leaves one.

  make_volume.py KIND WORKDIR      KIND is "large" or "orphans"

Writes into WORKDIR/KIND/:
  tree/          the host tree that was put on the volume (the "extracted copy")
  intact.img     the volume before the damage
  damaged.img    the same volume after the damage and the salvage into FOUND.nnn
  expected       expected_files=<saved files> expected_recovered=<files with a parent>
  tops           the top-level folders, one a line

The tree goes onto a fresh mkfs.fat volume with one `mcopy -s` per top-level folder. Then a
tenth of the files are fragmented by moving the back part of their chain elsewhere; every
top-level folder is cut loose (its short and long-name entries marked 0xE5, its clusters left
allocated); and the lost chains are salvaged as the disk checker does it: each chain that no
live entry owns becomes FOUND.nnn\FILEnnnn.CHK, 10,000 to a folder. For "orphans", most
folders also lose their own clusters (freed in the table), so their files come back as loose
orphans that no directory names.

`fsck.fat -a -f` would do the salvage too, but dosfstools 4.2 takes minutes per thousand lost
chains (105 s for 1,050 with -w), hours at this size; `fsck.fat -n` still checks the result.
"""
import mmap
import os
import random
import shutil
import struct
import subprocess
import sys

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


# ---------------------------------------------------------------- FAT32 on an mmap

class Fat32:
    def __init__(self, path):
        self.file = open(path, "r+b")
        self.m = mmap.mmap(self.file.fileno(), 0)
        b = self.m
        self.bps, = struct.unpack_from("<H", b, 11)
        self.spc = b[13]
        self.reserved, = struct.unpack_from("<H", b, 14)
        self.fats = b[16]
        self.fat_sectors, = struct.unpack_from("<I", b, 36)
        self.root, = struct.unpack_from("<I", b, 44)
        total, = struct.unpack_from("<I", b, 32)
        self.cluster_bytes = self.bps * self.spc
        self.data = (self.reserved + self.fats * self.fat_sectors) * self.bps
        self.clusters = (total * self.bps - self.data) // self.cluster_bytes + 2
        fat = self.reserved * self.bps
        self.fat = memoryview(b)[fat:fat + self.clusters * 4].cast("I")

    def close(self):
        # Mirror the first table into the others.
        first = self.reserved * self.bps
        size = self.fat_sectors * self.bps
        for k in range(1, self.fats):
            self.m[first + k * size:first + (k + 1) * size] = self.m[first:first + size]
        # Free count unknown: the damage and the salvage changed it.
        info, = struct.unpack_from("<H", self.m, 48)
        if 0 < info < self.reserved:
            struct.pack_into("<I", self.m, info * self.bps + 488, 0xFFFFFFFF)
        self.fat.release()
        self.m.flush()
        self.m.close()
        self.file.close()

    def next(self, c):
        return self.fat[c] & 0x0FFFFFFF

    def chain(self, c):
        out = []
        while 2 <= c < 0x0FFFFFF8 and len(out) < self.clusters:
            out.append(c)
            c = self.next(c)
        return out

    def offset(self, c):
        return self.data + (c - 2) * self.cluster_bytes

    def entries(self, first):
        """(absolute offset, 32 bytes) of every slot of a directory chain."""
        for c in self.chain(first):
            base = self.offset(c)
            for at in range(base, base + self.cluster_bytes, 32):
                if self.m[at] == 0:
                    return
                yield at, self.m[at:at + 32]

    def files_below(self, first, out):
        """Collects (first cluster, size) of every file below a directory."""
        for _, e in self.entries(first):
            if e[0] == 0xE5 or e[11] & 0x3F == 0x0F or e[11] & 0x08 or e[0] == 0x2E:
                continue
            cl = struct.unpack_from("<H", e, 20)[0] << 16 | struct.unpack_from("<H", e, 26)[0]
            if e[11] & 0x10:
                self.files_below(cl, out)
            else:
                out.append((cl, struct.unpack_from("<I", e, 28)[0]))

    def root_entries(self):
        """Top-level entries: (short offset, [long-name offsets], short name bytes, cluster)."""
        pending = []
        for at, e in self.entries(self.root):
            if e[0] == 0xE5:
                pending = []
            elif e[11] & 0x3F == 0x0F:
                pending.append(at)
            else:
                cl = struct.unpack_from("<H", e, 20)[0] << 16 | struct.unpack_from("<H", e, 26)[0]
                yield at, pending, bytes(e[:11]), cl, e[11]
                pending = []


def fragment(img, fraction, rng):
    """Moves the back part of a tenth of the multi-cluster files to free clusters far away."""
    fs = Fat32(img)
    files = []
    for _, _, _, cl, attrs in fs.root_entries():
        if attrs & 0x10:
            fs.files_below(cl, files)
    multi = [f for f in files if f[1] > fs.cluster_bytes]
    chosen = rng.sample(multi, min(len(multi), max(1, int(len(files) * fraction))))
    free = [c for c in range(fs.clusters - 1, 1, -1) if fs.fat[c] == 0]
    moved = 0
    for first, _ in chosen:
        chain = fs.chain(first)
        cut = rng.randint(1, len(chain) - 1)
        tail = chain[cut:]
        if len(free) < len(tail):
            break
        # One run from the low end of the free space, or two: the second from the high end.
        low = len(tail) if rng.random() < 0.5 else (len(tail) + 1) // 2
        targets = [free.pop() for _ in range(low)]
        targets += reversed([free.pop(0) for _ in range(len(tail) - low)])
        for old, new in zip(tail, targets):
            fs.m[fs.offset(new):fs.offset(new) + fs.cluster_bytes] = \
                fs.m[fs.offset(old):fs.offset(old) + fs.cluster_bytes]
        fs.fat[chain[cut - 1]] = targets[0]
        for a, b in zip(targets, targets[1:]):
            fs.fat[a] = b
        fs.fat[targets[-1]] = 0x0FFFFFFF
        for old in tail:
            fs.fat[old] = 0
        moved += 1
    fs.close()
    return moved, len(files)


def cut_loose(img, names, free_clusters):
    """Marks the root entries of the named folders deleted, clusters left allocated; the
    folders in `free_clusters` also lose their own chain, as if overwritten."""
    fs = Fat32(img)
    for at, lfns, short, cl, attrs in list(fs.root_entries()):
        if short not in names or not attrs & 0x10:
            continue
        for slot in lfns + [at]:
            fs.m[slot] = 0xE5
        if short in free_clusters:
            for c in fs.chain(cl):
                fs.m[fs.offset(c):fs.offset(c) + fs.cluster_bytes] = bytes(fs.cluster_bytes)
            for c in fs.chain(cl):
                fs.fat[c] = 0
    fs.close()


def short_names(img):
    """Root short names (11 bytes) by long or short host name."""
    fs = Fat32(img)
    names = {}
    longs = []
    for at, lfns, short, cl, attrs in fs.root_entries():
        text = ""
        for slot in reversed(lfns):
            raw = bytes(fs.m[slot + 1:slot + 11] + fs.m[slot + 14:slot + 26] +
                        fs.m[slot + 28:slot + 32])
            text += raw.decode("utf-16-le").split("\0")[0]
        base, ext = short[:8].decode().rstrip(), short[8:].decode().rstrip()
        names[text or (base + ("." + ext if ext else ""))] = short
    fs.close()
    return names


def owned_clusters(fs):
    """One byte per cluster: 1 when a live entry's chain (or the root's) holds it."""
    owned = bytearray(fs.clusters)
    stack = [fs.root]
    while stack:
        first = stack.pop()
        for c in fs.chain(first):
            owned[c] = 1
        for _, e in fs.entries(first):
            if e[0] in (0xE5, 0x2E) or e[11] & 0x3F == 0x0F or e[11] & 0x08:
                continue
            cl = struct.unpack_from("<H", e, 20)[0] << 16 | struct.unpack_from("<H", e, 26)[0]
            if e[11] & 0x10:
                stack.append(cl)
            else:
                for c in fs.chain(cl):
                    owned[c] = 1
    return owned


def dir_entry(name11, attrs, cluster, size):
    # 2024-05-17 10:20:30, the time the salvage "ran".
    date, time = (44 << 9) | (5 << 5) | 17, (10 << 11) | (20 << 5) | 15
    return struct.pack("<11sBBBHHHHHHHI", name11, attrs, 0, 0, time, date, date,
                       cluster >> 16, time, date, cluster & 0xFFFF, size)


def salvage(img, per_folder):
    """What the disk checker does with lost chains: every chain that no live entry owns and no
    other lost cluster points into becomes FOUND.nnn\FILEnnnn.CHK, its size the whole chain."""
    fs = Fat32(img)
    owned = owned_clusters(fs)
    fat = fs.fat
    lost = [c for c in range(2, fs.clusters)
            if not owned[c] and fat[c] & 0x0FFFFFFF not in (0, 0x0FFFFFF7)]
    pointed = bytearray(fs.clusters)
    for c in lost:
        n = fat[c] & 0x0FFFFFFF
        if 2 <= n < fs.clusters:
            pointed[n] = 1
    heads = [c for c in lost if not pointed[c]]
    free = (c for c in range(2, fs.clusters) if fat[c] == 0)
    per_cluster = fs.cluster_bytes // 32
    folders = 0
    for start in range(0, len(heads), per_folder):
        batch = heads[start:start + per_folder]
        entries = [None, None] + [
            dir_entry(b"FILE%04dCHK" % k, 0x20, c,
                      min(len(fs.chain(c)) * fs.cluster_bytes, 0xFFFFFFFF))
            for k, c in enumerate(batch)]
        clusters = [next(free) for _ in range((len(entries) + per_cluster) // per_cluster)]
        for a, b in zip(clusters, clusters[1:]):
            fat[a] = b
        fat[clusters[-1]] = 0x0FFFFFFF
        entries[0] = dir_entry(b".          ", 0x10, clusters[0], 0)
        entries[1] = dir_entry(b"..         ", 0x10, 0, 0)
        blob = b"".join(entries)
        blob += bytes(len(clusters) * fs.cluster_bytes - len(blob))
        for k, c in enumerate(clusters):
            chunk = blob[k * fs.cluster_bytes:(k + 1) * fs.cluster_bytes]
            fs.m[fs.offset(c):fs.offset(c) + fs.cluster_bytes] = chunk
        add_root_entry(fs, dir_entry(b"FOUND   %03d" % folders, 0x10, clusters[0], 0), free)
        folders += 1
    fs.close()
    return len(heads), folders


def add_root_entry(fs, entry, free):
    chain = fs.chain(fs.root)
    for c in chain:
        for at in range(fs.offset(c), fs.offset(c) + fs.cluster_bytes, 32):
            if fs.m[at] in (0x00, 0xE5):
                fs.m[at:at + 32] = entry
                return
    grown = next(free)
    fs.fat[chain[-1]] = grown
    fs.fat[grown] = 0x0FFFFFFF
    fs.m[fs.offset(grown):fs.offset(grown) + fs.cluster_bytes] = entry + bytes(
        fs.cluster_bytes - 32)


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
    shorts = short_names(damaged)
    cut_loose(damaged, {shorts[t[0]] for t in tops}, {shorts[t[0]] for t in tops if t[3]})
    chains, folders = salvage(damaged, 10000)
    print("%s: salvaged %d lost chains into %d FOUND folders" % (kind, chains, folders),
          flush=True)
    check = subprocess.run(["fsck.fat", "-n", damaged], capture_output=True, text=True)
    if check.returncode != 0:
        sys.exit("fsck.fat finds the damaged volume inconsistent:\n" + check.stdout[-2000:])

    saved = sum(t[2] for t in tops)
    recovered = sum(t[2] for t in tops if not t[3])
    with open(os.path.join(out, "tops"), "w") as f:
        f.write("".join(t[0] + "\n" for t in tops))
    with open(os.path.join(out, "expected"), "w") as f:
        f.write("expected_files=%d\nexpected_recovered=%d\n" % (saved, recovered))


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in KINDS:
        sys.exit(__doc__)
    build(sys.argv[1], sys.argv[2])

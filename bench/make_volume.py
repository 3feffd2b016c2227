#!/usr/bin/env python3
"""Builds a large damaged FAT32 volume the way the disk checker leaves one.

  make_volume.py KIND WORKDIR      KIND is "large", "orphans", "million" or "small"

Writes into WORKDIR/KIND/:
  tree/          the host tree that was put on the volume (the "extracted copy")
  intact.img     the volume before the damage
  damaged.img    the same volume after the damage and the salvage into FOUND.nnn
  expected       expected_files=<saved files> expected_recovered=<files with a parent>
                 table_kib=<size of one allocation table> orphans=<FOUND entries>
                 needed_bytes=<what a reader that reads each needed byte once reads: the boot
                 sector, one table, the root and FOUND folders, every orphan chain>
                 fragments=<runs beyond the first, summed over the orphan chains>
  tops           the top-level folders, one a line

The tree goes onto a fresh mkfs.fat volume with one `mcopy -s` per top-level folder. Then a
tenth of the files are fragmented by moving the back part of their chain elsewhere; every
top-level folder is cut loose (its short and long-name entries marked 0xE5, its clusters left
allocated); and the lost chains are salvaged as the disk checker does it: each chain that no
live entry owns becomes FOUND.nnn\\FILEnnnn.CHK, 10,000 to a folder. For "orphans", most
folders also lose their own clusters (freed in the table), so their files come back as loose
orphans that no directory names.

"million" is written straight into the image instead (one mcopy per file would take hours at
a million files): 1,000,000 orphans of 1 to 3 KiB clusters in 100 FOUND folders; one lost
folder lists 50,000 of them, 300 small ones list 20 each, and the rest lost their folders.

`fsck.fat -a -f` would do the salvage too, but dosfstools 4.2 takes minutes per thousand lost
chains (105 s for 1,050 with -w), hours at this size; `fsck.fat -n` still checks the result.
"""
import array
import collections
import os
import random
import shutil
import struct
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no caches in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from cut_loose import cut_loose  # noqa: E402
from fat_image import (ATTR_ARCHIVE, ATTR_DIRECTORY, ATTR_VOLUME_LABEL, DELETED,  # noqa: E402
                       DIR_ATTR, FREE, FSI_FREE_COUNT, SLOT_BYTES, FatImage, Geometry,
                       fat_date_time, le16, long_name_slots, short_entry)

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


# ---------------------------------------------------------------- what a reader needs

def account(img):
    """(orphans, needed bytes, extra fragments) of a salvaged volume: the boot sector, one table,
    the root, the FOUND folders and every chain they list, each cluster counted once."""
    with FatImage(img) as image:
        g = image.geometry
        table = image._table
        counted = bytearray(g.cluster_count + 2)

        def walk(first):
            """New clusters and runs beyond the first of one chain (loops end it)."""
            clusters = runs = 0
            previous = None
            cluster = first
            while g.is_cluster(cluster) and not counted[cluster]:
                counted[cluster] = 1
                clusters += 1
                if previous is not None and cluster != previous + 1:
                    runs += 1
                previous = cluster
                cluster = table[cluster]
            return clusters, runs

        if g.fat_type == 32:
            needed = walk(g.root_cluster)[0] * g.cluster_bytes
        else:
            needed = g.root_entries * SLOT_BYTES
        needed += g.bytes_per_sector + g.fat_bytes
        orphans = fragments = 0
        folders = [e for e in image.list_dir(0) if e.is_dir and e.name.startswith("FOUND.")]
        for folder in folders:
            needed += walk(folder.cluster)[0] * g.cluster_bytes
            data = b"".join(image.read_cluster(c) for c in image.chain(folder.cluster))
            for at in range(0, len(data), SLOT_BYTES):
                first = data[at]
                if first == 0:
                    break
                attributes = data[at + DIR_ATTR]
                if first == DELETED or attributes & 0x0F == 0x0F or attributes & 0x08 or \
                        data[at:at + 2] in (b". ", b".."):
                    continue
                orphans += 1
                clusters, runs = walk(le16(data, at + 20) << 16 | le16(data, at + 26))
                needed += clusters * g.cluster_bytes
                fragments += runs
    return orphans, needed, fragments


# ---------------------------------------------------------------- a million orphans

MILLION = dict(orphans=1_000_000, big_files=50_000, small_dirs=300, small_files=20,
               lost_per_dir=1000, sectors_per_cluster=2, per_found=10_000)


def unix_to_fat(stamp):
    t = time.gmtime(stamp)
    return fat_date_time(t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec)


def dir_slots(entries):
    """Directory bytes for (name, short 11 bytes, attributes, cluster, size, date, time)."""
    out = []
    for name, short, attributes, cluster, size, date, clock in entries:
        raw = short_entry(short, attributes, cluster, size, date, clock)
        if name is not None:
            out.extend(long_name_slots(name, raw))
        out.append(raw)
    return out


def build_million(out, rng):
    cfg = MILLION
    cb = 512 * cfg["sectors_per_cluster"]
    per = cfg["per_found"]
    per_slot_dir = cb // SLOT_BYTES
    pool = os.urandom(64 * MiB)
    tree = os.path.join(out, "tree")
    lost_files = (cfg["orphans"] - 1 - cfg["big_files"] - cfg["small_dirs"]
                  - cfg["small_dirs"] * cfg["small_files"])
    lost_dirs = -(-lost_files // cfg["lost_per_dir"])

    # Tops: (name, short, kind, file count); kind "big", "small" or "lost".
    tops = [("Big folder", b"BIGFOL~1   ", "big", cfg["big_files"])]
    tops += [("Album %03d" % i, b"ALB%05d   " % i, "small", cfg["small_files"])
             for i in range(cfg["small_dirs"])]
    tops += [("Lost %03d" % i, b"LOST%04d   " % i, "lost",
              min(cfg["lost_per_dir"], lost_files - i * cfg["lost_per_dir"]))
             for i in range(lost_dirs)]

    # Files: names, sizes and cluster counts; the clusters are laid out in volume order below.
    print("million: choosing %d files" % (cfg["orphans"] - 1 - cfg["small_dirs"]), flush=True)
    serial = 0
    top_records = []
    for top, top_short, kind, count in tops:
        files = []
        for f in range(count):
            serial += 1
            if kind == "big":
                if f % 4 == 0:
                    name, short = "Pic %05d.jpg" % f, b"PIC%05dJPG" % f
                else:
                    name = None
                    short = b"F%07d" % f + rng.choice([b"TXT", b"DAT", b"JPG", b"BIN"])
            elif rng.random() < 0.5:
                name = None
                short = (b"%s%d" % (rng.choice(WORDS).upper()[:5].encode(), f)).ljust(8) + \
                    rng.choice([b"TXT", b"DAT", b"JPG", b"BIN"])
            else:
                name = "%s %d.%s" % (rng.choice(WORDS), f, rng.choice(["txt", "jpeg", "pdf", "dat"]))
                short = b"X%07dDAT" % (serial % 10_000_000)
            clusters = rng.choices((1, 2, 3), (40, 35, 25))[0]
            size = rng.randint((clusters - 1) * cb + 1, clusters * cb)
            stamp = 946684800 + rng.randrange(0, 600_000_000) // 2 * 2
            files.append([name, short, size, clusters, stamp, None])
        top_records.append((top, top_short, kind, files))

    # Volume order as a copy makes it: the root, then per folder its clusters and its files'.
    # A tenth of the files keep their front in place and their tail far away, in one run from
    # the low end of the far area or in two, the second from the volume's end.
    total_files = sum(len(rec[3]) for rec in top_records)
    multi = [(t, f) for t, rec in enumerate(top_records) for f, item in enumerate(rec[3])
             if item[3] > 1]
    fragmented = set(rng.sample(multi, min(len(multi), total_files // 10)))
    next_cluster = 2

    def take(count):
        nonlocal next_cluster
        next_cluster += count
        return list(range(next_cluster - count, next_cluster))

    root = take(-(-(1 + 2 * len(tops)) // per_slot_dir))  # the label, a long name + a short
    dir_clusters = []
    tails = 0
    for t, (top, _, kind, files) in enumerate(top_records):
        slots = 2 + sum(1 + (-(-len(item[0]) // 13) if item[0] else 0) for item in files)
        dir_clusters.append(take(slots // per_slot_dir + 1))
        for f, item in enumerate(files):
            cut = rng.randint(1, item[3] - 1) if (t, f) in fragmented else item[3]
            tail = item[3] - cut
            high = tail // 2 if tail > 1 and rng.random() < 0.5 else 0
            item[5] = [take(cut), tail - high, high]  # in place, far low, far high
            tails += tail
    found_clusters = sum((min(per, cfg["orphans"] - s) + 2) // per_slot_dir + 1
                         for s in range(0, cfg["orphans"], per))
    cluster_count = next_cluster - 2 + tails + found_clusters + 4096  # and some room

    # The volume: mkfs.fat for the boot sector, its copy and the information sector; the
    # table, the directories and the contents are written here in one go.
    img = os.path.join(out, "intact.img")
    table_sectors = -(-(cluster_count + 2) * 4 // 512)
    image_bytes = (64 + 2 * table_sectors) * 512 + (cluster_count + 64) * cb
    with open(img, "wb") as f:
        f.truncate(-(-image_bytes // MiB) * MiB)
    run("mkfs.fat", "-F", "32", "-s", str(cfg["sectors_per_cluster"]), "-n", "BENCH", img,
        stdout=subprocess.DEVNULL)
    with open(img, "rb") as f:
        g = Geometry(f.read(512))
    if g.cluster_count < cluster_count or g.root_cluster != 2 or g.cluster_bytes != cb:
        sys.exit("million: mkfs.fat made %d clusters of %d bytes, root at %d; %d wanted"
                 % (g.cluster_count, g.cluster_bytes, g.root_cluster, cluster_count))
    low, high = next_cluster, g.cluster_count + 1
    for rec in top_records:
        for item in rec[3]:
            front, low_count, high_count = item[5]
            item[5] = front + list(range(low, low + low_count)) + \
                list(range(high - high_count + 1, high + 1))
            low += low_count
            high -= high_count
    table = array.array("I", bytes(4 * (g.cluster_count + 2)))
    table[0], table[1] = 0x0FFFFFF8, 0x0FFFFFFF
    data = bytearray(g.cluster_count * cb)

    def put(chain, blob):
        for index, cluster in enumerate(chain):
            at = (cluster - 2) * cb
            data[at:at + cb] = blob[index * cb:(index + 1) * cb].ljust(cb, b"\0")

    def link(chain):
        for cluster, successor in zip(chain, chain[1:]):
            table[cluster] = successor
        table[chain[-1]] = 0x0FFFFFFF

    print("million: writing %d files into the host tree and the volume" % total_files,
          flush=True)
    os.mkdir(tree)
    root_entries = [(None, b"BENCH      ", ATTR_VOLUME_LABEL, 0, 0, 0, 0)]
    for t, (top, top_short, kind, files) in enumerate(top_records):
        top_dir = os.path.join(tree, top)
        os.mkdir(top_dir)
        entries = []
        for name, short, size, _, stamp, chain in files:
            at = rng.randrange(0, len(pool) - size)
            body = bytearray(pool[at:at + size])
            if rng.random() < 0.6:
                head = rng.choice(SIGNATURES)[:size]
                body[:len(head)] = head
            put(chain, body)
            link(chain)
            host = os.path.join(top_dir, name or short_name_text(short))
            with open(host, "wb") as f:
                f.write(body)
            os.utime(host, (stamp, stamp))
            date, clock = unix_to_fat(stamp)
            entries.append((name, short, ATTR_ARCHIVE, chain[0], size, date, clock))
        date, clock = SALVAGE_STAMP
        own = dir_clusters[t]
        dots = [(None, b".          ", ATTR_DIRECTORY, own[0], 0, date, clock),
                (None, b"..         ", ATTR_DIRECTORY, 0, 0, date, clock)]
        put(own, b"".join(dir_slots(dots + entries)))
        link(own)
        root_entries.append((top, top_short, ATTR_DIRECTORY, own[0], 0, date, clock))
    root_blob = b"".join(dir_slots(root_entries))
    put(root, root_blob)
    link(root)

    def write_volume(path, table, data):
        with open(path, "r+b") as f:
            blob = table.tobytes().ljust(g.fat_bytes, b"\0")
            for copy in range(g.fat_count):
                f.seek(g.fat_offset + copy * g.fat_bytes)
                f.write(blob)
            f.seek(g.data_offset)
            f.write(data)
            if g.fs_info_offset is not None:  # no free count, no next-free hint
                f.seek(g.fs_info_offset + FSI_FREE_COUNT)
                f.write(struct.pack("<II", 0xFFFFFFFF, 0xFFFFFFFF))

    print("million: writing the intact volume", flush=True)
    write_volume(img, table, data)

    # The damage: every top cut loose, the lost folders' own clusters zeroed and freed, the
    # lost chains salvaged into FOUND.nnn, lowest free clusters first, as salvage() does.
    print("million: cutting loose and salvaging", flush=True)
    root_data = bytearray(root_blob)
    for at in range(SLOT_BYTES, len(root_data), SLOT_BYTES):
        root_data[at] = DELETED
    heads = []
    for t, (top, _, kind, files) in enumerate(top_records):
        if kind == "lost":
            for cluster in dir_clusters[t]:
                table[cluster] = FREE
                data[(cluster - 2) * cb:(cluster - 1) * cb] = bytes(cb)
        else:
            heads.append(dir_clusters[t][0])
        heads.extend(item[5][0] for item in files)
    heads.sort()
    free = (c for c in range(2, g.cluster_count + 2) if table[c] == FREE)
    folders = 0
    for start in range(0, len(heads), per):
        entries = []
        for k, c in enumerate(heads[start:start + per]):
            length = 1
            while table[c] < 0x0FFFFFF7:
                c = table[c]
                length += 1
            entries.append((None, b"FILE%04dCHK" % k, ATTR_ARCHIVE, heads[start + k],
                            min(length * cb, 0xFFFFFFFF), *SALVAGE_STAMP))
        own = [next(free) for _ in range((len(entries) + 2) // per_slot_dir + 1)]
        dots = [(None, b".          ", ATTR_DIRECTORY, own[0], 0, *SALVAGE_STAMP),
                (None, b"..         ", ATTR_DIRECTORY, 0, 0, *SALVAGE_STAMP)]
        put(own, b"".join(dir_slots(dots + entries)))
        link(own)
        slot = 1 + folders  # the first deleted slots, after the label
        root_data[slot * SLOT_BYTES:(slot + 1) * SLOT_BYTES] = short_entry(
            b"FOUND   %03d" % folders, ATTR_DIRECTORY, own[0], 0, *SALVAGE_STAMP)
        folders += 1
    put(root, bytes(root_data))
    damaged = os.path.join(out, "damaged.img")
    with open(img, "rb") as source, open(damaged, "wb") as f:
        f.write(source.read(g.data_offset))  # the boot sectors; the rest is written whole
        f.truncate(os.path.getsize(img))
    write_volume(damaged, table, data)
    print("million: salvaged %d lost chains into %d FOUND folders" % (len(heads), folders),
          flush=True)
    files = sum(len(rec[3]) for rec in top_records)
    recovered = sum(len(rec[3]) for rec in top_records if rec[2] != "lost")
    return [rec[0] for rec in top_records], files, recovered


def short_name_text(short):
    base, ext = short[:8].rstrip(b" ").decode(), short[8:].rstrip(b" ").decode()
    return base + ("." + ext if ext else "")


# ---------------------------------------------------------------- the whole build

def build(kind, workdir):
    rng = random.Random(20261207 + len(kind))
    out = os.path.join(workdir, kind)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    if kind == "million":
        tops, saved, recovered = build_million(out, rng)
    else:
        tops, saved, recovered = build_copied(kind, out, rng)
    damaged = os.path.join(out, "damaged.img")
    # dosfstools reads every directory: minutes at a million files, so it gets a limit.
    try:
        check = subprocess.run(["fsck.fat", "-n", damaged], capture_output=True, text=True,
                               timeout=1200)
        if check.returncode != 0:
            sys.exit("fsck.fat finds the damaged volume inconsistent:\n" + check.stdout[-2000:])
    except subprocess.TimeoutExpired:
        print("%s: fsck.fat -n did not finish in 20 minutes; not checked" % kind, flush=True)

    orphans, needed, fragments = account(damaged)
    with FatImage(damaged) as image:
        table_kib = image.geometry.fat_bytes // 1024
    with open(os.path.join(out, "tops"), "w") as f:
        f.write("".join(top + "\n" for top in tops))
    with open(os.path.join(out, "expected"), "w") as f:
        f.write("expected_files=%d\nexpected_recovered=%d\ntable_kib=%d\norphans=%d\n"
                "needed_bytes=%d\nfragments=%d\n"
                % (saved, recovered, table_kib, orphans, needed, fragments))


def build_copied(kind, out, rng):
    cfg = KINDS[kind]
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
    saved = sum(t[2] for t in tops)
    recovered = sum(t[2] for t in tops if not t[3])
    return [t[0] for t in tops], saved, recovered


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in list(KINDS) + ["million"]:
        sys.exit(__doc__)
    build(sys.argv[1], sys.argv[2])

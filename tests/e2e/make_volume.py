#!/usr/bin/env python3
"""Builds a damaged FAT volume and the result chkmend must rebuild from it.

Usage: make_volume.py --fat {12,16,32} --out DIR [--profile full|demo|camera] [--sector N]
       [--kib N] [--disk none|mbr|mbr-logical|gpt] [--checker chkdsk|dos|fsck|bsd]
       [--move-root] [--wipe-boot]
Writes DIR/original/ (the tree as copied in), DIR/clean.img (the volume before the damage),
DIR/volume.img (folders and files cut loose, chains salvaged by fsck.fat -a -f and moved into
FOUND.000, FOUND.001 as FILEnnnn.CHK, or left as another checker leaves them) and
DIR/manifest.json (what check_recovery.py expects). With --disk, DIR/disk.img and
DIR/clean-disk.img hold the two volumes in a partition table and the manifest names them.
The camera profile holds real files of every type (make_samples.py makes them in DIR/samples)
and writes DIR/manifest_types.json too: the names chkmend gives with its types switch.
Names and write times in the manifest are what mtools shows of the volume (mcopy -s -m under
each zone of ZONES, code page 437); the generator checks that tools/fat_image.py reads the same
names. Needs mkfs.fat, fsck.fat, mtools, sleuthkit and, for --disk, sfdisk; the result is the
same on every run.
"""

import argparse
import calendar
import hashlib
import json
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no caches in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from cut_loose import cut_loose  # noqa: E402
from fat_image import (ATTR_HIDDEN, ATTR_READ_ONLY, BPB_BACKUP_BOOT_SECTOR,  # noqa: E402
                       BPB_BYTES_PER_SECTOR, BPB_ROOT_CLUSTER, DELETED, FatImage,
                       fat_date_time, short_entry)

# mkfs.fat arguments per variant: size in KiB, sectors per cluster.
VARIANTS = {12: (2048, 2), 16: (16384, 4), 32: (40960, 1)}

MAGIC = {
    "jfif": bytes.fromhex("FFD8FFE000104A464946") + b"\x00\x01\x01",
    "exif": bytes.fromhex("FFD8FFE1") + b"\x00\x16Exif\x00\x00",
    "pdf": b"%PDF-1.4\n",
    "zip": b"PK\x03\x04\x14\x00",
    "rar": b"Rar!\x1a\x07\x00",
    "swf": b"FWS\x0a",
    "mp3": b"ID3\x03\x00",
    "ogg": b"OggS\x00\x02",
    "exe": b"MZ\x90\x00",
}

class BuildError(RuntimeError):
    """The tools did not make the volume this generator describes."""


WORDS = ("lorem ipsum dolor sit amet consectetur adipiscing elit sed do eiusmod tempor "
         "incididunt ut labore et dolore magna aliqua").split()


def D(path, cut=0, late=False, filed=False):
    """late: made after its files, which are moved in, so that its chain follows theirs.
    filed: with cut, the checker files the lost directory as a folder (DIRnnnn.CHK) instead of
    salvaging its chains one by one: what it holds stays reachable below it."""
    return {"path": path, "dir": True, "cut": cut, "late": late, "filed": filed}


def F(path, kind, size, attrs="", cut=0, ext=None, fragment=False, min_fat=12, types_ext=None,
      short_name=None, out_name=None):
    """size: bytes, or a (clusters, extra) pair counted in the volume's cluster size.
    types_ext: the extension with the types switch, when it differs from ext.
    short_name: the 11-byte 8.3 name the entry is given on the volume instead, without a long
    name, so that one folder can hold names that clash (which mtools refuses to make);
    out_name: the name chkmend writes it under then."""
    return {"path": path, "dir": False, "kind": kind, "size": size, "attrs": attrs, "cut": cut,
            "ext": ext, "fragment": fragment, "min_fat": min_fat,
            "types_ext": ext if types_ext is None else types_ext, "short_name": short_name,
            "out_name": out_name}


# cut=N: the entry is cut loose before the Nth disk check (FOUND.00<N-1>). Loose files carry
# the extension chkmend must sniff from their content.
FULL_TREE = [
    D("Documents", cut=1),
    F("Documents/Überweisung März.pdf", "pdf", (3, 100)),
    F("Documents/notes.txt", "text", 1),  # 8.3 in lower case: mtools stores no long name
    F("Documents/Empty file.txt", "text", 0),
    F("Documents/README.TXT", "text", 64),
    F("Documents/cluster minus one.bin", "random", (1, -1)),
    F("Documents/cluster exact.bin", "random", (1, 0)),
    F("Documents/cluster plus one.bin", "random", (1, 1)),
    F("Documents/Read only contract.txt", "text", (2, 5), attrs="r"),
    F("Documents/Hidden settings.dat", "random", 200, attrs="h"),
    F("Documents/日本語のメモ.txt", "text", 300),
    # Names as the systems show them: mtools stores these as 8.3 names with the case flags,
    # the code page's letter 0x8E, or long names of every script.
    F("Documents/README.md", "text", 30),
    D("Documents/photos"),
    F("Documents/photos/beach.jpg", "jfif", (1, 20)),
    F("Documents/ÄRGER.TXT", "text", 50),
    F("Documents/Ελληνικά.doc", "random", 333),
    F("Documents/Привет мир.txt", "text", 120),
    F("Documents/مرحبا بالعالم.txt", "text", 90),
    D("Documents/Brief an Müller"),
    F("Documents/Brief an Müller/Brief.txt", "text", 1234),
    F("Documents/Brief an Müller/ärger.txt", "text", 21),  # shown as Ärger.txt
    D("Documents/Brief an Müller/Anlagen"),
    D("Documents/Brief an Müller/Anlagen/Deep"),
    F("Documents/Brief an Müller/Anlagen/Deep/Leaf note.txt", "text", 77, attrs="rh"),
    F("Documents/Brief an Müller/Anlagen/Deep/empty leaf.txt", "text", 0),
    D("Documents/Empty folder"),
    D("Documents/Many names"),
    *[F(f"Documents/Many names/Rechnung {i:02d} für Ärztin.txt", "text", 40 + i)
      for i in range(24)],
    F("Documents/Many names/" + "L" * 251 + ".txt", "text", 10),  # 255 characters
    F("Documents/Many names/" + "長" * 85, "text", 11),  # 255 bytes of UTF-8
    D("Photos", cut=2),
    F("Photos/Café.jpg", "jfif", (4, 3)),
    F("Photos/Exif photo.jpg", "exif", (2, 0)),
    F("Photos/Urlaub 😀🌴.jpg", "jfif", (1, 77)),  # surrogate pairs
    F("Photos/Readme.txt", "text", 44),  # a long name only for its case: 8.3 name README.TXT
    D("Photos/Sommer 2019"),
    F("Photos/Sommer 2019/Strand.jpg", "jfif", (1, 300)),
    F("Photos/Sommer 2019/fragmented video.ogg", "ogg", (12, 7), fragment=True),
    # Larger than the reader's 4 MiB buffer; the FAT12 volume has no room for it.
    F("Photos/Sommer 2019/Holiday film.ogg", "ogg", (4 << 20) + 4321, min_fat=16),
    D("Archive"),
    D("Archive/Old projects", cut=2, late=True),
    F("Archive/Old projects/Project plan.txt", "text", 500),
    F("Archive/Old projects/Budget 2018.zip", "zip", (2, 9)),
    F("Archive/current.txt", "text", 99),
    D("Pictures"),
    F("Pictures/scan.pdf", "pdf", (2, 1), cut=1, ext=".pdf"),
    # The checker filed this lost folder as a folder: nothing in it was salvaged on its own.
    D("Projects", cut=2, filed=True),
    F("Projects/Plan for 2020.txt", "text", 333),
    F("Projects/Read only plan.pdf", "pdf", (2, 20), attrs="r"),
    F("Projects/Empty notes.txt", "text", 0),
    D("Projects/Drafts"),
    F("Projects/Drafts/draft one.txt", "text", 444),
    D("Projects/Drafts/Older"),
    F("Projects/Drafts/Older/draft zero.txt", "text", 55),
    # Entries of one folder that land on one name: the same 8.3 name twice, and names that
    # differ in case only. The later in list order (cluster order here) takes a number.
    D("Clash", cut=1),
    F("Clash/dup one.txt", "text", 101, short_name=b"DUP     TXT", out_name="DUP.TXT"),
    F("Clash/dup two.txt", "text", 102, short_name=b"DUP     TXT", out_name="DUP (2).TXT"),
    F("Clash/Mixed.txt", "text", 103),
    F("Clash/mixed two.txt", "text", 104, short_name=b"MIXED   TXT", out_name="MIXED (2).TXT"),
    F("holiday.jpg", "jfif", (3, 0), cut=1, ext=".jpg"),
    F("setup.exe", "exe", 700, cut=1, ext=".exe"),
    F("song.mp3", "mp3", (2, 2), cut=2, ext=".mp3"),
    F("backup.rar", "rar", 900, cut=2, ext=".rar"),
    F("movie.swf", "swf", 600, cut=2, ext=".swf"),
    F("camera.jpg", "exif", 800, cut=2, ext=""),
    F("notes for later.txt", "text", 650, cut=2, ext=""),
]

DEMO_TREE = [
    D("Holiday 2023", cut=1),
    F("Holiday 2023/Itinerary.pdf", "pdf", (3, 17)),
    F("Holiday 2023/Packing list.txt", "text", 420),
    D("Holiday 2023/Photos"),
    F("Holiday 2023/Photos/Beach.jpg", "jfif", (6, 40)),
    F("Holiday 2023/Photos/Sunset at Café.jpg", "jfif", (5, 11)),
    D("Holiday 2023/Photos/Best of"),
    F("Holiday 2023/Photos/Best of/Mountain.jpg", "jfif", (4, 2)),
    D("Taxes", cut=1),
    F("Taxes/Überweisung März.pdf", "pdf", (2, 300)),
    F("Taxes/Receipts.zip", "zip", (3, 5), attrs="r"),
    F("portrait.jpg", "jfif", (2, 100), cut=1, ext=".jpg"),
    F("contract.pdf", "pdf", (1, 50), cut=1, ext=".pdf"),
]

SAMPLE_FILES = {}  # sample name -> path, for the camera profile's "sample:NAME" contents
CAMERA_FOLDERS = {".jpg": "DCIM/100CARD", ".png": "DCIM/100CARD", ".heic": "DCIM/100CARD",
                  ".mp4": "DCIM/100CARD", ".mov": "DCIM/100CARD", ".cr2": "DCIM/100CARD",
                  ".cr3": "DCIM/100CARD", ".nef": "DCIM/100CARD", ".arw": "DCIM/100CARD",
                  ".dng": "DCIM/100CARD", ".orf": "DCIM/100CARD", ".rw2": "DCIM/100CARD",
                  ".raf": "DCIM/100CARD", ".m2ts": "PRIVATE/AVCHD", ".wav": "VOICE",
                  ".amr": "VOICE", ".m4a": "VOICE"}


def camera_tree():
    """A camera or phone card holding a file of every type the types switch names, each cut
    loose on its own, and one folder whose files come back by its listing."""
    import make_samples
    tree = [D("DCIM"), D("DCIM/100CARD"), D("PRIVATE"), D("PRIVATE/AVCHD"), D("VOICE"),
            D("Files"), D("DCIM/101CARD", cut=1)]
    for name, _, _, extension, _ in make_samples.SAMPLES:
        folder = CAMERA_FOLDERS.get(extension, "Files")
        tree.append(F(f"{folder}/{name}", "sample:" + name, 0, cut=1, types_ext=extension))
    for name in ("photo_exif.jpg", "video.mov", "canon.cr2"):
        tree.append(F("DCIM/101CARD/" + name, "sample:" + name, 0))
    return tree


FOUND_STAMP = (2024, 1, 2, 3, 4)  # the time every salvaged FILEnnnn.CHK entry carries


def content_for(item, size, seed):
    if item["kind"].startswith("sample:"):
        with open(SAMPLE_FILES[item["kind"][len("sample:"):]], "rb") as stream:
            return stream.read()
    rng = random.Random(f"{seed}:{item['path']}")
    if item["kind"] == "text":
        words = []
        while sum(len(w) + 1 for w in words) < size:
            words.append(rng.choice(WORDS))
        return (" ".join(words) + "\n").encode()[:size].ljust(size, b".")
    head = MAGIC.get(item["kind"], b"")
    return (head + rng.randbytes(max(0, size - len(head))))[:size]


def beyond_mtools(path):
    """mtools 4.0 stores a character above U+FFFF as one UTF-16 unit, not as a surrogate pair:
    such a name is copied in under a stand-in of as many units and then written by fat_image."""
    return any(ord(c) > 0xFFFF for c in os.path.basename(path))


def stand_in(name):
    return "".join("xx" if ord(c) > 0xFFFF else c for c in name)


def run(args, env):
    # What the tools warn about (mkfs.fat about a small FAT32) shows only when they fail.
    result = subprocess.run(args, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if result.returncode != 0:
        sys.stderr.write(result.stderr.decode(errors="replace"))
        result.check_returncode()


def mtime_for(index):
    # Even seconds: FAT keeps write times in 2-second steps.
    return calendar.timegm((2019, 6, 1, 10, 0, 0)) + index * (3 * 86400 + 7994)


# The zones whose write times the manifest holds; check_recovery.py runs under one of them.
ZONES = ("UTC", "Europe/Berlin")
MTOOLS_CONFIG = os.path.join(tempfile.gettempdir(), "chkmend-mtoolsrc")


def tool_environment():
    # mkfs.fat and fsck.fat live in sbin, which a user's PATH may lack. Times are taken as
    # UTC so that the FAT fields hold the very clock values the tree carries; mtools stamps
    # what it creates with SOURCE_DATE_EPOCH instead of the clock, so images come out alike.
    # mtools reads 8.3 names in code page 850 unless told otherwise; chkmend's default is 437.
    path = os.pathsep.join([os.environ.get("PATH", ""), "/usr/sbin", "/sbin"])
    # Written whole and then renamed: generators running side by side share the file.
    with tempfile.NamedTemporaryFile("w", encoding="ascii", delete=False,
                                     dir=os.path.dirname(MTOOLS_CONFIG)) as stream:
        stream.write("default_codepage=437\n")
    os.replace(stream.name, MTOOLS_CONFIG)
    env = dict(os.environ, PATH=path, MTOOLS_SKIP_CHECK="1", TZ="UTC", LC_ALL="C.UTF-8",
               MTOOLSRC=MTOOLS_CONFIG, SOURCE_DATE_EPOCH=str(calendar.timegm(FOUND_STAMP + (0,))))
    missing = [t for t in ("mkfs.fat", "fsck.fat", "mcopy", "mmd", "mmove", "mren", "mattrib",
                           "mdel", "mdir", "fls")
               if shutil.which(t, path=path) is None]
    if missing:
        sys.exit(f"make_volume: {' '.join(missing)} not found; run scripts/setup.sh")
    return env


def fls_names(image, fat):
    """Every path sleuthkit's fls shows on the volume. It shows long names whole (surrogate
    pairs too, which mtools 4.0 cannot) but a byte above 0x7F of an 8.3 name as '^'."""
    listing = subprocess.run(["fls", "-r", "-p", "-f", f"fat{fat}", image], check=True,
                             capture_output=True, text=True, encoding="utf-8").stdout
    names = set()
    for line in listing.splitlines():
        kind, _, path = line.partition("\t")
        if kind.split()[0] in ("r/r", "d/d") and "*" not in kind and \
                not path.endswith("(Volume Label Entry)"):
            names.add(path)
    return names


def mtools_names(image, env):
    """Every path mtools shows on the volume: the 8.3 names in code page 437."""
    listing = subprocess.run(["mdir", "-/", "-b", "-a", "-i", image, "::"], env=env, check=True,
                             capture_output=True, text=True, encoding="utf-8").stdout
    return {line[len("::/"):].rstrip("/") for line in listing.splitlines() if line}


def check_names(before, image, fat, env):
    """The names tools/fat_image.py reads, and so the manifest holds, must be those fls shows;
    where fls falls short (a code-page letter of an 8.3 name shown as '^', the last piece of a
    255-character long name dropped), mtools must show them and fls the rest."""
    fls, mtools = fls_names(image, fat), mtools_names(image, env)

    def agree(seen, path):
        if len(seen) == len(path):
            return all(a == b or a == "^" for a, b in zip(seen, path))
        return path.startswith(seen) and len(path) - len(seen) <= 13 and \
            path.rpartition("/")[0] == seen.rpartition("/")[0]

    def fls_shows(path):
        return path in fls or (path in mtools and any(agree(seen, path) for seen in fls))

    wrong = sorted(path for path in before if not fls_shows(path))
    if wrong or len(fls) != len(before):
        raise BuildError(f"fat_image.py reads names fls and mtools do not show: {wrong}; "
                         f"fls shows {len(fls)} entries, fat_image.py {len(before)}")


def mtools_times(image, entries, out, env):
    """{zone: {key: write time}} as mcopy -m gives it under each zone of ZONES. `entries` maps
    a key to (8.3 path, is a folder): mtools finds every entry by its 8.3 path, whatever its
    long name holds."""
    target = tempfile.mkdtemp(prefix="mtools-", dir=out)
    views = {}
    for zone in ZONES:
        view = {}
        for number, (key, (short_path, is_dir)) in enumerate(entries.items()):
            copy = os.path.join(target, f"{zone.replace('/', '-')}-{number}")
            run(["mcopy", "-o", "-m"] + (["-s"] if is_dir else []) +
                ["-i", image, "::" + short_path, copy], dict(env, TZ=zone))
            view[key] = int(os.stat(copy).st_mtime)
        views[zone] = view
    shutil.rmtree(target)
    return views


def short_paths(fs):
    """Path -> (8.3 path, is a folder) of every entry below the root."""
    paths = {}
    for path, entry in fs.walk():
        parent = path.rpartition("/")[0]
        prefix = paths[parent][0] + "/" if parent else ""
        paths[path] = (prefix + entry.short_name, entry.is_dir)
    return paths


class Layout:
    """What sort of drive the volume comes on and which checker left its orphans; the defaults
    make the volume every earlier case used."""

    def __init__(self, sector=512, kib=None, disk="none", checker="chkdsk", move_root=False,
                 wipe_boot=False):
        self.sector = sector        # bytes per sector of the volume (and of the disk around it)
        self.kib = kib              # the volume's size, else the variant's
        self.disk = disk            # none, mbr, mbr-logical or gpt: a whole disk around it
        self.checker = checker      # chkdsk, dos, fsck or bsd (see salvage_round)
        self.move_root = move_root  # FAT32: the root directory away from cluster 2
        self.wipe_boot = wipe_boot  # FAT32: sector 0 zeroed, the backup boot sector kept

    def describe(self):
        # open_notes: what chkmend says on standard error, after "drive E: ", of how it found
        # the volume.
        notes = ["the boot sector is damaged; reading the volume with its FAT32 backup copy"]
        return {"sector_bytes": self.sector, "disk": self.disk, "checker": self.checker,
                "move_root": self.move_root, "wipe_boot": self.wipe_boot,
                "open_notes": notes if self.wipe_boot else []}


def build(fat, out, profile, tree=None, layout=None):
    """Makes the case folder; `tree` (entries made by D and F) replaces the profile's tree."""
    layout = layout or Layout()
    if tree is None and profile == "camera":
        tree = camera_tree()
        import make_samples
        SAMPLE_FILES.update(make_samples.make_samples(os.path.join(out, "samples")))
        # Without the switch a sample gets what the eight classic signatures say.
        tree = [item for item in tree if item["dir"]
                or item["kind"][len("sample:"):] in SAMPLE_FILES]
        for item in tree:
            if not item["dir"] and item["cut"]:
                with open(SAMPLE_FILES[item["kind"][len("sample:"):]], "rb") as stream:
                    item["ext"] = make_samples.classic_extension(stream.read())
    if tree is None:
        tree = FULL_TREE if profile == "full" else DEMO_TREE
    tree = [item for item in tree if item.get("min_fat", 12) <= fat]
    kib, per_cluster = VARIANTS[fat]
    kib = layout.kib or kib
    # The cluster stays the variant's unless a sector is larger.
    per_cluster = max(1, 512 * per_cluster // layout.sector)
    cluster = layout.sector * per_cluster
    env = tool_environment()
    os.makedirs(out, exist_ok=True)
    original = os.path.join(out, "original")
    shutil.rmtree(original, ignore_errors=True)
    image = os.path.join(out, "volume.img")
    clean = os.path.join(out, "clean.img")
    staging = os.path.join(out, "staging.img")
    staging_clean = os.path.join(out, "staging-clean.img")
    for path in (image, clean, staging, staging_clean):
        if os.path.exists(path):
            os.remove(path)  # mkfs.fat -C refuses to overwrite

    # The tree on the host, with fixed contents and times.
    files = {}
    for index, item in enumerate(tree):
        host = os.path.join(original, item["path"])
        if item["dir"]:
            os.makedirs(host, exist_ok=True)
            continue
        size = item["size"]
        if isinstance(size, tuple):
            size = size[0] * cluster + size[1]
        data = content_for(item, size, f"{fat}:{profile}")
        with open(host, "wb") as stream:
            stream.write(data)
        os.utime(host, (mtime_for(index), mtime_for(index)))
        files[item["path"]] = (data, mtime_for(index))

    mkfs = ["mkfs.fat", "-C", "-F", str(fat), "-i", "C0DE2024", "--invariant", "-n", "CHKMEND"]
    sector_args = ["-S", str(layout.sector)] if layout.sector != 512 else []
    run(mkfs + ["-s", str(per_cluster)] + sector_args + [image, str(kib)], env)
    with FatImage(image) as fs:
        small_fat32 = fat == 32 and fs.geometry.cluster_count < 65525
        last_cluster = fs.geometry.cluster_count + 1
    # mtools takes a FAT32 volume below 65525 clusters for FAT16 and cannot write it: the tree
    # is made, damaged and looked at on a twin of the same cluster size that mtools can write,
    # and its clusters are then copied into the volume mkfs.fat made (see transplant).
    work, work_clean = (staging, staging_clean) if small_fat32 else (image, clean)
    if small_fat32:
        blank = os.path.join(out, "blank.img")
        sparse_copy(image, blank)
        twin_kib = (66000 * cluster + (2 << 20)) // 1024
        run(mkfs + ["-s", str(cluster // 512), work, str(twin_kib)], env)
    if layout.move_root:
        move_root(work, last_cluster)
    if layout.checker == "bsd":
        run(["mmd", "-i", work, "::LOST.DIR"], env)  # Android makes it on every card
    fill_volume(work, tree, original, out, cluster, env)
    sparse_copy(work, work_clean)

    # Every entry as the volume records it before the damage, by path and by first cluster.
    late = [item["path"] for item in tree if item["dir"] and item.get("late")]
    with FatImage(work) as fs:
        if fs.geometry.fat_type != fat:
            raise BuildError(f"mkfs.fat made FAT{fs.geometry.fat_type}, not FAT{fat}")
        before = {path: entry for path, entry in fs.walk()}
        for path in [s["path"] for s in tree if s.get("fragment")]:
            chain = fs.chain(before[path].cluster)
            if all(b == a + 1 for a, b in zip(chain, chain[1:])):
                raise BuildError(f"{path} is not fragmented")
        for folder in late:
            inside = [e.cluster for p, e in before.items() if p.startswith(folder + "/")]
            if before[folder].cluster <= max(inside):
                raise BuildError(f"{folder} is not behind its files")
    check_names(before, work_clean, fat, env)
    with FatImage(work_clean) as fs:
        clean_times = mtools_times(work_clean, short_paths(fs), out, env)

    # The damage, one disk check per round. Only Windows' checker files a lost folder it
    # recognises as a folder; the others salvage its chains like any.
    rounds = sorted({s["cut"] for s in tree if s["cut"]})
    give_clashing_names(work, tree)
    for number, round_ in enumerate(rounds):
        in_round = [s for s in tree if s["cut"] == round_]
        filed = [s["path"] for s in in_round if s.get("filed") and layout.checker == "chkdsk"]
        cut_loose(work, [s["path"] for s in in_round if s["path"] not in filed])
        salvage_round(work, number, layout.checker, env, filed)

    with FatImage(work, writable=True) as fs:
        orphans = []
        counts = []
        for label, folder, listing in leftovers(fs, layout.checker):
            for entry in listing:
                # The checkers leave no time; a fixed one, different per orphan, shows whose
                # time each anonymous file gets.
                second = 2 * (len(orphans) % 30)
                fs.set_times(entry, *fat_date_time(*FOUND_STAMP, second))
                orphans.append((folder, entry, calendar.timegm(FOUND_STAMP + (second,))))
            counts.append((label, len(listing)))
    found_entries = {f"{folder}/{entry.name}": ("/".join(filter(None, [folder, entry.name])),
                                                entry.is_dir)
                     for folder, entry, _ in orphans}
    times = Times(clean_times, mtools_times(work, found_entries, out, env))
    if small_fat32:
        transplant(work, image, blank)
        transplant(work_clean, clean, blank)
        for path in (work, work_clean, blank):
            os.remove(path)
    for path in (image, clean):
        check = subprocess.run(["fsck.fat", "-n", path], env=env, capture_output=True, text=True)
        if check.returncode != 0:
            raise BuildError(f"{os.path.basename(path)} is not consistent:\n" + check.stdout)

    with FatImage(image) as fs:
        manifest = expected_result(tree, fs, before, orphans, files, counts, times)
        manifests = {"manifest.json": manifest}
        if profile == "camera":
            manifests["manifest_types.json"] = expected_result(tree, fs, before, orphans, files,
                                                               counts, times,
                                                               ext_key="types_ext")
    if layout.wipe_boot:
        for path in (image, clean):
            wipe_boot_sector(path, layout.sector)
    images = {"image": "volume.img", "clean_image": "clean.img"}
    if layout.disk != "none":
        images = {"image": "disk.img", "clean_image": "clean-disk.img"}
        for volume, disk in ((image, "disk.img"), (clean, "clean-disk.img")):
            make_disk(volume, os.path.join(out, disk), fat, layout, env)
    for name, content in manifests.items():
        content.update(fat_type=fat, cluster_bytes=cluster, profile=profile,
                       image_sha256=sha256_file(os.path.join(out, images["image"])), **images,
                       **layout.describe())
        with open(os.path.join(out, name), "w", encoding="utf-8") as stream:
            json.dump(content, stream, ensure_ascii=False, indent=1)
    return manifest


def fill_volume(image, tree, original, out, cluster, env):
    """The tree copied in with mtools: folders, files folder by folder, names beyond mtools, a
    fragmented file, attributes and folder times."""
    late = [item["path"] for item in tree if item["dir"] and item.get("late")]
    dirs = [item["path"] for item in tree if item["dir"] and item["path"] not in late]
    if dirs:
        run(["mmd", "-i", image] + ["::" + d for d in dirs], env)
    # One mcopy per folder, in tree order; the fragmented file comes last, into holes.
    by_folder = {}
    for item in tree:
        if not item["dir"] and not item.get("fragment") and not beyond_mtools(item["path"]):
            folder = os.path.dirname(item["path"])
            if folder in late:
                folder = os.path.dirname(folder)
            by_folder.setdefault(folder, []).append(item["path"])
    for folder, paths in by_folder.items():
        run(["mcopy", "-m", "-i", image] + [os.path.join(original, p) for p in paths]
            + ["::" + folder + "/"], env)
    astral = [item["path"] for item in tree if not item["dir"] and beyond_mtools(item["path"])]
    for path in astral:
        folder, name = os.path.split(path)
        run(["mcopy", "-m", "-i", image, os.path.join(original, path),
             f"::{folder}/{stand_in(name)}"], env)
    with FatImage(image, writable=True) as fs:
        for path in astral:
            folder, name = os.path.split(path)
            fs.set_long_name(fs.find(f"{folder}/{stand_in(name)}"), name)
    for folder in late:
        run(["mmd", "-i", image, "::" + folder], env)
        for item in tree:
            if not item["dir"] and os.path.dirname(item["path"]) == folder:
                name = os.path.basename(item["path"])
                run(["mmove", "-i", image, f"::{os.path.dirname(folder)}/{name}",
                     f"::{folder}/"], env)
    fragmented = [s["path"] for s in tree if s.get("fragment")]
    if fragmented:
        filler = os.path.join(out, "filler")
        os.makedirs(filler, exist_ok=True)
        names = []
        for i in range(12):
            names.append(os.path.join(filler, f"F{i:02d}"))
            with open(names[-1], "wb") as stream:
                stream.write(bytes([i]) * cluster)
        run(["mmd", "-i", image, "::Filler"], env)
        run(["mcopy", "-i", image] + names + ["::Filler/"], env)
        run(["mdel", "-i", image] + [f"::Filler/F{i:02d}" for i in range(0, 12, 2)], env)
        shutil.rmtree(filler)
        with FatImage(image, writable=True) as fs:
            fs.forget_free_hint()  # else mtools on FAT32 allocates past the holes
        for path in fragmented:
            run(["mcopy", "-m", "-i", image, os.path.join(original, path),
                 "::" + os.path.dirname(path) + "/"], env)
    for item in tree:
        for flag in item.get("attrs", ""):
            run(["mattrib", "-i", image, "+" + flag, "::" + item["path"]], env)
    # Folders get times of their own too, so that a folder that takes another's shows.
    with FatImage(image, writable=True) as fs:
        for index, item in enumerate(tree):
            if item["dir"]:
                clock = time.gmtime(mtime_for(index))[:6]
                fs.set_times(fs.find(item["path"]), *fat_date_time(*clock))


ROOT_FILE_NAMES = {"dos": re.compile(r"FILE[0-9]{4}\.CHK"), "fsck": re.compile(r"FSCK[0-9]{4}\.REC")}


def salvage_round(image, number, checker, env, filed=()):
    """One disk check after a cut, leaving what the checker leaves. chkdsk: Windows, lost chains
    in FOUND.00<number> as FILEnnnn.CHK (fsck.fat -a -f salvages them, mtools moves them), the
    folders it recognises (`filed`) as DIRnnnn.CHK;
    dos: DOS CHKDSK, FILEnnnn.CHK in the root (fsck.fat's files renamed in place); fsck:
    fsck.fat -a -f itself, FSCKnnnn.REC in the root; bsd: the BSD checker of macOS and Android,
    each lost chain reconnected into LOST.DIR under the number of its first cluster."""
    if checker == "bsd":
        reconnect_lost_chains(image)
        return
    result = subprocess.run(["fsck.fat", "-a", "-f", image], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT)
    if result.returncode not in (0, 1):
        raise BuildError(f"fsck.fat failed: {result.returncode}")
    if checker == "fsck":
        return
    with FatImage(image) as fs:
        root = [e.name for e in fs.list_dir(0)]
    salvaged = sorted(name for name in root if name.startswith("FSCK"))
    if checker == "dos":
        taken = sum(1 for name in root if ROOT_FILE_NAMES["dos"].fullmatch(name))
        for i, name in enumerate(salvaged):
            run(["mren", "-i", image, "::" + name, f"::FILE{taken + i:04d}.CHK"], env)
        return
    folder = f"FOUND.{number:03d}"
    run(["mmd", "-i", image, "::" + folder], env)
    for i, name in enumerate(salvaged):
        run(["mmove", "-i", image, "::" + name, f"::{folder}/FILE{i:04d}.CHK"], env)
    # mmove leaves what the checker leaves for a lost folder it recognises: an entry in the
    # FOUND folder whose cluster is the folder's first, its ".." pointing there.
    for i, path in enumerate(filed):
        run(["mmove", "-i", image, "::" + path, f"::{folder}/DIR{i:04d}.CHK"], env)


def leftovers(fs, checker):
    """(progress label, folder path, entries) of each source chkmend collects, in its order;
    the folder path is empty for the root."""
    root = fs.list_dir(0)
    if checker == "chkdsk":
        return [(e.name, e.name, fs.list_dir(e.cluster)) for e in root
                if e.is_dir and e.name.startswith("FOUND.")]
    if checker == "bsd":
        return [("LOST.DIR", "LOST.DIR", fs.list_dir(fs.find("LOST.DIR").cluster))]
    label = {"dos": "root FILEnnnn.CHK", "fsck": "root FSCKnnnn.REC"}[checker]
    return [(label, "", [e for e in root if ROOT_FILE_NAMES[checker].fullmatch(e.name)])]


def reconnect_lost_chains(image):
    """As the BSD checker reconnects lost chains: a chain that no entry reaches, by its first
    cluster, becomes a file in LOST.DIR named by that cluster's number in decimal, as long as
    its whole clusters, attributes 0."""
    with FatImage(image, writable=True) as fs:
        g = fs.geometry
        reached = set(fs.chain(g.root_cluster)) if g.fat_type == 32 else set()
        for _, entry in fs.walk():
            if entry.cluster >= 2:
                reached.update(fs.chain(entry.cluster))
        lost = {c for c in range(2, g.cluster_count + 2)
                if 0 < fs.entry(c) and fs.entry(c) != g.bad_cluster and c not in reached}
        linked = {fs.next_cluster(c) for c in lost}
        lost_dir = fs.find("LOST.DIR").cluster
        for head in sorted(c for c in lost if c not in linked):
            name = str(head).encode().ljust(11)[:11]
            size = len(fs.chain(head)) * g.cluster_bytes
            fs.add_entry(lost_dir, short_entry(name, 0, head, size))


def move_root(image, cluster):
    """Moves the FAT32 root directory to `cluster`, as formatters may place it: its clusters
    copied, the boot sector and its backup pointed there, cluster 2 freed for data."""
    with FatImage(image, writable=True) as fs:
        g = fs.geometry
        old = fs.chain(g.root_cluster)
        if g.fat_type != 32 or len(old) != 1 or fs.entry(cluster) != 0:
            raise BuildError("the root can be moved only on a fresh FAT32 volume")
        fs.write_cluster(cluster, fs.read_cluster(old[0]))
        fs.set_chain([cluster])
        fs.write_cluster(old[0], bytes(g.cluster_bytes))
        fs.set_entry(old[0], 0)
    set_boot_field(image, BPB_ROOT_CLUSTER, cluster)


def set_boot_field(image, offset, value):
    """A 32-bit field of the boot sector and of its FAT32 backup."""
    with open(image, "r+b") as stream:
        boot = stream.read(512)
        sector = struct.unpack_from("<H", boot, BPB_BYTES_PER_SECTOR)[0]
        backup = struct.unpack_from("<H", boot, BPB_BACKUP_BOOT_SECTOR)[0]
        for at in {0, backup * sector}:
            stream.seek(at + offset)
            stream.write(struct.pack("<I", value))


def transplant(source, target, blank):
    """Copies a volume that mtools wrote into `blank`, which mkfs.fat made with the same cluster
    size, and writes the result to `target`: every table entry and allocated cluster keeps its
    number, so every entry and chain stays valid. The root cluster follows."""
    sparse_copy(blank, target)
    with FatImage(source) as src, FatImage(target, writable=True) as dst:
        s, d = src.geometry, dst.geometry
        if s.cluster_bytes != d.cluster_bytes:
            raise BuildError("the twin volume's clusters differ")
        for cluster in range(2, max(s.cluster_count, d.cluster_count) + 2):
            value = src.entry(cluster) if s.is_cluster(cluster) else 0
            if not d.is_cluster(cluster):
                if value:
                    raise BuildError(f"cluster {cluster} does not fit the small volume")
                continue
            if value:
                dst.write_cluster(cluster, src.read_cluster(cluster))
            if dst.entry(cluster) != value:
                dst.set_entry(cluster, min(value, d.end_of_chain))
        dst.forget_free_hint()
        root = s.root_cluster
    set_boot_field(target, BPB_ROOT_CLUSTER, root)


def wipe_boot_sector(image, sector):
    with open(image, "r+b") as stream:
        stream.write(bytes(sector))


def make_disk(volume, disk, fat, layout, env):
    """A whole-disk image around the volume, its table written by sfdisk: mbr (one primary
    partition), mbr-logical (an empty Linux partition, then the volume as logical partition 5)
    or gpt (an empty Linux partition, then the volume in entry 2). An MBR's block addresses are
    plain numbers, so with 4096-byte sectors they count 4096-byte sectors; sfdisk writes GPT
    with 512-byte sectors only."""
    if shutil.which("sfdisk", path=env["PATH"]) is None:
        sys.exit("make_volume: sfdisk not found; run scripts/setup.sh")
    unit = layout.sector
    if layout.disk == "gpt" and unit != 512:
        raise BuildError("sfdisk writes GPT on image files with 512-byte sectors only")
    size = os.path.getsize(volume)
    sectors = size // unit
    first = (1 << 20) // unit  # the usual 1 MiB alignment
    mbr_type = {12: "1", 16: "6" if size >= 32 << 20 else "4", 32: "c"}[fat]
    if layout.disk == "mbr":
        start = first
        script = [f"start={start}, size={sectors}, type={mbr_type}"]
    elif layout.disk == "mbr-logical":
        start = 3 * first
        script = [f"start={first}, size={first}, type=83", f"start={2 * first}, type=5",
                  f"start={start}, size={sectors}, type={mbr_type}"]
    else:
        start = 2 * first
        script = [f"start={first}, size={first}, type={LINUX_DATA}, uuid={PART_UUIDS[0]}",
                  f"start={start}, size={sectors}, type={BASIC_DATA}, uuid={PART_UUIDS[1]}"]
    label = "gpt" if layout.disk == "gpt" else "dos"
    disk_id = DISK_GUID if label == "gpt" else "0x43484b4d"
    total = start * unit + size + (2 << 20)
    if os.path.exists(disk):
        os.remove(disk)
    with open(disk, "wb") as stream:
        stream.truncate(total)
    header = [f"label: {label}", f"label-id: {disk_id}"]
    subprocess.run(["sfdisk", "--no-reread", "--no-tell-kernel", "-q", disk],
                   input="\n".join(header + script) + "\n", text=True, env=env, check=True,
                   stdout=subprocess.DEVNULL)
    listed = json.loads(subprocess.run(["sfdisk", "--json", disk], env=env, check=True,
                                       capture_output=True, text=True).stdout)
    starts = [p["start"] for p in listed["partitiontable"]["partitions"]]
    if start not in starts:
        raise BuildError(f"sfdisk did not put a partition at {start}: {starts}")
    sparse_copy(volume, disk, start * unit)


LINUX_DATA = "0FC63DAF-8483-4772-8E79-3D69D8477DE4"
BASIC_DATA = "EBD0A0A2-B9E5-4433-87C0-68B6B7D0C7C7"
DISK_GUID = "C0DE2024-0000-4000-8000-43484B4D454E"
PART_UUIDS = ("C0DE2024-0001-4000-8000-43484B4D454E", "C0DE2024-0002-4000-8000-43484B4D454E")


def sparse_copy(source, target, offset=0):
    """Copies `source` into `target` at `offset`, skipping blocks of zeros, so that large
    mostly empty images stay sparse. A target that does not exist is made."""
    block = 1 << 16
    mode = "r+b" if offset and os.path.exists(target) else "wb"
    with open(source, "rb") as inner, open(target, mode) as outer:
        size = os.path.getsize(source)
        for at in range(0, size, block):
            data = inner.read(block)
            if data.count(0) != len(data):
                outer.seek(offset + at)
                outer.write(data)
        if outer.seek(0, os.SEEK_END) < offset + size:
            outer.truncate(offset + size)


def give_clashing_names(image, tree):
    """Renames the entries that carry a short_name in place: the 8.3 name is rewritten and the
    long name dropped, as no tool of ours would make names that clash in one folder."""
    renamed = [item for item in tree if item.get("short_name")]
    if not renamed:
        return
    with FatImage(image, writable=True) as fs:
        entries = [(fs.find(item["path"]), item["short_name"]) for item in renamed]
        for entry, name11 in entries:
            for offset in entry.slots[:-1]:  # the long name's slots
                fs.write(offset, bytes([DELETED]))
            fs.write(entry.slots[-1], name11)


class Times:
    """Write times as mcopy -m gives them, per zone: of the intact volume's entries by path,
    and of the salvaged FOUND entries by their path in the damaged volume."""

    def __init__(self, clean, damaged):
        self.clean, self.damaged = clean, damaged

    def of(self, view, path, utc):
        by_zone = {zone: view[zone][path] for zone in ZONES}
        if by_zone["UTC"] != utc:
            raise BuildError(f"{path}: mcopy -m gives {by_zone['UTC']} under UTC, the volume "
                             f"was written with {utc}")
        return by_zone

    def named(self, volume_path, utc):
        return self.of(self.clean, volume_path, utc)

    def found(self, folder, entry, utc):
        return self.of(self.damaged, f"{folder}/{entry.name}", utc)


def expected_result(tree, fs, before, orphans, files, counts, times, ext_key="ext"):
    """Replays what chkmend must do with the orphans, from what the volume recorded; loose
    files take the extension under `ext_key`. Write times come in every zone of ZONES."""
    # Paths as the volume names them, as mtools shows them (an 8.3 name's code-page letters
    # keep their case: ärger.txt comes back as Ärger.txt).
    tree_paths = {s["path"].casefold(): s["path"] for s in tree}
    by_cluster = {}
    for volume_path, entry in before.items():
        if entry.cluster >= 2:
            by_cluster[entry.cluster] = (tree_paths.get(volume_path.casefold()), volume_path)
    cut = {s["path"]: s for s in tree if s["cut"]}
    volume_path_of = {t: v for t, v in by_cluster.values() if t is not None}

    def top_of(tree_path):
        for top in cut:
            if tree_path == top or tree_path.startswith(top + "/"):
                return top
        return None

    # Anonymous tops take running numbers in FOUND order, directories and files apart.
    names = {}
    dirs_named = files_named = 0
    for _, entry, _ in orphans:
        tree_path, _ = by_cluster[entry.cluster]
        if tree_path is None or not top_of(tree_path):
            raise BuildError(f"cluster {entry.cluster} salvaged, but it is under no cut entry")
        if tree_path in cut:
            if cut[tree_path]["dir"]:
                names[tree_path] = f"UnkDir{dirs_named}"
                dirs_named += 1
            else:
                names[tree_path] = f"UnkFil{files_named}{cut[tree_path][ext_key]}"
                files_named += 1

    def out_path(volume_path):
        for top, name in names.items():
            top_volume = volume_path_of[top]
            if volume_path == top_volume or volume_path.startswith(top_volume + "/"):
                return name + volume_path[len(top_volume):]
        raise BuildError(f"{volume_path} is under no cut entry")

    saved, expected_files, expected_dirs = [], [], []
    dir_times = {zone: {} for zone in ZONES}

    items = {s["path"]: s for s in tree}

    def expect_named(tree_path, volume_path, entry):
        data, mtime = files[tree_path]
        path = out_path(volume_path)
        if items[tree_path].get("out_name"):
            path = path.rsplit("/", 1)[0] + "/" + items[tree_path]["out_name"]
        expected_files.append({"path": path, "size": len(data),
                               "sha256": hashlib.sha256(data).hexdigest(), "mtime": mtime,
                               "mtimes": times.named(volume_path, mtime),
                               "read_only": bool(entry.attributes & ATTR_READ_ONLY),
                               "hidden": bool(entry.attributes & ATTR_HIDDEN)})
        saved.append(path)

    recovered = 0
    for folder, entry, mtime in orphans:
        tree_path, volume_path = by_cluster[entry.cluster]
        if before[volume_path].is_dir:
            # A folder nobody lists keeps the time of its FOUND entry.
            expected_dirs.append(out_path(volume_path))
            by_zone = times.found(folder, entry, mtime) if tree_path in cut else \
                times.named(volume_path, calendar.timegm(before[volume_path].write_clock()))
            for zone, value in by_zone.items():
                dir_times[zone][out_path(volume_path)] = value
        elif tree_path in cut:
            # A loose file keeps the size fsck.fat gave it: whole clusters, slack included.
            data, _ = files[tree_path]
            salvaged = fs.read_chain(entry.cluster, entry.size)
            if not salvaged.startswith(data) or len(salvaged) != entry.size:
                raise BuildError(f"{tree_path}: the salvaged chain does not hold the file")
            expected_files.append({"path": out_path(volume_path), "size": entry.size,
                                   "sha256": hashlib.sha256(salvaged).hexdigest(),
                                   "mtime": mtime, "mtimes": times.found(folder, entry, mtime),
                                   "read_only": False, "hidden": False})
            saved.append(out_path(volume_path))
        else:
            expect_named(tree_path, volume_path, before[volume_path])
            recovered += 1
    # What no orphan stands for comes back from the listing of its directory, after every
    # orphan, directory by directory as they stand in the list: empty files (they own no
    # cluster), and below a folder the checker filed as a folder, everything it holds, the
    # folders among them listed in turn.
    known = {entry.cluster for _, entry, _ in orphans}
    directories = [(entry.cluster, by_cluster[entry.cluster][1], entry.is_dir)
                   for _, entry, _ in orphans if before[by_cluster[entry.cluster][1]].is_dir]
    for cluster, volume_path, reachable in directories:
        for child in fs.list_dir(cluster):
            child_path = volume_path + "/" + child.name
            if not child.is_dir and child.cluster == 0 and child.size == 0:
                expect_named(tree_paths[child_path.casefold()], child_path, child)
                recovered += 1
            elif reachable and child.cluster >= 2 and child.cluster not in known:
                known.add(child.cluster)
                if child.is_dir:
                    expected_dirs.append(out_path(child_path))
                    by_zone = times.named(child_path, calendar.timegm(child.write_clock()))
                    for zone, value in by_zone.items():
                        dir_times[zone][out_path(child_path)] = value
                    directories.append((child.cluster, child_path, True))
                else:
                    expect_named(tree_paths[child_path.casefold()], child_path, child)
                    recovered += 1
    # dir_times: UTC, as before; zone_dir_times: every zone of ZONES.
    return {"found_folders": counts, "saved": saved, "recovered": recovered,
            "files": expected_files, "dirs": expected_dirs, "dir_times": dir_times["UTC"],
            "zone_dir_times": dir_times}


def sha256_file(path):
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--fat", type=int, choices=sorted(VARIANTS), required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--profile", choices=("full", "demo", "camera"), default="full")
    parser.add_argument("--sector", type=int, choices=(512, 1024, 2048, 4096), default=512,
                        help="bytes per sector of the volume")
    parser.add_argument("--kib", type=int, help="size of the volume (default: the variant's)")
    parser.add_argument("--disk", choices=("none", "mbr", "mbr-logical", "gpt"), default="none",
                        help="a whole-disk image with a partition table around the volume")
    parser.add_argument("--checker", choices=("chkdsk", "dos", "fsck", "bsd"), default="chkdsk",
                        help="whose leftovers the damage leaves")
    parser.add_argument("--move-root", action="store_true",
                        help="FAT32: the root directory away from cluster 2")
    parser.add_argument("--wipe-boot", action="store_true",
                        help="FAT32: sector 0 zeroed, its backup kept")
    args = parser.parse_args()
    build(args.fat, args.out, args.profile,
          layout=Layout(args.sector, args.kib, args.disk, args.checker, args.move_root,
                        args.wipe_boot))



if __name__ == "__main__":
    main()

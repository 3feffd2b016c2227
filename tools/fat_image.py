"""Minimal FAT12/16/32 image reader and editor for the test tools.

Reads the geometry and directories of an image file with explicit little-endian parsing, finds
entries by path, and rewrites single directory slots in place. Standard library only.
"""

import struct

DELETED = 0xE5
ATTR_READ_ONLY = 0x01
ATTR_HIDDEN = 0x02
ATTR_VOLUME_LABEL = 0x08
ATTR_DIRECTORY = 0x10
ATTR_LONG_NAME = 0x0F

# Byte offsets in a 32-byte short directory entry.
DIR_ATTR = 11
DIR_NT_CASE = 12
DIR_CREATE_TIME = 14
DIR_CREATE_DATE = 16
DIR_ACCESS_DATE = 18
DIR_CLUSTER_HIGH = 20
DIR_WRITE_TIME = 22
DIR_WRITE_DATE = 24
DIR_CLUSTER_LOW = 26
DIR_SIZE = 28

LFN_CHAR_OFFSETS = (1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30)


def le16(data, offset):
    return struct.unpack_from("<H", data, offset)[0]


def le32(data, offset):
    return struct.unpack_from("<I", data, offset)[0]


class Entry:
    """One short entry with the long name that precedes it and the slots it occupies."""

    def __init__(self, raw, long_name, slots):
        self.raw = raw
        self.slots = slots  # image byte offsets: long-name slots first, the short slot last
        self.attributes = raw[DIR_ATTR]
        self.cluster = (le16(raw, DIR_CLUSTER_HIGH) << 16) | le16(raw, DIR_CLUSTER_LOW)
        self.size = le32(raw, DIR_SIZE)
        base = raw[0:8].rstrip(b" ")
        if base[:1] == b"\x05":
            base = b"\xe5" + base[1:]
        ext = raw[8:11].rstrip(b" ")
        self.short_bytes = base + (b"." + ext if ext else b"")
        self.short_name = self.short_bytes.decode("cp437")
        self.long_name = long_name
        self.name = long_name if long_name is not None else self.short_name
        self.write_date = le16(raw, DIR_WRITE_DATE)
        self.write_time = le16(raw, DIR_WRITE_TIME)

    def write_clock(self):
        """The stored write date and time as (year, month, day, hour, minute, second)."""
        date, time = self.write_date, self.write_time
        return (1980 + (date >> 9), (date >> 5) & 15, date & 31, time >> 11, (time >> 5) & 63,
                (time & 31) * 2)

    @property
    def is_dir(self):
        return bool(self.attributes & ATTR_DIRECTORY)


def short_checksum(raw):
    total = 0
    for byte in raw[0:11]:
        total = (((total & 1) << 7) + (total >> 1) + byte) & 0xFF
    return total


class FatImage:
    def __init__(self, path, writable=False):
        self.path = path
        self.file = open(path, "r+b" if writable else "rb")
        boot = self.read(0, 512)
        self.bytes_per_sector = le16(boot, 11)
        self.sectors_per_cluster = boot[13]
        reserved = le16(boot, 14)
        fat_count = boot[16]
        self.root_entries = le16(boot, 17)
        total = le16(boot, 19) or le32(boot, 32)
        fat_sectors = le16(boot, 22) or le32(boot, 36)
        root_sectors = (self.root_entries * 32 + self.bytes_per_sector - 1) // self.bytes_per_sector
        self.fat_offset = reserved * self.bytes_per_sector
        self.root_offset = (reserved + fat_count * fat_sectors) * self.bytes_per_sector
        first_data = reserved + fat_count * fat_sectors + root_sectors
        self.data_offset = first_data * self.bytes_per_sector
        self.cluster_count = (total - first_data) // self.sectors_per_cluster
        if self.cluster_count < 4085:
            self.fat_type = 12
        elif self.cluster_count < 65525:
            self.fat_type = 16
        else:
            self.fat_type = 32
        self.root_cluster = le32(boot, 44) if self.fat_type == 32 else 0
        self.cluster_bytes = self.bytes_per_sector * self.sectors_per_cluster
        self.fat = self.read(self.fat_offset, fat_sectors * self.bytes_per_sector)

    def close(self):
        self.file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def read(self, offset, length):
        self.file.seek(offset)
        return self.file.read(length)

    def write(self, offset, data):
        self.file.seek(offset)
        self.file.write(data)

    def next_cluster(self, cluster):
        """The successor, or None at the end of the chain (or on any reserved value)."""
        if self.fat_type == 12:
            pair = le16(self.fat, cluster * 3 // 2)
            value, end = (pair >> 4 if cluster & 1 else pair & 0xFFF), 0xFF7
        elif self.fat_type == 16:
            value, end = le16(self.fat, cluster * 2), 0xFFF7
        else:
            value, end = le32(self.fat, cluster * 4) & 0x0FFFFFFF, 0x0FFFFFF7
        return None if value < 2 or value >= end or value >= self.cluster_count + 2 else value

    def chain(self, first):
        """The clusters of a chain; a loop or a bad link ends it (bounded by the cluster count)."""
        clusters = []
        seen = set()
        cluster = first
        while cluster is not None and 2 <= cluster < self.cluster_count + 2 and cluster not in seen:
            seen.add(cluster)
            clusters.append(cluster)
            cluster = self.next_cluster(cluster)
        return clusters

    def cluster_offset(self, cluster):
        return self.data_offset + (cluster - 2) * self.cluster_bytes

    def read_chain(self, first, size):
        data = b"".join(self.read(self.cluster_offset(c), self.cluster_bytes) for c in self.chain(first))
        return data[:size]

    def slot_offsets(self, cluster):
        """Image offsets of the 32-byte slots of a directory (cluster 0: the root)."""
        if cluster == 0 and self.fat_type != 32:
            return [self.root_offset + 32 * i for i in range(self.root_entries)]
        if cluster == 0:
            cluster = self.root_cluster
        per_cluster = self.cluster_bytes // 32
        return [self.cluster_offset(c) + 32 * i for c in self.chain(cluster) for i in range(per_cluster)]

    def list_dir(self, cluster, include_dots=False):
        entries = []
        pieces = []  # (ordinal, text) of the long name being gathered
        lfn_slots = []
        for offset in self.slot_offsets(cluster):
            raw = self.read(offset, 32)
            if raw[0] == 0:
                break
            if raw[0] == DELETED:
                pieces, lfn_slots = [], []
                continue
            if raw[DIR_ATTR] & 0x3F == ATTR_LONG_NAME:
                if raw[0] & 0x40:
                    pieces, lfn_slots = [], []
                chars = [le16(raw, o) for o in LFN_CHAR_OFFSETS]
                if 0 in chars:
                    chars = chars[: chars.index(0)]
                pieces.append((raw[0] & 0x3F, raw[13], struct.pack(f"<{len(chars)}H", *chars)))
                lfn_slots.append(offset)
                continue
            if raw[DIR_ATTR] & ATTR_VOLUME_LABEL:
                pieces, lfn_slots = [], []
                continue
            long_name = None
            if pieces and all(p[1] == short_checksum(raw) for p in pieces):
                ordered = sorted(pieces, key=lambda p: p[0])
                long_name = b"".join(p[2] for p in ordered).decode("utf-16-le")
            entry = Entry(raw, long_name, lfn_slots + [offset])
            pieces, lfn_slots = [], []
            if entry.short_name in (".", "..") and not include_dots:
                continue
            entries.append(entry)
        return entries

    def find(self, path):
        """The entry at a '/'-separated path, matched by long or short name (case-insensitive)."""
        cluster = 0
        entry = None
        for part in [p for p in path.split("/") if p]:
            wanted = part.casefold()
            matches = [e for e in self.list_dir(cluster)
                       if wanted in (e.name.casefold(), e.short_name.casefold())]
            if not matches:
                raise KeyError(f"{path}: no entry {part!r}")
            entry = matches[0]
            cluster = entry.cluster
        if entry is None:
            raise KeyError(f"{path}: not an entry")
        return entry

    def walk(self, cluster=0, prefix="", depth=0):
        """(path, entry) for every entry below a directory, parents before children."""
        if depth > 64:
            return
        for entry in self.list_dir(cluster):
            path = f"{prefix}/{entry.name}" if prefix else entry.name
            yield path, entry
            if entry.is_dir and entry.cluster >= 2:
                yield from self.walk(entry.cluster, path, depth + 1)

    def mark_deleted(self, entry):
        """Marks the entry and its long-name slots deleted; its clusters stay allocated."""
        for offset in entry.slots:
            self.write(offset, bytes([DELETED]))

    def forget_free_hint(self):
        """Clears the FAT32 next-free hint, so that the next allocation starts at the front."""
        if self.fat_type != 32:
            return
        info_sector = le16(self.read(0, 512), 48)
        if info_sector not in (0, 0xFFFF):
            self.write(info_sector * self.bytes_per_sector + 492, struct.pack("<I", 0xFFFFFFFF))

    def set_times(self, entry, date, time):
        """Sets the write, creation and access stamps of an entry (FAT date and time words)."""
        short = entry.slots[-1]
        self.write(short + DIR_CREATE_TIME, struct.pack("<HH", time, date))
        self.write(short + DIR_ACCESS_DATE, struct.pack("<H", date))
        self.write(short + DIR_WRITE_TIME, struct.pack("<HH", time, date))


def fat_date_time(year, month, day, hour, minute, second):
    date = ((year - 1980) << 9) | (month << 5) | day
    time = (hour << 11) | (minute << 5) | (second // 2)
    return date, time

"""FAT12/16/32 volume images for the test and bench tools: read, list and edit in place.

The geometry comes from the boot sector (any sector size; the volume may start anywhere in a
larger image); every field is read with explicit little-endian unpacking. The allocation table
is held decoded and written back to every copy on close. Malformed input raises FatError.
Standard library only.
"""

import struct

FREE = 0
DELETED = 0xE5
ATTR_READ_ONLY = 0x01
ATTR_HIDDEN = 0x02
ATTR_VOLUME_LABEL = 0x08
ATTR_DIRECTORY = 0x10
ATTR_ARCHIVE = 0x20
ATTR_LONG_NAME = 0x0F

# Byte offsets in the boot sector and in the FAT32 information sector.
BPB_BYTES_PER_SECTOR = 11
BPB_SECTORS_PER_CLUSTER = 13
BPB_RESERVED_SECTORS = 14
BPB_FAT_COUNT = 16
BPB_ROOT_ENTRIES = 17
BPB_TOTAL_SECTORS_16 = 19
BPB_FAT_SECTORS_16 = 22
BPB_TOTAL_SECTORS_32 = 32
BPB_FAT_SECTORS_32 = 36
BPB_ROOT_CLUSTER = 44
BPB_FS_INFO_SECTOR = 48
FSI_FREE_COUNT = 488
FSI_NEXT_FREE = 492

# Byte offsets in a 32-byte short directory entry.
DIR_ATTR = 11
DIR_NT_CASE = 12  # case flags of an 8.3 name: 0x08 base, 0x10 extension in lower case
CASE_LOWER_BASE = 0x08
CASE_LOWER_EXTENSION = 0x10
DIR_CREATE_TIME = 14
DIR_CREATE_DATE = 16
DIR_ACCESS_DATE = 18
DIR_CLUSTER_HIGH = 20
DIR_WRITE_TIME = 22
DIR_WRITE_DATE = 24
DIR_CLUSTER_LOW = 26
DIR_SIZE = 28
SLOT_BYTES = 32

LFN_CHAR_OFFSETS = (1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30)
LFN_LAST_PIECE = 0x40
LFN_ORDINAL = 0x3F

# Per FAT type: bits per table entry, the bad-cluster mark (values from it up end a chain) and
# the end-of-chain mark this module writes.
TABLE_VALUES = {12: (12, 0xFF7, 0xFFF), 16: (16, 0xFFF7, 0xFFFF), 32: (32, 0x0FFFFFF7, 0x0FFFFFFF)}


class FatError(ValueError):
    """The image is not a volume this module can handle, or an edit does not fit it."""


def le16(data, offset):
    return struct.unpack_from("<H", data, offset)[0]


def le32(data, offset):
    return struct.unpack_from("<I", data, offset)[0]


class Geometry:
    """Where the parts of a volume lie, in bytes from the volume's first byte."""

    def __init__(self, boot, offset=0):
        if len(boot) < 512:
            raise FatError(f"boot sector: {len(boot)} bytes, not 512")
        self.offset = offset  # of the volume in the image
        self.bytes_per_sector = le16(boot, BPB_BYTES_PER_SECTOR)
        self.sectors_per_cluster = boot[BPB_SECTORS_PER_CLUSTER]
        self.reserved_sectors = le16(boot, BPB_RESERVED_SECTORS)
        self.fat_count = boot[BPB_FAT_COUNT]
        self.root_entries = le16(boot, BPB_ROOT_ENTRIES)
        total = le16(boot, BPB_TOTAL_SECTORS_16) or le32(boot, BPB_TOTAL_SECTORS_32)
        fat_sectors = le16(boot, BPB_FAT_SECTORS_16) or le32(boot, BPB_FAT_SECTORS_32)
        if self.bytes_per_sector not in (512, 1024, 2048, 4096):
            raise FatError(f"boot sector: {self.bytes_per_sector} bytes per sector")
        if self.sectors_per_cluster not in (1, 2, 4, 8, 16, 32, 64, 128):
            raise FatError(f"boot sector: {self.sectors_per_cluster} sectors per cluster")
        if not (self.reserved_sectors and self.fat_count and fat_sectors):
            raise FatError("boot sector: no reserved sector or no allocation table")
        root_sectors = -(-self.root_entries * SLOT_BYTES // self.bytes_per_sector)
        root_start = self.reserved_sectors + self.fat_count * fat_sectors
        first_data = root_start + root_sectors
        self.cluster_count = max(0, total - first_data) // self.sectors_per_cluster
        if self.cluster_count == 0:
            raise FatError(f"boot sector: {total} sectors leave no room for data")
        # The cluster count alone decides the type, whatever the boot sector's label says.
        count = self.cluster_count
        self.fat_type = 12 if count < 4085 else 16 if count < 65525 else 32
        bits, self.bad_cluster, self.end_of_chain = TABLE_VALUES[self.fat_type]
        self.cluster_bytes = self.bytes_per_sector * self.sectors_per_cluster
        self.fat_offset = self.reserved_sectors * self.bytes_per_sector
        self.fat_bytes = fat_sectors * self.bytes_per_sector
        self.root_offset = root_start * self.bytes_per_sector
        self.data_offset = first_data * self.bytes_per_sector
        if self.fat_bytes * 8 // bits < self.cluster_count + 2:
            raise FatError(f"boot sector: the table cannot hold {self.cluster_count} clusters")
        self.root_cluster = le32(boot, BPB_ROOT_CLUSTER) if self.fat_type == 32 else 0
        if self.fat_type == 32 and not self.is_cluster(self.root_cluster):
            raise FatError(f"boot sector: root cluster {self.root_cluster} is out of range")
        info = le16(boot, BPB_FS_INFO_SECTOR) if self.fat_type == 32 else 0
        in_reserved = 0 < info < self.reserved_sectors
        self.fs_info_offset = info * self.bytes_per_sector if in_reserved else None

    def is_cluster(self, cluster):
        return 2 <= cluster < self.cluster_count + 2

    def cluster_offset(self, cluster):
        if not self.is_cluster(cluster):
            raise FatError(f"cluster {cluster} is outside the data area")
        return self.data_offset + (cluster - 2) * self.cluster_bytes


def ascii_lower(text):
    """A-Z in lower case and nothing else, as Windows and mcopy apply the case flags."""
    return "".join(chr(ord(c) + 32) if "A" <= c <= "Z" else c for c in text)


class Entry:
    """One short entry with the long name that precedes it and the slots it occupies.
    `codepage` decodes the 8.3 name (a Python codec name, e.g. cp437 or cp850)."""

    def __init__(self, raw, long_name, slots, codepage="cp437"):
        self.raw = raw
        self.slots = slots  # volume byte offsets: long-name slots first, the short slot last
        self.attributes = raw[DIR_ATTR]
        self.cluster = (le16(raw, DIR_CLUSTER_HIGH) << 16) | le16(raw, DIR_CLUSTER_LOW)
        self.size = le32(raw, DIR_SIZE)
        base = raw[0:8].rstrip(b" ")
        if base[:1] == b"\x05":  # a name that starts with 0xE5 is stored with 0x05
            base = b"\xe5" + base[1:]
        ext = raw[8:11].rstrip(b" ")
        self.short_bytes = base + (b"." + ext if ext else b"")
        base_text, ext_text = base.decode(codepage), ext.decode(codepage)
        if raw[DIR_NT_CASE] & CASE_LOWER_BASE:
            base_text = ascii_lower(base_text)
        if raw[DIR_NT_CASE] & CASE_LOWER_EXTENSION:
            ext_text = ascii_lower(ext_text)
        self.short_name = base_text + ("." + ext_text if ext_text else "")
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


def short_entry(name11, attributes, cluster, size, date=0, time=0):
    """A 32-byte short entry; `name11` is the on-disk name, 8 + 3 bytes padded with blanks."""
    if len(name11) != 11:
        raise FatError(f"short name {name11!r}: not 11 bytes")
    return struct.pack("<11sBBBHHHHHHHI", name11, attributes, 0, 0, time, date, date,
                       cluster >> 16, time, date, cluster & 0xFFFF, size)


def long_name_slots(name, short_raw):
    """The long-name slots of `name` for the short entry `short_raw`, highest ordinal first."""
    units = name.encode("utf-16-le")
    chars = list(struct.unpack(f"<{len(units) // 2}H", units))
    pieces = -(-len(chars) // len(LFN_CHAR_OFFSETS))
    if not 0 < pieces <= 20:
        raise FatError(f"{name!r}: no long name of {len(chars)} UTF-16 units")
    chars += [0] + [0xFFFF] * (pieces * len(LFN_CHAR_OFFSETS) - len(chars) - 1)
    slots = []
    for ordinal in range(pieces, 0, -1):
        slot = bytearray(SLOT_BYTES)
        slot[0] = ordinal | (LFN_LAST_PIECE if ordinal == pieces else 0)
        slot[DIR_ATTR] = ATTR_LONG_NAME
        slot[13] = short_checksum(short_raw)
        piece = chars[(ordinal - 1) * len(LFN_CHAR_OFFSETS):ordinal * len(LFN_CHAR_OFFSETS)]
        for offset, unit in zip(LFN_CHAR_OFFSETS, piece):
            struct.pack_into("<H", slot, offset, unit)
        slots.append(bytes(slot))
    return slots


def fat_date_time(year, month, day, hour, minute, second):
    date = ((year - 1980) << 9) | (month << 5) | day
    time = (hour << 11) | (minute << 5) | (second // 2)
    return date, time


def decode_table(data, fat_type, count):
    """The first `count` entries of an allocation table (FAT32: the low 28 bits)."""
    if fat_type == 12:
        return [le16(data, c * 3 // 2) >> 4 if c & 1 else le16(data, c * 3 // 2) & 0xFFF
                for c in range(count)]
    if fat_type == 16:
        return list(struct.unpack_from(f"<{count}H", data))
    return [value & 0x0FFFFFFF for value in struct.unpack_from(f"<{count}I", data)]


def encode_entry(data, fat_type, cluster, value):
    """Stores one entry into table bytes, keeping the bits that are not the entry's."""
    if fat_type == 12:
        at = cluster * 3 // 2
        pair = le16(data, at)
        pair = (pair & 0x000F) | (value << 4) if cluster & 1 else (pair & 0xF000) | value
        struct.pack_into("<H", data, at, pair)
    elif fat_type == 16:
        struct.pack_into("<H", data, cluster * 2, value)
    else:
        struct.pack_into("<I", data, cluster * 4, (le32(data, cluster * 4) & 0xF0000000) | value)


class FatImage:
    def __init__(self, path, writable=False, offset=0, codepage="cp437"):
        self.writable = writable
        self.codepage = codepage
        self.file = open(path, "r+b" if writable else "rb")
        try:
            self.geometry = Geometry(self._read_at(offset, 512), offset)
            g = self.geometry
            self._table_bytes = bytearray(self.read(g.fat_offset, g.fat_bytes))
            self._table = decode_table(self._table_bytes, g.fat_type, g.cluster_count + 2)
        except Exception:
            self.file.close()
            raise
        self._changed = set()

    def close(self):
        try:
            self.flush()
        finally:
            self.file.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # Bytes, at offsets from the start of the volume.

    def _read_at(self, position, length):
        self.file.seek(position)
        data = self.file.read(length)
        if len(data) != length:
            raise FatError(f"{self.file.name}: ends before byte {position + length}")
        return data

    def read(self, offset, length):
        return self._read_at(self.geometry.offset + offset, length)

    def write(self, offset, data):
        if not self.writable:
            raise FatError(f"{self.file.name}: opened read-only")
        self.file.seek(self.geometry.offset + offset)
        self.file.write(data)

    def read_cluster(self, cluster):
        return self.read(self.geometry.cluster_offset(cluster), self.geometry.cluster_bytes)

    def write_cluster(self, cluster, data):
        if len(data) > self.geometry.cluster_bytes:
            raise FatError(f"{len(data)} bytes do not fit one cluster")
        self.write(self.geometry.cluster_offset(cluster), data)

    def read_chain(self, first, size):
        return b"".join(self.read_cluster(c) for c in self.chain(first))[:size]

    # The allocation table.

    def entry(self, cluster):
        if not 0 <= cluster < len(self._table):
            raise FatError(f"cluster {cluster} is outside the table")
        return self._table[cluster]

    def set_entry(self, cluster, value):
        self.entry(cluster)
        if not 0 <= value <= self.geometry.end_of_chain:
            raise FatError(f"{value:#x} is not a FAT{self.geometry.fat_type} table value")
        if not self.writable:
            raise FatError(f"{self.file.name}: opened read-only")
        self._table[cluster] = value
        self._changed.add(cluster)

    def next_cluster(self, cluster):
        """The successor, or None at the end of the chain (or on any reserved value)."""
        value = self.entry(cluster)
        if value >= self.geometry.bad_cluster or not self.geometry.is_cluster(value):
            return None
        return value

    def chain(self, first):
        """The clusters of a chain; a loop or a bad link ends it (bounded by the cluster count)."""
        clusters = []
        seen = set()
        cluster = first
        while cluster is not None and self.geometry.is_cluster(cluster) and cluster not in seen:
            seen.add(cluster)
            clusters.append(cluster)
            cluster = self.next_cluster(cluster)
        return clusters

    def set_chain(self, clusters):
        """Links the clusters in order and ends the chain after the last."""
        for cluster, successor in zip(clusters, clusters[1:]):
            self.set_entry(cluster, successor)
        if clusters:
            self.set_entry(clusters[-1], self.geometry.end_of_chain)

    def free_chain(self, first, wipe=False):
        """Frees a chain; `wipe` also zeroes its clusters, as if other data had overwritten them."""
        for cluster in self.chain(first):
            if wipe:
                self.write_cluster(cluster, bytes(self.geometry.cluster_bytes))
            self.set_entry(cluster, FREE)

    def free_clusters(self):
        """Free clusters in ascending order, each tested when the iteration reaches it."""
        return (c for c in range(2, len(self._table)) if self._table[c] == FREE)

    def allocate(self, count):
        """Takes the lowest `count` free clusters as one new chain."""
        clusters = []
        for cluster in self.free_clusters():
            if len(clusters) == count:
                break
            clusters.append(cluster)
        if len(clusters) < count:
            raise FatError(f"no {count} free clusters left")
        self.set_chain(clusters)
        return clusters

    def flush(self):
        """Writes the changed table into every copy; the free count kept for FAT32 is dropped."""
        if not self._changed:
            return
        g = self.geometry
        for cluster in sorted(self._changed):
            encode_entry(self._table_bytes, g.fat_type, cluster, self._table[cluster])
        for copy in range(g.fat_count):
            self.write(g.fat_offset + copy * g.fat_bytes, self._table_bytes)
        self._changed.clear()
        self._forget_fs_info(FSI_FREE_COUNT)

    def forget_free_hint(self):
        """Clears the FAT32 next-free hint, so that the next allocation starts at the front."""
        self._forget_fs_info(FSI_NEXT_FREE)

    def _forget_fs_info(self, field):
        if self.geometry.fs_info_offset is not None:
            self.write(self.geometry.fs_info_offset + field, struct.pack("<I", 0xFFFFFFFF))

    # Directories (cluster 0: the root).

    def slots(self, cluster):
        """(volume offset, 32 bytes) of every slot of a directory, read a cluster at a time."""
        g = self.geometry
        if cluster == 0 and g.fat_type != 32:
            regions = [(g.root_offset, g.root_entries * SLOT_BYTES)]
        else:
            first = cluster or g.root_cluster
            regions = [(g.cluster_offset(c), g.cluster_bytes) for c in self.chain(first)]
        for start, length in regions:
            data = self.read(start, length)
            for at in range(0, length, SLOT_BYTES):
                yield start + at, data[at:at + SLOT_BYTES]

    def list_dir(self, cluster, include_dots=False):
        entries = []
        pieces = []  # (ordinal, checksum, UTF-16 bytes) of the long name being gathered
        lfn_slots = []
        for offset, raw in self.slots(cluster):
            if raw[0] == 0:
                break
            if raw[0] == DELETED:
                pieces, lfn_slots = [], []
                continue
            if raw[DIR_ATTR] & LFN_ORDINAL == ATTR_LONG_NAME:
                if raw[0] & LFN_LAST_PIECE:
                    pieces, lfn_slots = [], []
                chars = [le16(raw, o) for o in LFN_CHAR_OFFSETS]
                if 0 in chars:
                    chars = chars[: chars.index(0)]
                text = struct.pack(f"<{len(chars)}H", *chars)
                pieces.append((raw[0] & LFN_ORDINAL, raw[13], text))
                lfn_slots.append(offset)
                continue
            if raw[DIR_ATTR] & ATTR_VOLUME_LABEL:
                pieces, lfn_slots = [], []
                continue
            long_name = None
            if pieces and all(p[1] == short_checksum(raw) for p in pieces):
                ordered = sorted(pieces, key=lambda p: p[0])
                long_name = b"".join(p[2] for p in ordered).decode("utf-16-le")
            entry = Entry(raw, long_name, lfn_slots + [offset], self.codepage)
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

    def write_slot(self, offset, raw):
        if len(raw) != SLOT_BYTES:
            raise FatError(f"a directory slot takes {SLOT_BYTES} bytes, not {len(raw)}")
        self.write(offset, raw)

    def set_long_name(self, entry, name):
        """Writes `name` over the entry's long name; it must take as many slots."""
        slots = long_name_slots(name, entry.raw)
        if len(slots) != len(entry.slots) - 1:
            raise FatError(f"{name!r} takes {len(slots)} slots, the entry has "
                           f"{len(entry.slots) - 1}")
        for offset, raw in zip(entry.slots, slots):
            self.write_slot(offset, raw)

    def mark_deleted(self, entry):
        """Marks the entry and its long-name slots deleted; its clusters stay allocated."""
        for offset in entry.slots:
            self.write(offset, bytes([DELETED]))

    def set_times(self, entry, date, time):
        """Sets the write, creation and access stamps of an entry (FAT date and time words)."""
        short = entry.slots[-1]
        self.write(short + DIR_CREATE_TIME, struct.pack("<HH", time, date))
        self.write(short + DIR_ACCESS_DATE, struct.pack("<H", date))
        self.write(short + DIR_WRITE_TIME, struct.pack("<HH", time, date))

    def add_entry(self, cluster, raw):
        """Writes a 32-byte entry into the directory's first unused slot, growing the directory
        by a cluster when it has none (the fixed root of FAT12/16 cannot grow)."""
        for offset, slot in self.slots(cluster):
            if slot[0] in (0, DELETED):
                self.write_slot(offset, raw)
                return
        if cluster == 0 and self.geometry.fat_type != 32:
            raise FatError("the root directory is full")
        last = self.chain(cluster or self.geometry.root_cluster)[-1]
        grown = self.allocate(1)[0]
        self.set_entry(last, grown)
        self.write_cluster(grown, raw.ljust(self.geometry.cluster_bytes, b"\0"))

    def make_directory(self, entries, parent=0, date=0, time=0):
        """Writes a new directory of "." and "..", then `entries` (32 bytes each), with room for
        at least one unused slot after them; returns its first cluster."""
        g = self.geometry
        count = (len(entries) + 2) // (g.cluster_bytes // SLOT_BYTES) + 1
        clusters = self.allocate(count)
        dots = [short_entry(b".".ljust(11), ATTR_DIRECTORY, clusters[0], 0, date, time),
                short_entry(b"..".ljust(11), ATTR_DIRECTORY, parent, 0, date, time)]
        blob = b"".join(dots + list(entries)).ljust(count * g.cluster_bytes, b"\0")
        for index, cluster in enumerate(clusters):
            self.write_cluster(cluster, blob[index * g.cluster_bytes:(index + 1) * g.cluster_bytes])
        return clusters[0]

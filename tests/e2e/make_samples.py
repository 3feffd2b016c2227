#!/usr/bin/env python3
"""Makes one small real file of every type chkmend identifies with its types switch.

Usage: make_samples.py --out DIR
Files come from the tools people make them with (ImageMagick, ffmpeg, zip, 7z, zstd, MinGW,
Python's standard library); where no tool exists (camera raws, compound documents, AMR, ISO
9660) a small file is laid out by hand after the format's published layout. DIR/samples.tsv
lists, one file a line: name, the extension chkmend must give, what libmagic's
`file --extension` and `file --mime-type` say (the independent oracle), and the row's note.
A missing tool skips its files with a message, or fails the run when CI=true.
"""

import argparse
import bz2
import gzip
import io
import lzma
import math
import os
import shutil
import sqlite3
import struct
import subprocess
import sys
import tarfile
import wave
import zipfile
import zlib

sys.dont_write_bytecode = True

RATE = 8000


def tone(seconds=0.25, rate=RATE):
    """16-bit mono samples of a 440 Hz tone."""
    count = int(seconds * rate)
    return b"".join(struct.pack("<h", int(8000 * math.sin(2 * math.pi * 440 * i / rate)))
                    for i in range(count))


def imagemagick():
    # The real convert: a stand-in earlier on the PATH may only pass calls on.
    for path in ("/usr/bin/convert", shutil.which("convert")):
        if path and os.path.exists(path):
            probe = subprocess.run([path, "-version"], capture_output=True, text=True)
            if "ImageMagick" in probe.stdout:
                return path
    return None


def run(args, **kwargs):
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, **kwargs)


# ---- Pictures.

def magick(fmt, *options):
    def make(path):
        run([imagemagick(), "-size", "48x32", "gradient:navy-orange", *options, f"{fmt}:{path}"])
    return make


def jpeg_segments(data):
    """(marker, whole segment bytes) of the segments between SOI and the first SOS."""
    at, segments = 2, []
    while data[at] == 0xFF and data[at + 1] not in (0xDA, 0xD9):
        length = struct.unpack_from(">H", data, at + 2)[0]
        segments.append((data[at + 1], data[at:at + 2 + length]))
        at += 2 + length
    return segments, at


def tiff_ifd(entries, big=False, start=8, tail=b""):
    """A TIFF header and IFD0 of (tag, type, values-bytes) entries; long values follow it."""
    order = ">" if big else "<"
    head = (b"MM\x00\x2a" if big else b"II\x2a\x00") + struct.pack(order + "I", start)
    head = head.ljust(start, b"\0")
    ifd_size = 2 + 12 * len(entries) + 4
    extra_at = start + ifd_size
    ifd, extra = struct.pack(order + "H", len(entries)), b""
    sizes = {1: 1, 2: 1, 3: 2, 4: 4}
    for tag, kind, value in entries:
        count = len(value) // sizes[kind]
        if len(value) <= 4:
            field = value.ljust(4, b"\0")
        else:
            field = struct.pack(order + "I", extra_at + len(extra))
            extra += value + (b"\0" if len(value) % 2 else b"")
        ifd += struct.pack(order + "HHI", tag, kind, count) + field
    return head + ifd + b"\0\0\0\0" + extra + tail


def tiff_with_make(make_name, big=False, dng=False, start=8, prefix=None):
    order = ">" if big else "<"
    entries = [(0x0100, 3, struct.pack(order + "H", 16)), (0x0101, 3, struct.pack(order + "H", 8)),
               (0x010F, 2, make_name + b"\0"), (0x0110, 2, b"Model 1\0")]
    if dng:
        entries.append((0xC612, 1, b"\x01\x04\x00\x00"))
    data = tiff_ifd(entries, big, start, tail=bytes(range(256)) * 8)
    return prefix + data[len(prefix):] if prefix else data


def write(path, data):
    with open(path, "wb") as stream:
        stream.write(data)


def exif_jpeg(path):
    """A camera's JPEG: an Exif segment first, no JFIF."""
    magick("jpeg")(path)
    with open(path, "rb") as stream:
        data = stream.read()
    segments, end = jpeg_segments(data)
    exif = b"Exif\0\0" + tiff_with_make(b"Canon", big=False)[:200]
    app1 = b"\xFF\xE1" + struct.pack(">H", len(exif) + 2) + exif
    kept = b"".join(seg for marker, seg in segments if marker != 0xE0)
    write(path, b"\xFF\xD8" + app1 + kept + data[end:])


def bare_jpeg(path):
    """A JPEG whose first segment is its quantisation table, as some cameras write."""
    magick("jpeg")(path)
    with open(path, "rb") as stream:
        data = stream.read()
    segments, end = jpeg_segments(data)
    write(path, b"\xFF\xD8" + b"".join(s for m, s in segments if m != 0xE0) + data[end:])


def heif_brand(major, compatible):
    """The HEIC sample with its ftyp brands rewritten."""
    def make(path):
        magick("heic")(path)
        with open(path, "rb") as stream:
            data = stream.read()
        size = struct.unpack_from(">I", data, 0)[0]
        brands = major + b"\0\0\0\0" + b"".join(compatible)
        box = struct.pack(">I", 8 + len(brands)) + b"ftyp" + brands
        assert len(box) == size, "the rewritten ftyp box must keep its size"
        write(path, box + data[size:])
    return make


def cr2(path):
    write(path, tiff_with_make(b"Canon", start=16, prefix=b"II\x2a\x00\x10\0\0\0CR\x02\x00"))


def orf(path):
    data = tiff_with_make(b"OLYMPUS IMAGING CORP.")
    write(path, b"IIRO" + data[4:])


def rw2(path):
    data = tiff_with_make(b"Panasonic", start=24)
    write(path, b"IIU\0" + data[4:])


def raf(path):
    write(path, b"FUJIFILMCCD-RAW 0201FF383501" + b"X-T3".ljust(32, b"\0") + b"0100" +
          bytes(range(256)) * 4)


def box(kind, payload):
    return struct.pack(">I", 8 + len(payload)) + kind + payload


def cr3(path):
    ftyp = box(b"ftyp", b"crx \0\0\0\x01crx isom")
    canon = box(b"uuid", bytes.fromhex("85c0b687820f11e08111f4ce462b6a48") + box(b"CNCV",
                                                                                b"CanonCR3_001/00.09.00/00.00.00"))
    write(path, ftyp + box(b"moov", canon) + box(b"mdat", bytes(range(256)) * 8))


# ---- Audio and video.

def ffmpeg(fmt, source, *options):
    sources = {"video": ["-f", "lavfi", "-i", "testsrc=size=64x48:rate=25:duration=0.5"],
               "audio": ["-f", "lavfi", "-i", "sine=frequency=440:sample_rate=8000:duration=0.5"],
               "both": ["-f", "lavfi", "-i", "testsrc=size=64x48:rate=25:duration=0.5", "-f",
                        "lavfi", "-i", "sine=frequency=440:sample_rate=8000:duration=0.5"]}

    def make(path):
        run(["ffmpeg", "-nostdin", "-y", "-loglevel", "error", *sources[source], *options,
             "-fflags", "+bitexact", "-f", fmt, path])
    return make


def wav(path):
    with wave.open(path, "wb") as stream:
        stream.setnchannels(1)
        stream.setsampwidth(2)
        stream.setframerate(RATE)
        stream.writeframes(tone())


def aiff(path):
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        import aifc
        with aifc.open(path, "wb") as stream:
            stream.aiff()
            stream.setnchannels(1)
            stream.setsampwidth(2)
            stream.setframerate(RATE)
            stream.writeframes(tone()[::-1])


def amr(path):
    # Narrowband AMR storage format: the magic, then 12.2 kbit/s frames (header 0x3C, 31 bytes).
    frames = b"".join(b"\x3C" + bytes((i * 7 + j) & 0xFF for j in range(31)) for i in range(50))
    write(path, b"#!AMR\n" + frames)


def midi(path):
    track = b"\x00\x90\x3C\x40\x60\x80\x3C\x40\x00\xFF\x2F\x00"
    write(path, b"MThd" + struct.pack(">IHHH", 6, 0, 1, 96) + b"MTrk" +
          struct.pack(">I", len(track)) + track)


# ---- Documents and archives.

def zip_layout(entries, command="zip"):
    """Zips (name, text) entries in the order given with the zip tool (or Python's zipfile
    for `command` None); a name "mimetype" is stored uncompressed, as the formats require."""
    def make(path):
        folder = path + ".d"
        shutil.rmtree(folder, ignore_errors=True)
        for name, text in entries:
            target = os.path.join(folder, name)
            if name.endswith("/"):
                os.makedirs(target, exist_ok=True)
                continue
            os.makedirs(os.path.dirname(target), exist_ok=True)
            with open(target, "w", encoding="utf-8") as stream:
                stream.write(text)
        if os.path.exists(path):
            os.remove(path)
        for name, _ in entries:
            options = ["-0"] if name == "mimetype" else ["-9"]
            if not name.endswith("/"):
                options.append("-D")  # no directory entries beyond the ones listed
            run(["zip", "-q", "-X", *options, os.path.abspath(path), name], cwd=folder)
        shutil.rmtree(folder)
    return make


CONTENT_TYPES = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Types xmlns='
                 '"http://schemas.openxmlformats.org/package/2006/content-types"><Default '
                 'Extension="rels" ContentType="application/vnd.openxmlformats-package.'
                 'relationships+xml"/><Default Extension="xml" ContentType="application/xml"/>'
                 '<Override PartName="/{part}" ContentType="application/vnd.openxmlformats-'
                 'officedocument.{kind}.main+xml"/></Types>')
RELS = ('<?xml version="1.0" encoding="UTF-8" standalone="yes"?>\n<Relationships xmlns="http://'
        'schemas.openxmlformats.org/package/2006/relationships"><Relationship Id="rId1" Type='
        '"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" '
        'Target="{part}"/></Relationships>')


def office(part, kind):
    return zip_layout([("[Content_Types].xml", CONTENT_TYPES.format(part=part, kind=kind)),
                       ("_rels/.rels", RELS.format(part=part)),
                       (part, "<document>" + "Lorem ipsum dolor sit amet. " * 40 + "</document>")])


def opendocument(kind):
    manifest = ('<?xml version="1.0" encoding="UTF-8"?>\n<manifest:manifest xmlns:manifest="urn:'
                'oasis:names:tc:opendocument:xmlns:manifest:1.0" manifest:version="1.2">'
                f'<manifest:file-entry manifest:full-path="/" manifest:media-type="{kind}"/>'
                '<manifest:file-entry manifest:full-path="content.xml" manifest:media-type='
                '"text/xml"/></manifest:manifest>')
    return zip_layout([("mimetype", kind), ("content.xml", "<office:document-content/>" * 30),
                       ("META-INF/manifest.xml", manifest)])


EPUB = zip_layout([
    ("mimetype", "application/epub+zip"),
    ("META-INF/container.xml", '<?xml version="1.0"?><container version="1.0" xmlns="urn:oasis:'
     'names:tc:opendocument:xmlns:container"><rootfiles><rootfile full-path="book.opf" '
     'media-type="application/oebps-package+xml"/></rootfiles></container>'),
    ("book.opf", "<package/>" * 20)])
APK = zip_layout([("AndroidManifest.xml", "\x03\x00\x08\x00" + "manifest " * 50),
                  ("classes.dex", "dex\n035\x00" + "code " * 80),
                  ("resources.arsc", "\x02\x00\x0c\x00" + "table " * 40)])


def jar(path):
    """The layout the jar tool writes: a META-INF/ entry first, marked by the 0xCAFE field."""
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        folder = zipfile.ZipInfo("META-INF/", (2024, 1, 2, 3, 4, 6))
        folder.extra = b"\xfe\xca\x00\x00"
        archive.writestr(folder, b"")
        archive.writestr(zipfile.ZipInfo("META-INF/MANIFEST.MF", (2024, 1, 2, 3, 4, 6)),
                         b"Manifest-Version: 1.0\r\nCreated-By: 17 (Debian)\r\n\r\n")
        archive.writestr(zipfile.ZipInfo("Hello.class", (2024, 1, 2, 3, 4, 6)),
                         b"\xca\xfe\xba\xbe" + b"class " * 40)

PLAIN_ZIP = zip_layout([("readme.txt", "A plain archive. " * 30), ("data/values.csv", "1,2,3\n" * 50)])


def compound(streams, root_clsid=b"\0" * 16):
    """A compound file (version 3, 512-byte sectors) whose root storage holds `streams`
    (name, bytes); each stream is padded to 4,096 bytes so that it lives in regular sectors."""
    sector = 512

    def make(path):
        data_sectors, entries, next_free = [], [], 0
        for name, payload in streams:
            payload = payload.ljust(4096, b"\0")
            count = len(payload) // sector
            entries.append((name, 2, next_free, len(payload)))
            data_sectors.append(payload)
            next_free += count
        dir_count = (len(entries) + 1 + 3) // 4
        dir_start = next_free
        fat_start = dir_start + dir_count
        total = fat_start + 1
        fat = []
        at = 0
        for payload in data_sectors:
            count = len(payload) // sector
            fat += [at + i + 1 for i in range(count - 1)] + [0xFFFFFFFE]
            at += count
        fat += [dir_start + i + 1 for i in range(dir_count - 1)] + [0xFFFFFFFE]
        fat += [0xFFFFFFFD]  # the allocation sector itself
        assert total <= 128
        fat += [0xFFFFFFFF] * (128 - len(fat))

        def entry(name, kind, start, size, child=0xFFFFFFFF, right=0xFFFFFFFF, clsid=b"\0" * 16):
            encoded = name.encode("utf-16-le") + b"\0\0"
            return (encoded.ljust(64, b"\0") + struct.pack("<HBB", len(encoded), kind, 1) +
                    struct.pack("<III", 0xFFFFFFFF, right, child) + clsid + b"\0" * 4 +
                    b"\0" * 16 + struct.pack("<IQ", start, size))

        # The root's children as a chain of right siblings, in the order names compare.
        order = sorted(range(len(entries)),
                       key=lambda i: (len(entries[i][0]), entries[i][0].upper()))
        slots = [entry("Root Entry", 5, 0xFFFFFFFE, 0, child=order[0] + 1, clsid=root_clsid)]
        slots += [b""] * len(entries)
        for position, index in enumerate(order):
            name, kind, start, size = entries[index]
            right = order[position + 1] + 1 if position + 1 < len(order) else 0xFFFFFFFF
            slots[index + 1] = entry(name, kind, start, size, right=right)
        directory = b"".join(slots).ljust(dir_count * sector, b"\0")
        header = (b"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1" + b"\0" * 16 +
                  struct.pack("<HHHHH", 0x3E, 3, 0xFFFE, 9, 6) + b"\0" * 6 +
                  struct.pack("<IIIIIIIII", 0, 1, dir_start, 0, 4096, 0xFFFFFFFE, 0,
                              0xFFFFFFFE, 0) +
                  struct.pack("<I", fat_start) + struct.pack("<I", 0xFFFFFFFF) * 108)
        assert len(header) == sector
        write(path, header + b"".join(data_sectors) + directory +
              struct.pack("<128I", *fat))
    return make


def summary():
    return ("\x05SummaryInformation", b"\xfe\xff\x00\x00" + b"\0" * 60)


def clsid(text):
    """A class identifier as the compound file stores it (first three fields little-endian)."""
    parts = text.split("-")
    return (struct.pack("<IHH", int(parts[0], 16), int(parts[1], 16), int(parts[2], 16)) +
            bytes.fromhex(parts[3] + parts[4]))


DOC = compound([("WordDocument", b"\xec\xa5\xc1\x00" + b"Word" * 100), ("1Table", b"\x00" * 600),
                summary()], root_clsid=clsid("00020906-0000-0000-C000-000000000046"))
XLS = compound([("Workbook", b"\x09\x08\x10\x00\x00\x06\x05\x00" + b"Book" * 100), summary()],
               root_clsid=clsid("00020820-0000-0000-C000-000000000046"))
PPT = compound([("PowerPoint Document", b"\x0f\x00\xe8\x03" + b"Show" * 100),
                ("Current User", b"\x00\x00\xf6\x0f" + b"\0" * 40), summary()],
               root_clsid=clsid("64818D10-4F9B-11CF-86EA-00AA00B929E8"))
MSG = compound([("__substg1.0_0037001F", "Meeting notes".encode("utf-16-le")),
                ("__substg1.0_001A001F", "IPM.Note".encode("utf-16-le")),
                ("__properties_version1.0", b"\0" * 32)],
               root_clsid=clsid("00020D0B-0000-0000-C000-000000000046"))


def text_sample(text, encoding="utf-8"):
    return lambda path: write(path, text.encode(encoding))


def packed(compress):
    return lambda path: write(path, compress(("A line of plain text to pack.\n" * 60).encode()))


def tar(path):
    with tarfile.open(path, "w", format=tarfile.USTAR_FORMAT) as archive:
        info = tarfile.TarInfo("notes.txt")
        body = b"tar member\n" * 30
        info.size, info.mtime = len(body), 1700000000
        archive.addfile(info, io.BytesIO(body))


def sqlite(path):
    if os.path.exists(path):
        os.remove(path)
    with sqlite3.connect(path) as db:
        db.execute("CREATE TABLE photos (name TEXT, taken INTEGER)")
        db.executemany("INSERT INTO photos VALUES (?, ?)", [(f"IMG_{i:04d}.JPG", i) for i in range(50)])
    db.close()


def seven_zip(path):
    if os.path.exists(path):
        os.remove(path)
    source = path + ".txt"
    write(source, b"7-Zip member\n" * 40)
    run(["7z", "a", "-bd", "-y", path, source])
    os.remove(source)


def zstd(path):
    source = path + ".txt"
    write(source, b"Zstandard member\n" * 40)
    run(["zstd", "-q", "-f", "-o", path, source])
    os.remove(source)


def mingw_compiler():
    return shutil.which("x86_64-w64-mingw32-gcc-posix") or shutil.which("x86_64-w64-mingw32-gcc")


def mingw(shared):
    def make(path):
        source = path + ".c"
        write(source, b"__declspec(dllexport) int answer(void) { return 42; }\n" +
              (b"" if shared else b"int main(void) { return answer(); }\n"))
        run([mingw_compiler(), "-s", *(["-shared"] if shared else []), "-o", path,
             source])
        os.remove(source)
    return make


def elf(path):
    shutil.copyfile("/bin/true", path)


def iso9660(path):
    """A disc image: an empty system area, a primary volume descriptor and the terminator."""
    pvd = b"\x01CD001\x01\x00" + b"LINUX".ljust(32) + b"SAMPLES".ljust(32)
    pvd = pvd.ljust(2048, b"\0")
    terminator = b"\xFFCD001\x01".ljust(2048, b"\0")
    write(path, b"\0" * 32768 + pvd + terminator + b"\0" * 2048 * 4)


def flash(kind):
    body = b"\x78\x00\x05\x5F\x00\x00\x0F\xA0\x00\x00\x18\x01\x00" + b"\x40\x00" * 200

    def make(path):
        if kind == b"CWS":
            write(path, b"CWS\x0A" + struct.pack("<I", 8 + len(body)) + zlib.compress(body))
        else:
            packed_body = lzma.compress(body, format=lzma.FORMAT_ALONE)
            write(path, b"ZWS\x0D" + struct.pack("<II", 8 + len(body), len(packed_body) - 13) +
                  packed_body[:5] + packed_body[13:])
    return make


# ImageMagick's default policy on Debian refuses to write PostScript: these are written by hand.
POSTSCRIPT = ("%!PS-Adobe-3.0\n%%Creator: chkmend samples\n%%Pages: 1\n%%EndComments\n"
              "/Times-Roman findfont 12 scalefont setfont 72 720 moveto (Hello) show showpage\n"
              "%%EOF\n")
EPS = ("%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 48 32\n%%EndComments\n"
       "0 0 moveto 48 32 lineto stroke\n%%EOF\n")
TEXT = ("Packing list for the trip.\n\n- camera and two cards\n- charger\n- passport\n" * 40)
UTF8_TEXT = ("Einkaufsliste für München: Äpfel, Öl, Süßes. Café crème, naïve façade, "
             "日本語のメモ, Ελληνικά.\n") * 30

# name, tool (None: Python alone), maker, extension chkmend gives, note when libmagic differs.
SAMPLES = [
    ("photo_jfif.jpg", "imagemagick", magick("jpeg"), ".jpg", ""),
    ("photo_exif.jpg", "imagemagick", exif_jpeg, ".jpg", ""),
    ("photo_bare.jpg", "imagemagick", bare_jpeg, ".jpg", ""),
    ("picture.png", "imagemagick", magick("png"), ".png", ""),
    ("picture.gif", "imagemagick", magick("gif"), ".gif", ""),
    ("picture.bmp", "imagemagick", magick("bmp"), ".bmp", ""),
    ("picture.tif", "imagemagick", magick("tiff"), ".tif", ""),
    ("picture_be.tif", "imagemagick", magick("tiff", "-endian", "MSB"), ".tif", ""),
    ("picture.webp", "imagemagick", magick("webp"), ".webp", ""),
    ("picture.heic", "imagemagick", magick("heic"), ".heic", ""),
    ("picture.avif", "imagemagick", magick("avif"), ".avif", ""),
    ("picture_mif1.heic", "imagemagick", heif_brand(b"mif1", [b"mif1", b"heic", b"miaf"]), ".heic", ""),
    ("picture_generic.heif", "imagemagick", heif_brand(b"mif1", [b"mif1", b"miaf", b"mif1"]), ".heif", ""),
    ("picture.psd", "imagemagick", magick("psd"), ".psd", ""),
    ("picture.ico", "imagemagick", magick("ico"), ".ico", ""),
    ("picture.eps", None, text_sample(EPS), ".eps", ""),
    ("canon.cr2", None, cr2, ".cr2", ""),
    ("canon.cr3", None, cr3, ".cr3", "libmagic says ISO Media and names no type"),
    ("nikon.nef", None, lambda p: write(p, tiff_with_make(b"NIKON CORPORATION", big=True)),
     ".nef", "libmagic sees a TIFF: it does not read the maker"),
    ("sony.arw", None, lambda p: write(p, tiff_with_make(b"SONY")), ".arw",
     "libmagic sees a TIFF: it does not read the maker"),
    ("leica.dng", None, lambda p: write(p, tiff_with_make(b"Leica Camera AG", dng=True)),
     ".dng", "libmagic sees a TIFF: it does not read the DNG version tag"),
    ("olympus.orf", None, orf, ".orf", ""),
    ("panasonic.rw2", None, rw2, ".rw2", "libmagic knows no Panasonic raw"),
    ("fujifilm.raf", None, raf, ".raf", ""),
    ("video.mp4", "ffmpeg", ffmpeg("mp4", "video", "-c:v", "mpeg4"), ".mp4", ""),
    ("video.mov", "ffmpeg", ffmpeg("mov", "video", "-c:v", "mpeg4"), ".mov", ""),
    ("video.m4v", "ffmpeg", ffmpeg("ipod", "video", "-c:v", "libx264", "-brand", "M4V "), ".m4v",
     ""),
    ("video.3gp", "ffmpeg", ffmpeg("3gp", "video", "-c:v", "mpeg4"), ".3gp", ""),
    ("video.avi", "ffmpeg", ffmpeg("avi", "video", "-c:v", "mpeg4"), ".avi", ""),
    ("video.mkv", "ffmpeg", ffmpeg("matroska", "video", "-c:v", "mpeg4"), ".mkv", ""),
    ("video.webm", "ffmpeg", ffmpeg("webm", "video", "-c:v", "libvpx"), ".webm", ""),
    ("video.ts", "ffmpeg", ffmpeg("mpegts", "video", "-c:v", "mpeg2video"), ".ts",
     "libmagic does not recognise the stream"),
    ("video.m2ts", "ffmpeg", ffmpeg("mpegts", "video", "-c:v", "mpeg2video", "-mpegts_m2ts_mode",
                                    "1"), ".m2ts", "libmagic does not recognise the stream"),
    ("video.mpg", "ffmpeg", ffmpeg("mpeg", "video", "-c:v", "mpeg1video"), ".mpg", ""),
    ("video.wmv", "ffmpeg", ffmpeg("asf", "both", "-c:v", "wmv2", "-c:a", "wmav2"), ".wmv", ""),
    ("audio.wma", "ffmpeg", ffmpeg("asf", "audio", "-c:a", "wmav2"), ".wma", ""),
    ("video.flv", "ffmpeg", ffmpeg("flv", "video", "-c:v", "flv"), ".flv", ""),
    ("audio.wav", None, wav, ".wav", ""),
    ("audio.flac", "ffmpeg", ffmpeg("flac", "audio"), ".flac", ""),
    ("audio.m4a", "ffmpeg", ffmpeg("ipod", "audio", "-c:a", "aac"), ".m4a", ""),
    ("audio.aac", "ffmpeg", ffmpeg("adts", "audio", "-c:a", "aac"), ".aac", ""),
    ("audio_untagged.mp3", "ffmpeg", ffmpeg("mp3", "audio", "-c:a", "libmp3lame",
                                            "-id3v2_version", "0", "-write_xing", "0"), ".mp3",
     ""),
    ("audio_tagged.mp3", "ffmpeg", ffmpeg("mp3", "audio", "-c:a", "libmp3lame"), ".mp3", ""),
    ("audio.ogg", "ffmpeg", ffmpeg("ogg", "audio", "-c:a", "flac"), ".ogg", ""),
    ("speech.amr", None, amr, ".amr", ""),
    ("music.mid", None, midi, ".mid", ""),
    ("audio.aif", None, aiff, ".aif", ""),
    ("letter.docx", "zip", office("word/document.xml", "wordprocessingml.document"), ".docx", ""),
    ("budget.xlsx", "zip", office("xl/workbook.xml", "spreadsheetml.sheet"), ".xlsx", ""),
    ("slides.pptx", "zip", office("ppt/presentation.xml", "presentationml.presentation"),
     ".pptx", ""),
    ("letter.odt", "zip", opendocument("application/vnd.oasis.opendocument.text"), ".odt", ""),
    ("budget.ods", "zip", opendocument("application/vnd.oasis.opendocument.spreadsheet"), ".ods",
     ""),
    ("slides.odp", "zip", opendocument("application/vnd.oasis.opendocument.presentation"),
     ".odp", ""),
    ("book.epub", "zip", EPUB, ".epub", ""),
    ("app.apk", "zip", APK, ".apk", ""),
    ("library.jar", None, jar, ".jar", ""),
    ("archive.zip", "zip", PLAIN_ZIP, ".zip", ""),
    ("letter.doc", None, DOC, ".doc", ""),
    ("budget.xls", None, XLS, ".xls", ""),
    ("slides.ppt", None, PPT, ".ppt", ""),
    ("mail.msg", None, MSG, ".msg", ""),
    ("letter.rtf", None, text_sample("{\\rtf1\\ansi\\deff0 {\\fonttbl {\\f0 Times;}}\\f0 Hello.}"),
     ".rtf", ""),
    ("page.ps", None, text_sample(POSTSCRIPT), ".ps", ""),
    ("archive.7z", "7z", seven_zip, ".7z", ""),
    ("archive.gz", None, packed(lambda b: gzip.compress(b, mtime=0)), ".gz", ""),
    ("archive.bz2", None, packed(bz2.compress), ".bz2", ""),
    ("archive.xz", None, packed(lzma.compress), ".xz", ""),
    ("archive.zst", "zstd", zstd, ".zst", ""),
    ("archive.tar", None, tar, ".tar", ""),
    ("photos.sqlite", None, sqlite, ".sqlite", ""),
    ("program.elf", None, elf, ".elf", "libmagic names no extension for ELF"),
    ("disc.iso", None, iso9660, ".iso", ""),
    ("movie_cws.swf", None, flash(b"CWS"), ".swf", ""),
    ("movie_zws.swf", None, flash(b"ZWS"), ".swf", "libmagic knows no LZMA Flash"),
    ("program.exe", "mingw", mingw(False), ".exe", ""),
    ("library.dll", "mingw", mingw(True), ".dll", ""),
    ("notes.txt", None, text_sample(TEXT), ".txt", ""),
    ("notes_utf8.txt", None, text_sample(UTF8_TEXT), ".txt", ""),
]

TOOLS = {"imagemagick": imagemagick, "ffmpeg": lambda: shutil.which("ffmpeg"),
         "zip": lambda: shutil.which("zip"), "7z": lambda: shutil.which("7z"),
         "zstd": lambda: shutil.which("zstd"),
         "mingw": mingw_compiler}
PACKAGES = {"imagemagick": "imagemagick", "ffmpeg": "ffmpeg", "zip": "zip", "7z": "p7zip-full",
            "zstd": "zstd", "mingw": "g++-mingw-w64-x86-64-posix"}


# Where libmagic names a type but no extension, the extensions of its MIME type.
MIME_EXTENSIONS = {
    "image/heic": "heic", "image/heif": "heif/heic", "image/avif": "avif",
    "application/postscript": "ps/eps/ai", "image/x-canon-cr2": "cr2",
    "image/x-olympus-orf": "orf", "video/quicktime": "mov/qt", "video/x-m4v": "m4v",
    "video/3gpp": "3gp", "video/x-matroska": "mkv", "video/webm": "webm",
    "video/x-ms-asf": "asf/wmv/wma", "video/x-flv": "flv", "audio/flac": "flac",
    "audio/x-m4a": "m4a", "audio/x-hx-aac-adts": "aac", "audio/mpeg": "mp3", "audio/ogg": "ogg/oga",
    "audio/midi": "mid/midi", "audio/x-aiff": "aif/aiff/aifc", "application/epub+zip": "epub",
    "application/msword": "doc", "application/vnd.ms-powerpoint": "ppt",
    "application/x-shockwave-flash": "swf", "application/java-archive": "jar",
    "application/zip": "zip", "text/plain": "txt", "text/csv": "csv/txt",
}


# The eight signatures chkmend applies without the types switch, in their order.
CLASSIC = [(bytes.fromhex("FFD8FFE000104A464946"), ".jpg"), (b"Rar!", ".rar"), (b"PK\3\4", ".zip"),
           (b"FWS", ".swf"), (b"%PDF", ".pdf"), (b"ID3", ".mp3"), (b"OggS", ".ogg"),
           (b"MZ", ".exe")]


def classic_extension(data):
    return next((extension for magic, extension in CLASSIC if data.startswith(magic)), "")


def oracle(path):
    """libmagic's extensions for the file (a '/'-separated list, or '???') and its MIME type;
    '-' for both when libmagic is missing (on CI make_samples fails then)."""
    if not shutil.which("file"):
        return "-", "-"
    extension = subprocess.run(["file", "-b", "--extension", path], capture_output=True,
                               text=True).stdout.strip()
    mime = subprocess.run(["file", "-b", "--mime-type", path], capture_output=True,
                          text=True).stdout.strip()
    if extension in ("", "???"):
        extension = MIME_EXTENSIONS.get(mime, "???")
    return extension, mime or "unknown"


def make_samples(out, names=None):
    """Makes the samples (all, or those named) in `out`; returns {name: path} of those made."""
    os.makedirs(out, exist_ok=True)
    missing = sorted({tool for _, tool, _, _, _ in SAMPLES if tool and not TOOLS[tool]()})
    if not shutil.which("file"):
        missing.append("file")
    if missing:
        packages = " ".join(PACKAGES.get(tool, tool) for tool in missing)
        message = f"make_samples: missing {', '.join(missing)} (scripts/setup.sh installs {packages})"
        if os.environ.get("CI") == "true":
            sys.exit(message + ": FAILED on CI")
        print(message + ": their samples are SKIPPED", file=sys.stderr)
    made = {}
    for name, tool, maker, _, _ in SAMPLES:
        if (names is not None and name not in names) or (tool and tool in missing):
            continue
        path = os.path.join(out, name)
        try:
            maker(path)
        except subprocess.CalledProcessError as error:
            sys.exit(f"make_samples: {name}: {' '.join(error.cmd)} failed:\n"
                     f"{error.stderr.decode(errors='replace')}")
        made[name] = path
    return made


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    made = make_samples(args.out)
    rows = []
    for name, _, _, extension, note in SAMPLES:
        if name in made:
            magic_extension, mime = oracle(made[name])
            rows.append("\t".join((name, extension, magic_extension, mime, note)))
    with open(os.path.join(args.out, "samples.tsv"), "w", encoding="utf-8") as stream:
        stream.write("\n".join(rows) + "\n")
    print(f"make_samples: {len(made)} of {len(SAMPLES)} samples in {args.out}")


if __name__ == "__main__":
    main()

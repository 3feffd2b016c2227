#!/usr/bin/env python3
"""Runs the Windows build under Wine against the end-to-end volumes.

Usage: wine_e2e.py --exe chkmend.exe --linux-exe chkmend --platform-test platform_win32_test.exe
                   --work DIR --prefix WINEPREFIX

For every volume of tests/e2e/make_volume.py (FAT12, FAT16, FAT32, every sector size, whole
disks with MBR and GPT, a moved FAT32 root, a wiped boot sector, a small FAT32, each checker's
leftovers) and for a volume whose rebuilt tree is deeper than MAX_PATH, the Windows build must
print the same lines as the Linux build (Linux in UTF-8; Windows, its output redirected, in
code page 437 with '?' for what that lacks) and write the same tree: every name byte for byte
(Wine keeps them in UTF-8 on the host), bytes, write times and the read-only bit. Neither build
may change the volume. The camera card runs a second time with the types switch (/types) on
both builds, the FAT16 volume a second time in a zone with summer time (Wine takes TZ from the
host as the C library does). The full volumes hold a lost folder the checker filed as a folder
(DIR0000.CHK) and names that clash in one folder; the end-to-end checker also runs the Windows
build a second time into its own spoiled output (read-only files replaced) and past a
file-size limit (a failed write removes what it wrote).
"""

import argparse
import os
import shlex
import shutil
import stat
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))
try:
    import make_volume  # noqa: E402  the end-to-end suite's volume generator
    from check_recovery import printable  # noqa: E402
except ImportError as error:
    sys.exit(f"wine_e2e: the end-to-end volume generator is missing ({error})")

RUN_TIMEOUT = 600
LETTER = "E"

# Folders of 100 characters under a cut-loose folder: out\UnkDir0\ plus these passes 260.
LONG = [("Tiefer Ordner " + c * 86)[:100] for c in "abc"]
DEEP_TREE = [
    make_volume.D("Deep", cut=1),
    make_volume.D("Deep/" + LONG[0]),
    make_volume.F("Deep/" + LONG[0] + "/shallow.pdf", "pdf", (2, 3)),
    make_volume.D("Deep/" + "/".join(LONG[:2])),
    make_volume.D("Deep/" + "/".join(LONG)),
    make_volume.F("Deep/" + "/".join(LONG) + "/Blatt am Ende.txt", "text", 900),
    make_volume.F("Deep/" + "/".join(LONG) + "/Schreibgeschützt.txt", "text", 333, attrs="r"),
    make_volume.F("Deep/" + "/".join(LONG) + "/" + "n" * 120 + ".txt", "text", 1500),
]

failures = []


def fail(volume, message):
    failures.append(f"{volume}: {message}")
    print(f"FAIL {volume}: {message}", flush=True)


# Volumes named PROFILE FAT-LAYOUT (full32-s4096): the drive the generator makes around them.
LAYOUTS = {
    "s1024": {"sector": 1024}, "s2048": {"sector": 2048}, "s4096": {"sector": 4096},
    "small": {"kib": 16384}, "mbr": {"disk": "mbr"}, "logical": {"disk": "mbr-logical"},
    "gpt": {"disk": "gpt"}, "mbr4k": {"disk": "mbr", "sector": 4096},
    "moved": {"move_root": True}, "wiped": {"wipe_boot": True},
    "mbrwiped4k": {"disk": "mbr", "sector": 4096, "wipe_boot": True},
    "dos": {"checker": "dos"}, "fsck": {"checker": "fsck"}, "bsd": {"checker": "bsd"},
}
DRIVE_VOLUMES = ("full12-s1024,full16-s1024,full32-s1024,full12-s2048,full16-s2048,"
                 "full32-s2048,full12-s4096,full16-s4096,full32-s4096,full32-small,full16-mbr,"
                 "full12-logical,full32-gpt,full16-mbr4k,full32-moved,full32-wiped,"
                 "full32-mbrwiped4k,full16-dos,full32-fsck,full12-bsd")


def build_volume(fat, folder, profile, layout=""):
    if profile == "deep":
        # The generator's own pipeline with a tree of our own.
        return make_volume.build(fat, folder, "demo", tree=DEEP_TREE)
    return make_volume.build(fat, folder, profile,
                             layout=make_volume.Layout(**LAYOUTS[layout]) if layout else None)


def wine_env(prefix, zone="UTC"):
    return dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", LC_ALL="C.UTF-8",
                WINEDLLOVERRIDES="mscoree,mshtml=", TZ=zone)


def wine_command():
    return [shutil.which("wine64") or shutil.which("wine") or "wine"]


def map_drive(prefix, image):
    link = os.path.join(prefix, "dosdevices", LETTER.lower() + "::")
    if os.path.lexists(link):
        os.remove(link)
    os.symlink(os.path.abspath(image), link)


def run(command, cwd, env):
    os.makedirs(cwd, exist_ok=True)
    result = subprocess.run(command, cwd=cwd, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, timeout=RUN_TIMEOUT)
    return result.returncode, result.stdout, result.stderr


def lines_of(stdout, encoding):
    text = stdout.decode(encoding, errors="surrogateescape")
    return [line.rstrip("\r") for line in text.split("\n")]


def snapshot(root):
    """Relative path -> (kind, sha256 or None, write time ns, read-only)."""
    tree = {}
    for folder, dirs, files in os.walk(root):
        for name in dirs + files:
            path = os.path.join(folder, name)
            info = os.lstat(path)
            relative = os.path.relpath(path, root)
            is_dir = stat.S_ISDIR(info.st_mode)
            tree[relative] = ("dir" if is_dir else "file",
                              None if is_dir else make_volume.sha256_file(path), info.st_mtime_ns,
                              not (info.st_mode & stat.S_IWUSR))
    return tree


def compare_runs(volume, linux, windows):
    (lin_rc, lin_out, _), (win_rc, win_out, win_err) = linux, windows
    if lin_rc != 0 or win_rc != 0:
        fail(volume, f"exit status linux {lin_rc}, windows {win_rc}: "
             f"{win_err.decode(errors='replace')[-400:]}")
    expected = [printable(line, "cp437") for line in lines_of(lin_out, "utf-8")]
    got = lines_of(win_out, "cp437")
    if expected != got:
        for number, (want, have) in enumerate(zip(expected + [""] * len(got),
                                                  got + [""] * len(expected))):
            if want != have:
                fail(volume, f"console line {number + 1}: linux {want!r}, windows {have!r}")
                break


def compare_trees(volume, lin_tree, win_tree, started_ns):
    mapped = lin_tree
    for path in sorted(set(mapped) | set(win_tree)):
        if path not in win_tree:
            fail(volume, f"windows build did not write {path}")
            continue
        if path not in mapped:
            fail(volume, f"windows build wrote {path}, linux build did not")
            continue
        (lin_kind, lin_hash, lin_mtime, lin_ro) = mapped[path]
        (win_kind, win_hash, win_mtime, win_ro) = win_tree[path]
        if (lin_kind, lin_hash) != (win_kind, win_hash):
            fail(volume, f"{path}: {win_kind} {win_hash} differs from linux {lin_kind} {lin_hash}")
        if lin_ro != win_ro:
            fail(volume, f"{path}: read-only windows {win_ro}, linux {lin_ro}")
        # A folder's write time moves whenever an entry is written into it after its own times
        # were set; it is comparable only where both builds kept the time from the volume.
        if lin_kind == "dir" and lin_mtime >= started_ns and win_mtime >= started_ns:
            continue
        if lin_mtime != win_mtime:
            fail(volume, f"{path}: write time windows {win_mtime}, linux {lin_mtime}")


def check_against_original(volume, args, folder, switch=(), zone="UTC"):
    """The end-to-end suite's own checker on the Windows build: usage, a clean volume, and the
    damaged one against the original tree, names and times as fls and mtools show them."""
    runner = " ".join(shlex.quote(os.path.abspath(p))
                      for p in (os.path.join(HERE, "wine_run.sh"), args.exe))
    env = dict(wine_env(args.prefix), CHKMEND_RUNNER=runner, CHKMEND_E2E_DRIVE=LETTER,
               CHKMEND_E2E_ENCODING="cp437", CHKMEND_E2E_SWITCH=" ".join(switch),
               CHKMEND_E2E_TZ=zone, CHKMEND_WINE_RETRY_LOG=retry_log(args))
    result = subprocess.run([sys.executable, os.path.join(HERE, "..", "e2e", "check_recovery.py"),
                             folder], env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            timeout=RUN_TIMEOUT)
    output = result.stdout.decode(errors="replace").strip()
    if result.returncode != 0:
        fail(volume, "check against the original tree:\n" + output)
    else:
        print(f"{volume}: {output}", flush=True)


def retry_log(args):
    return os.path.join(os.path.abspath(args.work), "wine-retries.log")


def report_retries(args):
    """Runs that Wine never started and the runner ran again: said, never passed over."""
    if not os.path.exists(retry_log(args)):
        return
    with open(retry_log(args), encoding="utf-8", errors="replace") as stream:
        lines = stream.read().splitlines()
    print(f"Wine did not start the program {len(lines)} time(s); each was run again:")
    for line in lines:
        print(f"  {line}")


def check_whole_names(volume, win_tree):
    # Names code page 437 cannot hold, which the Windows build once wrote under their 8.3 names.
    for name in ("日本語のメモ.txt", "Ελληνικά.doc", "Привет мир.txt", "Urlaub 😀🌴.jpg"):
        if not [p for p in win_tree if p.endswith(os.sep + name)]:
            fail(volume, f"{name} not written under its own name")


def run_volume(args, fat, profile, layout=""):
    volume = " ".join(filter(None, [f"FAT{fat}", profile, layout]))
    folder = os.path.join(args.work, "-".join(filter(None, [f"{profile}{fat}", layout])))
    shutil.rmtree(folder, ignore_errors=True)
    manifest = build_volume(fat, folder, profile, layout)
    image = os.path.join(folder, manifest["image"])
    digest = make_volume.sha256_file(image)

    # The camera card runs twice: as is, and with the types switch naming its files by content;
    # the FAT16 volume runs a second time in a zone with summer time.
    runs = [([], "UTC")]
    if profile == "camera":
        runs.append((["/types"], "UTC"))
    if (profile, fat, layout) == ("full", 16, ""):
        runs.append(([], "Europe/Berlin"))
    for switch, zone in runs:
        label = " ".join([volume] + switch + ([] if zone == "UTC" else [zone]))
        run_builds(args, label, folder, image, digest, switch, zone)
    if profile == "full":
        check_whole_names(volume, snapshot(os.path.join(folder, "windows")))


def run_builds(args, volume, folder, image, digest, switch, zone):
    """Both builds on the volume with the same arguments in the same zone; their results
    compared."""
    suffix = ("-types" if switch else "") + ("" if zone == "UTC" else "-" + zone.replace("/", "-"))
    started_ns = time.time_ns() - 10**9
    linux = run([os.path.abspath(args.linux_exe), LETTER] + switch,
                os.path.join(folder, "linux" + suffix),
                dict(os.environ, TZ=zone, **{f"CHKMEND_DRIVE_{LETTER}": os.path.abspath(image)}))
    windows = run([os.path.join(HERE, "wine_run.sh"), os.path.abspath(args.exe), LETTER] + switch,
                  os.path.join(folder, "windows" + suffix),
                  dict(wine_env(args.prefix, zone), CHKMEND_E2E_IMAGE=os.path.abspath(image),
                       CHKMEND_E2E_DRIVE=LETTER, CHKMEND_WINE_RETRY_LOG=retry_log(args)))
    if make_volume.sha256_file(image) != digest:
        fail(volume, "the volume changed")

    lin_tree = snapshot(os.path.join(folder, "linux" + suffix))
    win_tree = snapshot(os.path.join(folder, "windows" + suffix))
    compare_runs(volume, linux, windows)
    compare_trees(volume, lin_tree, win_tree, started_ns)
    check_against_original(volume, args, folder, switch, zone)
    if volume.endswith("deep"):
        deepest = max((len(p) for p in win_tree), default=0)
        if deepest <= 260:
            fail(volume, f"the deepest path is {deepest} characters, not beyond 260")
    files = sum(1 for v in win_tree.values() if v[0] == "file")
    print(f"{volume}: {files} files, {len(win_tree) - files} folders compared", flush=True)


def run_platform_test(args):
    # A sparse image with marks below 4 GiB, at 0xFFFFFFFF and above 4 GiB. The zone cases run
    # in UTC and in a zone with summer time.
    folder = os.path.join(args.work, "platform")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    image = os.path.join(folder, "marks.img")
    with open(image, "wb") as stream:
        for position, mark in ((0x1234, b"LOW-MARK"), (0xFFFFFFFF, b"EDGE-MARK"),
                               (0x140001234, b"HIGH-MARK")):
            stream.seek(position)
            stream.write(mark)
    map_drive(args.prefix, image)
    for zone in ("UTC", "Europe/Berlin"):
        cwd = os.path.abspath(os.path.join(folder, "cwd-" + zone.replace("/", "-")))
        os.makedirs(cwd)
        code, out, err = run(wine_command() + [os.path.abspath(args.platform_test),
                                               "Z:" + cwd.replace("/", "\\"), LETTER],
                             folder, wine_env(args.prefix, zone))
        sys.stdout.write(f"[TZ={zone}] " + out.decode(errors="replace"))
        if code != 0:
            fail("platform layer", f"TZ={zone}: status {code} "
                                   f"{err.decode(errors='replace')[-400:]}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--exe", required=True)
    parser.add_argument("--linux-exe", required=True)
    parser.add_argument("--platform-test")
    parser.add_argument("--work", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--volumes",
                        default="full12,full16,full32,demo16,deep16,camera16," + DRIVE_VOLUMES,
                        help="comma-separated profile and FAT type, with a layout after a dash, "
                             "e.g. full16,deep16,full32-s4096")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    if os.path.exists(retry_log(args)):
        os.remove(retry_log(args))

    # One server and its services for the whole suite, started here without a console: a
    # server that a run under a file-size limit started would inherit the limit and could not
    # save the prefix's registry, and services that a run started would hold its output open.
    wineserver = shutil.which("wineserver") or "wineserver"
    quiet = dict(env=wine_env(args.prefix), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                 stderr=subprocess.DEVNULL, check=False)
    subprocess.run([wineserver, "-p"], **quiet)
    subprocess.run(wine_command() + ["wineboot"], timeout=RUN_TIMEOUT, **quiet)
    try:
        if args.platform_test:
            run_platform_test(args)
        for volume in args.volumes.split(","):
            name, _, layout = volume.partition("-")
            run_volume(args, int(name[-2:]), name[:-2], layout)
    finally:
        subprocess.run([wineserver, "-k"], **quiet)
    report_retries(args)
    # Wine keeps no creation time on a Linux file system, so creation times cannot be compared.
    print("creation times: not compared (the host file system keeps none that Wine can set)")
    if failures:
        print(f"{len(failures)} failure(s)")
        return 1
    print("wine end-to-end: all volumes agree")
    return 0


if __name__ == "__main__":
    sys.exit(main())

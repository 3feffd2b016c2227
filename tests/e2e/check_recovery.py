#!/usr/bin/env python3
"""Runs chkmend on volumes made by make_volume.py and compares what it rebuilds.

Usage: check_recovery.py CASE_DIR [--chkmend PATH]
       check_recovery.py --not-volumes [--chkmend PATH]
The command is CHKMEND_RUNNER (shell words, e.g. "wine chkmend.exe") or PATH, with the drive
letter appended; it runs in a scratch folder with CHKMEND_DRIVE_<letter> and CHKMEND_E2E_IMAGE
naming the volume. CHKMEND_E2E_DRIVE sets the letter (default E), CHKMEND_E2E_SWITCH a second
argument (e.g. /types, then DIR/manifest_types.json is expected), CHKMEND_E2E_TZ the time zone
the tool runs in (default UTC; the write times expected are those mcopy -m gives there),
CHKMEND_E2E_ENCODING the console's encoding (default utf-8; a character it lacks is expected as
'?' per UTF-16 unit). CHKMEND_ALIGNED_READS names the aligned-read library (aligned_reads.cpp):
the binary itself (no CHKMEND_RUNNER) then reads every image as a raw Windows volume reads, and
any read that is not whole sectors at a sector boundary fails the case. --not-volumes runs the
binary on a FIFO, a socket and a folder instead, each of which it must refuse at once. Exits 1
and lists every difference when the result is wrong.
"""

import argparse
import difflib
import json
import os
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile

from make_volume import sha256_file  # the generator records checksums the same way

BANNER = "chkmend 1.0 - rebuilds the files and folders that the disk checker left in FOUND.nnn"
USAGE = ["usage:", "\tchkmend.exe {drive letter}"]
RUN_TIMEOUT_SECONDS = 120
NOT_A_VOLUME_SECONDS = 10  # a FIFO must not make the tool wait for a writer


def printable(line, encoding):
    """The line as a console in `encoding` shows it: Windows prints the code page's '?' for
    each UTF-16 unit of a character the code page lacks."""
    out = []
    for char in line:
        try:
            char.encode(encoding)
            out.append(char)
        except UnicodeEncodeError:
            out.append("?" * (len(char.encode("utf-16-le")) // 2))
    return "".join(out)


class Checker:
    def __init__(self, case_dir, command):
        self.case_dir = os.path.abspath(case_dir)
        self.command = command
        self.drive = os.environ.get("CHKMEND_E2E_DRIVE", "E")[:1] or "E"
        self.encoding = os.environ.get("CHKMEND_E2E_ENCODING", "utf-8")
        self.zone = os.environ.get("CHKMEND_E2E_TZ", "UTC")
        switch = os.environ.get("CHKMEND_E2E_SWITCH", "")
        self.switch = [switch] if switch else []
        manifest = "manifest_types.json" if switch == "/types" else "manifest.json"
        with open(os.path.join(self.case_dir, manifest), encoding="utf-8") as stream:
            self.manifest = json.load(stream)
        self.failures = []
        self.refused = {}  # scenario -> reads the aligned reader refused

    def fail(self, scenario, message):
        self.failures.append(f"[{scenario}] {message}")

    def printable(self, line):
        return printable(line, self.encoding)

    def mtime(self, entry):
        """The write time mcopy -m gives the file under the zone of the run."""
        return entry["mtimes"][self.zone]

    def dir_times(self):
        return self.manifest["zone_dir_times"][self.zone]

    def run(self, scenario, image, with_letter=True, sector=None):
        """Runs the command in a new scratch folder; returns (scratch, console lines). `sector`
        overrides the sector size the aligned reader holds the image to."""
        scratch = tempfile.mkdtemp(prefix=f"run-{scenario}-", dir=self.case_dir)
        env = dict(os.environ, CHKMEND_E2E_IMAGE=image, TZ=self.zone)
        env[f"CHKMEND_DRIVE_{self.drive.upper()}"] = image
        refusals = os.path.join(scratch, "..", os.path.basename(scratch) + "-refused.log")
        aligned = self.aligned_reads(env, image, sector or self.manifest.get("sector_bytes", 512),
                                     refusals)
        args = self.command + ([self.drive] + self.switch if with_letter else [])
        try:
            result = subprocess.run(args, cwd=scratch, env=env, capture_output=True,
                                    timeout=RUN_TIMEOUT_SECONDS)
        except subprocess.TimeoutExpired:
            self.fail(scenario, f"no end after {RUN_TIMEOUT_SECONDS} s")
            return scratch, []
        if result.returncode != 0:
            self.fail(scenario, f"exit status {result.returncode}, not 0")
        if result.stderr:
            sys.stderr.write(result.stderr.decode(self.encoding, "replace"))
        if aligned and os.path.exists(refusals):
            with open(refusals, encoding="utf-8") as stream:
                self.refused[scenario] = stream.read().splitlines()
            os.remove(refusals)
        text = result.stdout.decode(self.encoding, "replace").replace("\r\n", "\n")
        return scratch, text.split("\n")[:-1] if text.endswith("\n") else text.split("\n")

    def aligned_reads(self, env, image, sector, log):
        """Preloads the aligned reader into the binary's own run; False when it is not used."""
        library = os.environ.get("CHKMEND_ALIGNED_READS")
        if not library or os.environ.get("CHKMEND_RUNNER"):
            return False
        env["LD_PRELOAD"] = " ".join(filter(None, [library, env.get("LD_PRELOAD")]))
        env.update(CHKMEND_ALIGNED_IMAGE=image, CHKMEND_ALIGNED_SECTOR=str(sector),
                   CHKMEND_ALIGNED_LOG=log)
        # A sanitized build wants its runtime first; the reader carries no sanitizer.
        env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"),
                                                     "verify_asan_link_order=0"]))
        return True

    def check_reads_aligned(self):
        """No run asked for a read a raw volume refuses; and the reader does refuse: held to a
        sector size no read of the tool is a multiple of, the volume cannot be opened."""
        for scenario, lines in sorted(self.refused.items()):
            self.fail(scenario, "reads a raw volume refuses:\n" + "\n".join(lines[:10]))
        if not os.environ.get("CHKMEND_ALIGNED_READS") or os.environ.get("CHKMEND_RUNNER"):
            return None
        image = os.path.join(self.case_dir, self.manifest["clean_image"])
        scratch, lines = self.run("refusing reader", image, sector=1 << 20)
        self.refused.pop("refusing reader", None)
        self.compare_lines("refusing reader", [BANNER, f"recovering drive {self.drive}",
                                               "can't open FAT partition"], lines)
        return scratch

    def compare_lines(self, scenario, expected, actual):
        if expected != actual:
            diff = difflib.unified_diff(expected, actual, "expected", "printed", lineterm="")
            self.fail(scenario, "console output differs:\n" + "\n".join(diff))

    def check_untouched(self, scenario, image, before):
        if sha256_file(image) != before:
            self.fail(scenario, f"{os.path.basename(image)} changed during the run")

    def check_created_nothing(self, scenario, scratch):
        left = os.listdir(scratch)
        if left:
            self.fail(scenario, f"created {left}, expected nothing")

    def check_no_argument(self):
        image = os.path.join(self.case_dir, self.manifest["image"])
        scratch, lines = self.run("usage", image, with_letter=False)
        self.compare_lines("usage", [BANNER] + USAGE, lines)
        self.check_created_nothing("usage", scratch)
        return scratch

    def check_clean_volume(self):
        image = os.path.join(self.case_dir, self.manifest["clean_image"])
        before = sha256_file(image)
        scratch, lines = self.run("clean", image)
        expected = [BANNER, f"recovering drive {self.drive}", "scanning for directories",
                    "0 files have been recovered"]
        self.compare_lines("clean", expected, lines)
        self.check_created_nothing("clean", scratch)
        self.check_untouched("clean", image, before)
        return scratch

    def check_damaged_volume(self):
        scenario = "damaged"
        image = os.path.join(self.case_dir, self.manifest["image"])
        before = sha256_file(image)
        if before != self.manifest["image_sha256"]:
            self.fail(scenario, "the volume is not the one the manifest describes")
            return None
        scratch, lines = self.run(scenario, image)
        m = self.manifest
        expected = [BANNER, f"recovering drive {self.drive}"]
        expected += [f"{name} - {count} files" for name, count in m["found_folders"]]
        expected.append("scanning for directories")
        expected += [self.printable("saved out\\" + p.replace("/", "\\")) for p in m["saved"]]
        expected.append(f"{m['recovered']} files have been recovered")
        self.compare_lines(scenario, expected, lines)
        self.check_untouched(scenario, image, before)
        extra = sorted(set(os.listdir(scratch)) - {"out"})
        if extra:
            self.fail(scenario, f"created {extra} beside out/")
        self.compare_tree(scenario, os.path.join(scratch, "out"))
        return scratch

    def compare_tree(self, scenario, out):
        files, dirs = {}, set()
        for folder, subfolders, names in os.walk(out):
            relative = os.path.relpath(folder, out)
            prefix = "" if relative == "." else relative.replace(os.sep, "/") + "/"
            dirs.update(prefix + d for d in subfolders)
            for name in names:
                files[prefix + name] = os.path.join(folder, name)
        want_dirs = set(self.manifest["dirs"])
        for d in sorted(want_dirs - dirs):
            self.fail(scenario, f"missing folder out/{d}")
        for d in sorted(dirs - want_dirs):
            self.fail(scenario, f"unexpected folder out/{d}")
        for d, mtime in sorted(self.dir_times().items()):
            path = os.path.join(out, d)
            if os.path.isdir(path) and int(os.stat(path).st_mtime) != mtime:
                self.fail(scenario, f"out/{d}/: write time {int(os.stat(path).st_mtime)}, "
                                    f"not {mtime}")
        want_files = {f["path"]: f for f in self.manifest["files"]}
        for path in sorted(set(files) - set(want_files)):
            self.fail(scenario, f"unexpected file out/{path}")
        for path, want in sorted(want_files.items()):
            if path not in files:
                self.fail(scenario, f"missing file out/{path}")
                continue
            status = os.stat(files[path])
            if status.st_size != want["size"]:
                self.fail(scenario, f"out/{path}: {status.st_size} bytes, not {want['size']}")
            elif sha256_file(files[path]) != want["sha256"]:
                self.fail(scenario, f"out/{path}: contents differ")
            if int(status.st_mtime) != self.mtime(want):
                self.fail(scenario, f"out/{path}: write time {int(status.st_mtime)}, "
                                    f"not {self.mtime(want)} (TZ={self.zone})")
            read_only = (status.st_mode & 0o222) == 0
            if read_only != want["read_only"]:
                self.fail(scenario, f"out/{path}: read-only is {read_only}, not "
                                    f"{want['read_only']}")


def check_not_volumes(command):
    """A FIFO, a socket and a folder as the drive: each refused at once with the one line."""
    failures = []
    with tempfile.TemporaryDirectory(prefix="chkmend-not-volumes-") as folder:
        fifo = os.path.join(folder, "fifo")
        os.mkfifo(fifo)
        listening = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        listening.bind(os.path.join(folder, "socket"))
        listening.listen(1)
        expected = [BANNER, "recovering drive E", "can't open FAT partition", ""]
        for name in ("fifo", "socket", "."):
            work = tempfile.mkdtemp(dir=folder)
            env = dict(os.environ, CHKMEND_DRIVE_E=os.path.join(folder, name))
            try:
                result = subprocess.run(command + ["E"], cwd=work, env=env, capture_output=True,
                                        timeout=NOT_A_VOLUME_SECONDS)
            except subprocess.TimeoutExpired:
                failures.append(f"{name}: no end after {NOT_A_VOLUME_SECONDS} s")
                continue
            lines = result.stdout.decode("utf-8", "replace").split("\n")
            if lines != expected or os.listdir(work):
                failures.append(f"{name}: printed {lines}, created {os.listdir(work)}")
        listening.close()
    print("\n".join(failures) if failures else "FIFO, socket and folder refused at once")
    return 1 if failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("case_dir", nargs="?")
    parser.add_argument("--chkmend", help="the chkmend binary (when CHKMEND_RUNNER is unset)")
    parser.add_argument("--not-volumes", action="store_true",
                        help="check that what is no volume is refused at once")
    args = parser.parse_args()
    runner = os.environ.get("CHKMEND_RUNNER")
    if runner:
        command = shlex.split(runner)
    elif args.chkmend:
        command = [os.path.abspath(args.chkmend)]
    else:
        parser.error("give --chkmend or set CHKMEND_RUNNER")
    if args.not_volumes:
        return check_not_volumes(command)
    if not args.case_dir:
        parser.error("give the case folder")

    checker = Checker(args.case_dir, command)
    scratches = [checker.check_no_argument(), checker.check_clean_volume(),
                 checker.check_damaged_volume()]
    scratches.append(checker.check_reads_aligned())
    if checker.failures:
        print("\n".join(checker.failures))
        print(f"FAILED: {len(checker.failures)} differences; scratch folders kept in "
              f"{checker.case_dir}")
        return 1
    for scratch in scratches:
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)
    m = checker.manifest
    print(f"FAT{m['fat_type']}: {len(m['files'])} files, {len(m['dirs'])} folders, "
          f"{m['recovered']} recovered, TZ={checker.zone}: all as expected")
    return 0


if __name__ == "__main__":
    sys.exit(main())

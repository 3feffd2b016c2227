#!/usr/bin/env python3
"""Runs chkmend on volumes made by make_volume.py and compares what it rebuilds.

Usage: check_recovery.py CASE_DIR [--chkmend PATH]
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

Besides the volume as it is, it runs a second time into the first run's folder after spoiling
what that left (as the user it runs as, and as an unprivileged user through setpriv when it
runs as root), and runs that cannot write everything: past a file-size limit and, for the
Linux build, onto a full tmpfs (mounted in a mount namespace of its own through unshare) and
into a read-only folder. Where one of these cannot be set up it is skipped with a message, and
fails under CI=true.
"""

import argparse
import collections
import difflib
import json
import os
import resource
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile

from make_volume import sha256_file  # the generator records checksums the same way

BANNER = "chkmend 1.0 - rebuilds the files and folders that the disk checker left in FOUND.nnn"
USAGE = ["usage:", "\tchkmend.exe {drive letter}"]
RUN_TIMEOUT_SECONDS = 120
NOT_A_VOLUME_SECONDS = 10  # a FIFO must not make the tool wait for a writer
NOBODY = 65534  # uid and gid of the unprivileged user the second-run scenarios run as
Run = collections.namedtuple("Run", "status lines errors")


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
        self.notes = []  # what the scenarios that cannot write everything did
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
        result = self.run_in(scenario, image, scratch, with_letter=with_letter, sector=sector)
        if result.status != 0:
            self.fail(scenario, f"exit status {result.status}, not 0")
        if result.errors:
            sys.stderr.write("\n".join(result.errors) + "\n")
        return scratch, result.lines

    def run_in(self, scenario, image, scratch, with_letter=True, prefix=(), preexec=None,
               sector=None, extra_env=None):
        """Runs the command (behind `prefix`) in `scratch`; returns its Run."""
        env = dict(os.environ, CHKMEND_E2E_IMAGE=image, TZ=self.zone, **(extra_env or {}))
        env[f"CHKMEND_DRIVE_{self.drive.upper()}"] = image
        refusals = scratch.rstrip(os.sep) + "-refused.log"
        aligned = self.aligned_reads(env, image, sector or self.manifest.get("sector_bytes", 512),
                                     refusals)
        args = list(prefix) + self.command + ([self.drive] + self.switch if with_letter else [])
        try:
            result = subprocess.run(args, cwd=scratch, env=env, capture_output=True,
                                    timeout=RUN_TIMEOUT_SECONDS, preexec_fn=preexec)
        except subprocess.TimeoutExpired:
            self.fail(scenario, f"no end after {RUN_TIMEOUT_SECONDS} s")
            return Run(None, [], [])
        finally:
            if aligned and os.path.exists(refusals):
                with open(refusals, encoding="utf-8") as stream:
                    self.refused.setdefault(scenario, []).extend(stream.read().splitlines())
                os.remove(refusals)
        errors = self.lines_of(result.stderr)
        # How the volume was found (a backup boot sector read) is said before anything else.
        notes = [f"drive {self.drive}: {note}" for note in self.manifest.get("open_notes", [])]
        if with_letter and sector is None and notes and errors[:len(notes)] != notes:
            self.fail(scenario, f"standard error begins {errors[:len(notes)]}, not {notes}")
        if errors[:len(notes)] == notes:
            errors = errors[len(notes):]
        return Run(result.returncode, self.lines_of(result.stdout), errors)

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
        if not os.environ.get("CHKMEND_ALIGNED_READS") or os.environ.get("CHKMEND_RUNNER"):
            return None
        image = os.path.join(self.case_dir, self.manifest["clean_image"])
        scratch, lines = self.run("refusing reader", image, sector=1 << 20)
        self.refused.pop("refusing reader", None)
        self.compare_lines("refusing reader", [BANNER, f"recovering drive {self.drive}",
                                               "can't open FAT partition"], lines)
        for scenario, lines in sorted(self.refused.items()):
            self.fail(scenario, "reads a raw volume refuses:\n" + "\n".join(lines[:10]))
        return scratch

    def lines_of(self, output):
        text = output.decode(self.encoding, "replace").replace("\r\n", "\n")
        if not text:
            return []
        return text.split("\n")[:-1] if text.endswith("\n") else text.split("\n")

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

    def expected_lines(self, failed=()):
        """The console lines of a run on the damaged volume, less the files in `failed`."""
        m = self.manifest
        lines = [BANNER, f"recovering drive {self.drive}"]
        lines += [f"{name} - {count} files" for name, count in m["found_folders"]]
        lines.append("scanning for directories")
        lines += [self.printable("saved out\\" + p.replace("/", "\\")) for p in m["saved"]
                  if p not in failed]
        # Only files given back their place count: those below a folder.
        named_failures = sum(1 for p in failed if "/" in p)
        lines.append(f"{m['recovered'] - named_failures} files have been recovered")
        return lines

    def check_damaged_volume(self):
        scenario = "damaged"
        image = os.path.join(self.case_dir, self.manifest["image"])
        before = sha256_file(image)
        if before != self.manifest["image_sha256"]:
            self.fail(scenario, "the volume is not the one the manifest describes")
            return None
        scratch, lines = self.run(scenario, image)
        self.compare_lines(scenario, self.expected_lines(), lines)
        self.check_untouched(scenario, image, before)
        extra = sorted(set(os.listdir(scratch)) - {"out"})
        if extra:
            self.fail(scenario, f"created {extra} beside out/")
        self.compare_tree(scenario, os.path.join(scratch, "out"))
        return scratch

    def compare_tree(self, scenario, out, absent=(), absent_dirs=()):
        """`absent`: files that must not be there; `absent_dirs`: folders that may be missing,
        with what they hold."""
        files, dirs = {}, set()
        for folder, subfolders, names in os.walk(out):
            relative = os.path.relpath(folder, out)
            prefix = "" if relative == "." else relative.replace(os.sep, "/") + "/"
            dirs.update(prefix + d for d in subfolders)
            for name in names:
                files[prefix + name] = os.path.join(folder, name)

        def may_miss(path):
            return any(path == d or path.startswith(d + "/") for d in absent_dirs)

        want_dirs = set(self.manifest["dirs"])
        for d in sorted(want_dirs - dirs):
            if not may_miss(d):
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
            if path in absent:
                if path in files:
                    self.fail(scenario, f"out/{path} is there, but was not written")
                continue
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

    # Runs that replace what an earlier run left.

    def can_switch_user(self, scenario):
        """Whether the scenario can run as the unprivileged user; says why not."""
        if os.environ.get("CHKMEND_RUNNER"):
            return False  # another build (Wine) keeps its own user
        if os.geteuid() != 0:
            return True  # already unprivileged: the run is what it should be
        if shutil.which("setpriv"):
            return True
        self.skip(scenario, "setpriv is missing (util-linux)")
        return False

    def as_nobody(self, scratch):
        """The prefix that runs a command as the unprivileged user, owning `scratch`."""
        if os.geteuid() != 0:
            return []
        os.chown(scratch, NOBODY, NOBODY)
        return ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups"]

    def skip(self, scenario, why):
        if os.environ.get("CI") == "true":
            self.fail(scenario, f"cannot be run here: {why}")
        else:
            print(f"[{scenario}] SKIPPED: {why}")

    def check_second_run(self, unprivileged=False):
        """A second run into the first run's folder gives the volume's tree again, whatever the
        first left there was turned into (other bytes, other times, read-only or not)."""
        scenario = "second run" + (" as nobody" if unprivileged else "")
        if unprivileged and not self.can_switch_user(scenario):
            return None
        image = os.path.join(self.case_dir, self.manifest["image"])
        scratch = tempfile.mkdtemp(prefix="run-second-", dir=self.case_dir)
        prefix = self.as_nobody(scratch) if unprivileged else []
        first = self.run_in(scenario, image, scratch, prefix=prefix)
        spoil(os.path.join(scratch, "out"))
        second = self.run_in(scenario, image, scratch, prefix=prefix)
        for name, result in (("first", first), ("second", second)):
            if result.status != 0 or result.errors:
                self.fail(scenario, f"{name} run: status {result.status}, "
                                    f"errors {result.errors[:5]}")
        self.compare_lines(scenario, self.expected_lines(), second.lines)
        self.compare_tree(scenario, os.path.join(scratch, "out"))
        return scratch

    # Runs that cannot write everything: each file whole, or absent with its line.

    def check_partial(self, scenario, scratch, result, reason):
        """What a run that could not write everything must leave; returns the files said not to
        be written, each with its reason, and the folders said not to be made."""
        failed, failed_dirs, counts = {}, set(), []
        for line in result.errors:
            kind, _, rest = line.partition(" out\\")
            path, _, why = rest.partition(": ")
            if kind == "can't write" and why:
                failed[path.replace("\\", "/")] = why
            elif kind == "can't create" and why:
                failed_dirs.add(path.replace("\\", "/"))
            elif line.endswith(" files could not be written"):
                counts.append(line)
            else:
                self.fail(scenario, f"unexpected line on standard error: {line!r}")
        if failed and counts != [f"{len(failed)} files could not be written"]:
            self.fail(scenario, f"count line {counts}, for {len(failed)} files not written")
        if result.status != (1 if failed else 0):
            self.fail(scenario, f"exit status {result.status} with {len(failed)} files "
                                f"not written")
        if result.errors and not result.errors[-1].endswith(" files could not be written"):
            self.fail(scenario, "the count is not the last line on standard error")
        wrong = sorted(p for p, why in failed.items() if reason is not None and why != reason)
        if wrong:
            self.fail(scenario, f"{wrong[0]}: {failed[wrong[0]]!r}, not {reason!r}")
        self.compare_lines(scenario, self.expected_lines(failed), result.lines)
        self.compare_tree(scenario, os.path.join(scratch, "out"), set(failed), failed_dirs)
        self.notes.append(f"{scenario}: {len(failed)} files and {len(failed_dirs)} folders not "
                          f"written, as said")
        return failed, failed_dirs

    def check_file_size_limit(self):
        scenario = "file-size limit"
        files = self.manifest["files"]
        limit = max(f["size"] for f in files) - 1
        image = os.path.join(self.case_dir, self.manifest["image"])
        scratch = tempfile.mkdtemp(prefix="run-limit-", dir=self.case_dir)

        def limited():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # a failed write, not a signal
            resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

        if os.environ.get("CHKMEND_RUNNER"):
            # The runner limits only the program: a helper process it starts on the way (Wine's
            # server) must not inherit the limit.
            result = self.run_in(scenario, image, scratch,
                                 extra_env={"CHKMEND_E2E_FILE_SIZE_LIMIT": str(limit)})
        else:
            result = self.run_in(scenario, image, scratch, preexec=limited)
        # The reason is the system's own words; those of Linux are known.
        reason = None if os.environ.get("CHKMEND_RUNNER") else "File too large"
        failed, _ = self.check_partial(scenario, scratch, result, reason)
        want = {f["path"] for f in files if f["size"] > limit}
        if set(failed) != want:
            self.fail(scenario, f"not written: {sorted(failed)}, expected {sorted(want)}")
        return scratch

    def check_disk_full(self):
        """Out of room half way: files that no longer fit fail, and smaller ones after them
        may still be saved."""
        scenario = "disk full"
        if not shutil.which("unshare"):
            self.skip(scenario, "unshare is missing (util-linux)")
            return None
        pages = sum((f["size"] + 4095) // 4096 for f in self.manifest["files"])
        size = max(1, pages // 2) * 4096
        image = os.path.join(self.case_dir, self.manifest["image"])
        scratch = tempfile.mkdtemp(prefix="run-full-", dir=self.case_dir)
        mount_point = os.path.join(scratch, "tmpfs")
        copy = os.path.join(scratch, "copy")
        os.makedirs(mount_point)
        os.makedirs(copy)
        # The tmpfs lives as long as its namespace: what was written is copied out first.
        script = (f'mount -t tmpfs -o size={size} tmpfs "$0" && cd "$0" || exit 97; copy=$1; '
                  'shift; "$@"; status=$?; cp -a "$0/." "$copy/" && exit $status; exit 98')
        namespace = ["unshare", "-m"] if os.geteuid() == 0 else ["unshare", "-rm"]
        result = self.run_in(scenario, image, scratch,
                             prefix=namespace + ["sh", "-c", script, mount_point, copy])
        if result.status == 97:
            self.skip(scenario, "no tmpfs can be mounted in a mount namespace here")
            return scratch
        failed, _ = self.check_partial(scenario, copy, result, "No space left on device")
        if not failed or len(failed) == len(self.manifest["files"]):
            self.fail(scenario, f"{len(failed)} of {len(self.manifest['files'])} files not "
                                f"written; the volume was to fill the tmpfs half way")
        return scratch

    def check_read_only_folder(self):
        """A folder that refuses new entries: its files and folders fail, said once each (what
        lies deeper only through its files), and the rest of the tree is written."""
        scenario = "read-only folder"
        if not self.can_switch_user(scenario):
            return None
        files = [f["path"] for f in self.manifest["files"]]
        dirs = list(self.manifest["dirs"])
        # The deepest folder that holds files and folders both, else one that holds files.
        holding = [d for d in dirs if any(os.path.dirname(p) == d for p in files)]
        both = [d for d in holding if any(os.path.dirname(e) == d for e in dirs)]
        if not holding:
            self.fail(scenario, "the volume has no folder that holds files")
            return None
        folder = max(both or holding, key=lambda d: d.count("/"))
        image = os.path.join(self.case_dir, self.manifest["image"])
        scratch = tempfile.mkdtemp(prefix="run-readonly-", dir=self.case_dir)
        prefix = self.as_nobody(scratch)
        parts = ["out"] + folder.split("/")
        for depth in range(1, len(parts) + 1):
            made = os.path.join(scratch, *parts[:depth])
            os.mkdir(made)
            if os.geteuid() == 0:
                os.chown(made, NOBODY, NOBODY)
        locked = os.path.join(scratch, *parts)
        os.chmod(locked, 0o555)
        result = self.run_in(scenario, image, scratch, prefix=prefix)
        os.chmod(locked, 0o755)  # so that the scratch can be cleared
        failed, failed_dirs = self.check_partial(scenario, scratch, result, None)
        want = {p for p in files if p.startswith(folder + "/")}
        if set(failed) != want:
            self.fail(scenario, f"not written: {sorted(failed)}, expected {sorted(want)}")
        want_dirs = {d for d in dirs if os.path.dirname(d) == folder}
        if failed_dirs != want_dirs:
            self.fail(scenario, f"folders not made: {sorted(failed_dirs)}, expected "
                                f"{sorted(want_dirs)}")
        reasons = {why for p, why in failed.items() if os.path.dirname(p) == folder}
        if reasons != {"Permission denied"}:
            self.fail(scenario, f"reasons {sorted(reasons)}, not 'Permission denied'")
        return scratch


def spoil(out):
    """Turns what a run left into what an earlier card might have left: other bytes, other
    times, the same modes."""
    for folder, _, names in os.walk(out):
        for name in names:
            path = os.path.join(folder, name)
            mode = os.stat(path).st_mode
            os.chmod(path, mode | 0o200)
            with open(path, "wb") as stream:
                stream.write(b"an earlier card\n")
            os.chmod(path, mode)
            os.utime(path, (1e9, 1e9))
        os.utime(folder, (1e9, 1e9))


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
                 checker.check_damaged_volume(), checker.check_second_run(),
                 checker.check_second_run(unprivileged=True)]
    # Another build (Windows under Wine) shares the limit, which every platform turns into a
    # failed write; tmpfs and the user are the host's.
    scratches.append(checker.check_file_size_limit())
    if not runner:
        scratches += [checker.check_disk_full(), checker.check_read_only_folder()]
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
          f"{m['recovered']} recovered: all as expected")
    for note in checker.notes:
        print(note)
    return 0


if __name__ == "__main__":
    sys.exit(main())

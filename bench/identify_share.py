#!/usr/bin/env python3
"""Share of anonymous files that chkmend names with the right extension, on the camera card.

Usage: bench/identify_share.py [--chkmend build/chkmend] [--work bench/work/camera] [--keep]
Builds the end-to-end suite's camera card (tests/e2e/make_volume.py --profile camera: real files
of every type, cut loose and salvaged into FOUND.000), runs chkmend on it without and with the
types switch, matches every top-level UnkFil file to the original whose bytes it starts with,
and counts those whose extension is the original's (.jpeg counts as .jpg, .tiff as .tif).
"""

import argparse
import os
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))
import make_volume  # noqa: E402

SAME = {".jpeg": ".jpg", ".tiff": ".tif"}


def originals(folder):
    found = []
    for root, _, names in os.walk(folder):
        for name in names:
            with open(os.path.join(root, name), "rb") as stream:
                found.append((name, stream.read()))
    return found


def run(chkmend, image, scratch, switch):
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    env = dict(os.environ, CHKMEND_DRIVE_E=os.path.abspath(image))
    subprocess.run([os.path.abspath(chkmend), "E"] + switch, cwd=scratch, env=env, check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(scratch, "out")


def share(out, known, cluster):
    """(right, total, wrong names) over the top-level UnkFil files of `out`."""
    right, total, wrong = 0, 0, []
    for name in sorted(os.listdir(out)):
        path = os.path.join(out, name)
        if not name.startswith("UnkFil") or not os.path.isfile(path):
            continue
        with open(path, "rb") as stream:
            data = stream.read()
        # The salvaged chain is the original and its last cluster's slack.
        matches = [(len(o), n) for n, o in known
                   if data.startswith(o) and len(data) - len(o) < cluster]
        if not matches:
            continue
        original = max(matches)[1]
        want = os.path.splitext(original)[1].lower()
        have = os.path.splitext(name)[1].lower()
        total += 1
        if SAME.get(have, have) == SAME.get(want, want):
            right += 1
        else:
            wrong.append(f"{name} ({original})")
    return right, total, wrong


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--chkmend", default=os.path.join(HERE, "..", "build", "chkmend"))
    parser.add_argument("--work", default=os.path.join(HERE, "work", "camera"))
    parser.add_argument("--keep", action="store_true", help="reuse the volume in --work")
    args = parser.parse_args()
    manifest_path = os.path.join(args.work, "manifest.json")
    if not (args.keep and os.path.exists(manifest_path)):
        make_volume.build(16, args.work, "camera")
    image = os.path.join(args.work, "volume.img")
    with open(os.path.join(args.work, "volume.img"), "rb") as stream:
        boot = stream.read(16)
    cluster = int.from_bytes(boot[11:13], "little") * boot[13]
    known = originals(os.path.join(args.work, "original"))
    print("| run | anonymous files | right extension | share |")
    print("|---|---|---|---|")
    for label, switch in (("default", []), ("/types", ["/types"])):
        out = run(args.chkmend, image, os.path.join(args.work, "run" + "".join(switch)), switch)
        right, total, wrong = share(out, known, cluster)
        print(f"| {label} | {total} | {right} | {100.0 * right / max(total, 1):.1f} % |")
        if switch and wrong:
            print("wrong with the switch: " + ", ".join(wrong), file=sys.stderr)


if __name__ == "__main__":
    main()

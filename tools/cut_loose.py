#!/usr/bin/env python3
"""Cuts entries loose in a FAT image the way a damaged volume loses them.

Usage: cut_loose.py IMAGE PATH...   ('/'-separated paths, long or short names)
Marks each entry's short slot and long-name slots deleted (0xE5) without freeing its clusters,
so that a disk checker finds the chains lost. Exits 1 when a path does not exist.
"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from fat_image import FatImage  # noqa: E402


def cut_loose(image_path, paths, overwritten=()):
    """`overwritten`: paths among `paths` whose clusters are also zeroed and freed, as if
    other data had taken them."""
    with FatImage(image_path, writable=True) as image:
        # Find all first: cutting a folder hides the entries below it.
        entries = [image.find(path) for path in paths]
        for entry in entries:
            image.mark_deleted(entry)
        for path, entry in zip(paths, entries):
            if path in overwritten:
                image.free_chain(entry.cluster, wipe=True)


def main(argv):
    if len(argv) < 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    try:
        cut_loose(argv[1], argv[2:])
    except KeyError as error:
        print(f"cut_loose: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

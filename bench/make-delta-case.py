#!/usr/bin/env python3
"""Writes one delta-benchmark case: an installed release and its successor.

Usage: make-delta-case.py --case edits|insert|release|rewrite --out DIR

In DIR it writes old/ (the installed release), new/ (the published one) and
changed.txt (the url of every file that differs, one a line). Content is
random (incompressible) and the same on every run.
  edits    a 64 MiB file with 3 small edits: 100 bytes overwritten, 100
           inserted, 100 deleted, spread over the file
  insert   a 64 MiB file with 1 MiB inserted 4 KiB from its start
  release  200 files of 1.1 to 3 MiB in 10 folders; 20 of them changed by
           under 1 % (two edits of up to 4 KiB each)
  rewrite  a 64 MiB file whose content is entirely new
"""

import argparse
import os
import random

MIB = 1024 * 1024


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as out:
        out.write(data)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--case", required=True, choices=["edits", "insert", "release", "rewrite"])
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    rng = random.Random("delta-bench " + args.case)
    old, new = os.path.join(args.out, "old"), os.path.join(args.out, "new")
    files = {}  # url -> (old bytes, new bytes)
    if args.case in ("edits", "insert", "rewrite"):
        before = rng.randbytes(64 * MIB)
        if args.case == "edits":
            a, b, c = 7 * MIB + 12345, 31 * MIB + 777, 55 * MIB + 4242
            after = (before[:a] + rng.randbytes(100) + before[a + 100:b] + rng.randbytes(100)
                     + before[b:c] + before[c + 100:])
        elif args.case == "insert":
            after = before[:4096] + rng.randbytes(MIB) + before[4096:]
        else:
            after = rng.randbytes(64 * MIB)
        files["data/level.pak"] = (before, after)
    else:
        urls = ["pack%02d/asset%03d.bin" % (i % 10, i) for i in range(200)]
        changed = set(rng.sample(urls, 20))
        for url in urls:
            before = rng.randbytes(rng.randint(1100 * 1024, 3 * MIB))
            after = before
            if url in changed:
                for _ in range(2):
                    at = rng.randrange(len(after) - 4096)
                    length = rng.randint(1, 4096)
                    after = after[:at] + rng.randbytes(length) + after[at + length:]
            files[url] = (before, after)
    with open(os.path.join(args.out, "changed.txt"), "w") as listing:
        for url, (before, after) in sorted(files.items()):
            write(os.path.join(old, url), before)
            write(os.path.join(new, url), after)
            if before != after:
                listing.write(url + "\n")


if __name__ == "__main__":
    main()

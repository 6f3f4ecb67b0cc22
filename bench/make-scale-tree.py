#!/usr/bin/env python3
"""Writes the trees of bench/scale-bench.

Usage: make-scale-tree.py --files N --out DIR
       make-scale-tree.py --entries N --manifest FILE

The first form writes DIR/v1 with N small files (16 to 200 bytes of random
content, 100 to a folder, folders two levels deep) and DIR/v2, the same tree
(hard links) in which 100 files have new content of another size.
The second writes a manifest of N entries, nearly all folders (1,000 to a
folder), as a large installation's manifest might look to manifesttool.
"""

import argparse
import os
import random


def write_tree(count, out):
    rng = random.Random(count)
    v1 = os.path.join(out, "v1")
    paths = []
    for i in range(count):
        rel = f"d{i // 10000:03d}/e{(i // 100) % 100:02d}/f{i:06d}.dat"
        path = os.path.join(v1, rel)
        if i % 100 == 0:
            os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(rng.randbytes(rng.randint(16, 200)))
        paths.append(rel)
    v2 = os.path.join(out, "v2")
    os.system(f"cp -al '{v1}' '{v2}'")
    for rel in rng.sample(paths, 100):
        path = os.path.join(v2, rel)
        size = os.path.getsize(path)
        os.remove(path)  # a new file, not the linked one
        with open(path, "wb") as f:
            f.write(rng.randbytes(size + 1 + rng.randint(0, 50)))


def write_manifest(count, path):
    with open(path, "w", encoding="utf-8") as out:
        out.write('<UPDATE_STRUCTURE name="ROOT" version="1.0">\n')
        written = 0
        top = 0
        while written < count:
            out.write(f'<directory name="d{top:05d}">\n')
            written += 1
            inner = min(1000, count - written)
            out.write("".join(f'<directory name="e{j:04d}"/>\n' for j in range(inner)))
            written += inner
            out.write("</directory>\n")
            top += 1
        out.write("</UPDATE_STRUCTURE>\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int)
    parser.add_argument("--out")
    parser.add_argument("--entries", type=int)
    parser.add_argument("--manifest")
    args = parser.parse_args()
    if args.files and args.out:
        write_tree(args.files, args.out)
    elif args.entries and args.manifest:
        write_manifest(args.entries, args.manifest)
    else:
        parser.error("give --files and --out, or --entries and --manifest")


if __name__ == "__main__":
    main()

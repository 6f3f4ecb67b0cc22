#!/usr/bin/env python3
"""Writes one benchmark release: its files, its manifests and the peer's requests.

Usage: make-bench-release.py --shape a|b|c --out DIR --url URL

In DIR it writes release/ (the published files), distant.xml (every file, with
name, size, SHA-1, url, version and date, and the tree's global checksum on the
root), local.xml (an installed tree with nothing in it), files.sha1 (the list
for "sha1sum -c") and peer.curl (a curl config that posts one update request
per file, then the close request, to URL).
"""

import argparse
import hashlib
import os
import random
import urllib.parse
from xml.sax.saxutils import quoteattr

MIB = 1024 * 1024
VERSION = "2.0"
DATE = "2026-01-01T00:00:00"

# (a) few large files, (b) many small ones spread over folders, (c) fewer
# small ones, for runs over a link with latency.
SHAPES = {
    "a": [f"data/file-{i:02d}.bin" for i in range(20)],
    "b": [f"small/d{i // 100:02d}/f{i:04d}.dat" for i in range(5000)],
    "c": [f"small/d{i // 100:02d}/f{i:04d}.dat" for i in range(2000)],
}
SIZES = {"a": 50 * MIB, "b": 4 * 1024, "c": 4 * 1024}


def form_value(text):
    # As the updater encodes it: every reserved byte escaped, "/" kept.
    return urllib.parse.quote(text, safe="/")


def write_files(shape, release):
    """Writes the files with random content and returns {url: (size, sha1)}."""
    rng = random.Random(shape)
    size = SIZES[shape]
    files = {}
    for url in SHAPES[shape]:
        path = os.path.join(release, url)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        digest = hashlib.sha1()
        with open(path, "wb") as out:
            left = size
            while left:
                block = rng.randbytes(min(left, 4 * MIB))
                digest.update(block)
                out.write(block)
                left -= len(block)
        files[url] = (size, digest.hexdigest())
    return files


def build_tree(files):
    """Nests the urls into {"files": {name: url}, "dirs": {name: subtree}}."""
    tree = {"files": {}, "dirs": {}}
    for url in files:
        node = tree
        *folders, name = url.split("/")
        for folder in folders:
            node = node["dirs"].setdefault(folder, {"files": {}, "dirs": {}})
        node["files"][name] = url
    return tree


def canonical(tree, files):
    # Files before folders, each sorted by name; a folder adds its name and
    # then its content; only folder names and file checksums count.
    text = "".join(files[tree["files"][name]][1] for name in sorted(tree["files"]))
    for name in sorted(tree["dirs"]):
        text += name + canonical(tree["dirs"][name], files)
    return text


def xml_tree(tree, files):
    lines = []
    for name in sorted(tree["files"]):
        url = tree["files"][name]
        size, crc = files[url]
        lines.append(
            f"<file name={quoteattr(name)} size=\"{size}\" crc=\"{crc}\" url={quoteattr(url)}"
            f" version=\"{VERSION}\" date=\"{DATE}\"/>")
    for name in sorted(tree["dirs"]):
        lines.append(f"<directory name={quoteattr(name)}>")
        lines += xml_tree(tree["dirs"][name], files)
        lines.append("</directory>")
    return lines


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shape", choices=sorted(SHAPES), required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--url", required=True)
    args = parser.parse_args()

    files = write_files(args.shape, os.path.join(args.out, "release"))
    tree = build_tree(files)
    crc = hashlib.sha1(canonical(tree, files).encode("latin-1")).hexdigest()
    with open(os.path.join(args.out, "distant.xml"), "w", encoding="utf-8") as out:
        out.write(f"<UPDATE_STRUCTURE name=\"ROOT\" version=\"{VERSION}\" date=\"{DATE}.000\" crc=\"{crc}\">\n")
        out.write("\n".join(xml_tree(tree, files)) + "\n</UPDATE_STRUCTURE>\n")
    with open(os.path.join(args.out, "local.xml"), "w", encoding="utf-8") as out:
        out.write("<UPDATE_STRUCTURE name=\"ROOT\" version=\"1.0\"/>\n")
    with open(os.path.join(args.out, "files.sha1"), "w", encoding="utf-8") as out:
        out.writelines(f"{crc}  {url}\n" for url, (_, crc) in files.items())

    # One curl process, one block per request: curl keeps the connection
    # between blocks, and write-out counts the connections it opened.
    with open(os.path.join(args.out, "peer.curl"), "w", encoding="utf-8") as out:
        blocks = [(f"version=&request={form_value(url)}", url) for url in files]
        blocks.append((f"version={VERSION}&request=CLOSE", "/dev/null"))
        for index, (body, output) in enumerate(blocks):
            if index:
                out.write("next\n")
            out.write(f"url = \"{args.url}\"\ndata-raw = \"{body}\"\noutput = \"{output}\"\n"
                      "create-dirs\nsilent\nshow-error\nwrite-out = \"%{num_connects}\\n\"\n")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Fails when an include in src/ points up the layers.

Layers, lowest first: platform, base, fs, listing, sync, app. A file may
include headers of its own layer and of the layers below it.
Usage: tools/check_layers.py [SRC_DIR]
"""
import os
import re
import sys

LAYERS = ["platform", "base", "fs", "listing", "sync", "app"]
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..", "src")
    bad = []
    for dirpath, _, files in os.walk(root):
        for name in sorted(files):
            path = os.path.join(dirpath, name)
            layer = os.path.relpath(path, root).split(os.sep)[0]
            if layer not in LAYERS:
                continue
            with open(path, encoding="utf-8", errors="replace") as f:
                for number, line in enumerate(f, 1):
                    m = INCLUDE.match(line)
                    if not m:
                        continue
                    to = m.group(1).split("/")[0]
                    if to in LAYERS and LAYERS.index(to) > LAYERS.index(layer):
                        bad.append("%s:%d includes %s" % (os.path.relpath(path, root), number, m.group(1)))
    for line in bad:
        print("upward include: " + line)
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())

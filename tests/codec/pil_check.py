#!/usr/bin/python3
"""Reads PNG files with Python's imaging library and compares their pixels,
as RGBA, with raw RGBA dumps written by the encoder tests.

Usage: pil_check.py MANIFEST
Each manifest line: name, PNG path, RGBA path, width, height (tab separated).
Prints one line per file that differs or fails to load, then "checked N";
exits 1 when any file failed.
"""
import sys

from PIL import Image


def check(name, png, raw, width, height):
    with Image.open(png) as im:
        im.load()
        if im.size != (width, height):
            return "size %s, expected %dx%d" % (im.size, width, height)
        got = im.convert("RGBA").tobytes()
    with open(raw, "rb") as f:
        want = f.read()
    if len(got) != len(want):
        return "%d bytes, expected %d" % (len(got), len(want))
    for i, (a, b) in enumerate(zip(got, want)):
        if a != b:
            pixel = i // 4
            return "pixel (%d,%d) channel %d: %d, expected %d (mode %s)" % (
                pixel % width, pixel // width, i % 4, a, b, im.mode)
    return None


def main():
    failed = 0
    count = 0
    with open(sys.argv[1]) as manifest:
        for line in manifest:
            if not line.strip():
                continue
            name, png, raw, width, height = line.rstrip("\n").split("\t")
            count += 1
            try:
                problem = check(name, png, raw, int(width), int(height))
            except Exception as e:  # a file the library cannot read
                problem = "unreadable: %s" % e
            if problem:
                failed += 1
                print("%s: %s" % (name, problem))
    print("checked %d" % count)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

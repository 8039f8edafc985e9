#!/usr/bin/env python3
"""Write a UTF-8 bank source as the Shift-JIS, CRLF file the drill reads.

Lines starting with '#' are comments for the editors of the bank and are not
written. A line that has no Shift-JIS form stops the build with its number.
"""
import sys


def main(src, dst):
    out = []
    with open(src, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\r\n")
            if line.startswith("#"):
                continue
            try:
                out.append(line.encode("cp932"))
            except UnicodeEncodeError as e:
                bad = line[e.start:e.end]
                sys.exit(f"{src}:{number}: cannot be written in Shift-JIS: {bad!r}")
    with open(dst, "wb") as f:
        f.write(b"".join(part + b"\r\n" for part in out))


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: make_bank.py SOURCE.txt OUTPUT.dat")
    main(sys.argv[1], sys.argv[2])

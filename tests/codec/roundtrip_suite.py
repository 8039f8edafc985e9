#!/usr/bin/python3
"""Round trips of the PNG suite through pngconv, judged by other programs.

Usage: roundtrip_suite.py PNGCONV SUITE_DIR CONVERT

For every valid image of the suite's manifest: pngconv in.png out.png must
give a file that pngcheck accepts, whose RGBA (read by Python's imaging
library) is the suite's reference, and that keeps gamma (as PIL reads it),
comment, background and transparency (as pngconv --info reports them); a
second save from out.png, and a trip through BMP, must give the same RGBA
again, and a save with --gray must pass pngcheck too. Then comments over
three re-saves and in Japanese, and BMP with alpha against PIL and
ImageMagick's CONVERT in both directions. Prints one line per failure and a
summary line; exits 1 when anything failed.
"""
import os
import subprocess
import sys
import tempfile

from PIL import Image

PNGCONV, SUITE, CONVERT = sys.argv[1:4]
failures = []
checked = 0


def run(args):
    return subprocess.run(args, capture_output=True)


def fail(name, what):
    failures.append("%s: %s" % (name, what))


def info(path):
    out = run([PNGCONV, "--info", path]).stdout.decode("utf-8", "replace")
    lines = {}
    for line in out.splitlines():
        key, _, value = line.partition(": ")
        lines.setdefault(key, value)
    return lines


def rgba(path):
    """RGBA at 8 bits a sample: 16-bit grey as its high byte, which PIL's
    own conversion would clip instead."""
    with Image.open(path) as im:
        im.load()
        if im.mode.startswith("I"):
            key = im.info.get("transparency")
            out = bytearray()
            for v in im.getdata():
                g = v >> 8
                out += bytes((g, g, g, 0 if v == key else 255))
            return bytes(out)
        return im.convert("RGBA").tobytes()


def gamma(path):
    with Image.open(path) as im:
        return im.info.get("gamma")


def convert(name, src, dst, *options):
    r = run([PNGCONV, *options, src, dst])
    if r.returncode != 0:
        fail(name, "pngconv %s -> %s: %s" % (os.path.basename(src), os.path.basename(dst),
                                           r.stderr.decode(errors="replace").strip()))
        return False
    return True


def pngcheck(name, path):
    r = run(["pngcheck", "-q", path])
    if r.returncode != 0:
        fail(name, "pngcheck: " + r.stdout.decode(errors="replace").strip())


KEPT = ("gamma", "comment", "background colour", "transparent colour", "has alpha")

with tempfile.TemporaryDirectory() as tmp:
    out, back = os.path.join(tmp, "out.png"), os.path.join(tmp, "back.png")
    with open(os.path.join(SUITE, "manifest.tsv")) as manifest:
        rows = [line.rstrip("\n").split("\t") for line in manifest][1:]
    # Names starting with x are the corrupt files (a damaged CRC still
    # loads here and has a reference, but is no valid file).
    rows = [r for r in rows if not r[0].startswith("x")]
    for name, width, height, _, _, _, reference in rows:
        checked += 1
        src = os.path.join(SUITE, name + ".png")
        with open(os.path.join(SUITE, reference), "rb") as f:
            expected = f.read()
        if not convert(name, src, out) or not convert(name, out, back):
            continue
        pngcheck(name, out)
        pngcheck(name, back)
        # Where PIL itself misreads the input (it compares a low-bit grey
        # tRNS with its scaled samples), the output must read the same.
        seen = rgba(src)
        for path in (out, back):
            if rgba(path) not in (expected, seen):
                fail(name, "RGBA of %s differs from the reference" % os.path.basename(path))
        if gamma(src) != gamma(out):
            fail(name, "gamma %s became %s" % (gamma(src), gamma(out)))
        was, now = info(src), info(out)
        for key in KEPT:
            if was.get(key) != now.get(key):
                fail(name, "%s %r became %r" % (key, was.get(key), now.get(key)))
        # Through BMP and back the RGBA stays too.
        bmp = os.path.join(tmp, "via.bmp")
        if convert(name, src, bmp) and convert(name, bmp, back) and rgba(back) not in (expected, seen):
            fail(name, "RGBA changed through BMP")
        # --gray writes valid files, but for the gray-index form (colour
        # type 4 with a PLTE) kept on purpose for the program's own use.
        if convert(name, src, out, "--gray"):
            grey = info(out)
            indexForm = grey.get("colour type", "").startswith("4") and "PLTE" in run(
                ["pngcheck", "-v", out]).stdout.decode(errors="replace")
            if not indexForm:
                pngcheck(name + " --gray", out)

    # A comment over three re-saves, and one in Japanese as PIL reads it.
    for name, text in (("comment resaved", "abc"), ("Japanese comment", "\u65e5\u672c\u8a9e")):
        checked += 1
        src = os.path.join(SUITE, "basn2c08.png")
        if not convert(name, src, out, "--comment", text):
            continue
        for _ in range(3):
            if convert(name, out, back):
                os.replace(back, out)
        pngcheck(name, out)
        with Image.open(out) as im:
            got = im.text.get("Comment")
        if got != text:
            fail(name, "PIL reads the comment as %r" % got)

    # BMP with alpha: ours read by PIL and ImageMagick, theirs read by us.
    for name in ("basn6a08", "tbrn2c08", "tbyn3p08", "basn4a16"):
        checked += 1
        src = os.path.join(SUITE, name + ".png")
        with open(os.path.join(SUITE, name + ".rgba"), "rb") as f:
            expected = f.read()
        bmp = os.path.join(tmp, "ours.bmp")
        if not convert(name, src, bmp):
            continue
        if rgba(bmp) != expected:
            fail(name, "PIL reads our BMP with other RGBA")
        im = run([CONVERT, bmp, "-depth", "8", "rgba:-"])
        if im.returncode != 0 or im.stdout != expected:
            fail(name, "ImageMagick reads our BMP with other RGBA")
        # PIL writes RGBA as a plain 32-bit BMP, whose fourth byte is no
        # alpha by the format (PIL itself reads it back opaque); its alpha
        # BMP is ImageMagick's with a V4/V5 header.
        theirs = os.path.join(tmp, "im.bmp")
        run([CONVERT, src, "-define", "bmp:format=bmp4", "-type", "TrueColorAlpha", theirs])
        # ImageMagick changes the colour under fully transparent pixels, so
        # its own reading of its file is the reference here.
        own = run([CONVERT, theirs, "-depth", "8", "rgba:-"]).stdout
        if convert(name, theirs, out) and rgba(out) != own:
            fail(name, "an ImageMagick BMP with alpha reads otherwise in our PNG")

for line in failures:
    print(line)
print("round trips: %d files checked, %d failures" % (checked, len(failures)))
sys.exit(1 if failures else 0)

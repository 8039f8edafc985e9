#!/usr/bin/python3
"""The optimising save beside optipng and zopflipng, on the files of a corpus.

Usage: optimize.py PNGCONV CORPUS_DIR [NAME...]
CORPUS_DIR holds list.tsv (file, category, source) as make_opt_corpus.sh
writes it; NAMEs keep only the files whose names contain one of them.

Every contender works on a fresh copy of the file in a scratch folder, one
after the other, so that they meet the same machine. A contender's time is
the CPU time (user + system) of its own process, beside the wall clock.
Every output must pass pngcheck and read, with our decoder (pngconv to PAM)
and with PIL, as the same RGBA as the input does with that decoder. Prints
sizes and times per file, per category and in total, then one PASS or FAIL
line per goal. Exits 1 when an output is invalid or its pixels changed, 2
on a wrong command line.
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

from PIL import Image


def usage():
    sys.stderr.write(__doc__)
    sys.exit(2)


if len(sys.argv) < 3:
    usage()
PNGCONV, CORPUS = sys.argv[1:3]
WANTED = sys.argv[3:]

helptext = subprocess.run([PNGCONV, "--help"], capture_output=True).stdout.decode(errors="replace")
HAS_OPTIMIZE = "--optimize" in helptext

# (column, command line with IN and OUT); ours first, the peers after.
CONTENDERS = []
if HAS_OPTIMIZE:
    CONTENDERS += [("opt", [PNGCONV, "--optimize", "IN", "OUT"]),
                   ("opt=2", [PNGCONV, "--optimize=2", "IN", "OUT"])]
CONTENDERS += [("adaptive", [PNGCONV, "--filter", "0", "IN", "OUT"]),
               ("optipng2", ["optipng", "-quiet", "-o2", "-out", "OUT", "IN"]),
               ("optipng7", ["optipng", "-quiet", "-o7", "-out", "OUT", "IN"]),
               ("zopfli-m", ["zopflipng", "-m", "-y", "IN", "OUT"])]
NAMES = [c[0] for c in CONTENDERS]


def timed(args):
    """Runs ARGS; returns (exit status, CPU seconds of the child, wall
    seconds, standard error)."""
    with tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        child = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage_ = os.wait4(child.pid, 0)
        wall = time.perf_counter() - start
        child.returncode = os.waitstatus_to_exitcode(status)
        err.seek(0)
        return child.returncode, usage_.ru_utime + usage_.ru_stime, wall, err.read().decode(errors="replace")


def pil_rgba(path):
    with Image.open(path) as im:
        im.load()
        return im.size, im.convert("RGBA").tobytes()


def raw_bytes(path):
    """Bytes of the decoded samples as the file stores them (bands times
    pixels at 8 bits; a palette image one byte a pixel)."""
    with Image.open(path) as im:
        return im.size[0] * im.size[1] * len(im.getbands())


def our_rgba(path, scratch):
    """RGBA as our decoder reads PATH: pngconv writes it as an RGB_ALPHA PAM."""
    pam = os.path.join(scratch, "decoded.pam")
    r = subprocess.run([PNGCONV, path, pam], capture_output=True)
    if r.returncode != 0:
        return None, "our decoder: " + r.stderr.decode(errors="replace").strip()
    with open(pam, "rb") as f:
        data = f.read()
    end = data.index(b"ENDHDR\n") + len(b"ENDHDR\n")
    fields = dict(line.split(b" ", 1) for line in data[:end].split(b"\n")[1:-2])
    if fields.get(b"DEPTH") != b"4" or fields.get(b"MAXVAL") != b"255":
        return None, "our decoder wrote an unexpected PAM header %r" % data[:end]
    return (int(fields[b"WIDTH"]), int(fields[b"HEIGHT"]), data[end:]), None


def chunks(path):
    """(name, bytes on file) of every chunk, in order; a text chunk's name
    is its type and keyword, since a file may hold many of them."""
    with open(path, "rb") as f:
        data = f.read()
    found, at = [], 8
    while at + 8 <= len(data):
        length = int.from_bytes(data[at:at + 4], "big")
        kind = data[at + 4:at + 8].decode("latin-1")
        if kind in ("tEXt", "zTXt", "iTXt"):
            body = data[at + 8:at + 8 + length]
            kind = "text " + body.split(b"\0", 1)[0].decode("latin-1")
        found.append((kind, length + 12))
        at += length + 12
    return found


def dropped(src, out):
    """The ancillary chunks of SRC that OUT lacks (text chunks by keyword,
    in any of the three forms), and their bytes in SRC."""
    kept = {t for t, _ in chunks(out)}
    lost = [(t, n) for t, n in chunks(src) if t not in kept and t[0].islower()]
    return sorted({t for t, _ in lost}), sum(n for _, n in lost)


def first_difference(width, a, b):
    if len(a) != len(b):
        return "%d RGBA bytes instead of %d" % (len(a), len(b))
    i = next(i for i in range(len(a)) if a[i] != b[i])
    return "first at (%d, %d): %s instead of %s" % (
        i // 4 % width, i // 4 // width, tuple(a[i & ~3:(i & ~3) + 4]), tuple(b[i & ~3:(i & ~3) + 4]))


def pngcheck(path):
    r = subprocess.run(["pngcheck", "-q", path], capture_output=True)
    if r.returncode != 0:
        return (r.stdout + r.stderr).decode(errors="replace").replace(path, "").strip()
    return None


def read_list():
    rows = []
    with open(os.path.join(CORPUS, "list.tsv")) as f:
        for line in list(f)[1:]:
            name, category, _ = line.rstrip("\n").split("\t")
            if WANTED and not any(w in name for w in WANTED):
                continue
            rows.append((name, category))
    return rows


def main():
    for tool in ("optipng", "zopflipng", "pngcheck"):
        if shutil.which(tool) is None:
            print("optimize: %s is missing (bash scripts/setup.sh)" % tool)
            return 1
    rows = read_list()
    if not rows:
        print("optimize: no corpus file matches")
        return 1
    if not HAS_OPTIMIZE:
        print("NOTE pngconv (%s) has no --optimize yet: its columns and goals are left out;"
              " the peers and our adaptive save still run" % PNGCONV)
    problems = []   # (file, contender, what)
    results = []    # (file, category, raw, input size, {name: (size, cpu, wall)})
    losses = {}     # contender: [(file, chunk types it dropped, their bytes)]
    with tempfile.TemporaryDirectory(prefix="optimize-") as scratch:
        for name, category in rows:
            src = os.path.join(CORPUS, name)
            raw = raw_bytes(src)
            # The suite's own reference where there is one: PIL misreads
            # some of its low-bit grey files with a transparent colour.
            ref = os.path.join(os.path.dirname(__file__), "..", "tests", "data", "pngsuite",
                               name[len("suite-"):-len(".png")] + ".rgba")
            reference = None
            if category == "suite" and os.path.exists(ref):
                with open(ref, "rb") as f:
                    reference = f.read()
            pil_in = pil_rgba(src)
            ours_in, why = our_rgba(src, scratch)
            if why:
                problems.append((name, "input", why))
                continue
            row = {}
            for column, template in CONTENDERS:
                copy = os.path.join(scratch, "in.png")
                out = os.path.join(scratch, "out.png")
                shutil.copyfile(src, copy)
                if os.path.exists(out):
                    os.remove(out)
                args = [copy if a == "IN" else out if a == "OUT" else a for a in template]
                status, cpu, wall, err = timed(args)
                if status != 0 or not os.path.exists(out):
                    problems.append((name, column, "failed (%d): %s" % (status, err.strip())))
                    continue
                row[column] = (os.path.getsize(out), cpu, wall)
                types, lost = dropped(src, out)
                if types:
                    losses.setdefault(column, []).append((name, types, lost))
                bad = pngcheck(out)
                if bad:
                    problems.append((name, column, "pngcheck: " + bad))
                try:
                    pil_out = pil_rgba(out)
                except Exception as e:  # a file PIL cannot read
                    pil_out = None
                    problems.append((name, column, "PIL cannot read it: %s" % e))
                if pil_out is not None and pil_out != pil_in and (
                        reference is None or pil_out[1] != reference):
                    problems.append((name, column, "PIL reads other RGBA than from the input, "
                                     + first_difference(pil_in[0][0], pil_out[1], pil_in[1])))
                ours_out, why = our_rgba(out, scratch)
                if why:
                    problems.append((name, column, why))
                elif ours_out != ours_in and (reference is None or ours_out[2] != reference):
                    problems.append((name, column, "our decoder reads other RGBA than from the input, "
                                     + first_difference(ours_in[0], ours_out[2], ours_in[2])))
            results.append((name, category, raw, os.path.getsize(src), row))
            print_row(name, raw, os.path.getsize(src), row)
            sys.stdout.flush()
    report(results, problems, losses)
    return 1 if problems else 0


HEAD_DONE = []


def print_row(name, raw, size, row):
    if not HEAD_DONE:
        print("sizes in bytes; CPU seconds (user + system of the child) below each size row")
        print("%-34s %10s %10s" % ("file", "raw", "input") + "".join(" %10s" % n for n in NAMES))
        HEAD_DONE.append(True)
    print("%-34s %10d %10d" % (name[:34], raw, size)
          + "".join(" %10s" % (row[n][0] if n in row else "-") for n in NAMES))
    print("%-34s %10s %10s" % ("", "", "cpu s")
          + "".join(" %10s" % ("%.3f" % row[n][1] if n in row else "-") for n in NAMES))


def totals(results):
    """Per contender: size, CPU and wall summed over the files that every
    contender wrote (a failed one leaves its file out of all totals)."""
    complete = [r for r in results if all(n in r[4] for n in NAMES)]
    sums = {n: [sum(r[4][n][i] for r in complete) for i in range(3)] for n in NAMES}
    return complete, sums


def report(results, problems, losses):
    print()
    print("%-12s %6s %11s %11s" % ("category", "files", "raw", "input") + "".join(" %11s" % n for n in NAMES))
    categories = []
    for r in results:
        if r[1] not in categories:
            categories.append(r[1])
    for cat in categories + ["total"]:
        part = [r for r in results if cat in ("total", r[1])]
        complete, sums = totals(part)
        print("%-12s %6d %11d %11d" % (cat, len(complete), sum(r[2] for r in complete), sum(r[3] for r in complete))
              + "".join(" %11d" % sums[n][0] for n in NAMES))
    complete, sums = totals(results)
    print("%-12s %6s %11s %11s" % ("cpu s", "", "", "") + "".join(" %11.2f" % sums[n][1] for n in NAMES))
    print("%-12s %6s %11s %11s" % ("wall s", "", "", "") + "".join(" %11.2f" % sums[n][2] for n in NAMES))
    print()
    if HAS_OPTIMIZE:
        ours, peer = sums["opt"][0], sums["zopfli-m"][0]
        verdict(ours <= peer, "total size %d <= zopflipng -m's %d (%+.2f %%)" % (ours, peer, 100.0 * (ours - peer) / peer))
        larger = [(r[0], r[4]["opt"][0], r[4]["optipng2"][0]) for r in complete
                  if r[4]["opt"][0] > 1.01 * r[4]["optipng2"][0]]
        verdict(not larger, "no file more than 1 %% larger than optipng -o2's (%d over)" % len(larger))
        for name, a, b in larger:
            print("  %s: %d bytes, optipng -o2 %d (%+.2f %%)" % (name, a, b, 100.0 * (a - b) / b))
        ours, peer = sums["opt"][1], sums["optipng2"][1]
        verdict(ours <= peer, "total CPU time %.2f s <= optipng -o2's %.2f s (wall %.2f s, %.2f s)"
                % (ours, peer, sums["opt"][2], sums["optipng2"][2]))
    else:
        print("SKIP size and time goals: pngconv has no --optimize")
    ref, peer = sums["adaptive"][0], sums["optipng2"][0]
    print("reference: our adaptive save, total %d bytes (%+.2f %% against optipng -o2)"
          % (ref, 100.0 * (ref - peer) / peer))
    # Dropping ancillary chunks is a peer's own choice and no fault here,
    # but it makes its files smaller than a save that keeps them.
    for column in NAMES:
        if column in losses:
            types = {t for _, ts, _ in losses[column] for t in ts}
            texts = {t for t in types if t.startswith("text ")}
            shown = sorted(types - texts) + (["%d text keywords" % len(texts)] if texts else [])
            print("note: %s dropped chunks of %d files (%s), %d bytes in the inputs"
                  % (column, len(losses[column]), ", ".join(shown), sum(n for _, _, n in losses[column])))
    verdict(not problems, "every output valid with pixels unchanged (%d outputs, %d problems)"
            % (sum(len(r[4]) for r in results), len(problems)))
    for name, column, what in problems:
        print("  %s [%s]: %s" % (name, column, what))


def verdict(ok, text):
    print("%s %s" % ("PASS" if ok else "FAIL", text))


if __name__ == "__main__":
    sys.exit(main())

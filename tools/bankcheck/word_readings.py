#!/usr/bin/env python3
"""Write banks/joyo/words.tsv: the common nouns that a dictionary reads more
than one way, spelled in joyo kanji only.

usage: word_readings.py JOYO.TSV IPADIC_DIR OUTPUT.TSV

The dictionary is the Debian package mecab-ipadic (its CSV sources, EUC-JP).
Proper nouns and numerals are left out. banktool check takes a reading
listed here as a second reading of the word when the joyo table's readings
build it too. Number words the dictionary composes instead of listing are
added by hand below.
"""
import collections
import glob
import sys

BY_HAND = {
    "二十歳": ["はたち", "にじゅっさい", "にじっさい"],
    "二十日": ["はつか", "にじゅうにち"],
}


def hiragana(katakana):
    return "".join(chr(ord(c) - 0x60) if "ァ" <= c <= "ヶ" else c for c in katakana)


def main(joyo_tsv, ipadic, out):
    joyo = {l.split("\t")[0] for l in open(joyo_tsv, encoding="utf-8") if not l.startswith("#")}
    readings = collections.defaultdict(set)
    for path in sorted(glob.glob(ipadic + "/*.csv")):
        for line in open(path, encoding="euc_jp", errors="replace"):
            f = line.rstrip("\n").split(",")
            if len(f) < 12 or f[4] != "名詞" or f[5] in ("固有名詞", "数"):
                continue
            if all(c in joyo or c == "々" for c in f[0]):
                readings[f[0]].add(hiragana(f[11]))
    for word, rs in BY_HAND.items():
        readings[word].update(rs)
    with open(out, "w", encoding="utf-8") as o:
        o.write("# Nouns in joyo kanji that a dictionary reads more than one way:\n"
                "# spelling, tab, readings separated by spaces. Written by\n"
                "# tools/bankcheck/word_readings.py; see README.md.\n")
        for word in sorted(readings):
            if len(readings[word]) > 1:
                o.write(word + "\t" + " ".join(sorted(readings[word])) + "\n")


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])

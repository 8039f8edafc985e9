#!/usr/bin/python3
"""Checks the UTF-8 bank sources before the build turns them into Shift-JIS.

  mecab_check.py lint  [banks/four.txt] [banks/tanbun_yomi.txt]
      record shape, Shift-JIS, duplicates and the room each text has on screen
  mecab_check.py mecab [banks/four.txt] [banks/tanbun_yomi.txt]
      compares the reading of each bracketed word, and of each idiom, with
      the analyser's

The lint exits 1 when any record breaks a rule. The analyser comparison prints
every disagreement that is not already explained by a "# " comment line right
above its record, and exits 1 when such an unexplained one remains; the
analyser is a second opinion, so the comment records why the bank is right.

Screen room, in pixels of the 640-pixel window (96 dpi): the sentence is drawn
from x = 10 at 30 pt (40 px for a full-width character), the expected reading
at 20 pt centred over the underlined word, the idiom's reading at 24 pt centred
in 540 px, the meaning in brackets at 20 pt centred in 640 px. Where the
system's Python has PIL and the IPA proportional fonts (the stand-ins for the
drill's faces), every text is also measured with them, glyph by glyph.
"""
import os
import re
import subprocess
import sys
import unicodedata

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FOUR = os.path.join(ROOT, "banks", "four.txt")
YOMI = os.path.join(ROOT, "banks", "tanbun_yomi.txt")

MAX_SENTENCE = 14      # 14 x 40 px from x = 10 ends at 570
MAX_IDIOM_READING = 15  # 15 x 32 px = 480 of 540
MAX_MEANING = 20       # (20 + 2 brackets) x 27 px = 594 of 640
# The expected reading (20 pt, at most 27 px a character) must not leave the
# window on either side of the underlined word it is centred over.
READING_PX = 27
KANJI_PX = 40
NARROWEST_PX = 28      # a proportional kana at 30 pt is never narrower than this

HIRAGANA = re.compile(r"^[\u3041-\u3096\u30fc]+$")


def records(path):
    """Yields (line number, text, comment lines right above) for each record."""
    comments = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\r\n")
            if line.startswith("#"):
                comments.append(line)
                continue
            yield number, line, comments
            comments = []


def is_kanji(ch):
    return ch == "々" or unicodedata.name(ch, "").startswith("CJK UNIFIED")


def common_problems(line, fields):
    problems = []
    try:
        line.encode("cp932")
    except UnicodeEncodeError as e:
        problems.append(f"not Shift-JIS: {line[e.start:e.end]!r}")
    if not line:
        problems.append("empty line")
    for i, field in enumerate(fields):
        # The drill's field splitter ends a field at any byte up to 0x20
        # and reads a leading double quote as the start of a quoted field.
        if any(ord(c) <= 0x20 for c in field) or field.startswith('"'):
            problems.append(f"field {i} holds a blank or starts with a quote")
        if not field:
            problems.append(f"field {i} is empty")
    return problems


def lint_four(path, fonts=None):
    errors, seen = [], {}
    for number, line, _ in records(path):
        fields = line.split(",")
        problems = common_problems(line, fields)
        if len(fields) != 8:
            problems.append(f"{len(fields)} fields, 8 wanted")
        else:
            question, whole, right, w1, w2, w3, reading, meaning = fields
            if len(whole) != 4:
                problems.append("the idiom is not four characters")
            if question.count("□□") != 1 or len(question) != 4:
                problems.append("the question does not hide one pair as □□")
            elif question.replace("□□", right) != whole:
                problems.append("question with the right pair is not the idiom")
            elif not (question.startswith("□□") or question.endswith("□□")):
                problems.append("the hidden pair is not one half of the idiom")
            pairs = [right, w1, w2, w3]
            if any(len(p) != 2 for p in pairs):
                problems.append("an answer is not two characters")
            if len(set(pairs)) != 4:
                problems.append("the four answers are not all different")
            if not HIRAGANA.match(reading):
                problems.append("the reading is not hiragana")
            if len(reading) > MAX_IDIOM_READING:
                problems.append(f"reading longer than {MAX_IDIOM_READING}")
            if len(meaning) > MAX_MEANING:
                problems.append(f"meaning longer than {MAX_MEANING} ({len(meaning)})")
            if whole in seen:
                problems.append(f"idiom repeats line {seen[whole]}")
            if fonts:
                problems += measure_four(fonts, fields)
            seen.setdefault(whole, number)
        errors += [f"{path}:{number}: {p}" for p in problems]
    return errors, len(seen)


def split_sentence(sentence):
    """(text without brackets, start, end) of the one bracketed word, or None."""
    m = re.fullmatch(r"([^\[\]]*)\[([^\[\]]+)\]([^\[\]]*)", sentence)
    if not m:
        return None
    before, word, after = m.groups()
    return before + word + after, len(before), len(before) + len(word)


def lint_yomi(path, fonts=None):
    errors, seen, count = [], {}, 0
    for number, line, _ in records(path):
        fields = line.split(",")
        problems = common_problems(line, fields)
        count += 1
        if len(fields) != 2:
            problems.append(f"{len(fields)} fields, 2 wanted")
        else:
            sentence, reading = fields
            parts = split_sentence(sentence)
            if parts is None:
                problems.append("the sentence has not exactly one bracketed word")
            else:
                plain, start, end = parts
                word = plain[start:end]
                if not all(is_kanji(c) for c in word):
                    problems.append("the bracketed word holds more than kanji")
                if len(plain) > MAX_SENTENCE:
                    problems.append(f"sentence longer than {MAX_SENTENCE} ({len(plain)})")
                half = READING_PX * len(reading) / 2
                centre_low = 10 + NARROWEST_PX * start + KANJI_PX * (end - start) / 2
                centre_high = 10 + KANJI_PX * start + KANJI_PX * (end - start) / 2
                if centre_low - half < 0 or centre_high + half > 640:
                    problems.append("the reading would run off the window")
                if fonts:
                    problems += measure_yomi(fonts, plain, start, end, reading)
                key = (word, reading)
                if key in seen:
                    problems.append(f"{word} read {reading} repeats line {seen[key]}")
                seen.setdefault(key, number)
            if not HIRAGANA.match(reading):
                problems.append("the reading is not hiragana")
        errors += [f"{path}:{number}: {p}" for p in problems]
    return errors, count


MINCHO = "/usr/share/fonts/opentype/ipafont-mincho/ipamp.ttf"
GOTHIC = "/usr/share/fonts/opentype/ipafont-gothic/ipagp.ttf"


def px(points):
    """Pixel height of a font of the given points on a 96-dpi screen."""
    return int(points * 96 / 72 + 0.5)


class Fonts:
    """Measures with the proportional fonts that stand in for the drill's faces."""

    def __init__(self):
        from PIL import ImageFont
        self._load = ImageFont.truetype
        self._cache = {}

    def width(self, face, points, text):
        key = (face, points)
        if key not in self._cache:
            self._cache[key] = self._load(face, px(points))
        return self._cache[key].getlength(text)


def load_fonts():
    try:
        if os.path.exists(MINCHO) and os.path.exists(GOTHIC):
            return Fonts()
    except ImportError:
        pass
    return None


def measure_four(fonts, fields):
    """Problems of an idiom record measured with the real fonts."""
    question, whole, right, w1, w2, w3, reading, meaning = fields
    problems = []
    for text in (question, whole):
        if fonts.width(MINCHO, 72, text) > 540:
            problems.append(f"{text} wider than its 540-pixel box")
    if fonts.width(GOTHIC, 24, reading) > 540:
        problems.append("reading wider than its 540-pixel box")
    if fonts.width(GOTHIC, 20, "[" + meaning + "]") > 640:
        problems.append("meaning wider than the window")
    for pair in (right, w1, w2, w3):
        if 170 + fonts.width(GOTHIC, 28, "4. " + pair) > 640:
            problems.append(f"answer {pair} runs off the window")
    if 200 + fonts.width(GOTHIC, 32, "4. " + right) > 640:
        problems.append("the large right answer runs off the window")
    return problems


def measure_yomi(fonts, plain, start, end, reading):
    """Problems of a reading record measured with the real fonts.

    The sentence is drawn one character at a time from x = 10, so each
    character advances by its own width; the reading is centred over the
    underlined characters, its left edge rounded toward zero.
    """
    problems = []
    x, first, last = 10, None, None
    for i, ch in enumerate(plain):
        w = int(fonts.width(MINCHO, 30, ch))
        if i == start:
            first = x
        if start <= i < end:
            last = x + w
        x += w
    if x > 640:
        problems.append("sentence runs off the window")
    centre = first + int((last - first) / 2)
    w = int(fonts.width(MINCHO, 20, reading))
    left = centre - int(w / 2)
    if left < 0 or left + w > 640:
        problems.append(f"reading drawn from {left} to {left + w}")
    return problems


def katakana_to_hiragana(text):
    return "".join(chr(ord(c) - 0x60) if "\u30a1" <= c <= "\u30f6" else c for c in text)


def analyse(plain):
    """The analyser's tokens as (surface, reading in hiragana or None)."""
    out = subprocess.run(["mecab"], input=plain + "\n", capture_output=True,
                         text=True, check=True).stdout
    tokens = []
    for row in out.splitlines():
        if row == "EOS" or "\t" not in row:
            continue
        surface, features = row.split("\t", 1)
        features = features.split(",")
        reading = features[7] if len(features) > 7 and features[7] != "*" else None
        tokens.append((surface, katakana_to_hiragana(reading) if reading else None))
    return tokens


def reading_of_span(tokens, start, end):
    """The analyser's reading of characters start..end, or a reason it has none.

    Tokens that run past the word on either side are trimmed by their kana
    (okurigana, prefixes); a token that splits the word's kanji cannot be.
    """
    pos, pieces = 0, []
    for surface, reading in tokens:
        t0, t1 = pos, pos + len(surface)
        pos = t1
        if t1 <= start or t0 >= end:
            continue
        if reading is None:
            return None, f"no reading for {surface}"
        head = surface[:max(0, start - t0)]
        tail = surface[len(surface) - max(0, t1 - end):] if t1 > end else ""
        for extra, at_end in ((tail, True), (head, False)):
            if not extra:
                continue
            kana = katakana_to_hiragana(extra)
            if not HIRAGANA.match(kana):
                return None, f"token {surface} splits the word"
            if at_end and reading.endswith(kana):
                reading = reading[:-len(kana)]
            elif not at_end and reading.startswith(kana):
                reading = reading[len(kana):]
            else:
                return None, f"token {surface} read {reading} does not end in {kana}"
        pieces.append(reading)
    return "".join(pieces), None


def covering_reading(tokens, start, end):
    """Reading of the tokens that together cover characters start..end."""
    pos, pieces = 0, []
    for surface, reading in tokens:
        t0, t1 = pos, pos + len(surface)
        pos = t1
        if t1 > start and t0 < end:
            if reading is None:
                return None
            pieces.append(reading)
    return "".join(pieces)


def check_mecab(path):
    if "four" in os.path.basename(path):
        return check_idiom_readings(path)
    unexplained, explained, inside = [], [], 0
    for number, line, comments in records(path):
        fields = line.split(",")
        if len(fields) != 2 or split_sentence(fields[0]) is None:
            continue
        plain, start, end = split_sentence(fields[0])
        tokens = analyse(plain)
        theirs, why = reading_of_span(tokens, start, end)
        if theirs == fields[1]:
            continue
        if theirs is None:
            # The word is part of a longer one (天丼, 心筋梗塞): the longer
            # word's reading must at least contain ours.
            whole = covering_reading(tokens, start, end)
            if whole and fields[1] in whole:
                inside += 1
                continue
        said = theirs if theirs is not None else f"? ({why})"
        entry = f"{path}:{number}: {fields[0]} ours {fields[1]}, analyser {said}"
        (explained if any(c.startswith("# ") for c in comments) else unexplained).append(entry)
    return report(explained, unexplained, f"{inside} agree inside a longer word, ")


def report(explained, unexplained, note=""):
    for entry in explained:
        print("explained:", entry)
    for entry in unexplained:
        print("UNEXPLAINED:", entry)
    print(f"{note}{len(explained)} explained, {len(unexplained)} unexplained disagreements")
    return not unexplained


def check_idiom_readings(path):
    """Compares each idiom's reading with the analyser's reading of the idiom."""
    unexplained, explained = [], []
    for number, line, comments in records(path):
        fields = line.split(",")
        if len(fields) != 8:
            continue
        tokens = analyse(fields[1])
        theirs = "".join(r if r else "?" for _, r in tokens)
        if theirs == fields[6]:
            continue
        entry = f"{path}:{number}: {fields[1]} ours {fields[6]}, analyser {theirs}"
        (explained if any(c.startswith("# ") for c in comments) else unexplained).append(entry)
    return report(explained, unexplained)


def main(argv):
    mode = argv[1] if len(argv) > 1 else "lint"
    if mode == "lint":
        paths = argv[2:] or [FOUR, YOMI]
        failed = False
        fonts = load_fonts()
        if fonts is None:
            print("fonts or PIL missing: measured with the estimates only")
        for path in paths:
            kind = lint_four if "four" in os.path.basename(path) else lint_yomi
            errors, count = kind(path, fonts)
            for e in errors:
                print(e)
            print(f"{path}: {count} records, {len(errors)} problems")
            failed |= bool(errors) or count < 2
        return 1 if failed else 0
    if mode == "mecab":
        return 0 if all([check_mecab(p) for p in (argv[2:] or [FOUR, YOMI])]) else 1
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))

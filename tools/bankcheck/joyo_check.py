#!/usr/bin/env python3
"""Cross-check the joyo readings table against KANJIDIC.

Usage: joyo_check.py JOYO.tsv FUHYO.tsv [KANJIDIC]

Checks the counts of the 2010 table (2,136 kanji, 196 of them added in 2010,
116 appended words, 2,352 on and 2,036 kun readings, a reading the table
gives only in a note, written in parentheses, not counted), that every kanji
is graded G1-G8 in KANJIDIC (the joyo
grades) and that KANJIDIC grades no joyo kanji we lack, and that every reading
is among KANJIDIC's readings of its kanji. The disagreements that were looked
at by hand and settled are listed in ACCEPTED below (and in banks/joyo/README.md);
one that is no longer needed is reported too, so the list stays honest.
Exits non-zero on any finding.
"""
import re
import sys

# The 2010 table writes four kanji in forms that JIS X 0208 (and so Shift-JIS
# and the EUC-JP KANJIDIC) lacks; the table permits these forms in their place.
# KANJIDIC lists the permitted forms without a joyo grade.
PERMITTED = {"叱": "𠮟", "填": "塡", "剥": "剝", "頬": "頰"}

# (kanji, reading) pairs the 2010 table lists but KANJIDIC does not.
ACCEPTED = {
    ("中", "ジュウ"): "世界中, 一日中: the table lists ジュウ",
    ("曽", "ゾ"): "未曽有 (みぞう): the table lists ゾ",
    ("塞", "ふさ.がる"): "the table lists ふさぐ and ふさがる",
    ("務", "つと.まる"): "the table lists つとめる and つとまる",
    ("絡", "から.める"): "the table lists からむ, からまる, からめる",
    ("丼", "どん"): "牛丼: the table lists どんぶり and どん",
    ("速", "はや.まる"): "the table lists はやい, はやめる, はやまる, すみやか",
    ("羨", "うらや.ましい"): "the table lists うらやむ and うらやましい",
    ("踊", "おど.り"): "the table lists おどる and おどり (盆踊り)",
    ("籠", "こ.もる"): "the table writes 籠もる; KANJIDIC has こも.る",
}

KANA_ON = re.compile(r"^[ァ-ヶー]+$")
KANA_KUN = re.compile(r"^[ぁ-ゖー]+(\.[ぁ-ゖー]+)?$")


def read_kanjidic(path):
    entries = {}
    with open(path, encoding="euc_jp", errors="replace") as f:
        for line in f:
            if line.startswith("#"):
                continue
            fields = line.split()
            grade = None
            readings = set()
            for field in fields[1:]:
                if field.startswith("{") or re.fullmatch(r"T\d", field):
                    break  # meanings, or the name readings that follow T1/T2
                if re.fullmatch(r"G\d+", field):
                    grade = int(field[1:])
                elif re.match(r"^[-ぁ-ヶ]", field):
                    readings.add(field.strip("-"))
            entries[fields[0]] = (grade, readings)
    return entries


def read_table(path, problems):
    rows = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if line.startswith("#"):
                continue
            fields = line.rstrip("\n").split("\t")
            if len(fields) != 4:
                problems.append(f"{path}:{number}: expected 4 fields")
                continue
            kanji, on, kun, added = fields
            on = [] if on == "-" else on.split(" ")
            kun = [] if kun == "-" else kun.split(" ")
            # "(ジュッ)": a reading the table gives in a note only.
            notes = [r[1:-1] for r in on + kun if r.startswith("(") and r.endswith(")")]
            on = [r for r in on if not r.startswith("(")]
            kun = [r for r in kun if not r.startswith("(")]
            for r in on:
                if not KANA_ON.match(r):
                    problems.append(f"{path}:{number}: on reading not katakana: {r}")
            for r in kun:
                if not KANA_KUN.match(r):
                    problems.append(f"{path}:{number}: kun reading malformed: {r}")
            if not on and not kun:
                problems.append(f"{path}:{number}: {kanji} has no reading")
            if added not in ("2010", "-"):
                problems.append(f"{path}:{number}: last field must be 2010 or -")
            rows.append((kanji, on, kun, added == "2010", notes))
    return rows


def main(table_path, fuhyo_path, kanjidic_path):
    problems = []
    rows = read_table(table_path, problems)
    kanji = [r[0] for r in rows]
    if len(kanji) != 2136:
        problems.append(f"{len(kanji)} kanji, the table has 2136")
    if len(set(kanji)) != len(kanji):
        problems.append("a kanji is listed twice")
    added = sum(1 for r in rows if r[3])
    if added != 196:
        problems.append(f"{added} kanji marked 2010, the table added 196")

    fuhyo = 0
    with open(fuhyo_path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            if line.startswith("#"):
                continue
            fuhyo += 1
            reading, spellings = line.rstrip("\n").split("\t")
            for spelling in spellings.split(" "):
                for c in spelling:
                    if "一" <= c <= "鿿" and c not in kanji:
                        problems.append(f"{fuhyo_path}:{number}: {c} is not in the table")
    if fuhyo != 116:
        problems.append(f"{fuhyo} appended words, the table has 116")

    # The 2010 table's own tally of its readings (2,352 on, 2,036 kun): a slip
    # in copying shows here.
    on_count = sum(len(r[1]) for r in rows)
    kun_count = sum(len(r[2]) for r in rows)
    if (on_count, kun_count) != (2352, 2036):
        problems.append(f"{on_count} on and {kun_count} kun readings; the table has 2352 and 2036")

    kd = read_kanjidic(kanjidic_path)
    used = set()
    for k, on, kun, _, notes in rows:
        if k not in kd:
            problems.append(f"{k}: not in KANJIDIC")
            continue
        grade, readings = kd[k]
        if k in PERMITTED:
            if grade is not None and grade <= 8:
                problems.append(f"{k}: permitted form unexpectedly graded G{grade}")
        elif grade is None or not 1 <= grade <= 8:
            problems.append(f"{k}: KANJIDIC grade is {grade}, not G1-G8")
        dotless = {r.replace(".", "") for r in readings}
        for r in on + kun + notes:
            if r in readings or ("." not in r and r in dotless):
                continue
            if (k, r) in ACCEPTED:
                used.add((k, r))
                continue
            problems.append(f"{k}: reading {r} is not among KANJIDIC's")
    graded = {k for k, (g, _) in kd.items() if g is not None and 1 <= g <= 8}
    for k in sorted(graded - set(kanji)):
        problems.append(f"{k}: graded joyo in KANJIDIC but missing from the table")
    for pair in sorted(set(ACCEPTED) - used):
        problems.append(f"accepted disagreement {pair} no longer arises")

    for p in problems:
        print(p)
    print(f"{len(kanji)} kanji, {added} added in 2010, {fuhyo} appended words, "
          f"{on_count} on and {kun_count} kun readings, "
          f"{len(used)} accepted disagreements, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) not in (3, 4):
        sys.exit("usage: joyo_check.py JOYO.tsv FUHYO.tsv [KANJIDIC]")
    sys.exit(main(sys.argv[1], sys.argv[2],
                  sys.argv[3] if len(sys.argv) == 4 else "/usr/share/edict/kanjidic"))

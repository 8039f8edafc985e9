#!/usr/bin/env python3
"""Prints how many of the kanji added to the joyo table in 2010 that have a
kun reading are asked in one in the reading bank, and names those that are not.

A question counts for a kanji when its bracket is that kanji alone and the
answer is one of its kun stems, or when the bracket is a longer word whose
answer contains one of its kun stems of two kana or more (short stems such
as か would match on readings by chance) or, for a word that begins with the
kanji, begins with one of its stems (弥生 やよい). Exits 1 when any kanji is missed.

usage: kun_coverage.py joyo.tsv tanbun_yomi.txt
"""
import re
import sys


def main(table_path, bank_path):
    kun = {}
    with open(table_path, encoding='utf-8') as table:
        for line in table:
            if line.startswith('#'):
                continue
            fields = line.rstrip('\n').split('\t')
            if len(fields) >= 4 and fields[3] == '2010' and fields[2] != '-':
                kun[fields[0]] = [r.strip('()').split('.')[0] for r in fields[2].split()]
    asked = {kanji: 0 for kanji in kun}
    with open(bank_path, encoding='utf-8') as bank:
        for line in bank:
            if line.startswith('#') or ',' not in line:
                continue
            sentence, reading = line.rstrip('\n').rsplit(',', 1)
            match = re.search(r'\[(.*?)\]', sentence)
            if not match:
                continue
            word = match.group(1)
            for kanji, stems in kun.items():
                if kanji not in word:
                    continue
                if word == kanji and reading in stems:
                    asked[kanji] += 1
                elif word != kanji and any(
                        (len(s) >= 2 and s in reading)
                        or (word.startswith(kanji) and reading.startswith(s))
                        for s in stems):
                    asked[kanji] += 1
    missed = [kanji for kanji, n in asked.items() if n == 0]
    print(f'2010 kanji with a kun reading: {len(kun)}, asked in one: {len(kun) - len(missed)}')
    if missed:
        print('not asked in a kun reading: ' + ' '.join(missed))
    return 1 if missed else 0


if __name__ == '__main__':
    if len(sys.argv) != 3:
        sys.exit(__doc__.strip().splitlines()[-1])
    sys.exit(main(sys.argv[1], sys.argv[2]))

// Whether a bracketed word's reading is built from the joyo table's
// readings of its kanji.
#pragma once

#include <string_view>

#include "tools/banktool/JoyoTable.h"

enum class ReadingVerdict {
    Fits,            // built from table readings, okurigana agreeing
    WrongOkurigana,  // built only if the kana after the bracket are ignored
    OutsideTable,
};

// word: the kanji in the brackets; reading: the typed answer (hiragana);
// after: the text that follows the closing bracket. A reading joins the
// readings of the kanji in order, each allowing the regular sound changes
// at a join: voicing of the following kanji's first kana, a final つ/ち/く/き
// turning into っ before the k, s, t, h and p rows, and the h row turning
// into the p row after ん or っ. A word of the appended list counts as a
// whole. A kun reading whose okurigana the table gives must agree with the
// kana after the bracket, allowing for inflection. joined: a kanji stands
// right before the bracket, so the word's first kana may be voiced too
// (小春[日和] びより).
ReadingVerdict JudgeReading(const JoyoTable& table, std::u16string_view word, std::u16string_view reading,
                            std::u16string_view after, bool joined);

// Another reading the table gives the bracketed word in this sentence, or
// an empty string when it gives only the one asked. The table gives a word
// more than one reading when
//  - its kanji are spelled as a word of the appended list (kana after the
//    bracket completing it) and the answer is not that word's reading
//    ([上手] うわて: じょうず);
//  - the dictionary list (words.tsv) gives a spelling of two or more kanji
//    another reading
//    that the table's readings build in this sentence too (梅雨 つゆ and
//    ばいう, 二十歳 はたち and にじゅっさい, 今朝 けさ and こんちょう);
//  - it is one kanji with two kun readings written alike: both bare (餌 え
//    and えさ) or with the same okurigana, which the kana after the bracket
//    begin with (脅かす おど and おびや).
// Whether the other reading fits the sentence is for a person to judge: a
// reviewed record says the sentence asks the one given.
std::u16string OtherTableReading(const JoyoTable& table, std::u16string_view word, std::u16string_view reading,
                                 std::u16string_view after, bool joined);

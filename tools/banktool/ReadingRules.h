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

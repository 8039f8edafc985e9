#include "tools/banktool/BankTable.h"

#include "app/FuncUnit.h"
#include "platform/ShiftJis.h"
#include "text/TextList.h"
#include "tools/banktool/ReadingRules.h"

namespace {

std::string Utf8(std::u16string_view text) { return SjisToUtf8(Utf16ToSjis(text)); }

bool IsKanji(char16_t c) { return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xF900 && c <= 0xFAFF); }

bool IsHiragana(char16_t c) { return c >= u'ぁ' && c <= u'ん'; }

void NonJoyo(const JoyoTable& table, const std::string& field, size_t n, int32_t line,
             std::vector<BankProblem>& problems) {
    for (const char16_t c : SjisToUtf16(field))
        if (IsKanji(c) && !table.Find(c))
            problems.push_back({line, "kanji \"" + Utf8(std::u16string(1, c)) + "\" in field " + std::to_string(n) +
                                          " is not in the joyo table"});
}

// The bracketed word's reading; malformed brackets are the other checks'.
void Reading(const JoyoTable& table, const std::vector<std::string>& f, int32_t line,
             std::vector<BankProblem>& problems) {
    const std::u16string sentence = SjisToUtf16(f[0]);
    const size_t open = sentence.find(u'[');
    const size_t close = sentence.find(u']');
    if (open == std::u16string::npos || close == std::u16string::npos || close < open + 2) return;
    const std::u16string word = sentence.substr(open + 1, close - open - 1);
    size_t end = close + 1;
    while (end < sentence.size() && IsHiragana(sentence[end])) ++end;
    const std::u16string after = sentence.substr(close + 1, end - close - 1);
    const std::u16string reading = SjisToUtf16(f[1]);
    const bool joined = open > 0 && IsKanji(sentence[open - 1]);
    switch (JudgeReading(table, word, reading, after, joined)) {
        case ReadingVerdict::Fits: break;
        case ReadingVerdict::WrongOkurigana:
            problems.push_back({line, "the table's kun reading \"" + Utf8(reading) + "\" of \"" + Utf8(word) +
                                          "\" has other okurigana than \"" + Utf8(after) + "\""});
            break;
        case ReadingVerdict::OutsideTable:
            problems.push_back({line, "reading \"" + Utf8(reading) + "\" of \"" + Utf8(word) +
                                          "\" is not built from the joyo table's readings"});
            break;
    }
}

}  // namespace

std::vector<BankProblem> CheckBankTable(const std::vector<std::string>& lines, BankKind kind,
                                        const JoyoTable& table) {
    std::vector<BankProblem> problems;
    for (size_t i = 0; i < lines.size(); ++i) {
        const auto line = int32_t(i + 1);
        TStringList list;
        if (SplitFields(lines[i], ',', list) < FieldsRead(kind)) continue;
        const std::vector<std::string>& f = list.Items();
        if (kind == BankKind::Yomi) {
            NonJoyo(table, f[0], 0, line, problems);
            Reading(table, f, line, problems);
        } else {
            // Everything the idiom drill shows: question, idiom, the four pairs, meaning.
            for (const size_t n : {0, 1, 2, 3, 4, 5, 7}) NonJoyo(table, f[n], n, line, problems);
        }
    }
    return problems;
}

#include "tools/banktool/BankTable.h"

#include <optional>

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

struct Asked {
    std::u16string word, reading, after;  // after: the kana that follow the bracket
    bool joined = false;                   // a kanji stands right before the bracket
};

// The bracketed word; nothing for malformed brackets, which are the other checks'.
std::optional<Asked> AskedWord(const std::vector<std::string>& f) {
    const std::u16string sentence = SjisToUtf16(f[0]);
    const size_t open = sentence.find(u'[');
    const size_t close = sentence.find(u']');
    if (open == std::u16string::npos || close == std::u16string::npos || close < open + 2) return std::nullopt;
    size_t end = close + 1;
    while (end < sentence.size() && IsHiragana(sentence[end])) ++end;
    return Asked{sentence.substr(open + 1, close - open - 1), SjisToUtf16(f[1]),
                 sentence.substr(close + 1, end - close - 1), open > 0 && IsKanji(sentence[open - 1])};
}

void Reading(const JoyoTable& table, const std::vector<std::string>& f, int32_t line, bool reviewed,
             std::vector<BankProblem>& problems) {
    const std::optional<Asked> a = AskedWord(f);
    if (!a) return;
    const std::u16string &word = a->word, &reading = a->reading, &after = a->after;
    const bool joined = a->joined;
    if (!reviewed)
        if (const std::u16string other = OtherTableReading(table, word, reading, after, joined); !other.empty())
            problems.push_back({line, "the table also reads \"" + Utf8(word) + "\" as \"" + Utf8(other) +
                                          "\": mark the record reviewed if its sentence asks \"" + Utf8(reading) +
                                          "\" only"});
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

std::u16string SecondTableReading(const JoyoTable& table, const std::vector<std::string>& fields) {
    const std::optional<Asked> a = AskedWord(fields);
    return a ? OtherTableReading(table, a->word, a->reading, a->after, a->joined) : u"";
}

std::vector<BankProblem> CheckBankTable(const std::vector<std::string>& lines, BankKind kind,
                                        const JoyoTable& table, const std::vector<bool>& reviewed) {
    std::vector<BankProblem> problems;
    for (size_t i = 0; i < lines.size(); ++i) {
        const auto line = int32_t(i + 1);
        TStringList list;
        if (SplitFields(lines[i], ',', list) < FieldsRead(kind)) continue;
        const std::vector<std::string>& f = list.Items();
        if (kind == BankKind::Yomi) {
            NonJoyo(table, f[0], 0, line, problems);
            Reading(table, f, line, i < reviewed.size() && reviewed[i], problems);
        } else {
            // Everything the idiom drill shows: question, idiom, the four pairs, meaning.
            for (const size_t n : {0, 1, 2, 3, 4, 5, 7}) NonJoyo(table, f[n], n, line, problems);
        }
    }
    return problems;
}

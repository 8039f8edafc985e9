#include "tools/banktool/BankStats.h"

#include <map>
#include <set>

#include "app/FuncUnit.h"
#include "platform/ShiftJis.h"
#include "text/TextList.h"
#include "tools/banktool/BankTable.h"

namespace {

std::string Utf8(std::u16string_view text) { return SjisToUtf8(Utf16ToSjis(text)); }

std::u16string AskedWord(const std::string& sentence) {
    const std::u16string s = SjisToUtf16(sentence);
    const size_t open = s.find(u'['), close = s.find(u']');
    if (open == std::u16string::npos || close == std::u16string::npos || close < open) return u"";
    return s.substr(open + 1, close - open - 1);
}

std::string Percent(size_t part, size_t whole) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f %%", whole ? 100.0 * double(part) / double(whole) : 0.0);
    return buf;
}

}  // namespace

std::vector<std::string> BankStats(const std::vector<BankFile>& banks, const JoyoTable& table,
                                   const std::set<std::u16string>* schoolWords) {
    std::vector<std::string> out;
    std::set<char16_t> allKanji, readingKanji, idiomKanji;
    std::map<char16_t, int> asked2010;  // reading questions asking each 2010 kanji
    std::set<std::u16string> appendedAsked;
    size_t idioms = 0, idioms2010 = 0;
    size_t readings = 0, flagged = 0, flaggedReviewed = 0;
    size_t schoolReadings = 0, schoolIdioms = 0;
    for (const BankFile& bank : banks) {
        size_t questions = 0;
        for (const std::string& line : bank.lines) {
            TStringList list;
            if (SplitFields(line, ',', list) < FieldsRead(bank.kind)) continue;
            ++questions;
            const std::vector<std::string>& f = list.Items();
            if (bank.kind == BankKind::Yomi) {
                ++readings;
                if (!SecondTableReading(table, f).empty()) {
                    ++flagged;
                    const size_t at = size_t(&line - bank.lines.data());
                    if (at < bank.reviewed.size() && bank.reviewed[at]) ++flaggedReviewed;
                }
                const std::u16string word = AskedWord(f[0]);
                if (schoolWords && schoolWords->count(word)) ++schoolReadings;
                std::set<char16_t> seen;
                for (const char16_t c : word) {
                    const JoyoKanji* k = table.Find(c);
                    if (!k) continue;
                    readingKanji.insert(c);
                    allKanji.insert(c);
                    if (k->added2010 && seen.insert(c).second) ++asked2010[c];
                }
                // A spelling with kana (兄さん) continues past the bracket.
                std::u16string plain;
                for (const char16_t c : SjisToUtf16(f[0]))
                    if (c != u'[' && c != u']') plain += c;
                for (const AppendedWord& w : table.Appended())
                    if (!word.empty() && w.spelling.compare(0, word.size(), word) == 0 &&
                        (w.spelling.size() == word.size() || plain.find(w.spelling) != std::u16string::npos))
                        appendedAsked.insert(w.reading);
            } else {
                ++idioms;
                if (schoolWords && schoolWords->count(SjisToUtf16(f[1]))) ++schoolIdioms;
                bool has2010 = false;
                for (const char16_t c : SjisToUtf16(f[1])) {
                    const JoyoKanji* k = table.Find(c);
                    if (!k) continue;
                    idiomKanji.insert(c);
                    allKanji.insert(c);
                    has2010 = has2010 || k->added2010;
                }
                if (has2010) ++idioms2010;
            }
        }
        out.push_back(bank.name + ": " + std::to_string(questions) +
                      (bank.kind == BankKind::Yomi ? " reading questions" : " idiom questions"));
    }
    out.push_back("distinct joyo kanji asked: " + std::to_string(allKanji.size()) + " (readings " +
                  std::to_string(readingKanji.size()) + ", idioms " + std::to_string(idiomKanji.size()) + ")");
    size_t once = 0, twice = 0;
    std::u16string never, onlyOnce;
    for (char16_t c = 1; c != 0; ++c) {
        const JoyoKanji* k = table.Find(c);
        if (!k || !k->added2010) continue;
        const auto it = asked2010.find(c);
        const int n = it == asked2010.end() ? 0 : it->second;
        if (n == 0) never += c;
        if (n == 1) {
            ++once;
            onlyOnce += c;
        }
        if (n >= 2) ++twice;
    }
    out.push_back("2010 kanji in reading questions: " + std::to_string(once + twice) + " of 196 (once " +
                  std::to_string(once) + ", twice or more " + std::to_string(twice) + ")");
    out.push_back("2010 kanji never asked: " + Utf8(never));
    out.push_back("2010 kanji asked once: " + Utf8(onlyOnce));
    out.push_back("appended words asked: " + std::to_string(appendedAsked.size()) + " of 116");
    out.push_back("idioms with a 2010 kanji: " + std::to_string(idioms2010) + " of " + std::to_string(idioms) + " (" +
                  Percent(idioms2010, idioms) + ")");
    out.push_back("reading questions with a second table reading: " + std::to_string(flagged) + " of " +
                  std::to_string(readings) + " (" + Percent(flagged, readings) + "), reviewed " +
                  std::to_string(flaggedReviewed) + " (" + Percent(flaggedReviewed, readings) + "), not reviewed " +
                  std::to_string(flagged - flaggedReviewed));
    if (schoolWords) {
        out.push_back("school words in reading questions: " + std::to_string(schoolReadings) + " of " +
                      std::to_string(readings) + " (" + Percent(schoolReadings, readings) + ")");
        out.push_back("school idioms in idiom questions: " + std::to_string(schoolIdioms) + " of " +
                      std::to_string(idioms) + " (" + Percent(schoolIdioms, idioms) + ")");
    }
    return out;
}

#include "tools/banktool/JoyoTable.h"

#include <sstream>

#include "platform/Exceptions.h"
#include "platform/Files.h"
#include "platform/ShiftJis.h"

namespace {

// Every entry of the table has a Shift-JIS form (the four permitted forms
// stand in for the ones that lack it), so the text goes through it.
std::u16string Utf16(const std::string& utf8) { return SjisToUtf16(Utf8ToSjis(utf8)); }

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);) parts.push_back(part);
    return parts;
}

std::u16string Hiragana(std::u16string katakana) {
    for (char16_t& c : katakana)
        if (c >= u'ァ' && c <= u'ヶ') c = char16_t(c - 0x60);
    return katakana;
}

template <class Row>
void ForEachRow(const std::string& path, int fields, Row row) {
    const std::vector<std::string> lines = Split(ReadWholeFile(path), '\n');
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string line = lines[i];
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::vector<std::string> f = Split(line, '\t');
        if (int(f.size()) != fields)
            throw Exception(Utf8ToSjis(path + ":" + std::to_string(i + 1) + ": expected " +
                                       std::to_string(fields) + " tab-separated fields"));
        row(f);
    }
}

// A reading in parentheses is one the table gives in a note only (十's
// ジュッ, "ジッ is also said ジュッ"); it is as valid in a bank.
std::vector<std::string> Readings(const std::string& field) {
    std::vector<std::string> readings = field == "-" ? std::vector<std::string>{} : Split(field, ' ');
    for (std::string& r : readings)
        if (r.size() > 2 && r.front() == '(' && r.back() == ')') r = r.substr(1, r.size() - 2);
    return readings;
}

}  // namespace

JoyoTable JoyoTable::Load(const std::string& dir) {
    JoyoTable table;
    ForEachRow(dir + "/joyo.tsv", 4, [&table](const std::vector<std::string>& f) {
        const std::u16string kanji = Utf16(f[0]);
        JoyoKanji& entry = table.kanji_[kanji.empty() ? u'\0' : kanji[0]];
        for (const std::string& r : Readings(f[1])) entry.on.push_back(Hiragana(Utf16(r)));
        for (const std::string& r : Readings(f[2])) {
            const size_t dot = r.find('.');
            if (dot == std::string::npos)
                entry.kun.push_back({Utf16(r), u""});
            else
                entry.kun.push_back({Utf16(r.substr(0, dot)), Utf16(r.substr(dot + 1))});
        }
        entry.added2010 = f[3] == "2010";
    });
    ForEachRow(dir + "/fuhyo.tsv", 2, [&table](const std::vector<std::string>& f) {
        for (const std::string& spelling : Split(f[1], ' '))
            table.appended_.push_back({Utf16(spelling), Utf16(f[0])});
    });
    ForEachRow(dir + "/notes.tsv", 2, [&table](const std::vector<std::string>& f) {
        table.noteWords_.push_back({Utf16(f[1]), Utf16(f[0])});
    });
    ForEachRow(dir + "/words.tsv", 2, [&table](const std::vector<std::string>& f) {
        std::vector<std::u16string>& readings = table.wordReadings_[Utf16(f[0])];
        for (const std::string& r : Split(f[1], ' ')) readings.push_back(Utf16(r));
    });
    return table;
}

const JoyoKanji* JoyoTable::Find(char16_t kanji) const {
    const auto it = kanji_.find(kanji);
    return it == kanji_.end() ? nullptr : &it->second;
}

const std::vector<std::u16string>& JoyoTable::WordReadings(const std::u16string& spelling) const {
    static const std::vector<std::u16string> none;
    const auto it = wordReadings_.find(spelling);
    return it == wordReadings_.end() ? none : it->second;
}

// The joyo kanji table of 2010 as the bank checker reads it: every kanji's
// on and kun readings and the words of the appended list, read as a whole.
// The drill itself never needs it.
#pragma once

#include <map>
#include <string>
#include <vector>

struct JoyoKun {
    std::u16string stem;       // the part written with the kanji
    std::u16string okurigana;  // the kana the table writes after it; may be empty
};

struct JoyoKanji {
    std::vector<std::u16string> on;  // in hiragana, so they compare with typed answers
    std::vector<JoyoKun> kun;
    bool added2010 = false;
};

struct AppendedWord {
    std::u16string spelling;  // kanji, possibly followed by kana (浮つく)
    std::u16string reading;
};

class JoyoTable {
public:
    // Reads joyo.tsv, fuhyo.tsv, notes.tsv and words.tsv (UTF-8) from the folder dir. A malformed
    // line throws an Exception that names the file and the line.
    static JoyoTable Load(const std::string& dir);

    const JoyoKanji* Find(char16_t kanji) const;
    const std::vector<AppendedWord>& Appended() const { return appended_; }
    // The words the table's notes read as a whole (岐阜 ぎふ, 小雨 こさめ):
    // valid readings, though not words of the appended list.
    const std::vector<AppendedWord>& NoteWords() const { return noteWords_; }
    // The readings a dictionary gives a word it reads more than one way;
    // empty for any other word.
    const std::vector<std::u16string>& WordReadings(const std::u16string& spelling) const;

private:
    std::map<char16_t, JoyoKanji> kanji_;
    std::vector<AppendedWord> appended_, noteWords_;
    std::map<std::u16string, std::vector<std::u16string>> wordReadings_;
};

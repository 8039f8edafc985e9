// Figures of question banks against the joyo table: how many questions,
// which kanji they ask, how well they cover the kanji added in 2010 and the
// words of the appended list.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "tools/banktool/BankCheck.h"
#include "tools/banktool/JoyoTable.h"

struct BankFile {
    std::string name;                // as given, for the report
    BankKind kind;
    std::vector<std::string> lines;  // Shift-JIS records, comments left out
    // Per record, for a source: its line in the file, and whether a
    // "# reviewed:" line stands right above it. Empty for a .dat.
    std::vector<int32_t> sourceLines;
    std::vector<bool> reviewed;
};

// The report, UTF-8 lines. schoolWords: the words and idioms a pupil meets
// at school (school_words.txt); their shares are reported when it is given.
std::vector<std::string> BankStats(const std::vector<BankFile>& banks, const JoyoTable& table,
                                   const std::set<std::u16string>* schoolWords = nullptr);

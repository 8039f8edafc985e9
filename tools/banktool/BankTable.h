// The checks of a question bank against the joyo table: every kanji shown
// is joyo, and every reading asked is one the table gives.
#pragma once

#include <string>
#include <vector>

#include "tools/banktool/BankCheck.h"
#include "tools/banktool/JoyoTable.h"

// lines as LoadLines delivered them (Shift-JIS); problems in line order.
// reviewed[i] (when given) marks line i as reviewed in context: a word the
// table reads more than one way is then not reported.
std::vector<BankProblem> CheckBankTable(const std::vector<std::string>& lines, BankKind kind,
                                        const JoyoTable& table, const std::vector<bool>& reviewed = {});

// For a reading record's fields (Shift-JIS): another reading the table gives
// its bracketed word, empty when there is none; see OtherTableReading.
std::u16string SecondTableReading(const JoyoTable& table, const std::vector<std::string>& fields);

// The checks of a question bank against the joyo table: every kanji shown
// is joyo, and every reading asked is one the table gives.
#pragma once

#include <string>
#include <vector>

#include "tools/banktool/BankCheck.h"
#include "tools/banktool/JoyoTable.h"

// lines as LoadLines delivered them (Shift-JIS); problems in line order.
std::vector<BankProblem> CheckBankTable(const std::vector<std::string>& lines, BankKind kind,
                                        const JoyoTable& table);

// The checks of a question bank that need no fonts: how each line loads
// and splits as the drill reads it, and whether its fields make a sound
// question. Measuring texts on screen is left to a caller-supplied hook.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

enum class BankKind { Four, Yomi };

// How many fields the drill reads from a record: 8 for the idiom drill,
// 2 for the reading drill.
int32_t FieldsRead(BankKind kind);

// The kind a bank file's name implies: a name starting with "four" is an
// idiom bank, one containing "yomi" a reading bank.
std::optional<BankKind> KindFromFileName(std::string_view path);

struct BankProblem {
    int32_t line = 0;     // 1-based line of the bank; 0 for the bank as a whole
    std::string message;  // UTF-8
};

// Measures one complete record (Shift-JIS fields, at least FieldsRead of
// them) and returns what does not fit the screen, as UTF-8 messages.
using RecordLayoutCheck = std::function<std::vector<std::string>(const std::vector<std::string>& fields)>;

// Checks every line as LoadLines delivered it and the bank as a whole.
// The layout hook, when given, runs for each record that has all the
// fields the drill reads. Problems come in line order.
std::vector<BankProblem> CheckBank(const std::vector<std::string>& lines, BankKind kind,
                                   const RecordLayoutCheck& layout);

// The 1-based line on which a zero byte ends the text the drill reads, or
// nothing when the file holds none.
std::optional<int32_t> ZeroByteLine(std::string_view fileBytes);

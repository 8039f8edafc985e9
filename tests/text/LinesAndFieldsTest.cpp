// Line splitting, field splitting and quoting: the rules the bank format
// rests on.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ShiftJis.h"
#include "text/TextList.h"

namespace {

using Lines = std::vector<std::string>;

struct LinesCase {
    const char* name;
    std::string text;
    Lines expected;
};

TEST(SplitLines, EndingsAndZeroBytes) {
    const std::vector<LinesCase> cases = {
        {"crlf with final break", "a\r\nb\r\n", {"a", "b"}},
        {"crlf without final break", "a\r\nb", {"a", "b"}},
        {"lf lf", "a\n\nb", {"a", "", "b"}},
        {"lone cr", "a\rb", {"a", "b"}},
        {"lf cr ends two lines", "a\n\rb", {"a", "", "b"}},
        {"cr cr", "a\r\rb", {"a", "", "b"}},
        {"only crlf", "\r\n", {""}},
        {"only lf", "\n", {""}},
        {"empty", "", {}},
        {"zero byte ends the text", std::string("a\0b", 3), {"a"}},
        {"zero byte right after a break", std::string("a\r\n\0b\r\n", 7), {"a"}},
        {"leading zero byte", std::string("\0a", 2), {}},
        {"final lone cr", "a\r", {"a"}},
        {"blanks are kept", " a \t\r\n", {" a \t"}},
        {"lead byte before lf still ends the line", "\x82\n\x82\xa0", {"\x82", "\x82\xa0"}},
    };
    for (const LinesCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SplitLines(c.text), c.expected);
    }
}

struct FieldsCase {
    const char* name;
    std::string line;
    Lines expected;
};

Lines Parse(const std::string& line, char delimiter = ',') {
    TStringList list;
    list.Delimiter = delimiter;
    list.Add("stale");
    ParseDelimited(list, line);
    return list.Items();
}

TEST(ParseDelimited, DelimitersAndBlanks) {
    const std::string zenkakuSpace = "\x81\x40";
    const std::string kanji1 = Sjis(u8"漢"), kanji2 = Sjis(u8"字");
    const std::vector<FieldsCase> cases = {
        {"plain", "a,b,c", {"a", "b", "c"}},
        {"empty middle field", "a,,b", {"a", "", "b"}},
        {"leading comma", ",a", {"", "a"}},
        {"trailing comma", "a,", {"a", ""}},
        {"trailing comma then space", "a, ", {"a"}},
        {"trailing comma then tab", "a,\t", {"a"}},
        {"only a comma", ",", {"", ""}},
        {"two commas", ",,", {"", "", ""}},
        {"space splits", "a b,c", {"a", "b", "c"}},
        {"blanks around everything", " \ta , b\t,\tc  ", {"a", "b", "c"}},
        {"blank before comma", "a ,b", {"a", "b"}},
        {"control bytes are blanks", "\x01" "a\x1f,\x1e" "b", {"a", "b"}},
        {"only blanks", "  \t ", {}},
        {"empty", "", {}},
        {"full-width space does not split", kanji1 + zenkakuSpace + kanji2 + ",x", {kanji1 + zenkakuSpace + kanji2, "x"}},
        {"leading full-width space stays", zenkakuSpace + "a", {zenkakuSpace + "a"}},
        {"lead byte takes a comma", "\x82\x2c\x41", {"\x82\x2c\x41"}},
        {"lead byte takes a space", "\x82\x20" "b,c", {"\x82\x20" "b", "c"}},
        {"lead byte takes a quote", "\x82\x22" "b\",c", {"\x82\x22" "b\"", "c"}},
        {"trail byte 0x5C", "\x95\x5c,\x83\x5c", {"\x95\x5c", "\x83\x5c"}},
        {"lead byte at the very end", "a,\x82", {"a", "\x82"}},
        {"zero byte ends the line", std::string("a,b\0,c", 6), {"a", "b"}},
        {"byte 0x7F is no blank", "a\x7f" "b", {"a\x7f" "b"}},
        {"high single bytes are no blanks", "\xa0\xb1,\xfd", {"\xa0\xb1", "\xfd"}},
    };
    for (const FieldsCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Parse(c.line), c.expected);
    }
}

TEST(ParseDelimited, Quoting) {
    const std::vector<FieldsCase> cases = {
        {"quoted blank", "\"a b\"", {"a b"}},
        {"doubled quote", "\"a\"\"b\"", {"a\"b"}},
        {"empty quoted", "\"\"", {""}},
        {"four quotes", "\"\"\"\"", {"\""}},
        {"text after closing quote starts a field", "\"ab\"cd", {"ab", "cd"}},
        {"quote inside unquoted field", "ab\"cd", {"ab\"cd"}},
        {"quoted comma", "\"a,b\",c", {"a,b", "c"}},
        {"quoted then empty", "\"a\",,b", {"a", "", "b"}},
        {"quoted with blanks around", "  \"a\"  ,  \"b\"  ", {"a", "b"}},
        {"quoted leading and trailing blanks kept", "\" a \"", {" a "}},
        {"quoted empty then comma at end", "\"\",", {"", ""}},
        {"missing closing quote runs to the end", "\"ab,c d", {"ab,c d"}},
        {"missing closing quote after a pair", "\"a\"\"b", {"a\"b"}},
        {"lone quote", "\"", {""}},
        {"quoted double-byte with trail quote", "\"\x82\x22x\",y", {"\x82\x22x", "y"}},
        {"quoted double-byte with trail 0x5C", "\"\x95\x5c\",y", {"\x95\x5c", "y"}},
        {"quoted full-width space", "\"\x81\x40\"", {"\x81\x40"}},
        {"doubled quote right before the closing one", "\"a\"\"\"", {"a\""}},
        {"two quoted fields with blank", "\"a\" \"b\"", {"a", "b"}},
    };
    for (const FieldsCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Parse(c.line), c.expected);
    }
}

TEST(ParseDelimited, UsesTheListsDelimiterAndQuote) {
    EXPECT_EQ(Parse("a;b,c", ';'), (Lines{"a", "b,c"}));
    EXPECT_EQ(Parse("a;", ';'), (Lines{"a", ""}));
    TStringList list;
    list.QuoteChar = '\'';
    ParseDelimited(list, "'a b','c''d',\"e\"");
    EXPECT_EQ(list.Items(), (Lines{"a b", "c'd", "\"e\""}));
}

TEST(ReadQuoted, LeavesThePositionAfterTheClosingQuote) {
    struct Case {
        const char* name;
        std::string text;
        size_t start;
        std::string field;
        size_t end;
    };
    const std::vector<Case> cases = {
        {"simple", "x\"ab\"cd", 1, "ab", 5},
        {"pair", "\"a\"\"b\",", 0, "a\"b", 6},
        {"empty", "\"\"", 0, "", 2},
        {"unterminated", "\"abc", 0, "abc", 4},
        {"trail byte that looks like a quote", "\"\x82\x22\"", 0, "\x82\x22", 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        size_t pos = c.start;
        EXPECT_EQ(ReadQuoted(c.text, pos, '"'), c.field);
        EXPECT_EQ(pos, c.end);
    }
}

}  // namespace

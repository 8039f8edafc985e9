// Replays the bank text fuzz inputs through the fuzz target's invariants in
// the ordinary test build, and makes sure those invariants do reject wrong
// splits.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/BankTextChecks.h"
#include "text/TextList.h"

namespace {

namespace fs = std::filesystem;

// The drill's SplitFields contract, over ParseDelimited: this suite links
// the text library only.
int32_t SplitLikeTheDrill(const std::string& line, char delimiter, TStringList& list) {
    if (line.empty() || delimiter == '\0') return 0;
    list.Delimiter = delimiter;
    ParseDelimited(list, line);
    return list.Count();
}

std::string Check(const std::string& input) {
    return banktext::CheckBankText(reinterpret_cast<const uint8_t*>(input.data()), input.size(), SplitLikeTheDrill);
}

TEST(FuzzRegressionText, SeedCorpusKeepsEveryInvariant) {
    const fs::path dir = fs::path(TOBELIN_SOURCE_DIR) / "fuzz" / "corpus" / "bank_text";
    int files = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string input((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        SCOPED_TRACE(entry.path().filename().string());
        EXPECT_EQ(Check(input), "");
        ++files;
    }
    EXPECT_GE(files, 5);
}

// Inputs whose bytes sit where the rules meet: lead bytes before quotes,
// blanks, delimiters and line ends; delimiters that are blanks, quotes,
// lead bytes or zero; unclosed quotes; zero bytes inside the text.
TEST(FuzzRegressionText, BoundaryInputsKeepEveryInvariant) {
    using namespace std::string_literals;
    struct Case {
        const char* name;
        std::string input;  // delimiter, pattern length, replacement length, pattern, replacement, text
    };
    const std::vector<Case> cases = {
        {"lead byte before a closing quote", ",\x02\x01\x81\x40 \"a\x82\"\",b\""s},
        {"doubled quote after a lead byte", ",\x00\x00\"\x82\"\"\"x,y"s},
        {"unclosed quote to the end", ",\x00\x00\"abc,def"s},
        {"unclosed quote ending in a lead byte", ",\x00\x00\"ab\x82"s},
        {"quote as delimiter", "\"\x00\x00a\"b\"\"c\""s},
        {"blank as delimiter", " \x00\x00 a  b \t c "s},
        {"tab as delimiter", "\t\x00\x00a\t\tb\t"s},
        {"lead value as delimiter", "\x82\x00\x00a\x82" "b\x82\x82\x82"s},
        {"zero delimiter", "\x00\x00\x00a,b"s},
        {"zero byte inside a field", ",\x00\x00" "a\x00,b\nc"s},
        {"lead byte before each line end", ",\x00\x00\x82\r\n\x82\n\x82\r\x82"s},
        {"pattern of a lead byte only", ",\x01\x01\x82x\x82\x82\x82\x82\x41"s},
        {"pattern overlapping itself", ",\x02\x03" "aaXYZaaaaa"s},
        {"replacement holding the pattern", ",\x01\x02" "aaaba"s},
        {"full-width spaces behind trail bytes", ",\x02\x01\x81\x40 \x81\x81\x40\x81\x40\x82\x81\x40"s},
        {"only blanks and controls", ",\x00\x00\x01\x02\x03 \t\x1f\x20"s},
        {"trailing delimiter then blanks", ",\x00\x00" "a, \t"s},
        {"quoted field followed by text", ",\x00\x00\"ab\"cd,\"\"\"\""s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Check(c.input), "");
    }
}

TEST(FuzzRegressionText, FieldCheckRejectsWrongSplits) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> fields;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"right split", "a,b", {"a", "b"}, true},
        {"right quoted split", "\"a,b\",c", {"a,b", "c"}, true},
        {"right doubled quote", "\"a\"\"b\"", {"a\"b"}, true},
        {"trail byte equal to the delimiter", "\x82,x", {"\x82,x"}, true},
        {"delimiter inside an unquoted field", "a,b", {"a,b"}, false},
        {"blank inside an unquoted field", "a b", {"a b"}, false},
        {"fields out of order", "a,b", {"b", "a"}, false},
        {"field that is not in the text", "a,b", {"a", "c"}, false},
        {"more fields than bytes", "a", {"a", "", ""}, false},
        {"quoted field with a blank too many", "\"a b\"", {"a  b"}, false},
        {"quoted field whose doubled quote was not undone", "\"a \"\"b\"", {"a \"\"b"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TStringList list;
        list.SetItems(c.fields);
        bool rejected = false;
        try {
            banktext::CheckFields(c.text, list);
        } catch (const banktext::TCheckFailed&) {
            rejected = true;
        }
        EXPECT_EQ(rejected, !c.valid);
    }
}

TEST(FuzzRegressionText, QuotedFormDoublesOnlyWholeQuotes) {
    EXPECT_EQ(banktext::QuotedForm("a\"b", '"'), "\"a\"\"b");
    // 0x82 0x22 is one double-byte character: its second byte is no quote.
    EXPECT_EQ(banktext::QuotedForm("\x82\"", '"'), "\"\x82\"");
    EXPECT_EQ(banktext::QuotedForm("", '"'), "\"");
}

}  // namespace

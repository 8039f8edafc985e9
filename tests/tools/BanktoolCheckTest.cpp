// Runs the built "banktool check" on bank files written by hand, as
// Shift-JIS with CRLF line ends like the shipped banks.
#include <gtest/gtest.h>

#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/ShiftJis.h"
#include "tests/tools/BanktoolRunner.h"

namespace {

// Bank lines are written in UTF-8 here and stored as Shift-JIS.
std::string Bank(const std::vector<std::string>& lines) {
    std::string bytes;
    for (const std::string& line : lines) bytes += Utf8ToSjis(line) + "\r\n";
    return bytes;
}

// Two sound idiom records and two sound reading records.
const std::string kIdiomA = "弱肉□□,弱肉強食,強食,競食,強植,協食,じゃくにくきょうしょく,強い者が弱い者を犠牲にして栄えること。";
const std::string kIdiomB = "□□同音,異口同音,異口,異句,偉口,異工,いくどうおん,大勢が口をそろえて同じことを言うこと。";
const std::string kSentenceA = "努力が[漸]く実を結んだ。,ようや";
const std::string kSentenceB = "川の流れを[遡]る。,さかのぼ";

class BanktoolCheckTest : public BanktoolRunner {
protected:
    // The output lines with the file name in front of each taken away.
    std::vector<std::string> Reported(const ToolRun& r, const std::string& name) {
        std::vector<std::string> lines;
        std::istringstream in(r.out);
        const std::string prefix = dir_ + "/" + name;
        for (std::string line; std::getline(in, line);) {
            if (line.compare(0, prefix.size(), prefix) == 0)
                lines.push_back(line.substr(prefix.size()));
            else
                lines.push_back("UNEXPECTED " + line);
        }
        return lines;
    }
    struct RecordCase {
        const char* name;
        std::vector<std::string> lines;
        std::vector<std::string> expected;  // after the file name; none for a clean bank
    };
    // Each case is checked as its own bank file named file.
    void RunCases(const std::string& file, const std::vector<RecordCase>& cases, bool layout = false) {
        for (const RecordCase& c : cases) {
            SCOPED_TRACE(c.name);
            const std::string path = Write(file, Bank(c.lines));
            const ToolRun r = Tool(std::string("check ") + (layout ? "" : "--no-layout ") + "'" + path + "'");
            EXPECT_EQ(r.exitCode, c.expected.empty() ? 0 : 1) << r.out << r.err;
            EXPECT_EQ(Reported(r, file), c.expected);
        }
    }
    bool Measures() {
        const std::string path = Write("four-probe.dat", Bank({kIdiomA, kIdiomB}));
        return Tool("check '" + path + "'").out.find("built without Qt") == std::string::npos;
    }
};

// kIdiomA with field n replaced.
std::string IdiomWith(size_t n, const std::string& value) {
    std::vector<std::string> f;
    std::istringstream in(kIdiomA);
    for (std::string part; std::getline(in, part, ',');) f.push_back(part);
    f.at(n) = value;
    std::string line;
    for (size_t i = 0; i < f.size(); ++i) line += (i ? "," : "") + f[i];
    return line;
}

}  // namespace

TEST_F(BanktoolCheckTest, IdiomRecordRules) {
    const std::string dupQuestion = "弱肉□□,弱肉定食,定食,提食,低食,停食,じゃくにくていしょく,架空の熟語。";
    const std::string dupIdiom = "□□強食,弱肉強食,弱肉,若肉,弱骨,弱内,じゃくにくきょうしょく,強い者が栄えること。";
    RunCases("four.dat",
             {
                 {"clean, a long-vowel mark in the reading",
                  {kIdiomA, kIdiomB, "□□定食,特製定食,特製,特性,得製,徳製,とくせーていしょく,架空の熟語。"},
                  {}},
                 {"short record", {kIdiomA, kIdiomB, "a,b,c"}, {":3: 3 fields; the drill reads 8"}},
                 {"one field", {kIdiomA, "abc", kIdiomB}, {":2: 1 field; the drill reads 8"}},
                 {"a blank cuts the meaning",
                  {IdiomWith(7, "強い者が 弱い者を犠牲にする。"), kIdiomB},
                  {":1: 9 fields; the drill reads only 8, so a text was cut at a comma or blank"}},
                 {"empty line",
                  {kIdiomA, "", kIdiomB},
                  {":2: empty line: the drill shows the previous question's fields again"}},
                 {"line of blanks", {kIdiomA, "  \t ", kIdiomB}, {":2: 0 fields; the drill reads 8"}},
                 {"trailing comma leaves the meaning empty",
                  {"弱肉□□,弱肉強食,強食,競食,強植,協食,じゃくにくきょうしょく,", kIdiomB},
                  {":1: field 7 is empty"}},
                 {"katakana reading",
                  {IdiomWith(6, "ジャクニクキョウショク"), kIdiomB},
                  {":1: reading \"ジャクニクキョウショク\" is not hiragana"}},
                 {"reading with a kanji",
                  {IdiomWith(6, "じゃくにく強しょく"), kIdiomB},
                  {":1: reading \"じゃくにく強しょく\" is not hiragana"}},
                 {"nothing hidden",
                  {IdiomWith(0, "弱肉強食"), kIdiomB},
                  {":1: question \"弱肉強食\" does not hide exactly one pair as \"□□\""}},
                 {"three marks hide two pairs",
                  {IdiomWith(0, "弱□□□"), kIdiomB},
                  {":1: question \"弱□□□\" does not hide exactly one pair as \"□□\""}},
                 {"two separate pairs",
                  {"□□□□,弱肉強食,強食,競食,強植,協食,じゃくにくきょうしょく,意味。", kIdiomB},
                  {":1: question \"□□□□\" does not hide exactly one pair as \"□□\""}},
                 {"idiom disagrees with the question",
                  {IdiomWith(1, "弱肉強色"), kIdiomB},
                  {":1: idiom \"弱肉強色\" is not the question with \"□□\" replaced by the right pair \"強食\""}},
                 {"idiom of five characters",
                  {"弱肉□□的,弱肉強食的,強食,競食,強植,協食,じゃくにくきょうしょくてき,意味。", kIdiomB},
                  {":1: idiom \"弱肉強食的\" is not four characters"}},
                 {"wrong pair of three characters",
                  {IdiomWith(5, "協食物"), kIdiomB},
                  {":1: answer \"協食物\" (field 5) is not two characters"}},
                 {"wrong pair equal to the right pair",
                  {IdiomWith(4, "強食"), kIdiomB},
                  {":1: wrong pair \"強食\" (field 4) is the right pair"}},
                 {"two wrong pairs alike",
                  {IdiomWith(5, "競食"), kIdiomB},
                  {":1: wrong pairs in fields 3 and 5 are both \"競食\""}},
                 {"same question twice", {kIdiomA, kIdiomB, dupQuestion}, {":3: question \"弱肉□□\" repeats line 1"}},
                 {"same idiom twice", {kIdiomA, kIdiomB, dupIdiom}, {":3: idiom \"弱肉強食\" repeats line 1"}},
                 {"one line", {kIdiomA}, {": the bank has 1 line; the drill needs at least two"}},
                 {"no line", {}, {": the bank has 0 lines; the drill needs at least two"}},
             });
}

TEST_F(BanktoolCheckTest, ReadingRecordRules) {
    RunCases("tanbun_yomi.dat",
             {
                 // "ー" is 0x81 0x5B: its second byte is no bracket.
                 {"clean, with long-vowel marks, repeat mark and small ke",
                  {kSentenceA, kSentenceB, "ボールを[蹴]る。,け", "[人々]が集まる。,ひとびと", "[関ヶ原]を訪ねる。,せきがはら",
                   "スープが[冷]めた。,さ"},
                  {}},
                 {"no brackets",
                  {"努力が漸く実を結んだ。,ようや", kSentenceB},
                  {":1: the sentence holds 0 bracketed words; exactly one is wanted"}},
                 {"two bracketed words",
                  {"[努力]が[漸]く実を結んだ。,ようや", kSentenceB},
                  {":1: the sentence holds 2 bracketed words; exactly one is wanted"}},
                 {"unclosed bracket",
                  {"努力が[漸く実を結んだ。,ようや", kSentenceB},
                  {":1: the brackets of the sentence are not balanced"}},
                 {"closing bracket alone",
                  {"努力が漸]く実を結んだ。,ようや", kSentenceB},
                  {":1: the brackets of the sentence are not balanced"}},
                 {"nested brackets",
                  {"努力が[[漸]]く実を結んだ。,ようや", kSentenceB},
                  {":1: the brackets of the sentence are not balanced"}},
                 {"empty brackets",
                  {"努力が[]漸く実を結んだ。,ようや", kSentenceB},
                  {":1: the brackets of the sentence are empty"}},
                 {"okurigana inside the brackets",
                  {"努力が[漸く]実を結んだ。,ようやく", kSentenceB},
                  {":1: the bracketed word \"漸く\" is not all kanji"}},
                 {"reading with a kanji",
                  {"努力が[漸]く実を結んだ。,よう也", kSentenceB},
                  {":1: reading \"よう也\" is not hiragana"}},
                 {"reading with a full-width space",
                  {"努力が[漸]く実を結んだ。,よう　や", kSentenceB},
                  {":1: reading \"よう　や\" is not hiragana"}},
                 {"same sentence twice",
                  {kSentenceA, kSentenceB, kSentenceA},
                  {":3: sentence \"努力が[漸]く実を結んだ。\" repeats line 1"}},
                 {"no reading", {"努力が[漸]く実を結んだ。", kSentenceB}, {":1: 1 field; the drill reads 2"}},
                 {"a comma cuts the sentence",
                  {"努力が,[漸]く実を結んだ。,ようや", kSentenceB},
                  {":1: 3 fields; the drill reads only 2, so a text was cut at a comma or blank",
                   ":1: the sentence holds 0 bracketed words; exactly one is wanted",
                   ":1: reading \"[漸]く実を結んだ。\" is not hiragana"}},
                 {"several problems in line order",
                  {"[漸く,よう也", "", kSentenceB, "[漸く,よう也"},
                  {":1: the brackets of the sentence are not balanced", ":1: reading \"よう也\" is not hiragana",
                   ":2: empty line: the drill shows the previous question's fields again",
                   ":4: the brackets of the sentence are not balanced", ":4: reading \"よう也\" is not hiragana",
                   ":4: sentence \"[漸く\" repeats line 1"}},
             });
}

TEST_F(BanktoolCheckTest, BytesTheDrillCannotRead) {
    struct Case {
        const char* name;
        std::string bytes;
        std::vector<std::string> expected;
    };
    const std::string a = Utf8ToSjis(kSentenceA), b = Utf8ToSjis(kSentenceB);
    const Case cases[] = {
        {"lone lead byte at the end of a line",
         a + "\r\n" + b + "\x82\r\n",
         {":2: the line holds bytes that are not Shift-JIS text",
          ":2: reading \"さかのぼ\xef\xbf\xbd\" is not hiragana"}},
        {"zero byte at the start of a line",
         a + "\r\n" + std::string(1, '\0') + b + "\r\n" + b + "\r\n",
         {": the bank has 1 line; the drill needs at least two",
          ":2: a zero byte ends the bank here: the drill reads nothing after it"}},
        {"zero byte inside a line",
         a + "\r\n" + Utf8ToSjis("川の流れを") + std::string(1, '\0') + b + "\r\n",
         {":2: a zero byte ends the bank here: the drill reads nothing after it", ":2: 1 field; the drill reads 2"}},
        {"lone CR and LF end lines as well", a + "\r" + b + "\n", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Write("tanbun_yomi.dat", c.bytes);
        const ToolRun r = Tool("check --no-layout '" + path + "'");
        EXPECT_EQ(r.exitCode, c.expected.empty() ? 0 : 1) << r.out;
        EXPECT_EQ(Reported(r, "tanbun_yomi.dat"), c.expected);
    }
}

TEST_F(BanktoolCheckTest, MissingBankReportsTheOpenError) {
    const ToolRun r = Tool("check --no-layout '" + dir_ + "/four.dat'");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("banktool: cannot open " + dir_ + "/four.dat: No such file or directory\n"), std::string::npos)
        << r.err;
}

TEST_F(BanktoolCheckTest, KindFollowsTheNameOrTheOption) {
    // The same reading bank, clean as a reading bank and short as an
    // idiom bank.
    const std::string yomi = Bank({kSentenceA, kSentenceB});
    const std::string asFour = ":1: 2 fields; the drill reads 8\n";
    const std::string line2 = ":2: 2 fields; the drill reads 8\n";
    struct Case {
        const char* name;
        std::string file, options;
        int exitCode;
        std::string report;  // "" for clean
    };
    const Case cases[] = {
        {"yomi in the name", "tanbun_yomi.dat", "", 0, ""},
        {"yomi anywhere in the name", "my-yomi-bank.txt", "", 0, ""},
        {"four at the start of the name", "four.dat", "", 1, asFour + line2},
        {"four elsewhere does not count", "x-four.dat", "", 2, ""},
        {"the option wins over the name", "four.dat", "--kind yomi", 0, ""},
        {"four before more of the name", "four2.dat", "", 1, asFour + line2},
        {"no kind at all", "bank.dat", "", 2, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Write(c.file, yomi);
        const ToolRun r = Tool("check --no-layout " + c.options + " '" + path + "'");
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
        if (c.exitCode == 2) {
            EXPECT_EQ(r.out, "");
            EXPECT_NE(r.err.find("usage: banktool"), std::string::npos);
        } else {
            // Every report line starts with the path.
            std::string expected = c.report;
            for (size_t at = 0; at < expected.size(); at = expected.find('\n', at) + 1) expected.insert(at, path);
            EXPECT_EQ(r.out, expected);
        }
    }
    const std::string path = Write("bank.dat", yomi);
    EXPECT_EQ(Tool("check '" + path + "' --no-layout --kind yomi").exitCode, 0);
}

TEST_F(BanktoolCheckTest, BadCheckCommandLinesShowUsage) {
    const std::string path = Write("four.dat", Bank({kIdiomA, kIdiomB}));
    for (const std::string& args : std::vector<std::string>{"check", "check --kind", "check --kind nine " + path,
                                   "check --kind four --kind yomi " + path, "check " + path + " " + path,
                                   "check --bogus " + path}) {
        SCOPED_TRACE(args);
        const ToolRun r = Tool(args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find("usage: banktool"), std::string::npos);
    }
}

namespace {

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

}  // namespace

// Texts measured with the drill's fonts: each case names the report it
// must produce (as a pattern, since pixel counts follow the font), or
// none for a record that fits.
TEST_F(BanktoolCheckTest, TextsThatLeaveTheirPlaceOnScreen) {
    if (!Measures()) GTEST_SKIP() << "banktool was built without Qt";
    struct Case {
        const char* name;
        const char* file;
        std::vector<std::string> lines;
        std::vector<std::string> patterns;  // regular expressions, in report order
    };
    const std::string longWrong = Repeat("協", 18);
    const Case cases[] = {
        {"idioms that fit", "four.dat", {kIdiomA, kIdiomB}, {}},
        {"meaning of thirty characters",
         "four.dat",
         {IdiomWith(7, Repeat("意味", 15)), kIdiomB},
         {R"(:1: meaning "\[(意味)+\]" is \d+ px wide at "ＭＳ Ｐゴシック" 20; its box is 640 px)"}},
        {"meaning of twenty characters fits", "four.dat", {IdiomWith(7, Repeat("意味", 10)), kIdiomB}, {}},
        {"reading of twenty-five kana",
         "four.dat",
         {IdiomWith(6, Repeat("じゃくにく", 5)), kIdiomB},
         {R"(:1: reading "(じゃくにく)+" is \d+ px wide at "ＭＳ Ｐゴシック" 24; its box is 540 px)"}},
        {"question and idiom too wide",
         "four.dat",
         {"□□肉肉肉肉肉肉,強食肉肉肉肉肉肉,強食,競食,強植,協食,じゃくにく,意味。", kIdiomB},
         {R"(:1: idiom "強食肉肉肉肉肉肉" is not four characters)",
          R"(:1: question "□□肉肉肉肉肉肉" is \d+ px wide at "ＭＳ Ｐ明朝" 72; its box is 540 px)",
          R"(:1: idiom "強食肉肉肉肉肉肉" is \d+ px wide at "ＭＳ Ｐ明朝" 72; its box is 540 px)"}},
        // Descenders of the 72-pixel-high line reach under the 100-pixel box.
        {"question with descenders",
         "four.dat",
         {"□□gy,強食gy,強食,競食,強植,協食,じゃくにく,意味。", kIdiomB},
         {R"(:1: question "□□gy" at "ＭＳ Ｐ明朝" 72 is cut at the bottom of its box: it inks row 1[5-9]\d, the box ends above row 150)",
          R"(:1: idiom "強食gy" at "ＭＳ Ｐ明朝" 72 is cut at the bottom of its box: it inks row 1[5-9]\d, the box ends above row 150)"}},
        {"long wrong answer",
         "four.dat",
         {IdiomWith(5, longWrong), kIdiomB},
         {":1: answer \"" + longWrong + "\" \\(field 5\\) is not two characters",
          ":1: answer \"" + longWrong + R"(" ends at x \d+ at "ＭＳ Ｐゴシック" 28 on the question screen; the window ends at 640)",
          ":1: answer \"" + longWrong +
              R"(" ends at x \d+ at "ＭＳ Ｐゴシック" 24 on the answer screen as the choice; the window ends at 640)"}},
        {"long right answer",
         "four.dat",
         {"□□同音," + Repeat("異", 13) + "同音," + Repeat("異", 13) + ",異句,偉口,異工,いくどうおん,意味。", kIdiomA},
         {R"(:1: idiom "(異)+同音" is not four characters)", R"(:1: answer "(異)+" \(field 2\) is not two characters)",
          R"(:1: idiom "(異)+同音" is \d+ px wide at "ＭＳ Ｐ明朝" 72; its box is 540 px)",
          R"(:1: answer "(異)+" ends at x \d+ at "ＭＳ Ｐゴシック" 28 on the question screen; the window ends at 640)",
          R"(:1: answer "(異)+" ends at x \d+ at "ＭＳ Ｐゴシック" 24 on the answer screen as the choice; the window ends at 640)",
          R"(:1: answer "(異)+" ends at x \d+ at "ＭＳ Ｐゴシック" 32 on the answer screen as the right answer; the window ends at 640)"}},
        {"sentences that fit", "tanbun_yomi.dat", {kSentenceA, kSentenceB}, {}},
        {"sentence of twenty kanji",
         "tanbun_yomi.dat",
         {"[" + Repeat("漢字", 10) + "],かんじ", kSentenceB},
         {R"(:1: sentence ends at x \d+ at "ＭＳ Ｐ明朝" 30; the window ends at 640)"}},
        {"long reading over a word at the left edge",
         "tanbun_yomi.dat",
         {"[漸]く実を結んだ。," + Repeat("ようや", 5), kSentenceB},
         {R"(:1: reading "(ようや)+" spans x -\d+ to \d+ at "ＭＳ Ｐ明朝" 20 over its word; the window is 0 to 640)"}},
        {"long reading over a word at the right edge",
         "tanbun_yomi.dat",
         {"長い一日の後でついに駅に[到着]," + Repeat("とうちゃく", 3), kSentenceB},
         {R"(:1: reading "(とうちゃく)+" spans x \d+ to \d+ at "ＭＳ Ｐ明朝" 20 over its word; the window is 0 to 640)"}},
        {"same reading in the middle fits",
         "tanbun_yomi.dat",
         {"長い一日の後で[到着]した。," + Repeat("とうちゃく", 3), kSentenceB},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = Write(c.file, Bank(c.lines));
        const ToolRun r = Tool("check '" + path + "'");
        EXPECT_EQ(r.exitCode, c.patterns.empty() ? 0 : 1) << r.out << r.err;
        const std::vector<std::string> got = Reported(r, c.file);
        ASSERT_EQ(got.size(), c.patterns.size()) << r.out;
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_TRUE(std::regex_match(got[i], std::regex(c.patterns[i]))) << got[i] << "\n  !~ " << c.patterns[i];
    }
}

// The reported widths are the drill's own: one more character widens the
// meaning by exactly that character's width, as the same font measures it.
TEST_F(BanktoolCheckTest, ReportedWidthsGrowByTheAddedCharacter) {
    if (!Measures()) GTEST_SKIP() << "banktool was built without Qt";
    auto width = [&](int n) {
        const std::string path = Write("four.dat", Bank({IdiomWith(7, Repeat("意", n)), kIdiomB}));
        const ToolRun r = Tool("check '" + path + "'");
        std::smatch m;
        const std::string out = r.out;
        EXPECT_TRUE(std::regex_search(out, m, std::regex(R"(is (\d+) px wide)"))) << out;
        return m.empty() ? -1 : std::stoi(m[1]);
    };
    const int w30 = width(30), w31 = width(31), w40 = width(40);
    ASSERT_GT(w30, 640);
    EXPECT_GT(w31, w30);
    // Ten more of the same character add ten times its width.
    EXPECT_EQ(w40 - w30, 10 * (w31 - w30));
}

// Runs "banktool check --table" on small banks of its own against the joyo
// table shipped in banks/joyo.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "platform/ShiftJis.h"
#include "tests/tools/BanktoolRunner.h"

namespace {

const std::string kTableDir = TOBELIN_SOURCE_DIR "/banks/joyo";
// A second, sound record: a bank needs two lines.
const std::string kSoundReading = "川の流れを[遡]る。,さかのぼ";
const std::string kSoundIdiom = "□□同音,異口同音,異口,異句,偉口,異工,いくどうおん,大勢が口をそろえて同じことを言うこと。";

class BanktoolTableTest : public BanktoolRunner {
protected:
    struct Case {
        const char* name;
        std::string line;
        std::string expected;  // the report on line 1 after the file name; empty for a clean record
    };
    void Run(const std::string& file, const std::string& second, const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            const std::string path = Write(file, Utf8ToSjis(c.line) + "\r\n" + Utf8ToSjis(second) + "\r\n");
            const ToolRun r = Tool("check --no-layout --table '" + kTableDir + "' '" + path + "'");
            EXPECT_EQ(r.exitCode, c.expected.empty() ? 0 : 1) << r.out << r.err;
            EXPECT_EQ(r.out, c.expected.empty() ? "" : path + ":1: " + c.expected + "\n");
        }
    }
};

}  // namespace

TEST_F(BanktoolTableTest, ReadingsAgainstTheTable) {
    Run("tanbun_yomi.dat", kSoundReading,
        {
            {"outside the table", "努力が[漸]く実を結んだ。,ようや",
             "reading \"ようや\" of \"漸\" is not built from the joyo table's readings"},
            {"voicing of the following kanji", "[手紙]を書く。,てがみ", ""},
            {"no voicing at the start of a word", "[紙]を切る。,がみ",
             "reading \"がみ\" of \"紙\" is not built from the joyo table's readings"},
            {"voicing after a kanji before the bracket", "小春[日和]の一日。,びより", ""},
            {"small tsu before the k row", "[学校]へ行く。,がっこう", ""},
            {"small tsu needs a row that doubles", "[学年]が上がる。,がっねん",
             "reading \"がっねん\" of \"学年\" is not built from the joyo table's readings"},
            {"h row after n turns p", "[新品]を買う。,しんぴん", ""},
            {"appended word as a whole", "[田舎]で暮らす。,いなか", ""},
            {"word the table's notes read as a whole", "[岐阜]県の山を歩く。,ぎふ", ""},
            {"appended word with kana outside", "気持ちが[浮]ついている。,うわ", ""},
            {"kun reading with its okurigana inflected", "人の失敗を[嘲]ってはいけない。,あざけ", ""},
            {"kun reading with other okurigana", "[危]ない橋を渡る。,あや",
             "the table's kun reading \"あや\" of \"危\" has other okurigana than \"ない\""},
            {"non-joyo kanji outside the brackets", "嘘をつくのは[良]くない。,よ",
             "kanji \"嘘\" in field 0 is not in the joyo table"},
        });
}

TEST_F(BanktoolTableTest, WordsWithASecondTableReadingAreFlagged) {
    const std::string flag = ": mark the record reviewed if its sentence asks ";
    Run("tanbun_yomi.dat", kSoundReading,
        {
            {"dictionary word the table reads two ways", "今年は[梅雨]入りが早い。,つゆ",
             "the table also reads \"梅雨\" as \"ばいう\"" + flag + "\"つゆ\" only"},
            {"appended word asked by another reading", "兄は将棋が[上手]だ。,うわて",
             "the table also reads \"上手\" as \"じょうず\"" + flag + "\"うわて\" only"},
            {"one kanji with two bare kun readings", "小鳥に[餌]をやる。,えさ",
             "the table also reads \"餌\" as \"え\"" + flag + "\"えさ\" only"},
            {"one kanji whose other kun has other okurigana", "手を[上]げる。,あ", ""},
            {"word with one reading", "[手紙]を書く。,てがみ", ""},
        });
}

TEST_F(BanktoolTableTest, ReviewedSourceRecordIsNotFlagged) {
    // Problems of a source name its lines in the file, comments counted.
    const std::string path = Write("tanbun_yomi.txt",
                                   "# reviewed: 梅雨入り is つゆいり\n"
                                   "今年は[梅雨]入りが早い。,つゆ\n"
                                   "# a plain comment does not mark the record below it\n"
                                   "小鳥に[餌]をやる。,えさ\n");
    const ToolRun r = Tool("check --no-layout --table '" + kTableDir + "' '" + path + "'");
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.out, path + ":4: the table also reads \"餌\" as \"え\": mark the record reviewed if its sentence asks "
                            "\"えさ\" only\n");
}

TEST_F(BanktoolTableTest, IdiomKanjiAreJoyo) {
    Run("four.dat", kSoundIdiom,
        {
            {"joyo idiom", "弱肉□□,弱肉強食,強食,競食,強植,協食,じゃくにくきょうしょく,強い者が弱い者を犠牲にして栄えること。", ""},
            {"non-joyo kanji in a wrong pair", "弱肉□□,弱肉強食,強食,狐食,強植,協食,じゃくにくきょうしょく,強い者が栄えること。",
             "kanji \"狐\" in field 3 is not in the joyo table"},
        });
}

TEST_F(BanktoolTableTest, MissingTableIsReported) {
    const std::string path = Write("tanbun_yomi.dat", Utf8ToSjis(kSoundReading + "\r\n" + kSoundReading + "x\r\n"));
    const ToolRun r = Tool("check --no-layout --table '" + dir_ + "/none' '" + path + "'");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("none/joyo.tsv"), std::string::npos) << r.err;
}

TEST_F(BanktoolTableTest, StatsCountAskedKanjiAndWords) {
    // 遡 and 嘲 are 2010 kanji: 遡 is asked twice, 嘲 once; 老舗, 梅雨 and 兄さん
    // (its kana past the bracket) are appended words;
    // 璧 of 完璧無比 is a 2010 kanji.
    // 梅雨, 餌 and 老舗 have a second table reading; only 梅雨 is reviewed.
    const std::string yomi = Write("tanbun_yomi.txt",
                                   "# reviewed: a comment line, not a question\n"
                                   "川の流れを[遡]る。,さかのぼ\n"
                                   "# reviewed: 梅雨入り is つゆいり\n"
                                   "今年は[梅雨]入りが早い。,つゆ\n"
                                   "小鳥に[餌]をやる。,えさ\n"
                                   "歴史を[遡]る。,さかのぼ\n"
                                   "人を[嘲]る。,あざけ\n"
                                   "[老舗]の旅館。,しにせ\n"
                                   "隣の[兄]さんに道を聞く。,にい\n");
    const std::string four = Write("four.dat", Utf8ToSjis(kSoundIdiom + "\r\n" +
                                                          "□□無比,完璧無比,完璧,完壁,完癖,完避,かんぺきむひ,欠点がまったくないこと。\r\n" +
                                                          "□□即発,一触即発,一触,一食,一蝕,一色,いっしょくそくはつ,危機に直面していること。\r\n"));
    const ToolRun r = Tool("stats --table '" + kTableDir + "' '" + yomi + "' '" + four + "'");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const std::vector<std::string> wanted = {
        yomi + ": 7 reading questions",
        four + ": 3 idiom questions",
        "2010 kanji in reading questions: 3 of 196 (once 2, twice or more 1)",
        "2010 kanji asked once: 嘲餌",
        "appended words asked: 3 of 116",
        "idioms with a 2010 kanji: 1 of 3 (33.3 %)",
        "reading questions with a second table reading: 3 of 7 (42.9 %), reviewed 1 (14.3 %), not reviewed 2",
        // 兄 (兄さん), 梅雨 and 異口同音 are on the shipped school-word list.
        "school words in reading questions: 2 of 7 (28.6 %)",
        "school idioms in idiom questions: 1 of 3 (33.3 %)",
    };
    for (const std::string& line : wanted) EXPECT_NE(r.out.find(line + "\n"), std::string::npos) << line << "\n" << r.out;
}

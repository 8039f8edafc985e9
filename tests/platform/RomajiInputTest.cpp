#include "platform/RomajiInput.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

struct TFeedCase {
    const char* Name;
    std::u16string Typed;
    std::u16string Committed;
    std::u16string Pending;
};

// Feeds every character and gathers what becomes final.
std::u16string FeedAll(TRomajiInput& ime, std::u16string_view typed) {
    std::u16string out;
    for (char16_t c : typed) out += ime.Feed(c);
    return out;
}

void RunTable(const std::vector<TFeedCase>& cases) {
    for (const TFeedCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TRomajiInput ime;
        EXPECT_EQ(FeedAll(ime, c.Typed), c.Committed);
        EXPECT_EQ(ime.Pending(), c.Pending);
    }
}

TEST(RomajiInput, VowelsAndRows) {
    RunTable({
        {"vowels", u"aiueo", u"あいうえお", u""},
        {"k row", u"kakikukeko", u"かきくけこ", u""},
        {"s row", u"sasisuseso", u"さしすせそ", u""},
        {"t row", u"tatituteto", u"たちつてと", u""},
        {"n row", u"naninuneno", u"なにぬねの", u""},
        {"h row", u"hahihuheho", u"はひふへほ", u""},
        {"m row", u"mamimumemo", u"まみむめも", u""},
        {"y row", u"yayiyuyeyo", u"やいゆいぇよ", u""},
        {"r row", u"rarirurero", u"らりるれろ", u""},
        {"w row", u"wawiwuwewo", u"わうぃううぇを", u""},
        {"g row", u"gagigugego", u"がぎぐげご", u""},
        {"z row", u"zazizuzezo", u"ざじずぜぞ", u""},
        {"d row", u"dadidudedo", u"だぢづでど", u""},
        {"b row", u"babibubebo", u"ばびぶべぼ", u""},
        {"p row", u"papipupepo", u"ぱぴぷぺぽ", u""},
        {"f row", u"fafifufefo", u"ふぁふぃふふぇふぉ", u""},
        {"j row", u"jajijujejo", u"じゃじじゅじぇじょ", u""},
        {"v row", u"vavivuvevo", u"ゔぁゔぃゔゔぇゔぉ", u""},
        {"word", u"hiragana", u"ひらがな", u""},
    });
}

TEST(RomajiInput, ContractedSounds) {
    RunTable({
        {"kya", u"kyakyukyo", u"きゃきゅきょ", u""},
        {"sha", u"shashusho", u"しゃしゅしょ", u""},
        {"sya", u"syasyusyo", u"しゃしゅしょ", u""},
        {"cha", u"chachucho", u"ちゃちゅちょ", u""},
        {"tya", u"tyatyutyo", u"ちゃちゅちょ", u""},
        {"cya", u"cyacyucyo", u"ちゃちゅちょ", u""},
        {"nya", u"nyanyunyo", u"にゃにゅにょ", u""},
        {"hya", u"hyahyuhyo", u"ひゃひゅひょ", u""},
        {"mya", u"myamyumyo", u"みゃみゅみょ", u""},
        {"rya", u"ryaryuryo", u"りゃりゅりょ", u""},
        {"gya", u"gyagyugyo", u"ぎゃぎゅぎょ", u""},
        {"jya", u"jyajyujyo", u"じゃじゅじょ", u""},
        {"zya", u"zyazyuzyo", u"じゃじゅじょ", u""},
        {"bya", u"byabyubyo", u"びゃびゅびょ", u""},
        {"pya", u"pyapyupyo", u"ぴゃぴゅぴょ", u""},
        {"dya", u"dyadyudyo", u"ぢゃぢゅぢょ", u""},
        {"thi", u"thi", u"てぃ", u""},
        {"dhi", u"dhi", u"でぃ", u""},
        {"che", u"che", u"ちぇ", u""},
        {"she", u"she", u"しぇ", u""},
        {"je", u"je", u"じぇ", u""},
        {"tsa", u"tsa", u"つぁ", u""},
        {"va", u"va", u"ゔぁ", u""},
        {"wha", u"whawho", u"うぁうぉ", u""},
        {"word", u"ryokousha", u"りょこうしゃ", u""},
    });
}

TEST(RomajiInput, AlternativeSpellings) {
    RunTable({
        {"shi si", u"shisi", u"しし", u""},
        {"chi ti", u"chiti", u"ちち", u""},
        {"tsu tu", u"tsutu", u"つつ", u""},
        {"fu hu", u"fuhu", u"ふふ", u""},
        {"ji zi", u"jizi", u"じじ", u""},
        {"c row", u"cacuco", u"かくこ", u""},
        {"ci ce", u"cice", u"しせ", u""},
        {"q row", u"qaqiqeqo", u"くぁくぃくぇくぉ", u""},
        {"qu", u"qu", u"く", u""},
    });
}

TEST(RomajiInput, SmallKana) {
    RunTable({
        {"x vowels", u"xaxixuxexo", u"ぁぃぅぇぉ", u""},
        {"l vowels", u"lalilulelo", u"ぁぃぅぇぉ", u""},
        {"small tsu", u"xtultuxtsultsu", u"っっっっ", u""},
        {"small ya", u"xyaxyuxyo", u"ゃゅょ", u""},
        {"l small ya", u"lyalyulyo", u"ゃゅょ", u""},
        {"small wa", u"xwalwa", u"ゎゎ", u""},
        {"small ka ke", u"xkaxke", u"ゕゖ", u""},
        {"xn", u"xn", u"ん", u""},
        {"waiting xts", u"xts", u"", u"xts"},
    });
}

TEST(RomajiInput, DoubledConsonants) {
    RunTable({
        {"kka", u"kka", u"っか", u""},
        {"tcha", u"tcha", u"っちゃ", u""},
        {"matcha", u"matcha", u"まっちゃ", u""},
        {"sshi", u"zasshi", u"ざっし", u""},
        {"ttsu", u"ttsu", u"っつ", u""},
        {"ppu", u"ippun", u"いっぷ", u"n"},
        {"kk waits", u"kk", u"っ", u"k"},
        {"kkk", u"kkk", u"っっ", u"k"},
        {"jja", u"jja", u"っじゃ", u""},
        {"vowels never double", u"aa", u"ああ", u""},
    });
}

TEST(RomajiInput, SyllabicN) {
    RunTable({
        {"nn", u"nn", u"ん", u""},
        {"n apostrophe", u"n'", u"ん", u""},
        {"kanji", u"kanji", u"かんじ", u""},
        {"konya", u"konya", u"こにゃ", u""},
        {"konnya", u"konnya", u"こんや", u""},
        {"kan'i", u"kan'i", u"かんい", u""},
        {"nna", u"nna", u"んあ", u""},
        {"nnn", u"nnn", u"ん", u"n"},
        {"n waits", u"n", u"", u"n"},
        {"shinbun", u"shinbun", u"しんぶ", u"n"},
        {"n before x", u"nxa", u"んぁ", u""},
        {"n before broken ny", u"nyk", u"んy", u"k"},
        {"ny waits", u"ny", u"", u"ny"},
    });
}

TEST(RomajiInput, FullWidthCharacters) {
    RunTable({
        {"long vowel", u"ka-", u"かー", u""},
        {"comma full stop", u",.", u"、。", u""},
        {"brackets", u"[]", u"「」", u""},
        {"slash", u"/", u"・", u""},
        {"tilde", u"~", u"～", u""},
        {"space", u" ", u"\u3000", u""},
        {"digits", u"0123456789", u"０１２３４５６７８９", u""},
        {"symbols", u"!?@#", u"！？＠＃", u""},
        {"apostrophe alone", u"'", u"＇", u""},
        {"backslash", u"\\", u"＼", u""},
        {"pending k before comma", u"k,", u"k、", u""},
        {"pending n before comma", u"n,", u"ん、", u""},
        {"pending n before long vowel", u"n-", u"んー", u""},
        {"pending ky before full stop", u"ky.", u"ky。", u""},
        {"pending k before space", u"k ", u"k\u3000", u""},
        {"pending n before digit", u"n1", u"ん１", u""},
    });
}

TEST(RomajiInput, UpperCase) {
    RunTable({
        {"KA", u"KA", u"か", u""},
        {"Shi", u"Shi", u"し", u""},
        {"KANJI", u"KANJI", u"かんじ", u""},
        {"pending as typed", u"Ky", u"", u"Ky"},
        {"KK", u"KK", u"っ", u"K"},
        {"NN", u"NN", u"ん", u""},
        {"TCHA", u"TCHA", u"っちゃ", u""},
    });
}

// A letter that can neither start nor continue any kana in its place is
// committed as typed and input goes on from the next letter.
TEST(RomajiInput, LettersThatFormNoKana) {
    RunTable({
        {"q then z", u"qz", u"q", u"z"},
        {"q then za", u"qza", u"qざ", u""},
        {"Q kept upper case", u"Qz", u"Q", u"z"},
        {"y then k", u"yk", u"y", u"k"},
        {"b then z", u"bza", u"bざ", u""},
        {"broken contraction", u"kyt", u"ky", u"t"},
        {"broken small tsu", u"xtk", u"xt", u"k"},
        {"ts then k", u"tska", u"tsか", u""},
    });
}

TEST(RomajiInput, EveryLetterCanStartKana) {
    for (char16_t c = u'a'; c <= u'z'; ++c) {
        SCOPED_TRACE(std::string(1, char(c)));
        TRomajiInput ime;
        std::u16string out = ime.Feed(c);
        if (std::u16string(u"aiueo").find(c) != std::u16string::npos) {
            EXPECT_EQ(out.size(), 1u);
            EXPECT_TRUE(ime.Pending().empty());
        } else {
            EXPECT_TRUE(out.empty());
            EXPECT_EQ(ime.Pending(), std::u16string(1, c));
        }
    }
}

TEST(RomajiInput, EveryOtherPrintableCharacterBecomesOneFullWidthCharacter) {
    for (char16_t c = 0x20; c <= 0x7E; ++c) {
        if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z')) continue;
        SCOPED_TRACE(int(c));
        TRomajiInput ime;
        std::u16string out = ime.Feed(c);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_GE(out[0], 0x3000);
        EXPECT_TRUE(ime.Pending().empty());
    }
    TRomajiInput ime;
    EXPECT_EQ(ime.Feed(u'@'), u"＠");
    EXPECT_EQ(ime.Feed(u'!'), u"\uFF01");
    EXPECT_EQ(ime.Feed(u'}'), u"\uFF5D");
}

TEST(RomajiInput, OtherCharactersFinishPendingLetters) {
    struct TCase {
        const char* Name;
        std::u16string Typed;
        char16_t Other;
        std::u16string Out;
    } cases[] = {
        {"converted text after n", u"n", u'漢', u"ん漢"},
        {"converted text after ky", u"ky", u'字', u"ky字"},
        {"converted text alone", u"", u'あ', u"あ"},
        {"carriage return dropped", u"k", u'\r', u"k"},
        {"delete dropped", u"n", u'\x7f', u"ん"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TRomajiInput ime;
        EXPECT_EQ(FeedAll(ime, c.Typed), u"");
        EXPECT_EQ(ime.Feed(c.Other), c.Out);
        EXPECT_TRUE(ime.Pending().empty());
    }
}

TEST(RomajiInput, BackspaceRemovesPendingLettersOneByOne) {
    TRomajiInput ime;
    EXPECT_EQ(FeedAll(ime, u"ky"), u"");
    EXPECT_TRUE(ime.Backspace());
    EXPECT_EQ(ime.Pending(), u"k");
    EXPECT_TRUE(ime.Backspace());
    EXPECT_EQ(ime.Pending(), u"");
    EXPECT_FALSE(ime.Backspace());
    // Typing goes on from the shortened letters.
    EXPECT_EQ(FeedAll(ime, u"tS"), u"");
    EXPECT_EQ(ime.Pending(), u"tS");
    EXPECT_EQ(ime.Feed(u'U'), u"つ");
    EXPECT_EQ(ime.Pending(), u"");
}

TEST(RomajiInput, BackspaceThenTypingForms) {
    struct TCase {
        const char* Name;
        std::u16string Before;
        std::u16string After;
        std::u16string Committed;
    } cases[] = {
        {"ky back to k", u"ky", u"a", u"か"},
        {"ts back to t", u"ts", u"a", u"た"},
        {"xts back to xt", u"xts", u"u", u"っ"},
        {"sh back to s", u"sh", u"a", u"さ"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TRomajiInput ime;
        EXPECT_EQ(FeedAll(ime, c.Before), u"");
        EXPECT_TRUE(ime.Backspace());
        EXPECT_EQ(FeedAll(ime, c.After), c.Committed);
        EXPECT_TRUE(ime.Pending().empty());
    }
}

TEST(RomajiInput, BackspaceWithNothingPending) {
    TRomajiInput ime;
    EXPECT_FALSE(ime.Backspace());
    EXPECT_EQ(FeedAll(ime, u"ka"), u"か");
    EXPECT_FALSE(ime.Backspace());
    EXPECT_EQ(ime.Pending(), u"");
}

TEST(RomajiInput, Finish) {
    struct TCase {
        const char* Name;
        std::u16string Typed;
        std::u16string Committed;
        std::u16string Finished;
    } cases[] = {
        {"pending n", u"kan", u"か", u"ん"},
        {"pending upper-case N", u"N", u"", u"ん"},
        {"pending ky", u"ky", u"", u"ky"},
        {"pending xts", u"xts", u"", u"xts"},
        {"pending k after small tsu", u"kk", u"っ", u"k"},
        {"pending Sh as typed", u"Sh", u"", u"Sh"},
        {"nothing pending", u"ka", u"か", u""},
        {"nothing typed", u"", u"", u""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TRomajiInput ime;
        EXPECT_EQ(FeedAll(ime, c.Typed), c.Committed);
        EXPECT_EQ(ime.Finish(), c.Finished);
        EXPECT_TRUE(ime.Pending().empty());
        EXPECT_EQ(ime.Finish(), u"");
    }
}

TEST(RomajiInput, FinishStartsAfresh) {
    TRomajiInput ime;
    EXPECT_EQ(FeedAll(ime, u"n"), u"");
    EXPECT_EQ(ime.Finish(), u"ん");
    // The "n" is gone: "a" is a vowel on its own, not "な".
    EXPECT_EQ(ime.Feed(u'a'), u"あ");
}

TEST(RomajiInput, ResetDropsPendingLetters) {
    TRomajiInput ime;
    EXPECT_EQ(FeedAll(ime, u"ky"), u"");
    ime.Reset();
    EXPECT_EQ(ime.Pending(), u"");
    EXPECT_EQ(ime.Feed(u'a'), u"あ");
}

// Whatever is typed, pending letters stay a short possible spelling and
// letters only come out as kana or as the ASCII letters typed.
TEST(RomajiInput, RandomTypingKeepsPendingShort) {
    std::mt19937 random(12345);
    const std::u16string alphabet = u"aiueonnkstyhxlcjqzwTSNK'-, ";
    for (int round = 0; round < 200; ++round) {
        SCOPED_TRACE(round);
        TRomajiInput ime;
        std::u16string typed;
        for (int i = 0; i < 40; ++i) {
            char16_t c = alphabet[random() % alphabet.size()];
            typed += c;
            std::u16string out = ime.Feed(c);
            ASSERT_LE(ime.Pending().size(), 4u) << "after typing " << std::string(typed.begin(), typed.end());
            for (char16_t o : out) {
                bool letter = (o >= u'a' && o <= u'z') || (o >= u'A' && o <= u'Z');
                EXPECT_TRUE(letter || o >= 0x3000) << int(o);
            }
        }
    }
}

}  // namespace

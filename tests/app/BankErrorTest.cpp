// Question banks that cannot serve: missing files, short records, empty
// lines, one-line and empty banks. Each error reaches the error box with
// its message and the program goes on.
#include <cerrno>

#include "platform/Exceptions.h"
#include "platform/Files.h"
#include "tests/app/AppTestSupport.h"

namespace apptest {
namespace {

const std::string& IdiomLine() {
    static const std::string line = U(u8"□□多難,多事多難,多事,他事,多時,多字,たじたなん,事件や困難が多いこと。");
    return line;
}

std::string ListIndexText(int n) { return U(u8"リストのインデックスが範囲を超えています (") + std::to_string(n) + ")"; }

class BankErrorTest : public FormTest {};

TEST_F(BankErrorTest, MissingBankReportsTheFileAndKeepsTheMode) {
    const struct {
        const char* name;
        int line;
        uint8_t mode;
        const char* file;
    } cases[] = {{"idiom", 0, 1, "four.dat"}, {"reading", 2, 2, "tanbun_yomi.dat"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        boxes.clear();
        Escape();
        MenuCursor = c.line;
        Enter();
        ASSERT_EQ(boxes.size(), 1u);
        const std::string path = (folder / "Question" / c.file).string();
        EXPECT_EQ(boxes[0].text, U(u8"ファイル \"") + path + "\". " + OsErrorText(ENOENT) + U(u8" は開けません") + ".");
        EXPECT_EQ(boxes[0].caption, "Tobelin");
        EXPECT_EQ(ScreenMode, c.mode);
        EXPECT_EQ(Phase, 0);
        // Every further key of the drill fails the same way; Escape still
        // reaches the menu.
        Enter();
        EXPECT_EQ(boxes.size(), 2u);
        Escape();
        EXPECT_EQ(ScreenMode, 0);
        EXPECT_EQ(boxes.size(), 2u);
    }
}

TEST_F(BankErrorTest, ShortRecordsRaiseTheListIndexError) {
    const struct {
        const char* name;
        int line;
        std::string record;
        int enters;  // Enter presses after the first question
        int missing;
    } cases[] = {
        {"reading record without reading", 2, U(u8"[謹]んでお詫びする。"), 1, 1},
        {"idiom record without meaning", 0, U(u8"□□多難,多事多難,多事,他事,多時,多字,たじたなん"), 1, 7},
        {"idiom record without heading", 0, U(u8"□□多難,多事多難,多事,他事,多時,多字"), 1, 6},
        {"idiom record with only the question", 0, U(u8"□□多難"), 0, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        boxes.clear();
        Escape();
        WriteBank(IdiomBank(), {c.record, c.record});
        WriteBank(ReadingBank(), {c.record, c.record});
        MenuCursor = c.line;
        Enter();
        for (int i = 0; i < c.enters; ++i) Enter();
        ASSERT_EQ(boxes.size(), 1u);
        if (c.missing >= 0) {
            EXPECT_EQ(boxes[0].text, ListIndexText(c.missing)) << "no full stop after ')'";
        } else {
            // The first answer drawn is missing: the field of line 0's answer.
            EXPECT_EQ(boxes[0].text, ListIndexText(ChoiceOrder->Order[0] + 2));
        }
        EXPECT_EQ(Phase, c.enters == 0 ? 0 : 2);
    }
}

TEST_F(BankErrorTest, EmptyLineKeepsThePreviousFields) {
    WriteBank(ReadingBank(), {U(u8"努力が[漸]く実を結んだ。,ようや"), ""});
    QuestionIndex = 1;
    MenuCursor = 2;
    Enter();
    ASSERT_EQ(QuestionIndex, 0);
    Enter();
    Enter();
    ASSERT_EQ(QuestionIndex, 1);
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(FieldList->Count(), 2);
    EXPECT_SJIS_EQ(ItemAt(*FieldList, 1), U(u8"ようや")) << "the previous record is drawn again";
    Type("youya");
    Enter();
    EXPECT_GT(CountColor(*Backbuffer, TRect{420, 190, 640, 320}, 0x0000FF), 200);
}

TEST_F(BankErrorTest, OneLineBankAlwaysShowsThatLine) {
    WriteBank(IdiomBank(), {IdiomLine()});
    WriteBank(ReadingBank(), {U(u8"努力が[漸]く実を結んだ。,ようや")});
    MenuCursor = 0;
    Enter();
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(QuestionIndex, 0);
        EXPECT_SJIS_EQ(ItemAt(*FieldList, 0), U(u8"□□多難"));
        Enter();
        Enter();
    }
    Escape();
    MenuCursor = 2;
    Enter();
    Enter();
    Enter();
    EXPECT_EQ(QuestionIndex, 0);
    EXPECT_SJIS_EQ(ItemAt(*FieldList, 1), U(u8"ようや"));
    EXPECT_TRUE(boxes.empty());
}

TEST_F(BankErrorTest, EmptyBankEndsInTheErrorForLineZero) {
    const struct {
        const char* name;
        int line;
        int questionIndex;
    } cases[] = {{"idiom at start", 0, 0}, {"idiom after line 3", 0, 3}, {"reading at start", 2, 0}};
    WriteBank(IdiomBank(), {});
    WriteBank(ReadingBank(), {});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        boxes.clear();
        Escape();
        QuestionIndex = c.questionIndex;
        MenuCursor = c.line;
        Enter();
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, ListIndexText(0));
        Escape();
        EXPECT_EQ(ScreenMode, 0);
    }
}

TEST_F(BankErrorTest, PickQuestionRules) {
    TStringList bank;
    bank.SetItems({"a", "b", "c"});
    for (int start : {0, 1, 2, 7}) {
        SCOPED_TRACE(start);
        for (int i = 0; i < 30; ++i) {
            QuestionIndex = start;
            PickQuestion(bank);
            EXPECT_NE(QuestionIndex, start);
            EXPECT_GE(QuestionIndex, 0);
            EXPECT_LT(QuestionIndex, 3);
        }
    }
    bank.SetItems({"only"});
    QuestionIndex = 5;
    PickQuestion(bank);
    EXPECT_EQ(QuestionIndex, 0);
    bank.Clear();
    QuestionIndex = 0;
    try {
        PickQuestion(bank);
        ADD_FAILURE() << "an empty bank picked a line";
    } catch (const ListIndexError& e) {
        EXPECT_SJIS_EQ(e.message(), ListIndexText(0));
    }
}

TEST_F(BankErrorTest, BankFolderDefaultsToTheExecutableFolder) {
    SetBankFolder("");
    EXPECT_EQ(BankFolder(), ExecutableFolder());
    SetBankFolder("/tmp/somewhere");
    EXPECT_EQ(BankFolder(), "/tmp/somewhere/");
    SetBankFolder(folder.string());
    TStringList bank;
    WriteBank(IdiomBank(), {"x,y", "z"});
    LoadBank(bank, IdiomBankPath);
    EXPECT_EQ(bank.Items(), (std::vector<std::string>{"x,y", "z"}));
}

}  // namespace
}  // namespace apptest

// The reading drill played through key events: the answer box, romaji
// typed into it, the judgement of the answer and the answer screen.
#include "tests/app/AppTestSupport.h"

namespace apptest {
namespace {

constexpr TColor Green = 0x00FF00;
constexpr TColor Blue = 0xFF0000;
constexpr TColor Red = 0x0000FF;
constexpr TColor Underline = 0x1111FF;

class ReadingDrillTest : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        WriteBank(ReadingBank(), {U(u8"努力が[漸]く実を結んだ。,ようや"), U(u8"[謹]んでお詫びする。,つつし")});
        MenuCursor = 2;
    }
    std::string Gothic() const { return U(u8"ＭＳ Ｐゴシック"); }
    std::string Mincho() const { return U(u8"ＭＳ Ｐ明朝"); }
    int RedMark() const { return CountColor(*Backbuffer, TRect{420, 190, 640, 320}, Red); }
    int BlueMark() const { return CountColor(*Backbuffer, TRect{420, 170, 640, 330}, Blue); }
    // Starts the drill on line 1 ("[謹]んでお詫びする。"): the line after
    // start-up is never line 0, and a two-line bank has one other line.
    void StartOnLine1() {
        Enter();
        ASSERT_EQ(ScreenMode, 2);
        ASSERT_EQ(QuestionIndex, 1);
        ASSERT_TRUE(boxes.empty());
    }
};

TEST_F(ReadingDrillTest, QuestionScreenAndAnswerBox) {
    StartOnLine1();
    TEdit1& box = *form->Edit1;
    EXPECT_TRUE(box.isVisible());
    EXPECT_TRUE(box.text().isEmpty());
    EXPECT_FALSE(box.isReadOnly());
    EXPECT_TRUE(box.CaretShown());
    EXPECT_TRUE(box.hasFocus());
    EXPECT_TRUE(box.ImeOpen()) << "focus opens the input method";
    EXPECT_TRUE(bool(box.OnKeyDown));
    EXPECT_EQ(box.geometry(), QRect(196, 220, 221, 43));
    EXPECT_EQ(box.font().pixelSize(), 37);
    EXPECT_FALSE(box.hasFrame());
    EXPECT_EQ(box.palette().color(QPalette::Base), QColor(Qt::black));
    EXPECT_EQ(box.palette().color(QPalette::Text), QColor(0, 255, 0));

    // The sentence with its marked word, and the label left of the box.
    auto ref = BlackBitmap();
    DrawMarkedSentence(ref->Canvas(), U(u8"[謹]んでお詫びする。"), 10, 100, Mincho(), Green, 30, 3, Underline);
    DrawTextAt(ref->Canvas(), U(u8"読み:"), 100, 228, Gothic(), KeepColor, 20, DT_LEFT);
    EXPECT_TRUE(SamePixels(*Backbuffer, 0, 0, *ref, 0, 0, 640, 480));
    EXPECT_GT(CountColor(*Backbuffer, TRect{0, 100, 640, 160}, Underline), 30);
}

TEST_F(ReadingDrillTest, TypedRomajiJudgedRight) {
    StartOnLine1();
    Type("tutusi");
    EXPECT_EQ(form->Edit1->text(), QString::fromUtf16(u"つつし"));
    Enter();
    EXPECT_EQ(Phase, 2);
    EXPECT_TRUE(form->Edit1->isReadOnly());
    EXPECT_FALSE(form->Edit1->CaretShown());
    EXPECT_TRUE(form->Edit1->isVisible());
    EXPECT_EQ(form->Edit1->text(), QString::fromUtf16(u"つつし"));
    EXPECT_GT(RedMark(), 200);
    EXPECT_EQ(BlueMark(), 0);
    const auto circle = Reference(U(u8"○"), 420, 190, Gothic(), Red, 84, true);
    EXPECT_TRUE(SamePixels(*Backbuffer, 420, 190, *circle, 420, 190, 120, 110));
    EXPECT_EQ(Backbuffer->Canvas().Font.Style & fsBold, 0);
}

TEST_F(ReadingDrillTest, AnswersJudged) {
    const struct {
        const char* name;
        std::string typed;
        bool right;
    } cases[] = {
        {"plain", "tsutsushi", true},
        {"leading full-width space", " tutusi", true},
        {"trailing full-width space", "tutusi ", true},
        {"both sides", "  tutusi  ", true},
        {"space inside", "tutu si", false},
        {"other reading", "kin", false},
        {"pending letter stays a letter", "tutusik", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QuestionIndex = 0;
        Escape();
        Enter();
        ASSERT_EQ(QuestionIndex, 1);
        Type(c.typed);
        Enter();
        ASSERT_EQ(Phase, 2);
        EXPECT_EQ(RedMark() > 200, c.right);
        EXPECT_EQ(BlueMark() > 200, !c.right);
    }
}

TEST_F(ReadingDrillTest, PendingNBecomesKanaOnEnter) {
    WriteBank(ReadingBank(), {U(u8"[本]を読む。,ほん"), U(u8"[本]を読む。,ほん")});
    StartOnLine1();
    Type("hon");
    EXPECT_EQ(form->Edit1->text(), QString::fromUtf16(u"ほn"));
    Enter();
    EXPECT_EQ(form->Edit1->text(), QString::fromUtf16(u"ほん"));
    EXPECT_GT(RedMark(), 200);
}

TEST_F(ReadingDrillTest, EmptyAnswerShowsReadingWithoutMark) {
    StartOnLine1();
    Enter();
    ASSERT_EQ(Phase, 2);
    EXPECT_EQ(RedMark(), 0);
    EXPECT_EQ(BlueMark(), 0);
    // The reading centred over the underlined word, in the sentence's face.
    auto ref = BlackBitmap();
    TCanvas& c = ref->Canvas();
    const int centre = DrawMarkedSentence(c, U(u8"[謹]んでお詫びする。"), 10, 100, Mincho(), Green, 30, 3, Underline);
    const int wordWidth = Extent(U(u8"謹"), Mincho(), 30).cx;
    EXPECT_EQ(centre, 10 + wordWidth / 2);
    c.Font.Size = 20;
    const int w = c.TextWidth(U(u8"つつし"));
    DrawTextAt(c, U(u8"つつし"), centre - w / 2, 70, "", KeepColor, KeepSize, DT_SINGLELINE);
    c.Font.Name = Gothic();
    DrawTextAt(c, U(u8"読み:"), 100, 228, "", KeepColor, 20, DT_LEFT);
    EXPECT_TRUE(SamePixels(*Backbuffer, 0, 0, *ref, 0, 0, 640, 480));
}

TEST_F(ReadingDrillTest, EnterOnAnswerGivesNextQuestionAndEmptiesTheBox) {
    StartOnLine1();
    Type("kin");
    Enter();
    ASSERT_EQ(Phase, 2);
    Enter();
    EXPECT_EQ(Phase, 0);
    EXPECT_EQ(QuestionIndex, 0);
    EXPECT_TRUE(form->Edit1->text().isEmpty());
    EXPECT_FALSE(form->Edit1->isReadOnly());
    EXPECT_TRUE(form->Edit1->CaretShown());
    EXPECT_SJIS_EQ(ItemAt(*FieldList, 1), U(u8"ようや"));
    Type("youya");
    Enter();
    EXPECT_GT(RedMark(), 200);
}

TEST_F(ReadingDrillTest, TypingDoesNotReachTheAnswerScreen) {
    StartOnLine1();
    Type("tutusi");
    Enter();
    Type("abc");
    Press(Qt::Key_Backspace, "\b");
    EXPECT_EQ(form->Edit1->text(), QString::fromUtf16(u"つつし"));
    EXPECT_EQ(Phase, 2);
}

TEST_F(ReadingDrillTest, EscapeHidesTheBoxAndReturnsToTheMenu) {
    StartOnLine1();
    Type("tu");
    Escape();
    EXPECT_EQ(ScreenMode, 0);
    EXPECT_FALSE(form->Edit1->isVisible());
    EXPECT_FALSE(form->Edit1->OnKeyDown);
    EXPECT_FALSE(form->Edit1->ImeOpen()) << "losing the focus closes the input method";
    // The window has the keys again.
    Down();
    EXPECT_EQ(MenuCursor, 3);
}

TEST_F(ReadingDrillTest, TabKeepsTheFocusInTheBox) {
    StartOnLine1();
    Press(Qt::Key_Tab, "\t");
    EXPECT_TRUE(form->Edit1->hasFocus());
    EXPECT_TRUE(form->Edit1->ImeOpen());
    Type("tutusi");
    Enter();
    EXPECT_GT(RedMark(), 200);
}

TEST_F(ReadingDrillTest, QuestionIndexKeptAcrossDrills) {
    WriteBank(IdiomBank(), {U(u8"□□多難,多事多難,多事,他事,多時,多字,たじたなん,事件や困難が多いこと。"),
                            U(u8"公明□□,公明正大,正大,正代,盛大,政大,こうめいせいだい,公正で隠し事がないこと。")});
    MenuCursor = 0;
    Enter();
    ASSERT_EQ(QuestionIndex, 1);
    Escape();
    Down();
    Down();
    Enter();
    ASSERT_EQ(ScreenMode, 2);
    EXPECT_EQ(QuestionIndex, 0) << "the reading drill starts on a line other than the idiom's";
    EXPECT_SJIS_EQ(ItemAt(*FieldList, 1), U(u8"ようや"));
}

TEST_F(ReadingDrillTest, BankEditedWhileRunningIsReadAtTheNextKey) {
    StartOnLine1();
    WriteBank(ReadingBank(), {U(u8"努力が[漸]く実を結んだ。,ようや"), U(u8"[謹]んで申し上げる。,きん")});
    Type("kin");
    Enter();
    EXPECT_SJIS_EQ(ItemAt(*FieldList, 0), U(u8"[謹]んで申し上げる。"));
    EXPECT_GT(RedMark(), 200) << "judged against the edited reading";
}

TEST_F(ReadingDrillTest, KeysOtherThanEnterAndEscapeDoNothing) {
    StartOnLine1();
    for (int key : {int(Qt::Key_Up), int(Qt::Key_Down)}) {
        Scribble();
        Press(key);
        EXPECT_TRUE(Scribbled());
        EXPECT_EQ(Phase, 0);
    }
    Digit(1);
    EXPECT_EQ(Phase, 0);
    EXPECT_EQ(ChoiceCursor, -1);
    EXPECT_EQ(form->Edit1->text(), QString::fromUtf16(u"１"));
}

}  // namespace
}  // namespace apptest

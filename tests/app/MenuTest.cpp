// The window, the title menu and the key dispatch between screens, driven
// by real key events.
#include "tests/app/AppTestSupport.h"

namespace apptest {
namespace {

constexpr TColor Green = 0x00FF00;
constexpr TColor Blue = 0xFF0000;

class MenuTest : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        WriteBank(IdiomBank(), {U(u8"□□多難,多事多難,多事,他事,多時,多字,たじたなん,事件や困難が多いこと。"),
                                U(u8"公明□□,公明正大,正大,正代,盛大,政大,こうめいせいだい,公正で隠し事がないこと。")});
        WriteBank(ReadingBank(), {U(u8"努力が[漸]く実を結んだ。,ようや"), U(u8"[謹]んでお詫びする。,つつし")});
    }
    // The face the menu is drawn in at the first start: the canvas default.
    std::string DefaultFace() const { return TFont().Name; }
};

TEST_F(MenuTest, WindowIsFixedAt640By480WithMinimiseBoxOnly) {
    EXPECT_EQ(form->width(), 640);
    EXPECT_EQ(form->height(), 480);
    EXPECT_EQ(form->minimumSize(), QSize(640, 480));
    EXPECT_EQ(form->maximumSize(), QSize(640, 480));
    EXPECT_EQ(form->windowTitle(), QString("Tobelin Ver0.21"));
    EXPECT_TRUE(form->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(form->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(form->GetWindowStyle() & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX), WS_MINIMIZEBOX);
    ASSERT_TRUE(Backbuffer);
    EXPECT_EQ(Backbuffer->GetWidth(), 640);
    EXPECT_EQ(Backbuffer->GetHeight(), 480);
    EXPECT_EQ(Backbuffer->StorageBits(), 32);
    EXPECT_EQ(MenuLabels[0], U(u8"四字熟語"));
    EXPECT_EQ(MenuLabels[3], U(u8"終了"));
    EXPECT_FALSE(form->Edit1->isVisible());
    EXPECT_EQ(form->Edit1->text(), QString("Edit1"));
}

TEST_F(MenuTest, StyleBitsMapOntoWindowFlags) {
    const struct {
        const char* name;
        uint32_t style;
        bool min, max;
    } cases[] = {
        {"both", WS_MINIMIZEBOX | WS_MAXIMIZEBOX, true, true},
        {"maximise only", WS_MAXIMIZEBOX, false, true},
        {"none", 0, false, false},
        {"minimise only", WS_MINIMIZEBOX, true, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        form->SetWindowStyle(c.style | 0x00C00000);
        EXPECT_EQ(bool(form->windowFlags() & Qt::WindowMinimizeButtonHint), c.min);
        EXPECT_EQ(bool(form->windowFlags() & Qt::WindowMaximizeButtonHint), c.max);
        EXPECT_EQ(form->GetWindowStyle(), c.style | 0x00C00000);
        EXPECT_TRUE(form->isVisible());
    }
}

TEST_F(MenuTest, MenuScreenColoursAndPlaces) {
    const TBitmap& b = *Backbuffer;
    // Black ground above the title and below the menu.
    EXPECT_EQ(CountNotColor(b, TRect{0, 0, 640, 48}, clBlack), 0);
    EXPECT_EQ(CountNotColor(b, TRect{0, 370, 640, 480}, clBlack), 0);
    // Title and date in green, exactly as drawn alone.
    const std::string face = DefaultFace();
    const auto title = Reference("Tobelin Ver0.21", 50, 50, face, Green, 32);
    const TSize titleSize = Extent("Tobelin Ver0.21", face, 32);
    EXPECT_GT(CountColor(b, TRect{50, 50, 50 + titleSize.cx, 50 + titleSize.cy}, Green), 100);
    EXPECT_TRUE(SamePixels(b, 50, 50, *title, 50, 50, titleSize.cx, 40));
    EXPECT_GT(CountColor(b, TRect{400, 100, 640, 125}, Green), 30);
    // The arrow and label of line 0 blue, the other labels green.
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        const int y = 200 + 40 * i;
        const TRect arrow{50, y, 100, y + 34};
        const TRect label{100, y, 300, y + 34};
        EXPECT_EQ(CountColor(b, arrow, Blue) > 0, i == 0);
        EXPECT_EQ(CountColor(b, label, Blue) > 0, i == 0);
        EXPECT_EQ(CountColor(b, label, Green) > 0, i != 0);
        const auto expected = Reference(MenuLabels[size_t(i)], 100, y, face, i == 0 ? Blue : Green, 24);
        EXPECT_TRUE(SamePixels(b, 100, y, *expected, 100, y, 200, 32));
    }
}

TEST_F(MenuTest, CursorClampsAndEveryArrowRedraws) {
    const struct {
        const char* name;
        int key;
        int cursorBefore;
        int cursorAfter;
    } cases[] = {
        {"up on the first line stays", Qt::Key_Up, 0, 0},
        {"down from 0", Qt::Key_Down, 0, 1},
        {"down from 2", Qt::Key_Down, 2, 3},
        {"down on the last line stays", Qt::Key_Down, 3, 3},
        {"up from 3", Qt::Key_Up, 3, 2},
        {"up from 1", Qt::Key_Up, 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        MenuCursor = c.cursorBefore;
        Scribble();
        Press(c.key);
        EXPECT_EQ(MenuCursor, c.cursorAfter);
        EXPECT_EQ(ScreenMode, 0);
        EXPECT_FALSE(Scribbled()) << "the menu was not drawn again";
        const int y = 200 + 40 * c.cursorAfter;
        EXPECT_GT(CountColor(*Backbuffer, TRect{50, y, 100, y + 34}, Blue), 0);
    }
}

TEST_F(MenuTest, DownFourTimesStopsOnTheLastLine) {
    for (int i = 0; i < 4; ++i) Down();
    EXPECT_EQ(MenuCursor, 3);
    EXPECT_GT(CountColor(*Backbuffer, TRect{100, 320, 300, 354}, Blue), 0);
    EXPECT_EQ(CountColor(*Backbuffer, TRect{50, 200, 100, 314}, Blue), 0);
}

TEST_F(MenuTest, EnterOnEachLine) {
    const struct {
        const char* name;
        int line;
        uint8_t mode;
    } cases[] = {{"idiom drill", 0, 1}, {"notice", 1, 3}, {"reading drill", 2, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Escape();
        MenuCursor = c.line;
        Enter();
        EXPECT_EQ(ScreenMode, c.mode);
        EXPECT_EQ(Phase, 0);
        EXPECT_FALSE(Terminated);
        EXPECT_EQ(form->Edit1->isVisible(), c.mode == 2);
    }
    EXPECT_TRUE(boxes.empty());
}

TEST_F(MenuTest, EnterOnTheLastLineEndsTheProgram) {
    MenuCursor = 3;
    Enter();
    EXPECT_TRUE(Terminated);
    EXPECT_EQ(ScreenMode, 0);
}

TEST_F(MenuTest, NoticeScreenIgnoresAllButEscape) {
    MenuCursor = 1;
    Enter();
    ASSERT_EQ(ScreenMode, 3);
    // The notice in green at (50, 200), nothing else.
    const std::string notice = U(u8"まだ出来てません。ESCで戻れます。");
    const auto expected = Reference(notice, 50, 200, Backbuffer->Canvas().Font.Name, Green, 24);
    EXPECT_TRUE(SamePixels(*Backbuffer, 0, 0, *expected, 0, 0, 640, 480));
    Scribble();
    for (int key : {int(Qt::Key_Return), int(Qt::Key_Up), int(Qt::Key_Down), int(Qt::Key_1)}) {
        SCOPED_TRACE(key);
        Press(key, key == Qt::Key_1 ? "1" : (key == Qt::Key_Return ? "\r" : ""));
        EXPECT_EQ(ScreenMode, 3);
        EXPECT_TRUE(Scribbled());
    }
    Escape();
    EXPECT_EQ(ScreenMode, 0);
    EXPECT_EQ(MenuCursor, 1);
    EXPECT_GT(CountColor(*Backbuffer, TRect{100, 240, 300, 274}, Blue), 0);
}

TEST_F(MenuTest, EscapeFromEveryMode) {
    const struct {
        const char* name;
        int line;       // menu line entered, -1 for the menu itself
        int extraKeys;  // Enter presses after entering (0: question, 1: answer)
    } cases[] = {
        {"menu", -1, 0},           {"idiom question", 0, 0}, {"idiom answer", 0, 1},
        {"reading question", 2, 0}, {"reading answer", 2, 1}, {"notice", 1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ScreenMode = 0;
        Phase = 0;
        MenuCursor = c.line < 0 ? 2 : c.line;
        if (c.line >= 0) {
            Enter();
            for (int i = 0; i < c.extraKeys; ++i) Enter();
        }
        const int cursor = MenuCursor;
        const int question = QuestionIndex;
        const int choice = ChoiceCursor;
        Scribble();
        Escape();
        EXPECT_EQ(ScreenMode, 0);
        EXPECT_EQ(Phase, 0);
        EXPECT_EQ(MenuCursor, cursor);
        EXPECT_EQ(QuestionIndex, question);
        EXPECT_EQ(ChoiceCursor, choice);
        EXPECT_FALSE(form->Edit1->isVisible());
        EXPECT_FALSE(form->Edit1->OnKeyDown);
        EXPECT_FALSE(Scribbled());
        const int y = 200 + 40 * cursor;
        EXPECT_GT(CountColor(*Backbuffer, TRect{50, y, 100, y + 34}, Blue), 0);
    }
    EXPECT_TRUE(boxes.empty());
}

TEST_F(MenuTest, KeypadDigitsAndKeypadEnter) {
    // Keypad Enter is Enter; keypad digits are other keys.
    Press(Qt::Key_Enter, "\r", Qt::KeypadModifier);
    ASSERT_EQ(ScreenMode, 1);
    Press(Qt::Key_2, "2", Qt::KeypadModifier);
    EXPECT_EQ(Phase, 0);
    EXPECT_EQ(ChoiceCursor, -1);
    Digit(2);
    EXPECT_EQ(Phase, 2);
    EXPECT_EQ(ChoiceCursor, 1);
}

TEST_F(MenuTest, PaintCopiesTheBitmapUnscaled) {
    const QImage shot = form->grab().toImage().convertToFormat(QImage::Format_RGB32);
    ASSERT_EQ(shot.size(), QSize(640, 480));
    int differing = 0;
    for (int y = 0; y < 480; ++y)
        for (int x = 0; x < 640; ++x)
            if ((shot.pixel(x, y) & 0xFFFFFF) != ((Backbuffer->Pixel(x, y) & 0xFF) << 16 |
                                                   (Backbuffer->Pixel(x, y) & 0xFF00) |
                                                   ((Backbuffer->Pixel(x, y) >> 16) & 0xFF)))
                ++differing;
    EXPECT_EQ(differing, 0);
}

TEST_F(MenuTest, MenuKeepsTheFaceOfTheLastScreen) {
    MenuCursor = 0;
    Enter();  // the idiom screen leaves the gothic face set
    Escape();
    EXPECT_EQ(Backbuffer->Canvas().Font.Name, U(u8"ＭＳ Ｐゴシック"));
    const auto title = Reference("Tobelin Ver0.21", 50, 50, U(u8"ＭＳ Ｐゴシック"), Green, 32);
    EXPECT_TRUE(SamePixels(*Backbuffer, 50, 50, *title, 50, 50, 500, 45));
}

TEST_F(MenuTest, KeysAfterTheObjectsAreGoneReportAnError) {
    form->FormDestroy(form.get());
    ASSERT_FALSE(Backbuffer);
    for (int key : {int(Qt::Key_Down), int(Qt::Key_Return), int(Qt::Key_Escape)}) {
        SCOPED_TRACE(key);
        boxes.clear();
        Press(key, key == Qt::Key_Return ? "\r" : "");
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].text, "The screen state was not set up.");
    }
    // Painting without a bitmap draws nothing and reports nothing.
    boxes.clear();
    form->grab();
    EXPECT_TRUE(boxes.empty());
}

}  // namespace
}  // namespace apptest

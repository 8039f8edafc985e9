// The four-choice idiom drill played through key events: the cursor, the
// digit keys, the answer screen and its marks, and the shuffle object.
#include <set>

#include "tests/app/AppTestSupport.h"

namespace apptest {
namespace {

constexpr TColor Green = 0x00FF00;
constexpr TColor Blue = 0xFF0000;
constexpr TColor Red = 0x0000FF;

const std::vector<std::string>& IdiomLines() {
    static const std::vector<std::string> lines = {
        U(u8"□□多難,多事多難,多事,他事,多時,多字,たじたなん,事件や困難が多いこと。"),
        U(u8"公明□□,公明正大,正大,正代,盛大,政大,こうめいせいだい,公正で隠し事がないこと。"),
    };
    return lines;
}

class IdiomDrillTest : public FormTest {
protected:
    void SetUp() override {
        FormTest::SetUp();
        WriteBank(IdiomBank(), IdiomLines());
        MenuCursor = 0;
    }
    std::string Gothic() const { return U(u8"ＭＳ Ｐゴシック"); }
    std::string Mincho() const { return U(u8"ＭＳ Ｐ明朝"); }

    // The arrow of answer line i is blue.
    bool ArrowOn(int i) const {
        const int y = 220 + 50 * i;
        return CountColor(*Backbuffer, TRect{70, y, 160, y + 40}, Blue) > 0;
    }
    // The answer text of line i as the question screen draws it.
    std::string AnswerLine(int i) const {
        return std::to_string(i + 1) + ". " + ItemAt(*FieldList, ChoiceOrder->Order[size_t(i)] + 2);
    }
    bool AnswerDrawn(int i, TColor colour) const {
        const int y = 220 + 50 * i;
        const auto ref = Reference(AnswerLine(i), 170, y, Gothic(), colour, 28);
        return SamePixels(*Backbuffer, 170, y, *ref, 170, y, 470, 48);
    }
    int RedMarkPixels() const { return CountColor(*Backbuffer, TRect{400, 230, 640, 360}, Red); }
    int BlueMarkPixels() const { return CountColor(*Backbuffer, TRect{400, 210, 640, 370}, Blue); }
};

TEST(T4takuTest, ShuffleGivesAPermutationAndNextCycles) {
    T4taku order;
    std::set<std::array<int32_t, 4>> seen;
    for (int round = 0; round < 200; ++round) {
        order.ReadPos = 2;
        order.Shuffle();
        EXPECT_EQ(order.ReadPos, 0);
        std::array<int32_t, 4> sorted = order.Order;
        std::sort(sorted.begin(), sorted.end());
        ASSERT_EQ(sorted, (std::array<int32_t, 4>{0, 1, 2, 3})) << "round " << round;
        seen.insert(order.Order);
    }
    // Reseeded from the clock each time: many different orders appear.
    EXPECT_GT(seen.size(), 5u);

    order.Order = {2, 0, 3, 1};
    order.ReadPos = 1;
    EXPECT_EQ(order.Next(), 0);
    EXPECT_EQ(order.Next(), 3);
    EXPECT_EQ(order.Next(), 1);
    EXPECT_EQ(order.ReadPos, 0);
    EXPECT_EQ(order.Next(), 2);
    EXPECT_EQ(order.ReadPos, 1);
}

TEST_F(IdiomDrillTest, QuestionScreenLayout) {
    Enter();
    ASSERT_EQ(ScreenMode, 1);
    ASSERT_TRUE(boxes.empty());
    EXPECT_EQ(Phase, 0);
    EXPECT_EQ(ChoiceCursor, -1);
    EXPECT_EQ(QuestionIndex, 1) << "a fresh start never shows line 0 first";
    EXPECT_SJIS_EQ(ItemAt(*FieldList, 1), U(u8"公明正大"));
    EXPECT_EQ(ChoiceOrder->Order[size_t(CorrectSlot)], 0);
    // The question large and centred in (50, 50, 590, 150).
    auto ref = BlackBitmap();
    DrawTextInRect(ref->Canvas(), U(u8"公明□□"), TRect{50, 50, 590, 150}, Mincho(), Green, 72, DT_CENTER);
    EXPECT_TRUE(SamePixels(*Backbuffer, 0, 0, *ref, 0, 0, 640, 150));
    for (int i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(ArrowOn(i));
        EXPECT_TRUE(AnswerDrawn(i, Green));
    }
    EXPECT_EQ(ChoiceOrder->ReadPos, 0);
}

TEST_F(IdiomDrillTest, CursorFromNoChoiceBothWays) {
    const struct {
        const char* name;
        int key;
        int expected;
    } cases[] = {{"up from none is the fourth", Qt::Key_Up, 3}, {"down from none is the first", Qt::Key_Down, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Escape();
        Enter();  // a new question: no choice
        ASSERT_EQ(ChoiceCursor, -1);
        Press(c.key);
        EXPECT_EQ(ChoiceCursor, c.expected);
        EXPECT_EQ(Phase, 1);
        for (int i = 0; i < 4; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(ArrowOn(i), i == c.expected);
            EXPECT_TRUE(AnswerDrawn(i, i == c.expected ? Blue : Green));
        }
    }
}

TEST_F(IdiomDrillTest, CursorWrapsAndRedrawsTheSameOrder) {
    Enter();
    const auto order = ChoiceOrder->Order;
    const int correct = CorrectSlot;
    const int question = QuestionIndex;
    const struct {
        int key;
        int expected;
    } steps[] = {{Qt::Key_Down, 0}, {Qt::Key_Down, 1}, {Qt::Key_Down, 2}, {Qt::Key_Down, 3}, {Qt::Key_Down, 0},
                 {Qt::Key_Up, 3},   {Qt::Key_Up, 2},   {Qt::Key_Up, 1},   {Qt::Key_Up, 0},   {Qt::Key_Up, 3}};
    int n = 0;
    for (const auto& s : steps) {
        SCOPED_TRACE(n++);
        Scribble();
        Press(s.key);
        EXPECT_FALSE(Scribbled());
        EXPECT_EQ(ChoiceCursor, s.expected);
        EXPECT_EQ(ChoiceOrder->Order, order);
        EXPECT_EQ(CorrectSlot, correct);
        EXPECT_EQ(QuestionIndex, question);
        for (int i = 0; i < 4; ++i) EXPECT_TRUE(AnswerDrawn(i, i == s.expected ? Blue : Green)) << "line " << i;
    }
}

TEST_F(IdiomDrillTest, EnterWithoutChoiceShowsUnchosenAndNoMark) {
    Enter();
    Enter();
    ASSERT_EQ(Phase, 2);
    ASSERT_TRUE(boxes.empty());
    const TBitmap& b = *Backbuffer;
    // Heading, the whole idiom, the meaning in brackets.
    auto ref = BlackBitmap();
    TCanvas& c = ref->Canvas();
    DrawTextInRect(c, U(u8"こうめいせいだい"), TRect{50, 10, 590, 45}, Gothic(), Green, 24, DT_CENTER);
    DrawTextInRect(c, U(u8"公明正大"), TRect{50, 50, 590, 150}, Mincho(), Green, 72, DT_CENTER);
    DrawTextInRect(c, U(u8"[公正で隠し事がないこと。]"), TRect{0, 170, 640, 200}, Gothic(), Green, 20, DT_CENTER);
    EXPECT_TRUE(SamePixels(b, 0, 0, *ref, 0, 0, 640, 200));
    const auto unchosen = Reference(U(u8"未選択"), 50, 240, Gothic(), Green, 24);
    EXPECT_TRUE(SamePixels(b, 50, 240, *unchosen, 50, 240, 140, 40));
    const std::string right = std::to_string(CorrectSlot + 1) + ". " + U(u8"正大");
    const auto answer = Reference(right, 200, 282, Gothic(), Green, 32);
    EXPECT_TRUE(SamePixels(b, 200, 282, *answer, 200, 282, 190, 43));
    EXPECT_EQ(RedMarkPixels(), 0);
    EXPECT_EQ(BlueMarkPixels(), 0);
}

TEST_F(IdiomDrillTest, RightAndWrongMarks) {
    for (int line = 0; line < 4; ++line) {
        SCOPED_TRACE(line);
        Escape();
        Enter();
        const bool right = line == CorrectSlot;
        // Reach the line with the arrows, then show the answer with Enter.
        for (int i = 0; i <= line; ++i) Down();
        Enter();
        ASSERT_EQ(Phase, 2);
        EXPECT_EQ(ChoiceCursor, line);
        if (right) {
            EXPECT_GT(RedMarkPixels(), 200);
            EXPECT_EQ(BlueMarkPixels(), 0);
        } else {
            EXPECT_GT(BlueMarkPixels(), 200);
            EXPECT_EQ(RedMarkPixels(), 0);
        }
        // The choice line: "選択は" and the chosen answer.
        const std::string chosen =
            std::to_string(line + 1) + ". " + ItemAt(*FieldList, ChoiceOrder->Order[size_t(line)] + 2);
        const auto ref = Reference(chosen, 200, 240, Gothic(), Green, 24);
        EXPECT_TRUE(SamePixels(*Backbuffer, 200, 240, *ref, 200, 240, 190, 32));
        // The mark is bold and leaves the font plain.
        EXPECT_EQ(Backbuffer->Canvas().Font.Style & fsBold, 0);
    }
}

TEST_F(IdiomDrillTest, MarksAreBoldAtTheirPlaces) {
    Enter();
    Digit(CorrectSlot + 1);
    const auto circle = Reference(U(u8"○"), 400, 230, Gothic(), Red, 84, true);
    const TSize cs = Extent(U(u8"○"), Gothic(), 84, true);
    EXPECT_TRUE(SamePixels(*Backbuffer, 400, 230, *circle, 400, 230, std::min(cs.cx, 240), std::min(cs.cy, 250)));
    Enter();
    Digit((CorrectSlot + 1) % 4 + 1);
    const auto cross = Reference(U(u8"×"), 400, 210, Gothic(), Blue, 108, true);
    const TSize xs = Extent(U(u8"×"), Gothic(), 108, true);
    EXPECT_TRUE(SamePixels(*Backbuffer, 400, 210, *cross, 400, 210, std::min(xs.cx, 240), std::min(xs.cy, 270)));
}

TEST_F(IdiomDrillTest, DigitKeysChooseAndShowTheAnswer) {
    Enter();
    Digit(3);
    EXPECT_EQ(Phase, 2);
    EXPECT_EQ(ChoiceCursor, 2);
    // On the answer screen a digit moves the choice without drawing, the
    // arrows do nothing, and Enter goes on to the next question.
    Scribble();
    Digit(1);
    EXPECT_EQ(ChoiceCursor, 0);
    EXPECT_TRUE(Scribbled());
    Up();
    Down();
    EXPECT_EQ(ChoiceCursor, 0);
    EXPECT_EQ(Phase, 2);
    EXPECT_TRUE(Scribbled());
    const int before = QuestionIndex;
    Enter();
    EXPECT_EQ(Phase, 0);
    EXPECT_EQ(ChoiceCursor, -1);
    EXPECT_NE(QuestionIndex, before);
    // Digits outside 1 to 4 are not answers.
    Digit(5);
    Digit(0);
    EXPECT_EQ(Phase, 0);
    EXPECT_EQ(ChoiceCursor, -1);
}

TEST_F(IdiomDrillTest, TwoLineBankAlternatesStrictly) {
    Enter();
    int previous = QuestionIndex;
    for (int i = 0; i < 12; ++i) {
        SCOPED_TRACE(i);
        Enter();  // answer
        Enter();  // next question
        EXPECT_EQ(QuestionIndex, 1 - previous);
        EXPECT_SJIS_EQ(ItemAt(*FieldList, 0), QuestionIndex == 0 ? U(u8"□□多難") : U(u8"公明□□"));
        previous = QuestionIndex;
    }
}

TEST_F(IdiomDrillTest, NeverRepeatsAndNeverStartsAtLineZero) {
    std::vector<std::string> lines;
    for (int i = 0; i < 6; ++i) lines.push_back(IdiomLines()[size_t(i % 2)]);
    WriteBank(IdiomBank(), lines);
    std::set<int> seen;
    for (int start = 0; start < 20; ++start) {
        SCOPED_TRACE(start);
        QuestionIndex = 0;  // as after start-up
        Escape();
        Enter();
        EXPECT_NE(QuestionIndex, 0);
        int previous = QuestionIndex;
        for (int i = 0; i < 5; ++i) {
            Enter();
            Enter();
            EXPECT_NE(QuestionIndex, previous);
            EXPECT_GE(QuestionIndex, 0);
            EXPECT_LT(QuestionIndex, 6);
            seen.insert(QuestionIndex);
            previous = QuestionIndex;
        }
    }
    EXPECT_GT(seen.size(), 3u);
}

}  // namespace
}  // namespace apptest

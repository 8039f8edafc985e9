// Text and lines on a bitmap canvas and the drawing operations of the
// screens: opacity, clipping, persistent font state, the marked sentence.
#include <climits>

#include "tests/app/AppTestSupport.h"

namespace apptest {
namespace {

constexpr TColor Green = 0x00FF00;
constexpr TColor Red = 0x0000FF;
constexpr TColor Pen = 0x1111FF;

class CanvasTextTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        bmp = BlackBitmap();
    }
    TCanvas& C() { return bmp->Canvas(); }
    std::string Gothic() const { return U(u8"ＭＳ Ｐゴシック"); }
    std::string Mincho() const { return U(u8"ＭＳ Ｐ明朝"); }
    std::unique_ptr<TBitmap> bmp;
};

TEST_F(CanvasTextTest, TextOutDrawsAtTheCornerAndMovesThePen) {
    C().Font.Name = Gothic();
    C().Font.Size = 24;
    C().Font.Color = Green;
    const TSize ext = C().TextExtent("Abc");
    EXPECT_GT(ext.cx, 20);
    EXPECT_GE(ext.cy, 32) << "24 points are 32 pixels of character height";
    C().TextOut(100, 50, "Abc");
    EXPECT_EQ(C().PenPos.X, 100 + ext.cx);
    EXPECT_EQ(C().PenPos.Y, 50);
    // Ink only inside the text's cell.
    EXPECT_GT(CountColor(*bmp, TRect{100, 50, 100 + ext.cx, 50 + ext.cy}, Green), 30);
    EXPECT_EQ(CountNotColor(*bmp, TRect{0, 0, 640, 50}, clBlack), 0);
    EXPECT_EQ(CountNotColor(*bmp, TRect{0, 50 + ext.cy, 640, 480}, clBlack), 0);
    EXPECT_EQ(CountNotColor(*bmp, TRect{0, 0, 99, 480}, clBlack), 0);
}

TEST_F(CanvasTextTest, PenPositionSaturatesFarRight) {
    C().Font.Name = Gothic();
    C().Font.Size = 24;
    C().TextOut(INT32_MAX - 5, 10, "Abc");
    EXPECT_EQ(C().PenPos.X, INT32_MAX);
    EXPECT_EQ(CountNotColor(*bmp, TRect{0, 0, 640, 480}, clBlack), 0);
}

TEST_F(CanvasTextTest, PointSizesFollowTheScreenResolution) {
    EXPECT_EQ(ScreenPixelsPerInch, 96);
    const struct {
        int size;
        int pixels;
    } cases[] = {{9, 12}, {24, 32}, {72, 96}, {84, 112}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        TFont f;
        f.Size = c.size;
        EXPECT_EQ(f.PixelHeight(), c.pixels);
        C().Font.Name = Gothic();
        C().Font.Size = c.size;
        // The cell holds the character height plus the leading.
        const int h = C().TextHeight(U(u8"漢"));
        EXPECT_GE(h, c.pixels);
        EXPECT_LE(h, c.pixels * 3 / 2);
    }
}

TEST_F(CanvasTextTest, OpaqueCellsBlankEarlierText) {
    C().Font.Name = Gothic();
    C().Font.Size = 28;
    C().Font.Color = Red;
    C().TextOut(50, 100, "WWWWWWWW");
    const TSize wide = C().TextExtent("WWWWWWWW");
    ASSERT_GT(CountColor(*bmp, TRect{50, 100, 50 + wide.cx, 100 + wide.cy}, Red), 200);
    // A short text over the start of it: inside its cell no red remains,
    // outside the red stays.
    C().Font.Color = Green;
    C().Brush.Color = clBlack;
    C().TextOut(50, 100, "..");
    const TSize dots = C().TextExtent("..");
    EXPECT_EQ(CountColor(*bmp, TRect{50, 100, 50 + dots.cx, 100 + dots.cy}, Red), 0);
    EXPECT_GT(CountColor(*bmp, TRect{50 + dots.cx + 2, 100, 50 + wide.cx, 100 + wide.cy}, Red), 100);
    // DrawText is opaque too.
    C().DrawText("..", TRect{50 + dots.cx, 100, 640, 200}, DT_LEFT);
    EXPECT_EQ(CountColor(*bmp, TRect{50 + dots.cx, 100, 50 + 2 * dots.cx, 100 + dots.cy}, Red), 0);
}

TEST_F(CanvasTextTest, DrawTextFormatsAndClipping) {
    C().Font.Name = Gothic();
    C().Font.Size = 20;
    C().Font.Color = Green;
    const std::string text = U(u8"四字熟語の問題を解く");
    const TSize ext = C().TextExtent(text);
    const struct {
        const char* name;
        unsigned format;
        TRect rect;
        int32_t x;  // where the line starts
    } cases[] = {
        {"left", DT_LEFT, TRect{100, 100, 600, 200}, 100},
        {"single line", DT_SINGLELINE, TRect{100, 100, 600, 200}, 100},
        {"centred", DT_CENTER, TRect{100, 100, 600, 200}, 100 + (500 - ext.cx) / 2},
        {"centred, wider than the rect", DT_CENTER, TRect{200, 100, 260, 200}, 200 + (60 - ext.cx) / 2},
        {"left, cut on the right", DT_LEFT, TRect{100, 100, 150, 200}, 100},
        {"left, cut at the bottom", DT_LEFT, TRect{100, 100, 600, 110}, 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto got = BlackBitmap();
        got->Canvas().Font = C().Font;
        got->Canvas().Brush.Color = clBlack;
        got->Canvas().DrawText(text, c.rect, c.format);
        // The same line drawn unclipped, then cut to the rectangle.
        auto whole = BlackBitmap();
        whole->Canvas().Font = C().Font;
        whole->Canvas().TextOut(c.x, c.rect.Top, text);
        for (int32_t y = 0; y < 480; y += 1) {
            for (int32_t x = 0; x < 640; x += 1) {
                const bool inside = x >= c.rect.Left && x < c.rect.Right && y >= c.rect.Top && y < c.rect.Bottom;
                const TColor want = inside ? (whole->Pixel(x, y) & 0xFFFFFF) : clBlack;
                if ((got->Pixel(x, y) & 0xFFFFFF) != want) {
                    ADD_FAILURE() << "pixel " << x << "," << y;
                    y = 480;
                    break;
                }
            }
        }
        EXPECT_GT(CountColor(*got, c.rect, Green), 10);
    }
    // A line wider than its rect: ink reaches both edges.
    auto got = BlackBitmap();
    got->Canvas().Font = C().Font;
    got->Canvas().DrawText(text, TRect{200, 100, 260, 200}, DT_CENTER);
    EXPECT_GT(CountColor(*got, TRect{200, 100, 206, 200}, Green), 0);
    EXPECT_GT(CountColor(*got, TRect{254, 100, 260, 200}, Green), 0);
}

TEST_F(CanvasTextTest, MultiLineTextInARect) {
    C().Font.Name = Gothic();
    C().Font.Size = 16;
    C().Font.Color = Green;
    const int h = C().TextHeight("A");
    C().DrawText("AAA\r\nBBB", TRect{10, 10, 300, 200}, DT_LEFT);
    EXPECT_GT(CountColor(*bmp, TRect{10, 10, 300, 10 + h}, Green), 10);
    EXPECT_GT(CountColor(*bmp, TRect{10, 10 + h, 300, 10 + 2 * h}, Green), 10);
    // Single line: the break does not start a second line.
    auto single = BlackBitmap();
    single->Canvas().Font = C().Font;
    single->Canvas().DrawText("AAA\r\nBBB", TRect{10, 10, 300, 200}, DT_SINGLELINE);
    EXPECT_EQ(CountColor(*single, TRect{10, 10 + h, 300, 200}, Green), 0);
}

TEST_F(CanvasTextTest, DrawTextAtWithKeepArgumentsReusesTheLastFont) {
    const std::string text = U(u8"読み:");
    DrawTextAt(C(), text, 20, 20, Mincho(), Red, 40, DT_LEFT);
    DrawTextAt(C(), text, 20, 200, "", KeepColor, KeepSize, DT_LEFT);
    EXPECT_EQ(C().Font.Name, Mincho());
    EXPECT_EQ(C().Font.Size, 40);
    EXPECT_EQ(C().Font.Color, Red);
    const TSize ext = C().TextExtent(text);
    EXPECT_GT(CountColor(*bmp, TRect{20, 20, 20 + ext.cx, 20 + ext.cy}, Red), 50);
    EXPECT_TRUE(SamePixels(*bmp, 20, 20, *bmp, 20, 200, ext.cx, ext.cy));
    // Only what is given changes.
    DrawTextAt(C(), text, 20, 300, "", Green, KeepSize, DT_LEFT);
    EXPECT_EQ(C().Font.Size, 40);
    EXPECT_EQ(C().Font.Name, Mincho());
    DrawTextInRect(C(), text, TRect{0, 0, 10, 10}, Gothic(), KeepColor, 12, DT_LEFT);
    EXPECT_EQ(C().Font.Color, Green);
    EXPECT_EQ(C().Font.Name, Gothic());
    EXPECT_EQ(C().Font.Size, 12);
}

TEST_F(CanvasTextTest, BoldOnAndOff) {
    C().Font.Name = Gothic();
    C().Font.Size = 40;
    C().Font.Color = Green;
    C().Font.Style = fsItalic;
    const std::string text = U(u8"正解");
    C().TextOut(10, 10, text);
    BoldOn(C());
    EXPECT_EQ(C().Font.Style, fsItalic | fsBold);
    C().TextOut(10, 100, text);
    BoldOff(C());
    EXPECT_EQ(C().Font.Style, fsItalic);
    const int plain = CountColor(*bmp, TRect{0, 0, 640, 90}, Green);
    const int bold = CountColor(*bmp, TRect{0, 90, 640, 190}, Green);
    EXPECT_GT(bold, plain + plain / 10) << "bold strokes are heavier";
}

TEST_F(CanvasTextTest, LinesUseThePen) {
    C().Pen.Width = 3;
    C().Pen.Color = Pen;
    C().MoveTo(100, 50);
    C().LineTo(200, 50);
    EXPECT_EQ(C().PenPos.X, 200);
    EXPECT_EQ(CountColor(*bmp, TRect{102, 49, 198, 52}, Pen), 96 * 3);
    EXPECT_EQ(CountColor(*bmp, TRect{0, 0, 640, 47}, Pen), 0);
    EXPECT_EQ(CountColor(*bmp, TRect{0, 53, 640, 480}, Pen), 0);
    EXPECT_EQ(CountColor(*bmp, TRect{0, 0, 97, 480}, Pen), 0);
    EXPECT_EQ(CountColor(*bmp, TRect{204, 0, 640, 480}, Pen), 0);
}

struct MarkedCase {
    const char* name;
    std::u8string sentence;
    std::u8string before;  // drawn characters before the first marked one
    std::u8string marked;  // the marked characters, all in one stretch
    std::u8string after;   // drawn characters after the marked stretch
};

TEST_F(CanvasTextTest, MarkedSentenceUnderlinesExactlyTheBracketedCharacters) {
    const std::vector<MarkedCase> cases = {
        {"three characters in brackets", u8"[漢字語]", u8"", u8"漢字語", u8""},
        {"word inside a sentence", u8"努力が[漸]く実を結んだ。", u8"努力が", u8"漸", u8"く実を結んだ。"},
        {"opening bracket only", u8"あい[うえお", u8"あい", u8"うえお", u8""},
        {"at the start", u8"[謹]んで", u8"", u8"謹", u8"んで"},
    };
    const int x = 10;
    const int y = 100;
    for (const MarkedCase& c : cases) {
        SCOPED_TRACE(c.name);
        auto got = BlackBitmap();
        const int centre =
            DrawMarkedSentence(got->Canvas(), U(c.sentence.c_str()), x, y, Mincho(), Green, 30, 3, Pen);
        const int h = got->Canvas().TextExtent(U(c.sentence.c_str())).cy;
        auto width = [&](const std::u8string& s) {
            int w = 0;
            const std::string sj = U(s.c_str());
            for (size_t i = 0; i < sj.size();) {
                const size_t n = IsSjisLeadByte(static_cast<unsigned char>(sj[i])) ? 2 : 1;
                w += got->Canvas().TextWidth(sj.substr(i, n));
                i += n;
            }
            return w;
        };
        const int left = x + width(c.before);
        const int right = left + width(c.marked);
        EXPECT_EQ(centre, left + (right - left) / 2);
        // The underline on row y + h, from left to right.
        EXPECT_EQ(CountColor(*got, TRect{left + 2, y + h, right - 2, y + h + 1}, Pen), right - left - 4);
        EXPECT_EQ(CountColor(*got, TRect{0, 0, left - 3, 480}, Pen), 0);
        EXPECT_EQ(CountColor(*got, TRect{right + 3, 0, 640, 480}, Pen), 0);
        EXPECT_EQ(CountColor(*got, TRect{0, 0, 640, y + h - 2}, Pen), 0);
        EXPECT_EQ(CountColor(*got, TRect{0, y + h + 3, 640, 480}, Pen), 0);
        // The brackets are not drawn: the text equals the sentence without
        // them, character by character.
        auto plain = BlackBitmap();
        TCanvas& p = plain->Canvas();
        p.Font = got->Canvas().Font;
        int px = x;
        const std::string all = U((c.before + c.marked + c.after).c_str());
        for (size_t i = 0; i < all.size();) {
            const size_t n = IsSjisLeadByte(static_cast<unsigned char>(all[i])) ? 2 : 1;
            p.TextOut(px, y, all.substr(i, n));
            px += p.TextWidth(all.substr(i, n));
            i += n;
        }
        EXPECT_TRUE(SamePixels(*got, 0, 0, *plain, 0, 0, 640, y + h - 2));
    }
}

TEST_F(CanvasTextTest, SeveralMarkedStretchesShareOneCentre) {
    const int centre = DrawMarkedSentence(C(), U(u8"[あ]い[う]え"), 10, 100, Mincho(), Green, 30, 3, Pen);
    const int a = C().TextWidth(U(u8"あ"));
    const int i = C().TextWidth(U(u8"い"));
    const int u = C().TextWidth(U(u8"う"));
    const int h = C().TextHeight(U(u8"[あ]い[う]え"));
    EXPECT_EQ(centre, 10 + (a + i + u) / 2);
    EXPECT_GT(CountColor(*bmp, TRect{12, 100 + h, 10 + a - 2, 101 + h}, Pen), 0);
    EXPECT_EQ(CountColor(*bmp, TRect{10 + a + 3, 0, 10 + a + i - 3, 480}, Pen), 0) << "no underline under the gap";
    EXPECT_EQ(CountColor(*bmp, TRect{10 + a + i + 2, 100 + h, 10 + a + i + u - 2, 101 + h}, Pen), u - 4);
}

TEST_F(CanvasTextTest, MarkedWordPastTheRightEdgeStillGivesItsCentre) {
    auto narrow = BlackBitmap(100, 100);
    TCanvas& c = narrow->Canvas();
    const std::string lead = U(u8"あいうえおかきくけこ");
    const int centre = DrawMarkedSentence(c, lead + U(u8"[さ]し"), 10, 10, Mincho(), Green, 30, 3, Pen);
    int leadWidth = 0;
    for (size_t i = 0; i < lead.size(); i += 2) leadWidth += c.TextWidth(lead.substr(i, 2));
    ASSERT_GT(10 + leadWidth, 100);
    EXPECT_EQ(centre, 10 + leadWidth + c.TextWidth(U(u8"さ")) / 2);
    EXPECT_EQ(CountColor(*narrow, TRect{0, 0, 100, 100}, Pen), 0);
    EXPECT_GT(CountColor(*narrow, TRect{10, 10, 100, 60}, Green), 50);
}

TEST_F(CanvasTextTest, MarkedSentenceWithoutBracketsReturnsMinusOne) {
    EXPECT_EQ(DrawMarkedSentence(C(), U(u8"括弧のない文。"), 10, 100, Mincho(), Green, 30, 3, Pen), -1);
    EXPECT_EQ(CountColor(*bmp, TRect{0, 0, 640, 480}, Pen), 0);
    EXPECT_GT(CountColor(*bmp, TRect{10, 100, 640, 150}, Green), 100);
    EXPECT_EQ(C().Pen.Width, 3);
    EXPECT_EQ(C().Pen.Color, Pen);
    // A closed pair with nothing inside marks nothing either.
    EXPECT_EQ(DrawMarkedSentence(C(), U(u8"空の[]括弧"), 10, 200, "", KeepColor, KeepSize, 1, KeepColor), -1);
    EXPECT_EQ(C().Pen.Width, 1);
    EXPECT_EQ(C().Pen.Color, Pen);
}

}  // namespace
}  // namespace apptest

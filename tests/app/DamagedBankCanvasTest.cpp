// Bank text that is no valid Shift-JIS reaches the canvas as it is: every
// broken byte turns into U+FFFD at the Qt boundary, and drawing it stays
// inside the text's cell or rectangle.
#include "platform/qt/QtSjis.h"
#include "tests/app/AppTestSupport.h"

namespace apptest {
namespace {

constexpr TColor Green = 0x00FF00;
constexpr TColor Pen = 0x1111FF;
constexpr char16_t R = 0xFFFD;

struct BrokenText {
    const char* name;
    std::string sjis;
    std::u16string unicode;
};

std::vector<BrokenText> BrokenTexts() {
    return {
        {"lone trail byte 0x80", "a\x80" "b", {u'a', R, u'b'}},
        {"byte 0xA0", "\xA0", {R}},
        {"bytes 0xFD to 0xFF", "\xFD\xFE\xFF", {R, R, R}},
        {"lone lead byte at the end", "a\x82", {u'a', R}},
        {"lead byte before a blank keeps the blank", "\x81 b", {R, u' ', u'b'}},
        {"lead byte before a byte below 0x40", "\x9F\x3F", {R, u'?'}},
        {"lead byte before 0x7F", "\xE0\x7F", {R, 0x7F}},
        {"unassigned double-byte code", "\x85\x40" "c", {R, u'c'}},
        {"valid pair among broken bytes", "\xFF\x82\xA0\x80", {R, u'\u3042', R}},
    };
}

// Ink outside rect, which stands for the whole bitmap when it covers it.
int InkOutside(const TBitmap& bmp, const TRect& rect) {
    return CountNotColor(bmp, TRect{0, 0, 640, 480}, clBlack) - CountNotColor(bmp, rect, clBlack);
}

class DamagedTextCanvasTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        Fresh();
    }
    // A black bitmap whose canvas draws green 24-point text on black.
    void Fresh() {
        bmp = BlackBitmap();
        C().Font.Name = U(u8"ＭＳ Ｐゴシック");
        C().Font.Size = 24;
        C().Font.Color = Green;
        C().Brush.Color = clBlack;
    }
    TCanvas& C() { return bmp->Canvas(); }
    std::unique_ptr<TBitmap> bmp;
};

TEST_F(DamagedTextCanvasTest, BrokenBytesBecomeReplacementCharacters) {
    for (const BrokenText& t : BrokenTexts()) {
        SCOPED_TRACE(t.name);
        const QString q = SjisToQString(t.sjis);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(q.utf16()), size_t(q.size())), t.unicode);
    }
}

TEST_F(DamagedTextCanvasTest, BrokenTextIsDrawnWhereItsCellIs) {
    for (const BrokenText& t : BrokenTexts()) {
        SCOPED_TRACE(t.name);
        Fresh();
        const TSize ext = C().TextExtent(t.sjis);
        EXPECT_GT(ext.cx, 0) << "a replacement character has a width";
        EXPECT_GT(ext.cy, 0);
        C().TextOut(200, 100, t.sjis);
        EXPECT_EQ(C().PenPos.X, 200 + ext.cx);
        EXPECT_GT(CountColor(*bmp, TRect{200, 100, 200 + ext.cx, 100 + ext.cy}, Green), 0);
        // A replacement glyph may come from a taller fallback face and
        // reach a little past the cell, never further.
        const int margin = ext.cy / 4;
        EXPECT_EQ(InkOutside(*bmp, TRect{200 - margin, 100 - margin, 200 + ext.cx + margin, 100 + ext.cy + margin}), 0);

        // Clipped to a rectangle narrower than the text, centred or not.
        for (unsigned format : {DT_LEFT, DT_CENTER, DT_SINGLELINE}) {
            SCOPED_TRACE(format);
            Fresh();
            const TRect rect{300, 300, 300 + std::max(1, ext.cx / 2), 300 + ext.cy};
            C().DrawText(t.sjis + t.sjis, rect, format);
            EXPECT_EQ(InkOutside(*bmp, rect), 0);
        }
    }
}

TEST_F(DamagedTextCanvasTest, HugeBrokenTextAtAnyPositionDrawsSafely) {
    std::string huge;
    for (int i = 0; i < 50000; ++i) huge += "\xFF\x82\x80\xA0";
    huge += "\x82";
    const TSize ext = C().TextExtent(huge);
    EXPECT_GT(ext.cx, 640);
    const int margin = ext.cy / 4;
    const struct {
        const char* name;
        int32_t x, y;
    } places[] = {{"inside", 10, 10}, {"far left", -ext.cx + 20, 200}, {"far right", 100000, 200},
                  {"above", 10, -1000}, {"below", 10, 100000}};
    for (const auto& p : places) {
        SCOPED_TRACE(p.name);
        Fresh();
        C().TextOut(p.x, p.y, huge);
        EXPECT_EQ(C().PenPos.X, p.x + ext.cx);
        const TRect row{0, std::max(0, p.y - margin), 640, std::min(480, p.y + ext.cy + margin)};
        EXPECT_EQ(InkOutside(*bmp, row), 0) << "ink only in the text's row";
        const bool visible = p.y > -ext.cy && p.y < 480 && p.x < 640 && p.x + ext.cx > 0;
        EXPECT_EQ(CountNotColor(*bmp, TRect{0, 0, 640, 480}, clBlack) > 0, visible);
    }
    // A marked sentence of broken bytes: drawn character by character,
    // underlined between the brackets.
    Fresh();
    const int32_t centre = DrawMarkedSentence(C(), "\xFD[\x80\x82\xA0]\xFF\x82", 10, 100, "", Green, 30, 3, Pen);
    EXPECT_GT(centre, 10);
    EXPECT_LT(centre, 200);
    EXPECT_GT(CountColor(*bmp, TRect{0, 100, 640, 160}, Pen), 0);
}

}  // namespace
}  // namespace apptest

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/Bitmap.h"
#include "platform/Canvas.h"
#include "platform/ShiftJis.h"
#include "tests/SjisText.h"

namespace {

// Sets the three locale variables for one case and restores them after.
class LocaleEnv {
public:
    LocaleEnv(const char* all, const char* ctype, const char* lang) {
        Save("LC_ALL", all);
        Save("LC_CTYPE", ctype);
        Save("LANG", lang);
    }
    ~LocaleEnv() {
        for (auto& [name, value] : Saved_)
            value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
    }

private:
    void Save(const char* name, const char* value) {
        const char* old = std::getenv(name);
        Saved_.push_back({name, old ? std::optional<std::string>(old) : std::nullopt});
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    std::vector<std::pair<std::string, std::optional<std::string>>> Saved_;
};

}  // namespace

TEST(Font, DefaultFollowsTheFirstSetLocaleVariable) {
    const struct {
        const char* Name;
        const char *All, *Ctype, *Lang;
        bool Japanese;
    } cases[] = {
        {"nothing set", nullptr, nullptr, nullptr, false},
        {"LANG Japanese", nullptr, nullptr, "ja_JP.UTF-8", true},
        {"LANG English", nullptr, nullptr, "en_US.UTF-8", false},
        {"LC_CTYPE before LANG", nullptr, "ja_JP.eucJP", "en_US.UTF-8", true},
        {"LC_ALL before all", "C", "ja_JP.UTF-8", "ja_JP.UTF-8", false},
        {"LC_ALL Japanese", "ja_JP.SJIS", "C", "C", true},
        {"empty LC_ALL is unset", "", nullptr, "ja", true},
        {"j alone is not Japanese", nullptr, nullptr, "j", false},
        {"jv is not Japanese", nullptr, nullptr, "jv_ID", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        LocaleEnv env(c.All, c.Ctype, c.Lang);
        TFont f;
        if (c.Japanese) {
            EXPECT_SJIS_EQ(f.Name, Sjis(u8"ＭＳ Ｐゴシック"));
            EXPECT_EQ(f.Size, 9);
            EXPECT_EQ(f.Charset, SHIFTJIS_CHARSET);
        } else {
            EXPECT_SJIS_EQ(f.Name, "MS Sans Serif");
            EXPECT_EQ(f.Size, 8);
            EXPECT_EQ(f.Charset, DEFAULT_CHARSET);
        }
        EXPECT_EQ(f.Color, clBlack);
        EXPECT_EQ(f.Style, 0);
    }
}

TEST(Font, PixelHeightRoundsToNearest) {
    const int saved = ScreenPixelsPerInch;
    const struct {
        int Size, Ppi, Pixels;
    } cases[] = {{9, 96, 12}, {8, 96, 11}, {8, 120, 13}, {9, 120, 15}, {12, 72, 12}, {0, 96, 0}, {20, 96, 27}};
    for (const auto& c : cases) {
        ScreenPixelsPerInch = c.Ppi;
        TFont f;
        f.Size = c.Size;
        EXPECT_EQ(f.PixelHeight(), c.Pixels) << c.Size << " pt at " << c.Ppi << " ppi";
    }
    ScreenPixelsPerInch = saved;
}

TEST(Canvas, NewCanvasHasTheDefaultTools) {
    TBitmap bmp;
    TCanvas& canvas = bmp.Canvas();
    EXPECT_EQ(&canvas.Bitmap(), &bmp);
    EXPECT_EQ(&bmp.Canvas(), &canvas);  // made once
    EXPECT_EQ(canvas.Brush.Color, clWhite);
    EXPECT_EQ(canvas.Pen.Color, clBlack);
    EXPECT_EQ(canvas.Pen.Width, 1);
}

TEST(Canvas, FillRectClipsAndWritesEachFormat) {
    for (TPixelFormat f : {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit}) {
        SCOPED_TRACE(int(f));
        TBitmap bmp;
        bmp.SetPixelFormat(f);
        if (f == pf1bit || f == pf4bit || f == pf8bit) {
            const TPaletteEntry e[] = {{0, 0, 0, 0}, {255, 255, 255, 0}};
            bmp.SetPalette(CreatePalette(e, 2));
        }
        bmp.SetSize(5, 4);
        bmp.Canvas().Brush.Color = clWhite;
        bmp.Canvas().FillRect(TRect{-3, 2, 3, 99});
        bmp.Canvas().FillRect(TRect{4, 0, 2, 4});  // inverted: nothing
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 5; ++x)
                EXPECT_EQ(bmp.Pixel(x, y), (x < 3 && y >= 2) ? clWhite : clBlack) << x << "," << y;
    }
}

TEST(Canvas, FillRectOnIndexedPicksNearestOrTheGivenIndex) {
    TBitmap bmp;
    bmp.SetPixelFormat(pf8bit);
    const TPaletteEntry e[] = {{0, 0, 0, 0}, {200, 0, 0, 0}, {0, 0, 200, 0}, {200, 0, 0, 0}};
    bmp.SetPalette(CreatePalette(e, 4));
    bmp.SetSize(3, 1);
    bmp.Canvas().Brush.Color = RGB(250, 10, 10);  // nearest: entry 1, first of two equals
    bmp.Canvas().FillRect(TRect{0, 0, 1, 1});
    bmp.Canvas().Brush.Color = PaletteIndex(3);
    bmp.Canvas().FillRect(TRect{1, 0, 2, 1});
    bmp.Canvas().Brush.Color = RGB(0, 0, 255);
    bmp.Canvas().FillRect(TRect{2, 0, 3, 1});
    EXPECT_EQ(bmp.ScanLine(0)[0], 1);
    EXPECT_EQ(bmp.ScanLine(0)[1], 3);
    EXPECT_EQ(bmp.ScanLine(0)[2], 2);
}

TEST(Canvas, DrawPlacesThePictureAtItsSize) {
    TBitmap src;
    src.SetSize(2, 1);
    src.Canvas().Brush.Color = clRed;
    src.Canvas().FillRect(TRect{0, 0, 2, 1});
    TBitmap dst;
    dst.SetSize(4, 3);
    dst.Canvas().Draw(1, 2, src);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x)
            EXPECT_EQ(dst.Pixel(x, y), (y == 2 && (x == 1 || x == 2)) ? clRed : clBlack) << x << "," << y;
}

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "platform/Bitmap.h"
#include "platform/Canvas.h"
#include "platform/Exceptions.h"
#include "tests/platform/BitmapTestSupport.h"

using bitmaptest::FillPattern;
using bitmaptest::FormatName;
using bitmaptest::MakePalette;
using bitmaptest::PatternColor;

TEST(Bitmap, StrideAndStorageBitsPerFormat) {
    struct Case {
        TPixelFormat Format;
        int32_t Width;
        int Bits;
        int32_t Stride;
    };
    const Case cases[] = {
        {pf1bit, 1, 1, 4},   {pf1bit, 32, 1, 4},  {pf1bit, 33, 1, 8},   {pf4bit, 8, 4, 4},
        {pf4bit, 9, 4, 8},   {pf8bit, 5, 8, 8},   {pf15bit, 3, 16, 8},  {pf16bit, 2, 16, 4},
        {pf24bit, 3, 24, 12}, {pf24bit, 5, 24, 16}, {pf32bit, 3, 32, 12}, {pfDevice, 3, 32, 12},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(FormatName(c.Format) + " width " + std::to_string(c.Width));
        TBitmap bmp;
        bmp.SetPixelFormat(c.Format);
        bmp.SetSize(c.Width, 2);
        EXPECT_EQ(bmp.StorageBits(), c.Bits);
        EXPECT_EQ(bmp.ScanlineStride(), c.Stride);
        EXPECT_EQ(bmp.ScanLine(1) - bmp.ScanLine(0), c.Stride);
        EXPECT_EQ(bmp.PixelFormat(), c.Format == pfDevice ? pf32bit : c.Format);
    }
}

TEST(Bitmap, RefusesCustomFormatAndBadSizes) {
    TBitmap bmp;
    bmp.SetSize(4, 4);
    EXPECT_THROW(bmp.SetPixelFormat(pfCustom), EInvalidGraphic);
    EXPECT_EQ(bmp.PixelFormat(), pf24bit);
    EXPECT_THROW(bmp.SetSize(-1, 3), EInvalidGraphic);
    EXPECT_THROW(bmp.SetHeight(-5), EInvalidGraphic);
    EXPECT_EQ(bmp.Width(), 4);
    EXPECT_EQ(bmp.Height(), 4);
}

// Past the old 1 GiB bound: such a size is only reserved, and its pixels
// read 0 until they are written.
TEST(Bitmap, LargeSizesWithinTheBoundAreGranted) {
    TBitmap bmp;
    bmp.SetPixelFormat(pf32bit);
    bmp.SetSize(20000, 20000);
    EXPECT_EQ(bmp.ScanlineStride(), 80000);
    EXPECT_EQ(bmp.Pixel(19999, 19999), clBlack);
    bmp.ScanLine(19999)[4 * 19999] = 0xFF;
    EXPECT_EQ(bmp.Pixel(19999, 19999), RGB(0, 0, 0xFF));
    EXPECT_EQ(bmp.Pixel(0, 10000), clBlack);
}

TEST(Bitmap, HugeSizesRaiseOutOfMemoryAndKeepTheBitmap) {
    const struct {
        TPixelFormat Format;
        int32_t W, H;
    } cases[] = {{pf32bit, 100000, 100000}, {pf24bit, INT32_MAX, 1}, {pf32bit, INT32_MAX, INT32_MAX},
                 {pf1bit, INT32_MAX, 256}};
    for (const auto& c : cases) {
        SCOPED_TRACE(FormatName(c.Format) + " " + std::to_string(c.W) + "x" + std::to_string(c.H));
        TBitmap bmp;
        bmp.SetPixelFormat(c.Format);
        bmp.SetSize(3, 2);
        EXPECT_THROW(bmp.SetSize(c.W, c.H), EOutOfMemory);
        EXPECT_EQ(bmp.Width(), 3);
        EXPECT_EQ(bmp.Height(), 2);
        EXPECT_NO_THROW(bmp.ScanLine(1)[0] = 1);
    }
}

TEST(Bitmap, ScanLineAndPixelOutsideRaise) {
    TBitmap bmp;
    EXPECT_THROW(bmp.ScanLine(0), EInvalidGraphic);
    bmp.SetSize(2, 3);
    EXPECT_THROW(bmp.ScanLine(-1), EInvalidGraphic);
    EXPECT_THROW(bmp.ScanLine(3), EInvalidGraphic);
    EXPECT_THROW(bmp.Pixel(2, 0), EInvalidGraphic);
    EXPECT_THROW(bmp.Pixel(0, 3), EInvalidGraphic);
    EXPECT_EQ(bmp.Pixel(1, 2), clBlack);
}

TEST(Bitmap, EmptyUntilBothSidesAreSet) {
    TBitmap bmp;
    EXPECT_TRUE(bmp.Empty());
    bmp.SetWidth(5);
    EXPECT_TRUE(bmp.Empty());
    bmp.SetHeight(1);
    EXPECT_FALSE(bmp.Empty());
    bmp.Clear();
    EXPECT_TRUE(bmp.Empty());
    EXPECT_EQ(bmp.Width(), 0);
    EXPECT_EQ(bmp.Height(), 0);
}

TEST(Bitmap, ResizeKeepsInsidePixelsAndZeroesNewOnes) {
    for (TPixelFormat f : {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit}) {
        SCOPED_TRACE(FormatName(f));
        TBitmap bmp;
        bmp.SetPixelFormat(f);
        bmp.SetSize(11, 5);
        // Set every bit of the storage: all pixels non-zero.
        for (int32_t y = 0; y < 5; ++y)
            std::memset(bmp.ScanLine(y), 0xFF, size_t(bmp.ScanlineStride()));
        bmp.SetSize(3, 2);  // a partial last byte for 1 and 4 bits
        bmp.SetSize(11, 4);
        const int bits = bmp.StorageBits();
        for (int32_t y = 0; y < 4; ++y) {
            const uint8_t* row = bmp.ScanLine(y);
            for (int32_t x = 0; x < 11; ++x) {
                const int64_t bit = int64_t(x) * bits;
                uint32_t value = 0;
                for (int b = 0; b < bits; ++b) {
                    const int64_t k = bit + b;
                    value = (value << 1) | ((row[k / 8] >> (7 - k % 8)) & 1u);
                }
                const bool inside = x < 3 && y < 2;
                SCOPED_TRACE("pixel " + std::to_string(x) + "," + std::to_string(y));
                EXPECT_EQ(value, inside ? (bits >= 32 ? 0xFFFFFFFFu : (1u << bits) - 1) : 0u);
            }
        }
    }
}

TEST(Bitmap, PixelFormatConversionKeepsColours) {
    // Colours that every direct format can hold exactly (5-bit levels).
    const TColor colours[] = {clBlack, clWhite, clRed, clLime, clBlue, RGB(0x84, 0x10, 0xC6)};
    const struct {
        TPixelFormat From, To;
    } cases[] = {{pf24bit, pf32bit}, {pf32bit, pf24bit}, {pf24bit, pf15bit}, {pf15bit, pf24bit},
                 {pf16bit, pf32bit}, {pf32bit, pf16bit}, {pf24bit, pf8bit},  {pf8bit, pf24bit},
                 {pf8bit, pf32bit},  {pf4bit, pf24bit},  {pf1bit, pf32bit},  {pf8bit, pf4bit}};
    for (const auto& c : cases) {
        SCOPED_TRACE(FormatName(c.From) + " -> " + FormatName(c.To));
        TBitmap bmp;
        bmp.SetPixelFormat(c.From);
        bmp.SetSize(6, 2);
        const bool indexed = c.From == pf1bit || c.From == pf4bit || c.From == pf8bit;
        const int n = indexed ? std::min(6, 1 << bmp.StorageBits()) : 6;
        // A direct-colour bitmap that keeps a palette converts to indexed
        // through that palette.
        const bool toIndexed = c.To == pf1bit || c.To == pf4bit || c.To == pf8bit;
        if (indexed || toIndexed) {
            std::vector<TPaletteEntry> e;
            for (int i = 0; i < n; ++i)
                e.push_back({GetRValue(colours[i]), GetGValue(colours[i]), GetBValue(colours[i]), 0});
            bmp.SetPalette(CreatePalette(e.data(), n));
        }
        for (int32_t x = 0; x < 6; ++x) {
            bmp.Canvas().Brush.Color = colours[x % n];
            bmp.Canvas().FillRect(TRect{x, 0, x + 1, 2});
        }
        bmp.SetPixelFormat(c.To);
        EXPECT_EQ(bmp.PixelFormat(), c.To);
        for (int32_t x = 0; x < 6; ++x)
            for (int32_t y = 0; y < 2; ++y) {
                SCOPED_TRACE("pixel " + std::to_string(x));
                EXPECT_EQ(bmp.Pixel(x, y), colours[x % n]);
            }
    }
}

TEST(Bitmap, ToIndexedWithoutPaletteGetsOneAndNearestEntries) {
    TBitmap bmp;
    bmp.SetSize(2, 1);
    bmp.Canvas().Brush.Color = RGB(250, 250, 250);
    bmp.Canvas().FillRect(TRect{0, 0, 1, 1});
    bmp.SetPixelFormat(pf1bit);
    ASSERT_NE(bmp.GetPalette(), nullptr);
    EXPECT_EQ(PaletteEntryCount(bmp.GetPalette()), 2);
    EXPECT_EQ(bmp.Pixel(0, 0), clWhite);
    EXPECT_EQ(bmp.Pixel(1, 0), clBlack);
}

TEST(Bitmap, PixelReadsEachFormat) {
    TBitmap b15;
    b15.SetPixelFormat(pf15bit);
    b15.SetSize(1, 1);
    b15.ScanLine(0)[0] = 0x1F;  // blue 31
    b15.ScanLine(0)[1] = 0x7C;  // red 31
    EXPECT_EQ(b15.Pixel(0, 0), RGB(255, 0, 255));
    TBitmap b16;
    b16.SetPixelFormat(pf16bit);
    b16.SetSize(1, 1);
    b16.ScanLine(0)[0] = 0xE0;  // green 0b000111 (low 3 bits)
    b16.ScanLine(0)[1] = 0x00;
    EXPECT_EQ(b16.Pixel(0, 0), RGB(0, (7 << 2) | (7 >> 4), 0));
    TBitmap b32;
    b32.SetPixelFormat(pf32bit);
    b32.SetSize(1, 1);
    const uint8_t bgrx[] = {0x11, 0x22, 0x33, 0x44};
    std::memcpy(b32.ScanLine(0), bgrx, 4);
    EXPECT_EQ(b32.Pixel(0, 0), RGB(0x33, 0x22, 0x11));
    TBitmap b4;
    b4.SetPixelFormat(pf4bit);
    b4.SetSize(3, 1);
    b4.SetPalette(MakePalette(16));
    b4.ScanLine(0)[0] = 0x5A;  // first pixel in the high bits
    TPaletteEntry e5, eA;
    GetPaletteEntries(b4.GetPalette(), 5, 1, &e5);
    GetPaletteEntries(b4.GetPalette(), 10, 1, &eA);
    EXPECT_EQ(b4.Pixel(0, 0), RGB(e5.peRed, e5.peGreen, e5.peBlue));
    EXPECT_EQ(b4.Pixel(1, 0), RGB(eA.peRed, eA.peGreen, eA.peBlue));
}

TEST(Bitmap, ChangeEventsFireOncePerChange) {
    TBitmap bmp;
    int changes = 0;
    TObject* sender = nullptr;
    bmp.OnChange = [&](TObject* s) {
        ++changes;
        sender = s;
    };
    const struct {
        const char* Name;
        std::function<void()> Action;
        int Expected;
    } steps[] = {
        {"SetSize", [&] { bmp.SetSize(4, 4); }, 1},
        {"same size", [&] { bmp.SetSize(4, 4); }, 0},
        {"SetWidth", [&] { bmp.SetWidth(5); }, 1},
        {"SetPixelFormat", [&] { bmp.SetPixelFormat(pf8bit); }, 1},
        {"same format", [&] { bmp.SetPixelFormat(pf8bit); }, 0},
        {"SetPalette", [&] { bmp.SetPalette(MakePalette(4)); }, 1},
        {"SetTransparent", [&] { bmp.SetTransparent(true); }, 1},
        {"same transparent", [&] { bmp.SetTransparent(true); }, 0},
        {"FillRect", [&] { bmp.Canvas().FillRect(TRect{0, 0, 2, 2}); }, 1},
        {"Clear", [&] { bmp.Clear(); }, 1},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.Name);
        changes = 0;
        bmp.Modified = false;
        s.Action();
        EXPECT_EQ(changes, s.Expected);
        EXPECT_EQ(bmp.Modified, s.Expected > 0);
        if (s.Expected) {
            EXPECT_EQ(sender, &bmp);
        }
    }
    // Suspending the event the way the codec does: copy, clear, restore.
    changes = 0;
    TNotifyEvent saved = bmp.OnChange;
    bmp.OnChange = nullptr;
    bmp.SetSize(9, 9);
    bmp.OnChange = saved;
    EXPECT_EQ(changes, 0);
    bmp.SetSize(1, 1);
    EXPECT_EQ(changes, 1);
}

TEST(Bitmap, OwnsItsPaletteAndCanHandItOver) {
    TBitmap bmp;
    HPALETTE p = MakePalette(3);
    bmp.SetPalette(p);
    EXPECT_EQ(bmp.GetPalette(), p);
    EXPECT_TRUE(bmp.PaletteModified);
    bmp.SetPalette(p);  // the same handle again must not free it
    EXPECT_EQ(PaletteEntryCount(bmp.GetPalette()), 3);
    TPaletteHandle released = bmp.ReleasePalette();
    EXPECT_EQ(released.get(), p);
    EXPECT_EQ(bmp.GetPalette(), nullptr);
    released.reset();
    bmp.SetPalette(MakePalette(2));
    bmp.SetPalette(MakePalette(5));  // frees the first (checked by the sanitizer run)
    EXPECT_EQ(PaletteEntryCount(bmp.GetPalette()), 5);
    bmp.SetPalette(TPaletteHandle(MakePalette(4)));  // an owned handle moves in
    EXPECT_EQ(PaletteEntryCount(bmp.GetPalette()), 4);
    bmp.SetPalette(nullptr);
    EXPECT_EQ(bmp.GetPalette(), nullptr);
}

TEST(Bitmap, AssignFromBitmapIsADeepCopy) {
    for (TPixelFormat f : {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit}) {
        SCOPED_TRACE(FormatName(f));
        TBitmap src;
        src.SetPixelFormat(f);
        src.SetSize(7, 3);
        FillPattern(src);
        src.SetTransparent(true);
        src.TransparentColor = clRed;
        TBitmap dst;
        int changes = 0;
        dst.OnChange = [&](TObject*) { ++changes; };
        dst.Assign(&src);
        EXPECT_EQ(changes, 1);
        ASSERT_EQ(dst.PixelFormat(), f);
        ASSERT_EQ(dst.Width(), 7);
        ASSERT_EQ(dst.Height(), 3);
        EXPECT_TRUE(dst.GetTransparent());
        EXPECT_EQ(dst.TransparentColor, clRed);
        if (src.GetPalette()) {
            EXPECT_NE(dst.GetPalette(), src.GetPalette());
            EXPECT_EQ(PaletteEntryCount(dst.GetPalette()), PaletteEntryCount(src.GetPalette()));
        }
        for (int32_t y = 0; y < 3; ++y)
            for (int32_t x = 0; x < 7; ++x)
                EXPECT_EQ(dst.Pixel(x, y), src.Pixel(x, y));
        const TColor before = dst.Pixel(0, 0);
        std::memset(src.ScanLine(0), 0x55, size_t(src.ScanlineStride()));
        src.Clear();
        EXPECT_EQ(dst.Pixel(0, 0), before);
    }
}

TEST(Bitmap, AssignNullEmptiesAndNonPictureRaises) {
    TBitmap bmp;
    bmp.SetSize(3, 3);
    bmp.Assign(nullptr);
    EXPECT_TRUE(bmp.Empty());
    TPersistent other;
    EXPECT_THROW(bmp.Assign(&other), EConvertError);
}

namespace {

// A picture without its own AssignTo: the bitmap has to draw it.
class SolidGraphic : public TGraphic {
public:
    SolidGraphic(int32_t w, int32_t h, TColor c) : W(w), H(h), Color(c) {}
    void Draw(TCanvas& canvas, const TRect& rect) override {
        canvas.Brush.Color = Color;
        canvas.FillRect(rect);
        ++Draws;
    }
    bool GetEmpty() const override { return W == 0 || H == 0; }
    int32_t GetWidth() const override { return W; }
    int32_t GetHeight() const override { return H; }
    void SetWidth(int32_t v) override { W = v; }
    void SetHeight(int32_t v) override { H = v; }
    void LoadFromStream(TStream&) override {}
    void SaveToStream(TStream&) override {}
    void LoadFromClipboardFormat(uint16_t, const TClipboardData&, HPALETTE) override {}
    void SaveToClipboardFormat(uint16_t&, TClipboardData&, HPALETTE&) override {}
    int32_t W, H;
    TColor Color;
    int Draws = 0;
};

// A picture that hands itself over to bitmaps through AssignTo.
class HandingGraphic : public SolidGraphic {
public:
    using SolidGraphic::SolidGraphic;
    int AssignTos = 0;

protected:
    void AssignTo(TPersistent* dest) override {
        ++AssignTos;
        auto* bmp = dynamic_cast<TBitmap*>(dest);
        if (!bmp) {
            TGraphic::AssignTo(dest);
            return;
        }
        TBitmap own;
        own.SetPixelFormat(pf8bit);
        own.SetSize(W, H);
        bmp->Assign(&own);
    }
};

}  // namespace

TEST(Bitmap, AssignFromOtherPicturesDrawsOrUsesItsAssignTo) {
    SolidGraphic solid(4, 3, clBlue);
    TBitmap a;
    a.SetPixelFormat(pf8bit);
    a.Assign(&solid);
    EXPECT_EQ(solid.Draws, 1);
    EXPECT_EQ(a.PixelFormat(), pf24bit);
    EXPECT_EQ(a.Width(), 4);
    EXPECT_EQ(a.Height(), 3);
    EXPECT_EQ(a.Pixel(3, 2), clBlue);

    HandingGraphic handing(5, 2, clRed);
    TBitmap b;
    b.Assign(&handing);
    EXPECT_EQ(handing.AssignTos, 1);
    EXPECT_EQ(handing.Draws, 0);
    EXPECT_EQ(b.PixelFormat(), pf8bit);
    EXPECT_EQ(b.Width(), 5);
}

TEST(Bitmap, ClipboardRoundTripInEachFormat) {
    for (TPixelFormat f : {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit}) {
        SCOPED_TRACE(FormatName(f));
        TBitmap src;
        src.SetPixelFormat(f);
        src.SetSize(9, 4);
        FillPattern(src);
        uint16_t format = 0;
        TClipboardData data;
        HPALETTE palette = nullptr;
        src.SaveToClipboardFormat(format, data, palette);
        EXPECT_EQ(format, CF_DIB);
        EXPECT_EQ(palette != nullptr, src.GetPalette() != nullptr);
        DeletePalette(palette);
        TBitmap dst;
        dst.LoadFromClipboardFormat(format, data, nullptr);
        ASSERT_EQ(dst.PixelFormat(), f);
        ASSERT_EQ(dst.Width(), 9);
        ASSERT_EQ(dst.Height(), 4);
        for (int32_t y = 0; y < 4; ++y)
            for (int32_t x = 0; x < 9; ++x)
                EXPECT_EQ(dst.Pixel(x, y), src.Pixel(x, y));
    }
}

TEST(Bitmap, ClipboardRejectsOtherFormatsAndShortBlocks) {
    TBitmap bmp;
    bmp.SetSize(2, 2);
    EXPECT_THROW(bmp.LoadFromClipboardFormat(2, TClipboardData(64, 0), nullptr), EInvalidGraphic);
    uint16_t format;
    TClipboardData data;
    HPALETTE palette;
    bmp.SaveToClipboardFormat(format, data, palette);
    for (size_t cut : {size_t(0), size_t(3), size_t(20), size_t(39), data.size() - 1}) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        TClipboardData shortData(data.begin(), data.begin() + ptrdiff_t(cut));
        TBitmap target;
        target.SetSize(1, 1);
        EXPECT_THROW(target.LoadFromClipboardFormat(CF_DIB, shortData, nullptr), EInvalidGraphic);
        EXPECT_EQ(target.Width(), 1);  // unchanged after a failed load
    }
}

TEST(Bitmap, StretchDrawUsesNearestPixels) {
    TBitmap src;
    src.SetSize(2, 2);
    const TColor c[2][2] = {{clRed, clLime}, {clBlue, clWhite}};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 2; ++x) {
            src.Canvas().Brush.Color = c[y][x];
            src.Canvas().FillRect(TRect{x, y, x + 1, y + 1});
        }
    for (TPixelFormat target : {pf24bit, pf32bit, pf16bit, pf8bit}) {
        SCOPED_TRACE(FormatName(target));
        TBitmap dst;
        dst.SetPixelFormat(target);
        dst.SetSize(6, 6);
        if (target == pf8bit) {
            const TPaletteEntry e[] = {{0, 0, 0, 0}, {255, 0, 0, 0}, {0, 255, 0, 0}, {0, 0, 255, 0}, {255, 255, 255, 0}};
            dst.SetPalette(CreatePalette(e, 5));
        }
        dst.Canvas().StretchDraw(TRect{1, 1, 5, 5}, src);
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 6; ++x) {
                SCOPED_TRACE(std::to_string(x) + "," + std::to_string(y));
                const bool inside = x >= 1 && x < 5 && y >= 1 && y < 5;
                EXPECT_EQ(dst.Pixel(x, y), inside ? c[(y - 1) / 2][(x - 1) / 2] : clBlack);
            }
    }
}

TEST(Bitmap, DrawHonoursTransparencyAndClips) {
    TBitmap src;
    src.SetPixelFormat(pf8bit);
    const TPaletteEntry e[] = {{255, 0, 0, 0}, {0, 0, 255, 0}};
    src.SetPalette(CreatePalette(e, 2));
    src.SetSize(3, 1);
    src.ScanLine(0)[0] = 0;
    src.ScanLine(0)[1] = 1;
    src.ScanLine(0)[2] = 0;
    const struct {
        const char* Name;
        bool Transparent;
        TColor Key;
        TColor Expect[3];
    } cases[] = {
        {"opaque", false, clRed, {clRed, clBlue, clRed}},
        {"red transparent", true, clRed, {clWhite, clBlue, clWhite}},
        {"index 1 transparent", true, PaletteIndex(1), {clRed, clWhite, clRed}},
        {"none", true, clNone, {clRed, clBlue, clRed}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        src.SetTransparent(c.Transparent);
        src.TransparentColor = c.Key;
        TBitmap dst;
        dst.SetSize(3, 1);
        dst.Canvas().Brush.Color = clWhite;
        dst.Canvas().FillRect(TRect{0, 0, 3, 1});
        dst.Canvas().Draw(0, 0, src);
        for (int x = 0; x < 3; ++x)
            EXPECT_EQ(dst.Pixel(x, 0), c.Expect[x]) << "pixel " << x;
    }
    // Partly outside the target: only the inside part lands.
    src.SetTransparent(false);
    TBitmap dst;
    dst.SetSize(2, 1);
    dst.Canvas().Draw(-1, 0, src);
    EXPECT_EQ(dst.Pixel(0, 0), clBlue);
    EXPECT_EQ(dst.Pixel(1, 0), clRed);
    dst.Canvas().Draw(5, 5, src);  // wholly outside: nothing, no fault
    dst.Canvas().StretchDraw(TRect{2, 0, 0, 1}, src);  // inverted rectangle: nothing
    EXPECT_EQ(dst.Pixel(0, 0), clBlue);
}

TEST(Bitmap, DrawOntoItselfReadsTheOriginal) {
    TBitmap bmp;
    bmp.SetSize(4, 1);
    for (int x = 0; x < 4; ++x) {
        bmp.Canvas().Brush.Color = PatternColor(x, 0);
        bmp.Canvas().FillRect(TRect{x, 0, x + 1, 1});
    }
    bmp.Canvas().StretchDraw(TRect{0, 0, 4, 1}, bmp);  // identity
    bmp.Canvas().Draw(2, 0, bmp);                       // shift right by two
    EXPECT_EQ(bmp.Pixel(2, 0), PatternColor(0, 0));
    EXPECT_EQ(bmp.Pixel(3, 0), PatternColor(1, 0));
}

// The PNG decoder's pixel output: bitmap formats, 5-6-5 output, Adam7
// placement, transparency keys, palette alpha, grey indices and the row
// hook of the private chunk.
#include <gtest/gtest.h>

#include <random>

#include "codec/TavPNGStream.h"
#include "platform/Bitmap.h"
#include "platform/Streams.h"
#include "tests/codec/PngTestUtil.h"

using namespace pngtest;

namespace {

struct Decoding {
    TBitmap bmp;
    TBitmap alpha;
    TTavPNGReadStream dec;
    std::string error;

    Decoding& Go(const Bytes& data) {
        TMemoryStream s;
        Load(s, data);
        try {
            dec.ReadImage(&bmp, s, 0);
        } catch (const Exception& e) {
            error = e.what();
        }
        return *this;
    }
};

int Samples(int colorType) {
    switch (colorType) {
    case 2: return 3;
    case 4: return 2;
    case 6: return 4;
    default: return 1;
    }
}

// Random packed rows for width x height pixels of `bits` bits.
std::vector<Bytes> RandomRows(uint32_t width, uint32_t height, int bits, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<Bytes> rows(height, Bytes((width * uint32_t(bits) + 7) / 8));
    for (auto& r : rows)
        for (auto& b : r) b = uint8_t(rng());
    return rows;
}

// PLTE of 2^depth distinct colours.
Bytes Palette(int depth) {
    Bytes p;
    for (int i = 0; i < (1 << depth); ++i) Append(p, Bytes{uint8_t(i), uint8_t(255 - i), uint8_t(i * 7)});
    return Chunk("PLTE", p);
}

// ---- Formats -----------------------------------------------------------------

TEST(PngDecodePixels, InterlacedAndPlainImagesDecodeAlike) {
    struct Format {
        int colorType, depth;
        Bytes extra;  // chunks before IDAT
        bool allow16;
        TPixelFormat expect;
    };
    const Bytes sbit565 = Chunk("sBIT", Bytes{5, 6, 5});
    const Bytes sbit5658 = Chunk("sBIT", Bytes{5, 6, 5, 8});
    const Format formats[] = {
        {0, 1, {}, false, pf1bit},          {0, 2, {}, false, pf4bit},
        {0, 4, {}, false, pf4bit},          {0, 8, {}, false, pf8bit},
        {0, 16, {}, false, pf8bit},         {2, 8, {}, false, pf24bit},
        {2, 16, {}, false, pf24bit},        {3, 1, Palette(1), false, pf1bit},
        {3, 2, Palette(2), false, pf4bit},  {3, 4, Palette(4), false, pf4bit},
        {3, 8, Palette(8), false, pf8bit},  {4, 8, {}, false, pf8bit},
        {4, 16, {}, false, pf8bit},         {6, 8, {}, false, pf24bit},
        {6, 16, {}, false, pf24bit},        {2, 8, sbit565, true, pf16bit},
        {2, 16, sbit565, true, pf16bit},    {6, 8, sbit5658, true, pf16bit},
    };
    const std::pair<uint32_t, uint32_t> sizes[] = {{1, 1}, {3, 3}, {5, 5}, {8, 8}, {9, 7}, {13, 2}, {2, 13}};
    for (const auto& f : formats) {
        for (const auto& [w, h] : sizes) {
            SCOPED_TRACE("colour type " + std::to_string(f.colorType) + " depth " + std::to_string(f.depth) +
                         (f.allow16 ? " 5-6-5 " : " ") + std::to_string(w) + "x" + std::to_string(h));
            const int bits = f.depth * Samples(f.colorType);
            const auto rows = RandomRows(w, h, bits, w * 31 + h);
            Decoding plain, adam;
            for (Decoding* d : {&plain, &adam}) {
                d->dec.AlphaBitmap = &d->alpha;
                d->dec.Allow16BitOutput = f.allow16;
            }
            plain.Go(Cat({Signature(), Ihdr(w, h, uint8_t(f.depth), uint8_t(f.colorType), 0), f.extra,
                          Chunk("IDAT", Compress(Unfiltered(rows))), Iend()}));
            adam.Go(Cat({Signature(), Ihdr(w, h, uint8_t(f.depth), uint8_t(f.colorType), 1), f.extra,
                         Chunk("IDAT", Compress(Adam7Rows(rows, w, bits))), Iend()}));
            ASSERT_EQ(plain.error, "");
            ASSERT_EQ(adam.error, "");
            ASSERT_EQ(plain.bmp.PixelFormat(), f.expect);
            ASSERT_EQ(adam.bmp.PixelFormat(), f.expect);
            ASSERT_EQ(adam.bmp.Width(), int32_t(w));
            ASSERT_EQ(adam.bmp.Height(), int32_t(h));
            // Compare the pixels' bits (padding bits of the last byte aside).
            const int storage = plain.bmp.StorageBits();
            for (uint32_t y = 0; y < h; ++y) {
                const uint8_t* a = plain.bmp.ScanLine(int32_t(y));
                const uint8_t* b = adam.bmp.ScanLine(int32_t(y));
                for (uint32_t bit = 0; bit < w * uint32_t(storage); ++bit) {
                    const int va = a[bit / 8] >> (7 - bit % 8) & 1, vb = b[bit / 8] >> (7 - bit % 8) & 1;
                    if (va != vb) {
                        ADD_FAILURE() << "row " << y << " bit " << bit;
                        break;
                    }
                }
                if (f.colorType & 4) {
                    EXPECT_EQ(Bytes(plain.alpha.ScanLine(int32_t(y)), plain.alpha.ScanLine(int32_t(y)) + w),
                              Bytes(adam.alpha.ScanLine(int32_t(y)), adam.alpha.ScanLine(int32_t(y)) + w));
                }
            }
        }
    }
}

TEST(PngDecodePixels, SixteenBitOutputFromSignificantBits) {
    // Two RGB pixels; their 5-6-5 words are 0xFC01 and 0x07E0.
    const Bytes rgb8 = {0xFF, 0x80, 0x08, 0x00, 0xFF, 0x00};
    const Bytes rgb16 = {0xFF, 1, 0x80, 2, 0x08, 3, 0x00, 4, 0xFF, 5, 0x00, 6};
    const Bytes rgba8 = {0xFF, 0x80, 0x08, 0x10, 0x00, 0xFF, 0x00, 0xFF};
    struct Case {
        const char* name;
        uint8_t depth, colorType;
        Bytes row, sbit;
        bool allow;
        TPixelFormat format;
        int32_t sourceBits;
    };
    const Case cases[] = {
        {"sBIT 5,6,5", 8, 2, rgb8, {5, 6, 5}, true, pf16bit, 16},
        {"sBIT 5,5,5 gives the same pixels", 8, 2, rgb8, {5, 5, 5}, true, pf16bit, 15},
        {"16-bit samples use their high bytes", 16, 2, rgb16, {5, 6, 5}, true, pf16bit, 16},
        {"with alpha", 8, 6, rgba8, {5, 6, 5, 8}, true, pf16bit, 16},
        {"without the option", 8, 2, rgb8, {5, 6, 5}, false, pf24bit, 24},
        {"other significant bits", 8, 2, rgb8, {5, 6, 6}, true, pf24bit, 24},
        {"16-bit without the option", 16, 2, rgb16, {5, 6, 5}, false, pf24bit, 48},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Decoding d;
        d.dec.Allow16BitOutput = c.allow;
        d.dec.AlphaBitmap = &d.alpha;
        d.Go(Cat({Signature(), Ihdr(2, 1, c.depth, c.colorType), Chunk("sBIT", c.sbit),
                  Chunk("IDAT", Compress(Unfiltered({c.row}))), Iend()}));
        ASSERT_EQ(d.error, "");
        ASSERT_EQ(d.bmp.PixelFormat(), c.format);
        EXPECT_EQ(d.dec.SourceBitCount, c.sourceBits);
        const uint8_t* p = d.bmp.ScanLine(0);
        if (c.format == pf16bit) {
            EXPECT_EQ(Bytes(p, p + 4), (Bytes{0x01, 0xFC, 0xE0, 0x07}));
        } else {
            EXPECT_EQ(Bytes(p, p + 6), (Bytes{0x08, 0x80, 0xFF, 0x00, 0xFF, 0x00}));
        }
        if (c.colorType == 6) {
            EXPECT_EQ(d.alpha.ScanLine(0)[0], 255 - 0x10);
            EXPECT_EQ(d.alpha.ScanLine(0)[1], 0);
        }
    }
}

TEST(PngDecodePixels, AlphaChannelGoesToTheAlphaBitmapOnlyWhenGiven) {
    const Bytes file = Cat({Signature(), Ihdr(2, 1, 8, 6),
                            Chunk("IDAT", Compress(Unfiltered({{1, 2, 3, 255, 4, 5, 6, 64}}))), Iend()});
    Decoding with;
    with.dec.AlphaBitmap = &with.alpha;
    with.Go(file);
    ASSERT_EQ(with.error, "");
    EXPECT_TRUE(with.dec.HasAlpha);
    ASSERT_EQ(with.alpha.PixelFormat(), pf8bit);
    EXPECT_EQ(with.alpha.ScanLine(0)[0], 0);
    EXPECT_EQ(with.alpha.ScanLine(0)[1], 191);
    EXPECT_EQ(with.alpha.Pixel(1, 0), RGB(191, 191, 191));  // grey palette
    EXPECT_FALSE(with.alpha.GetTransparent());

    Decoding without;
    without.alpha.SetSize(9, 9);
    without.Go(file);
    ASSERT_EQ(without.error, "");
    EXPECT_TRUE(without.dec.HasAlpha);
    EXPECT_EQ(without.alpha.Width(), 9);  // not handed over, not touched
    EXPECT_EQ(without.bmp.Pixel(1, 0), RGB(4, 5, 6));

    // The image bitmap given as its own alpha bitmap is not overwritten.
    Decoding self;
    self.dec.AlphaBitmap = &self.bmp;
    self.Go(file);
    ASSERT_EQ(self.error, "");
    EXPECT_EQ(self.bmp.PixelFormat(), pf24bit);
    EXPECT_EQ(self.bmp.Pixel(1, 0), RGB(4, 5, 6));
}

// ---- Transparency ------------------------------------------------------------------

TEST(PngDecodePixels, TransparencyAndBackgroundKeys) {
    struct Case {
        const char* name;
        uint8_t depth, colorType;
        Bytes trns, bkgd;
        int32_t transparent, background;
    };
    const Case cases[] = {
        {"grey 1 bit", 1, 0, Be16(1), Be16(0), 0xFFFFFF, 0},
        {"grey 2 bits", 2, 0, Be16(2), Be16(1), 0xAAAAAA, 0x555555},
        {"grey 4 bits", 4, 0, Be16(3), Be16(15), 0x333333, 0xFFFFFF},
        {"grey 8 bits", 8, 0, Be16(127), Be16(0x0180), 0x7F7F7F, 0x808080},
        {"grey 16 bits", 16, 0, Be16(0x1234), Be16(0xFF00), 0x121212, 0xFFFFFF},
        {"truecolour 8 bits", 8, 2, Cat({Be16(1), Be16(2), Be16(3)}), Cat({Be16(0x104), Be16(5), Be16(6)}), 0x030201,
         0x060504},
        {"truecolour 16 bits", 16, 2, Cat({Be16(0x1234), Be16(0x5678), Be16(0x9ABC)}),
         Cat({Be16(0x0102), Be16(0x0304), Be16(0x0506)}), 0x9A5612, 0x050301},
        {"grey with alpha has no key", 8, 4, Be16(3), Be16(9), -1, 0x090909},
        {"short chunks are passed over", 8, 0, Bytes{1}, Bytes{2}, -1, -1},
        {"short truecolour chunks are passed over", 8, 2, Be32(1), Bytes{2, 3, 4, 5, 6}, -1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int bits = c.depth * Samples(c.colorType);
        Decoding d;
        d.Go(Cat({Signature(), Ihdr(2, 2, c.depth, c.colorType), Chunk("tRNS", c.trns), Chunk("bKGD", c.bkgd),
                  Chunk("IDAT", Compress(Unfiltered(RandomRows(2, 2, bits, 1)))), Iend()}));
        ASSERT_EQ(d.error, "");
        EXPECT_EQ(d.dec.TransparentColor, c.transparent);
        EXPECT_EQ(d.dec.BackgroundColor, c.background);
        EXPECT_EQ(d.bmp.GetTransparent(), c.transparent != -1);
        if (c.transparent != -1) {
            EXPECT_EQ(d.bmp.TransparentColor, c.transparent);
        }
    }
}

TEST(PngDecodePixels, PaletteTransparency) {
    const Bytes plte3 = Chunk("PLTE", Bytes{10, 10, 10, 20, 20, 20, 30, 30, 30});
    struct Case {
        const char* name;
        Bytes before, after;  // chunks around PLTE
        bool giveAlpha;
        int32_t transparent;
        bool hasAlpha;
        Bytes alpha;  // alpha bitmap row, empty when none is made
    };
    const Case cases[] = {
        {"one transparent entry", {}, Chunk("tRNS", Bytes{255, 0, 255}), true, 0x01000001, false, {}},
        {"partial alpha", {}, Chunk("tRNS", Bytes{255, 128}), true, -1, true, {0, 127, 0, 0}},
        {"partial alpha without an alpha bitmap", {}, Chunk("tRNS", Bytes{255, 128}), false, -1, false, {}},
        {"two transparent entries", {}, Chunk("tRNS", Bytes{0, 0, 255}), true, -1, true, {255, 255, 0, 0}},
        // Only PaletteCount bytes are read: entry 3 keeps 255.
        {"longer than the palette", {}, Chunk("tRNS", Bytes{255, 255, 0, 0, 0}), true, 0x01000002, false, {}},
        {"before the palette", Chunk("tRNS", Bytes{255, 0, 255}), {}, true, -1, false, {}},
        {"empty", {}, Chunk("tRNS", {}), true, -1, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Decoding d;
        if (c.giveAlpha) d.dec.AlphaBitmap = &d.alpha;
        d.Go(Cat({Signature(), Ihdr(4, 1, 8, 3), c.before, plte3, c.after,
                  Chunk("IDAT", Compress(Unfiltered({{0, 1, 2, 3}}))), Iend()}));
        ASSERT_EQ(d.error, "");
        EXPECT_EQ(d.dec.TransparentColor, c.transparent);
        EXPECT_EQ(d.dec.HasAlpha, c.hasAlpha);
        EXPECT_EQ(d.bmp.GetTransparent(), c.transparent != -1);
        if (c.transparent != -1) {
            EXPECT_EQ(d.bmp.TransparentColor, c.transparent);
        }
        EXPECT_EQ(d.bmp.Pixel(2, 0), RGB(30, 30, 30));
        if (c.alpha.empty()) {
            EXPECT_TRUE(d.alpha.Empty());
        } else {
            ASSERT_EQ(d.alpha.Width(), 4);
            EXPECT_EQ(Bytes(d.alpha.ScanLine(0), d.alpha.ScanLine(0) + 4), c.alpha);
        }
    }
}

TEST(PngDecodePixels, PaletteAlphaForEveryIndexDepth) {
    for (int depth : {1, 2, 4, 8}) {
        for (uint8_t interlace : {0, 1}) {
            SCOPED_TRACE("depth " + std::to_string(depth) + " interlace " + std::to_string(interlace));
            const uint32_t w = 11, h = 5;
            const auto rows = RandomRows(w, h, depth, 99);
            Bytes trns;
            for (int i = 0; i < (1 << depth); ++i) trns.push_back(uint8_t(i * 37 + 5));
            Decoding d;
            d.dec.AlphaBitmap = &d.alpha;
            d.Go(Cat({Signature(), Ihdr(w, h, uint8_t(depth), 3, interlace), Palette(depth), Chunk("tRNS", trns),
                      Chunk("IDAT", Compress(interlace ? Adam7Rows(rows, w, depth) : Unfiltered(rows))), Iend()}));
            ASSERT_EQ(d.error, "");
            ASSERT_TRUE(d.dec.HasAlpha);
            for (uint32_t y = 0; y < h; ++y)
                for (uint32_t x = 0; x < w; ++x) {
                    const uint32_t bit = x * uint32_t(depth);
                    const int index = rows[y][bit / 8] >> (8 - depth - int(bit % 8)) & ((1 << depth) - 1);
                    EXPECT_EQ(d.alpha.ScanLine(int32_t(y))[x], 255 - trns[size_t(index)]) << x << "," << y;
                }
        }
    }
}

// ---- Private chunk and row hook ------------------------------------------------

Bytes Tpng(uint32_t marker, Bytes tail) { return Chunk("tpNG", Cat({Be32(marker), tail})); }

TEST(PngDecodePixels, GreyIndicesFromThePrivateChunk) {
    const Bytes plte = Chunk("PLTE", Bytes{200, 0, 0, 0, 200, 0});
    const Bytes file = Cat({Signature(), Ihdr(2, 1, 8, 4), Tpng(TpngMarker, {0, 1}), plte, Chunk("bKGD", Be16(1)),
                            Chunk("IDAT", Compress(Unfiltered({{1, 255, 0, 0}}))), Iend()});
    Decoding on;
    on.dec.GrayIndexMode = true;
    on.dec.AlphaBitmap = &on.alpha;
    on.Go(file);
    ASSERT_EQ(on.error, "");
    EXPECT_EQ(on.bmp.Pixel(0, 0), RGB(0, 200, 0));
    EXPECT_EQ(on.bmp.Pixel(1, 0), RGB(200, 0, 0));
    EXPECT_EQ(on.dec.BackgroundColor, 0x01000001);
    EXPECT_EQ(on.alpha.ScanLine(0)[1], 255);

    Decoding off;
    off.Go(file);
    ASSERT_EQ(off.error, "");
    EXPECT_EQ(off.bmp.Pixel(0, 0), RGB(1, 1, 1));
    EXPECT_EQ(off.dec.BackgroundColor, 0x010101);
}

struct HookCall {
    int32_t count, rowIndex;
    std::string key;
};

TEST(PngDecodePixels, RowHookUndoesTheTransformAndCountsRows) {
    // Rows transformed by adding key + row index to each byte, then
    // filtered Up against the transformed previous row.
    const std::vector<Bytes> raw = RandomRows(3, 4, 24, 5);
    const uint8_t k = 'K';
    Bytes data;
    Bytes prevT(9, 0);
    for (size_t i = 0; i < raw.size(); ++i) {
        Bytes t = raw[i];
        for (auto& b : t) b = uint8_t(b + k + i);
        data.push_back(2);
        for (size_t j = 0; j < t.size(); ++j) data.push_back(uint8_t(t[j] - prevT[j]));
        prevT = t;
    }
    const Bytes head = Cat({Signature(), Ihdr(3, 4, 8, 2)});
    const Bytes idat = Chunk("IDAT", Compress(data));

    struct Case {
        const char* name;
        Bytes tpng;
        std::string key;
        bool request;  // OnKeyRequest replaces the key with "K"
        bool undone;
    };
    const Case cases[] = {
        {"marked rows", Tpng(TpngMarker, {1, 0}), "K", false, true},
        {"key from the request", Tpng(TpngMarker, {1, 0}), "wrong", true, true},
        {"rows not marked", Tpng(TpngMarker, {0, 0}), "K", false, false},
        {"other marker", Tpng(0x54617634, {1, 0}), "K", false, false},
        {"marker only", Tpng(TpngMarker, {}), "K", false, false},
        {"no key", Tpng(TpngMarker, {1, 0}), "", false, false},
        {"only the first private chunk counts", Cat({Tpng(TpngMarker, {0, 0}), Tpng(TpngMarker, {1, 0})}), "K", false,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Decoding d;
        std::vector<HookCall> calls;
        d.dec.Key = c.key;
        if (c.request)
            d.dec.OnKeyRequest = [&](TObject* sender, std::string& key) {
                EXPECT_EQ(sender, &d.dec);
                EXPECT_EQ(key, "wrong");
                key = "K";
            };
        d.dec.OnDecodeRow = [&](TObject* sender, uint8_t* row, int32_t count, int32_t rowIndex, const std::string& key) {
            EXPECT_EQ(sender, &d.dec);
            calls.push_back({count, rowIndex, key});
            for (int32_t i = 0; i < count; ++i) row[i] = uint8_t(row[i] - uint8_t(key[0]) - rowIndex);
        };
        d.Go(Cat({head, c.tpng, idat, Iend()}));
        ASSERT_EQ(d.error, "");
        ASSERT_EQ(calls.size(), c.undone ? 4u : 0u);
        for (size_t i = 0; i < calls.size(); ++i) {
            EXPECT_EQ(calls[i].rowIndex, int32_t(i));
            EXPECT_EQ(calls[i].count, 9);
            EXPECT_EQ(calls[i].key, "K");
        }
        for (uint32_t y = 0; y < 4; ++y)
            for (uint32_t x = 0; x < 3; ++x) {
                const uint8_t* p = &raw[y][3 * x];
                const uint8_t add = c.undone ? 0 : uint8_t(k + y);
                EXPECT_EQ(d.bmp.Pixel(int32_t(x), int32_t(y)),
                          RGB(uint8_t(p[0] + add), uint8_t(p[1] + add), uint8_t(p[2] + add)));
            }
    }
}

TEST(PngDecodePixels, RowHookCountsRowsOverAllPasses) {
    const std::vector<Bytes> raw = RandomRows(8, 8, 24, 6);
    std::vector<Bytes> transformed = raw;
    for (auto& r : transformed)
        for (auto& b : r) b ^= 0x5A;
    Decoding d;
    std::vector<HookCall> calls;
    d.dec.Key = "\x5A";
    d.dec.OnDecodeRow = [&](TObject*, uint8_t* row, int32_t count, int32_t rowIndex, const std::string& key) {
        calls.push_back({count, rowIndex, key});
        for (int32_t i = 0; i < count; ++i) row[i] ^= uint8_t(key[0]);
    };
    d.Go(Cat({Signature(), Ihdr(8, 8, 8, 2, 1), Tpng(TpngMarker, {1, 0}),
              Chunk("IDAT", Compress(Adam7Rows(transformed, 8, 24))), Iend()}));
    ASSERT_EQ(d.error, "");
    // Pass widths 1, 1, 2, 2, 4, 4, 8 over 1, 1, 1, 2, 2, 4, 4 rows.
    const int32_t counts[] = {3, 3, 6, 6, 6, 12, 12, 12, 12, 12, 12, 24, 24, 24, 24};
    ASSERT_EQ(calls.size(), std::size(counts));
    for (size_t i = 0; i < calls.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(calls[i].rowIndex, int32_t(i));
        EXPECT_EQ(calls[i].count, counts[i]);
    }
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            const uint8_t* p = &raw[size_t(y)][size_t(3 * x)];
            EXPECT_EQ(d.bmp.Pixel(x, y), RGB(p[0], p[1], p[2]));
        }
}

}  // namespace

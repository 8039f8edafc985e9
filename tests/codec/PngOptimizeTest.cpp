// The optimising save: which colour type and depth each kind of picture
// gets, and that the file shows what the normal save's file shows (every
// pixel as RGBA, the background colour) and keeps its other chunks.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "codec/SFunc.h"
#include "codec/TavPNG.h"
#include "platform/Streams.h"
#include "tests/codec/PngEncodeTestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;
using pngenc::Chunk;

// A pixel sample: an index for indexed formats, else 0x00BBGGRR.
using TSampleFn = std::function<uint32_t(int32_t x, int32_t y)>;
using TAlphaFn = std::function<uint8_t(int32_t x, int32_t y)>;

struct Case {
    const char* Name;
    TPixelFormat Format;
    int32_t W, H;
    TSampleFn Sample;
    std::vector<TColor> Palette = {};
    TAlphaFn Alpha = nullptr;  // null: no mask
    int32_t Background = -1, Transparent = -1;
    bool Grayscale = false, GrayIndex = false;
    int32_t Interlace = 0;
    // Expected IHDR and colour chunks.
    int ColorType, Depth;
    bool Plte, Trns;
};

std::unique_ptr<TBitmap> MakeImage(const Case& c) {
    auto bmp = std::make_unique<TBitmap>();
    bmp->SetPixelFormat(c.Format);
    bmp->SetSize(c.W, c.H);
    std::vector<TPaletteEntry> entries;
    for (TColor p : c.Palette) entries.push_back(TPaletteEntry{GetRValue(p), GetGValue(p), GetBValue(p), 0});
    if (!entries.empty()) bmp->SetPalette(CreatePalette(entries.data(), int(entries.size())));
    for (int32_t y = 0; y < c.H; ++y) {
        uint8_t* row = bmp->ScanLine(y);
        for (int32_t x = 0; x < c.W; ++x) {
            const uint32_t v = c.Sample(x, y);
            switch (c.Format) {
            case pf1bit: row[x >> 3] |= uint8_t((v & 1) << (7 - (x & 7))); break;
            case pf8bit: row[x] = uint8_t(v); break;
            case pf16bit: {
                const uint32_t w = ((v & 0xF8) << 8) | ((v >> 5) & 0x7E0) | ((v >> 19) & 0x1F);
                row[2 * x] = uint8_t(w);
                row[2 * x + 1] = uint8_t(w >> 8);
                break;
            }
            default:
                row[3 * x] = uint8_t(v >> 16);
                row[3 * x + 1] = uint8_t(v >> 8);
                row[3 * x + 2] = uint8_t(v);
                break;
            }
        }
    }
    return bmp;
}

std::unique_ptr<TBitmap> MakeMask(const Case& c) {
    auto m = std::make_unique<TBitmap>();
    m->SetPixelFormat(pf8bit);
    m->SetSize(c.W, c.H);
    for (int32_t y = 0; y < c.H; ++y)
        for (int32_t x = 0; x < c.W; ++x) m->ScanLine(y)[x] = uint8_t(255 - c.Alpha(x, y));
    return m;
}

const TPNGTimeStamp kTime{2020, 1, 2, 3, 4, 5};
const TPNGChromaticity kChroma{31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000};

Bytes Save(const Case& c, TBitmap& image, TBitmap* mask, int32_t optimize) {
    TTavPNGWriteStream enc;
    enc.OptimizeLevel = optimize;
    enc.AlphaBitmap = mask;
    enc.BackgroundColor = c.Background;
    enc.TransparentColor = c.Transparent;
    enc.Grayscale = c.Grayscale;
    enc.GrayIndexMode = c.GrayIndex;
    enc.Interlace = c.Interlace;
    enc.Comment = "kept";
    enc.Gamma = 0.45455;
    enc.UseCurrentTime = false;
    enc.TimeStamp = &kTime;
    enc.Chromaticity = &kChroma;
    enc.ResolutionUnit = 1;
    enc.XResolution = 3780;
    enc.YResolution = 3779;
    return pngenc::Encode(enc, image);
}

// What a file shows through the picture: RGBA per pixel, and the
// background and transparent colour as colour values.
struct Shown {
    std::vector<uint32_t> Rgba;
    int32_t Background = -1, Transparent = -1;
};

Shown Decode(const Bytes& file) {
    TTavPNG png;
    TMemoryStream ms;
    ms.WriteBuffer(file.data(), int64_t(file.size()));
    ms.SetPosition(0);
    png.LoadFromStream(ms);
    Shown s;
    auto colourOf = [&png](int32_t value) {
        if (value == -1 || (value & 0x01000000) == 0) return value;
        return GetPaletteColor(png.CurrentImage()->GetPalette(), value & 255);
    };
    s.Background = colourOf(png.BackgroundColor);
    s.Transparent = colourOf(png.TransparentColor);
    TBitmap bmp;
    bmp.Assign(&png);
    const bool alpha = bmp.PixelFormat() == pf32bit && bmp.AlphaChannel;
    for (int32_t y = 0; y < bmp.Height(); ++y)
        for (int32_t x = 0; x < bmp.Width(); ++x)
            s.Rgba.push_back(uint32_t(bmp.Pixel(x, y)) | uint32_t(alpha ? bmp.ScanLine(y)[4 * x + 3] : 255) << 24);
    return s;
}

std::vector<uint32_t> PaletteRgba(const Case& c) {
    std::vector<uint32_t> out;
    for (int32_t y = 0; y < c.H; ++y)
        for (int32_t x = 0; x < c.W; ++x)
            out.push_back(uint32_t(c.Palette[c.Sample(x, y)]) | uint32_t(c.Alpha ? c.Alpha(x, y) : 255) << 24);
    return out;
}

std::vector<Bytes> DataOf(const std::vector<Chunk>& chunks, const std::string& type) {
    std::vector<Bytes> out;
    for (const Chunk& c : chunks)
        if (c.Type == type) out.push_back(c.Data);
    return out;
}

// Colours with many distinct values: more than 256 in a 24 x 24 image.
uint32_t Varied(int32_t x, int32_t y) { return uint32_t(x * 10) | uint32_t(y * 10) << 8 | uint32_t((x + y) * 5) << 16; }
constexpr uint32_t kKey = 0x00FF00FF;  // used by no Varied pixel: its green is 0 and red 255
bool InKeyBlock(int32_t x, int32_t y) { return x < 4 && y < 4; }

std::vector<Case> Cases() {
    const TColor red = 0x0000FF, blue = 0xFF0000, green = 0x00FF00, white = 0xFFFFFF;
    return {
        {"black and white: grey 1", pf24bit, 16, 8, [=](int32_t x, int32_t y) { return (x ^ y) & 1 ? white : 0u; },
         {}, nullptr, -1, -1, false, false, 0, 0, 1, false, false},
        {"two colours: palette 1", pf24bit, 16, 8, [=](int32_t x, int32_t y) { return (x + y) % 3 ? red : blue; },
         {}, nullptr, -1, -1, false, false, 0, 3, 1, true, false},
        {"grey gradient: grey 8", pf24bit, 256, 2, [](int32_t x, int32_t) { return uint32_t(x) * 0x010101u; },
         {}, nullptr, -1, -1, false, false, 0, 0, 8, false, false},
        {"four grey levels: grey 2", pf24bit, 16, 16,
         [](int32_t x, int32_t y) { return uint32_t((x + y) % 4 * 85) * 0x010101u; },
         {}, nullptr, -1, -1, false, false, 0, 0, 2, false, false},
        {"more than 256 colours: RGB", pf24bit, 24, 24, Varied,
         {}, nullptr, -1, -1, false, false, 0, 2, 8, false, false},
        {"opaque alpha dropped", pf24bit, 24, 24, Varied,
         {}, [](int32_t, int32_t) { return uint8_t(255); }, -1, -1, false, false, 0, 2, 8, false, false},
        {"one transparent colour: tRNS", pf24bit, 24, 24,
         [](int32_t x, int32_t y) { return InKeyBlock(x, y) ? kKey : Varied(x, y); },
         {}, [](int32_t x, int32_t y) { return uint8_t(InKeyBlock(x, y) ? 0 : 255); }, -1, -1, false, false, 0, 2, 8,
         false, true},
        {"transparent colour also opaque: alpha kept", pf24bit, 24, 24,
         [](int32_t x, int32_t y) { return InKeyBlock(x, y) || (x == 20 && y == 20) ? kKey : Varied(x, y); },
         {}, [](int32_t x, int32_t y) { return uint8_t(InKeyBlock(x, y) ? 0 : 255); }, -1, -1, false, false, 0, 6, 8,
         false, false},
        {"transparent colour setting: tRNS", pf24bit, 24, 24,
         [](int32_t x, int32_t y) { return InKeyBlock(x, y) ? kKey : Varied(x, y); },
         {}, nullptr, -1, int32_t(kKey), false, false, 0, 2, 8, false, true},
        {"transparent colour no pixel has: RGB with tRNS", pf24bit, 24, 24, Varied,
         {}, nullptr, -1, int32_t(kKey), false, false, 0, 2, 8, false, true},
        {"transparent colour no pixel has: palette entry", pf24bit, 8, 8,
         [=](int32_t x, int32_t y) { return (x + y) % 3 ? red : blue; },
         {}, nullptr, -1, int32_t(green), false, false, 0, 3, 2, true, true},
        {"transparent grey no pixel has: grey tRNS", pf24bit, 16, 8,
         [=](int32_t x, int32_t y) { return (x ^ y) & 1 ? white : 0u; },
         {}, nullptr, -1, 0x555555, false, false, 0, 0, 2, false, true},
        {"unused transparent index: palette entry", pf8bit, 8, 8, [](int32_t x, int32_t y) { return uint32_t(x + y) % 3; },
         {red, green, blue, white}, nullptr, -1, 0x01000003, false, false, 0, 3, 2, true, true},
        {"unused transparent index, its grey shown opaque: palette", pf8bit, 8, 8,
         [](int32_t x, int32_t y) { return uint32_t(x + y) % 2; },
         {0u, white, 0u}, nullptr, -1, 0x01000002, false, false, 0, 3, 2, true, true},
        {"partial alpha, few colours: palette with tRNS", pf24bit, 8, 8,
         [=](int32_t x, int32_t) { return x % 3 == 0 ? red : green; },
         {}, [](int32_t x, int32_t y) { return uint8_t(y < 4 ? 255 : x % 3 == 0 ? 128 : 0); }, -1, -1, false, false, 0,
         3, 2, true, true},
        {"background not among the pixels: extra entry", pf24bit, 8, 8,
         [=](int32_t x, int32_t) { return x % 3 == 0 ? red : x % 3 == 1 ? green : blue; },
         {}, nullptr, 0x123456, -1, false, false, 0, 3, 2, true, false},
        {"Adam7 on request", pf24bit, 9, 9, [=](int32_t x, int32_t y) { return (x * y) % 5 ? red : green; },
         {}, nullptr, int32_t(green), -1, false, false, 1, 3, 1, true, false},
        {"1 x 1", pf24bit, 1, 1, [=](int32_t, int32_t) { return red; },
         {}, nullptr, -1, -1, false, false, 0, 3, 1, true, false},
        {"1-bit source", pf1bit, 13, 5, [](int32_t x, int32_t y) { return uint32_t((x + y) % 2); },
         {green, 0xFF00FF}, nullptr, 0x01000001, -1, false, false, 0, 3, 1, true, false},
        {"8-bit indices past the palette: black entries", pf8bit, 8, 8,
         [](int32_t x, int32_t y) { return uint32_t(x + y) % 4; },
         {red, green}, nullptr, -1, -1, false, false, 0, 3, 2, true, false},
        {"16-bit 565 source: palette, sBIT kept", pf16bit, 16, 16,
         [](int32_t x, int32_t y) { return uint32_t(x % 4 * 64) | uint32_t(y % 4 * 64) << 8 | 0x800000u; },
         {}, nullptr, -1, -1, false, false, 0, 3, 4, true, false},
        {"grey setting on colours: the grey levels", pf24bit, 256, 4,
         [](int32_t x, int32_t y) { return uint32_t(x) * 0x0101u | uint32_t(x ^ (y & 1)) << 16; },
         {}, nullptr, -1, -1, true, false, 0, 0, 8, false, false},
        {"gray-index mode: palette with tRNS", pf8bit, 8, 8, [](int32_t x, int32_t y) { return uint32_t(x + y) % 4; },
         {red, green, blue, white}, [](int32_t x, int32_t y) { return uint8_t((x + y) % 4 == 0 ? 0 : 255); }, -1, -1,
         false, true, 0, 3, 2, true, true},
    };
}

TEST(PngOptimize, EachPictureGetsItsSmallestLayoutAndShowsWhatTheNormalSaveShows) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.Name);
        auto image = MakeImage(c);
        auto mask = c.Alpha ? MakeMask(c) : nullptr;
        const Bytes normal = Save(c, *image, mask.get(), 0);
        const Bytes optimised = Save(c, *image, mask.get(), 1);
        const auto was = pngenc::ParseChunks(normal);
        const auto now = pngenc::ParseChunks(optimised);

        const Chunk* ihdr = pngenc::Find(now, "IHDR");
        ASSERT_NE(ihdr, nullptr);
        EXPECT_EQ(ihdr->Data[9], c.ColorType);
        EXPECT_EQ(ihdr->Data[8], c.Depth);
        EXPECT_EQ(ihdr->Data[12], c.Interlace);
        EXPECT_EQ(pngenc::Find(now, "PLTE") != nullptr, c.Plte);
        EXPECT_EQ(pngenc::Find(now, "tRNS") != nullptr, c.Trns);

        // The chunks that do not depend on the layout, byte for byte; the
        // program's name and a tpNG without flags are left out.
        for (const char* type : {"tIME", "gAMA", "cHRM", "pHYs"})
            EXPECT_EQ(DataOf(now, type), DataOf(was, type)) << type;
        std::vector<Bytes> texts = DataOf(was, "tEXt");
        std::erase_if(texts, [](const Bytes& t) { return std::string(t.begin(), t.end()).starts_with("Software"); });
        EXPECT_EQ(DataOf(now, "tEXt"), texts);
        EXPECT_TRUE(DataOf(now, "tpNG").empty());
        for (const char* type : {"bKGD", "sBIT"})
            EXPECT_EQ(DataOf(now, type).size(), DataOf(was, type).size()) << type;
        EXPECT_EQ(pngenc::Types(now).back(), "IEND");

        // The picture reads the gray-index form as grey levels; the pixels
        // it stands for are the palette's colours with the mask's alpha.
        Shown before = Decode(normal);
        if (c.GrayIndex) before.Rgba = PaletteRgba(c);
        const Shown after = Decode(optimised);
        EXPECT_EQ(after.Background, before.Background);
        // A transparent colour stays named, also when no pixel has it.
        if (before.Transparent != -1) {
            EXPECT_EQ(after.Transparent, before.Transparent) << "transparent colour";
        }
        ASSERT_EQ(after.Rgba.size(), before.Rgba.size());
        for (size_t i = 0; i < before.Rgba.size(); ++i)
            ASSERT_EQ(after.Rgba[i], before.Rgba[i]) << "pixel " << i % size_t(c.W) << "," << i / size_t(c.W);
    }
}

// The row hook sees the file's rows and the decoder's hook undoes it.
TEST(PngOptimize, RowHookTransformsTheRowsOfTheChosenLayout) {
    auto image = pngenc::MakeBitmap(pf24bit, 19, 7, 3);
    auto flip = [](TObject*, uint8_t* row, int32_t count, int32_t, const std::string&) {
        for (int32_t i = 0; i < count; ++i) row[i] ^= 0x5A;
    };
    TTavPNGWriteStream enc;
    enc.OptimizeLevel = 1;
    enc.Interlace = 1;
    enc.Key = "k";
    int32_t rows = 0;
    enc.OnEncodeRow = [&](TObject* s, uint8_t* row, int32_t count, int32_t index, const std::string& key) {
        EXPECT_EQ(index, rows++);
        flip(s, row, count, index, key);
    };
    const Bytes file = pngenc::Encode(enc, *image);
    EXPECT_EQ(rows, 1 + 1 + 1 + 2 + 2 + 4 + 3);  // the Adam7 pass rows of 19 x 7

    TTavPNG png;
    png.Key = "k";
    png.OnDecodeRow = flip;
    TMemoryStream ms;
    ms.WriteBuffer(file.data(), int64_t(file.size()));
    ms.SetPosition(0);
    png.LoadFromStream(ms);
    for (int32_t y = 0; y < 7; ++y)
        for (int32_t x = 0; x < 19; ++x) ASSERT_EQ(png.CurrentImage()->Pixel(x, y), image->Pixel(x, y)) << x << "," << y;
}

}  // namespace

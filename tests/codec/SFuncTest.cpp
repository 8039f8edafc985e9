// Row sizes, checked size arithmetic, pixel-format codes and the palette
// helpers.
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <memory>
#include <string>
#include <vector>

#include "codec/SFunc.h"
#include "codec/TavStream.h"
#include "platform/Bitmap.h"
#include "platform/Exceptions.h"

namespace {

using Palette = TPaletteHandle;

// A palette from (red, green, blue) triples.
Palette MakePalette(const std::vector<std::array<uint8_t, 3>>& colors) {
    std::vector<uint8_t> entries;
    for (const auto& c : colors) entries.insert(entries.end(), {c[2], c[1], c[0], 0});
    return CreatePaletteFromEntries(entries.data(), int32_t(colors.size()));
}

// ScanlineStride is the framework's one row-size rule: the same sizes as
// the bitmaps' own rows, 15 bits stored as 16-bit words, and one policy
// for rows that cannot be (EOutOfMemory, never a wrapped or negative size).
TEST(SFunc, ScanlineStride) {
    struct Case {
        int32_t width, bits, stride;
    };
    const Case cases[] = {
        {1, 1, 4},     {3, 24, 12},   {5, 24, 16},  {0, 24, 0},     {32, 1, 4},    {33, 1, 8},
        {8, 4, 4},     {9, 4, 8},     {4, 8, 4},    {5, 8, 8},      {2, 16, 4},    {3, 15, 8},
        {1, 15, 4},    {5, 15, 12},   {63, 15, 128},
        {1, 32, 4},    {7, 32, 28},   {1, 2, 4},    {17, 2, 8},     {1, 48, 8},    {1, 64, 8},
        {100000, 24, 300000},         {INT32_MAX / 32, 32, 268435452},
        {INT32_MAX, 1, 268435456},    {0x1FFFFFFF, 32, 2147483644},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.bits));
        EXPECT_EQ(ScanlineStride(c.width, c.bits), c.stride);
    }
    const Case refused[] = {
        {INT32_MAX, 32, 0}, {INT32_MAX, 64, 0}, {0x20000000, 32, 0}, {INT32_MAX, 8, 0}, {-1, 8, 0}, {4, 0, 0},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.bits));
        EXPECT_THROW(ScanlineStride(c.width, c.bits), EOutOfMemory);
    }
}

// The codec's rule and every bitmap format's stored rows agree.
TEST(SFunc, ScanlineStrideMatchesTheBitmapRows) {
    for (TPixelFormat f : {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit}) {
        for (int32_t w = 1; w <= 64; ++w) {
            SCOPED_TRACE("format " + std::to_string(int(f)) + " width " + std::to_string(w));
            TBitmap bmp;
            bmp.SetPixelFormat(f);
            bmp.SetSize(w, 1);
            EXPECT_EQ(bmp.ScanlineStride(), ScanlineStride(w, BitCountFromPixelFormat(f)));
        }
    }
}

TEST(SFunc, CheckedArithmetic) {
    const size_t max = SIZE_MAX;
    struct Case {
        const char* name;
        size_t a, b;
        bool mulOk, addOk;
    };
    const Case cases[] = {
        {"small", 3, 4, true, true},
        {"zero times max", 0, max, true, true},
        {"max plus one", max, 1, true, false},
        {"half times two", max / 2, 2, true, true},
        {"half plus one times two", max / 2 + 1, 2, false, true},
        {"max plus max", max, max, false, false},
        {"square root overflow", size_t(1) << 32, size_t(1) << 32, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        size_t out = 0;
        EXPECT_EQ(CheckedMul(c.a, c.b, out), c.mulOk);
        if (c.mulOk) {
            EXPECT_EQ(out, c.a * c.b);
        }
        EXPECT_EQ(CheckedAdd(c.a, c.b, out), c.addOk);
        if (c.addOk) {
            EXPECT_EQ(out, c.a + c.b);
        }
    }
}

TEST(PixelFormats, FromBitCount) {
    const std::pair<int32_t, uint8_t> cases[] = {
        {1, 1}, {4, 2}, {8, 3}, {15, 4}, {16, 5}, {24, 6}, {32, 7}, {2, 6}, {0, 6}, {-1, 6}, {48, 6},
    };
    for (const auto& [bits, code] : cases) {
        SCOPED_TRACE("bits " + std::to_string(bits));
        EXPECT_EQ(PixelFormatFromBitCount(bits), code);
    }
}

TEST(PixelFormats, ToBitCountByTheLowSevenBits) {
    const std::pair<uint8_t, int32_t> cases[] = {
        {0, 24}, {1, 1},    {2, 4},    {3, 8},    {4, 15},   {5, 16},   {6, 24},
        {7, 32}, {8, 15},   {9, 24},   {0x7F, 24}, {0x81, 1}, {0x83, 8}, {0x87, 32}, {0x88, 15},
    };
    for (const auto& [code, bits] : cases) {
        SCOPED_TRACE("code " + std::to_string(code));
        EXPECT_EQ(BitCountFromPixelFormat(code), bits);
    }
}

TEST(Palettes, GrayLevels) {
    struct Case {
        int32_t bits;
        int32_t count;
        int step;
    };
    const Case cases[] = {{1, 2, 255}, {2, 4, 85}, {4, 16, 17}, {8, 256, 1}, {16, 256, 1}, {0, 256, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE("bits " + std::to_string(c.bits));
        std::vector<uint8_t> entries(1024 + 4, 0xCD);
        EXPECT_EQ(MakeGrayPalette(entries.data(), c.bits), c.count);
        for (int32_t i = 0; i < c.count; ++i) {
            const auto v = uint8_t(i * c.step);
            const std::vector<uint8_t> want = {v, v, v, 0};
            EXPECT_EQ(std::vector<uint8_t>(entries.begin() + 4 * i, entries.begin() + 4 * i + 4), want)
                << "entry " << i;
        }
        EXPECT_EQ(entries[size_t(4 * c.count)], 0xCD) << "nothing written past the entries";
    }
}

TEST(Palettes, EntriesRoundTripThroughAHandle) {
    std::vector<uint8_t> entries;
    for (int i = 0; i < 256; ++i) entries.insert(entries.end(), {uint8_t(i), uint8_t(255 - i), uint8_t(i * 3), 0x77});
    for (const int32_t count : {0, 1, 2, 16, 255, 256}) {
        SCOPED_TRACE("count " + std::to_string(count));
        Palette p = CreatePaletteFromEntries(entries.data(), count);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(PaletteEntryCount(p.get()), count);
        std::vector<uint8_t> back(1024, 0xEE);
        EXPECT_EQ(GetPaletteEntriesRGB(p.get(), back.data()), count);
        for (int32_t i = 0; i < count; ++i) {
            SCOPED_TRACE("entry " + std::to_string(i));
            // Blue, green and red survive; the fourth byte comes back 0.
            EXPECT_EQ(back[size_t(4 * i)], entries[size_t(4 * i)]);
            EXPECT_EQ(back[size_t(4 * i + 1)], entries[size_t(4 * i + 1)]);
            EXPECT_EQ(back[size_t(4 * i + 2)], entries[size_t(4 * i + 2)]);
            EXPECT_EQ(back[size_t(4 * i + 3)], 0);
            TPaletteEntry e;
            ASSERT_EQ(GetPaletteEntries(p.get(), i, 1, &e), 1);
            EXPECT_EQ(e.peRed, entries[size_t(4 * i + 2)]);
            EXPECT_EQ(e.peBlue, entries[size_t(4 * i)]);
            EXPECT_EQ(e.peFlags, 0);
        }
        if (count < 256) {
            EXPECT_EQ(back[size_t(4 * count)], 0xEE);
        }
    }
}

TEST(Palettes, CountsOutsideTheBufferAreClamped) {
    std::vector<uint8_t> entries(1024, 9);
    for (const auto& [count, want] : {std::pair{257, 256}, {100000, 256}, {-1, 0}, {INT32_MIN, 0}}) {
        SCOPED_TRACE("count " + std::to_string(count));
        Palette p = CreatePaletteFromEntries(entries.data(), count);
        EXPECT_EQ(PaletteEntryCount(p.get()), want);
    }
    Palette none = CreatePaletteFromEntries(nullptr, 10);
    EXPECT_EQ(PaletteEntryCount(none.get()), 0);
}

TEST(Palettes, ColorOfAnEntry) {
    const Palette p = MakePalette({{0x12, 0x34, 0x56}, {255, 0, 0}, {0, 0, 255}});
    struct Case {
        int32_t index;
        int32_t color;
    };
    const Case cases[] = {{0, 0x563412}, {1, 0x0000FF}, {2, 0xFF0000}, {3, -1}, {-1, -1}, {256, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE("index " + std::to_string(c.index));
        EXPECT_EQ(GetPaletteColor(p.get(), c.index), c.color);
    }
    EXPECT_EQ(GetPaletteColor(nullptr, 0), -1);
}

TEST(Palettes, NearestIndex) {
    struct Case {
        const char* name;
        std::vector<std::array<uint8_t, 3>> colors;  // red, green, blue
        int32_t color;                               // 0x00BBGGRR
        int32_t index;
    };
    const Case cases[] = {
        {"exact match after a closer-than-others inexact entry",
         {{0, 0, 0}, {10, 10, 11}, {200, 200, 200}, {10, 10, 10}},
         0x0A0A0A,
         3},
        {"equal distances give the lower index", {{0, 0, 0}, {20, 0, 0}, {0, 20, 0}}, 0x00000A, 0},
        {"summed channel distance, not the largest or the Euclidean",
         {{100, 0, 0}, {40, 40, 40}},
         0x000000,
         0},
        {"red, green and blue are in their bytes", {{0, 0, 255}, {255, 0, 0}, {0, 255, 0}}, 0x0000F0, 1},
        {"blue", {{0, 0, 255}, {255, 0, 0}, {0, 255, 0}}, 0xF00000, 0},
        {"the high byte is ignored", {{1, 2, 3}, {9, 9, 9}}, 0x7F030201, 0},
        {"later strictly nearer entry wins", {{255, 255, 255}, {128, 128, 128}, {100, 100, 100}}, 0x5A5A5A, 2},
        {"largest distance still finds an entry", {{0, 0, 0}}, 0xFFFFFF, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Palette p = MakePalette(c.colors);
        EXPECT_EQ(NearestPaletteIndex(p.get(), c.color), c.index);
    }
    const Palette empty = MakePalette({});
    EXPECT_EQ(NearestPaletteIndex(empty.get(), 0), -1);
    EXPECT_EQ(NearestPaletteIndex(nullptr, 0), -1);
    std::vector<uint8_t> entries(1024, 0xEE);
    EXPECT_EQ(GetPaletteEntriesRGB(empty.get(), entries.data()), 0);
    EXPECT_EQ(entries, std::vector<uint8_t>(1024, 0xEE));
}

}  // namespace

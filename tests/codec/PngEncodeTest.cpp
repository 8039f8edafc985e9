// The encoder's chunks, byte for byte, and its parameters and failures.
#include "tests/codec/PngEncodeTestSupport.h"

#include <functional>

#include <gtest/gtest.h>

#include "codec/SFunc.h"
#include "codec/TavPNG.h"
#include "platform/Exceptions.h"

using namespace pngenc;

namespace {

using Strings = std::vector<std::string>;

// Header chunks without the clock: UseCurrentTime off and no record.
std::unique_ptr<TTavPNGWriteStream> QuietEncoder() {
    auto enc = std::make_unique<TTavPNGWriteStream>();
    enc->UseCurrentTime = false;
    return enc;
}

std::vector<Chunk> EncodeChunks(TTavPNGWriteStream& enc, TBitmap& bmp) {
    return ParseChunks(Encode(enc, bmp), enc.WriteSignature);
}

// The picture a file reads back as.
std::unique_ptr<TBitmap> Decode(const std::vector<uint8_t>& file) {
    TTavPNG png;
    TMemoryStream ms;
    ms.WriteBuffer(file.data(), int64_t(file.size()));
    ms.SetPosition(0);
    png.LoadFromStream(ms);
    auto bmp = std::make_unique<TBitmap>();
    bmp->Assign(png.CurrentImage());
    return bmp;
}

struct Ihdr {
    uint32_t width, height;
    int depth, colorType, interlace;
};

Ihdr HeaderOf(const std::vector<Chunk>& chunks) {
    const Chunk& c = chunks.at(0);
    EXPECT_EQ(c.Type, "IHDR");
    EXPECT_EQ(c.Data.size(), 13u);
    return Ihdr{BE32(&c.Data[0]), BE32(&c.Data[4]), c.Data[8], c.Data[9], c.Data[12]};
}

TEST(PngEncode, Default24BitChunkSequence) {
    auto bmp = MakeBitmap(pf24bit, 5, 4, 1);
    TTavPNGWriteStream enc;
    const auto chunks = EncodeChunks(enc, *bmp);
    EXPECT_EQ(Types(chunks), (Strings{"IHDR", "tIME", "tEXt", "tpNG", "IDAT", "IEND"}));
    for (const auto& c : chunks) EXPECT_TRUE(c.CrcOk) << c.Type;
    const Ihdr h = HeaderOf(chunks);
    EXPECT_EQ(h.width, 5u);
    EXPECT_EQ(h.height, 4u);
    EXPECT_EQ(h.depth, 8);
    EXPECT_EQ(h.colorType, 2);
    EXPECT_EQ(h.interlace, 0);
    EXPECT_EQ(chunks[1].Data.size(), 7u);
    EXPECT_GE(BE16(&chunks[1].Data[0]), 2026);
    const std::string software(chunks[2].Data.begin(), chunks[2].Data.end());
    EXPECT_EQ(software, std::string("Software\0TavPNG ver 3.4", 23));
    EXPECT_EQ(chunks[3].Data, (std::vector<uint8_t>{'T', 'a', 'v', '3', 0, 0, 0, 0}));
    EXPECT_TRUE(chunks.back().Data.empty());
}

TEST(PngEncode, EveryOptionalChunkInOrder) {
    auto bmp = MakeBitmap(pf8bit, 4, 4, 2);
    auto enc = QuietEncoder();
    TPNGTimeStamp t;
    t.Year = 2024;
    t.Month = 2;
    t.Day = 29;
    t.Hour = 23;
    t.Minute = 59;
    t.Second = 60;
    TPNGChromaticity chrm{31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000};
    TPNGGIFControl gif{{2, 1, 0x01, 0x2C}};
    enc->TimeStamp = &t;
    enc->Chromaticity = &chrm;
    enc->GIFControl = &gif;
    enc->Comment = "a note";
    enc->Gamma = 0.45455;
    enc->SignificantBits = 7 | 6 << 8 | 5 << 16;
    enc->BackgroundColor = PaletteIndex(9);
    enc->TransparentColor = PaletteIndex(2);
    enc->ResolutionUnit = 1;
    enc->XResolution = 3000;
    enc->YResolution = 4000;
    enc->Key = "k";
    enc->OnEncodeRow = [](TObject*, uint8_t*, int32_t, int32_t, const std::string&) {};
    const auto chunks = EncodeChunks(*enc, *bmp);
    EXPECT_EQ(Types(chunks), (Strings{"IHDR", "tIME", "tEXt", "tEXt", "tpNG", "gIFg", "gAMA", "cHRM", "sBIT", "PLTE",
                                      "bKGD", "tRNS", "pHYs", "IDAT", "IEND"}));
    EXPECT_EQ(Find(chunks, "tIME")->Data, (std::vector<uint8_t>{0x07, 0xE8, 2, 29, 23, 59, 60}));
    EXPECT_EQ(std::string(chunks[2].Data.begin(), chunks[2].Data.end()), std::string("Comment\0a note", 14));
    EXPECT_EQ(Find(chunks, "tpNG")->Data, (std::vector<uint8_t>{'T', 'a', 'v', '3', 1, 0, 0, 0}));
    EXPECT_EQ(Find(chunks, "gIFg")->Data, (std::vector<uint8_t>{2, 1, 0x01, 0x2C}));
    EXPECT_EQ(BE32(Find(chunks, "gAMA")->Data.data()), 45455u);
    const auto& c = Find(chunks, "cHRM")->Data;
    ASSERT_EQ(c.size(), 32u);
    const uint32_t expected[8] = {31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(BE32(&c[size_t(4 * i)]), expected[i]) << i;
    EXPECT_EQ(Find(chunks, "sBIT")->Data, (std::vector<uint8_t>{7, 6, 5}));
    EXPECT_EQ(Find(chunks, "PLTE")->Data.size(), 768u);
    EXPECT_EQ(Find(chunks, "bKGD")->Data, (std::vector<uint8_t>{9}));
    EXPECT_EQ(Find(chunks, "tRNS")->Data, (std::vector<uint8_t>{255, 255, 0}));
    EXPECT_EQ(Find(chunks, "pHYs")->Data, (std::vector<uint8_t>{0, 0, 0x0B, 0xB8, 0, 0, 0x0F, 0xA0, 1}));
}

TEST(PngEncode, ChunksLeftOutWhenTheirValuesAreEmpty) {
    auto bmp = MakeBitmap(pf24bit, 3, 3, 3);
    auto enc = QuietEncoder();
    TPNGChromaticity noWhite{0, 32900, 1, 1, 1, 1, 1, 1};
    TPNGGIFControl zeros;
    enc->Chromaticity = &noWhite;
    enc->GIFControl = &zeros;
    enc->Comment = "";
    enc->Gamma = 0.000004;  // rounds to 0 units of 1/100000
    enc->XResolution = 72;  // without a vertical resolution
    const auto chunks = EncodeChunks(*enc, *bmp);
    EXPECT_EQ(Types(chunks), (Strings{"IHDR", "tEXt", "tpNG", "IDAT", "IEND"}));
}

TEST(PngEncode, WithoutSignature) {
    auto bmp = MakeBitmap(pf24bit, 2, 2, 4);
    auto enc = QuietEncoder();
    enc->WriteSignature = false;
    const auto bytes = Encode(*enc, *bmp);
    ASSERT_GE(bytes.size(), 8u);
    EXPECT_EQ(std::string(bytes.begin() + 4, bytes.begin() + 8), "IHDR");
}

TEST(PngEncode, ColourTypeAndDepthForEverySource) {
    struct Case {
        TPixelFormat format;
        bool mask, gray, grayIndex;
        int colorType, depth;
        bool palette;
    };
    const Case cases[] = {
        {pf1bit, false, false, false, 3, 1, true},   {pf1bit, true, false, false, 3, 1, true},
        {pf1bit, false, true, false, 0, 1, false},   {pf1bit, true, true, false, 0, 1, false},
        {pf4bit, false, false, false, 3, 4, true},   {pf4bit, true, false, false, 3, 4, true},
        {pf4bit, false, true, false, 0, 4, false},   {pf4bit, true, true, false, 0, 4, false},
        {pf8bit, false, false, false, 3, 8, true},   {pf8bit, true, false, false, 3, 8, true},
        {pf8bit, true, false, true, 4, 8, true},     {pf8bit, false, false, true, 3, 8, true},
        {pf8bit, true, true, true, 4, 8, false},     {pf8bit, false, true, false, 0, 8, false},
        {pf8bit, true, true, false, 4, 8, false},    {pf15bit, false, false, false, 2, 8, false},
        {pf15bit, true, false, false, 6, 8, false},  {pf15bit, false, true, false, 0, 8, false},
        {pf15bit, true, true, false, 4, 8, false},   {pf16bit, false, false, false, 2, 8, false},
        {pf16bit, true, false, false, 6, 8, false},  {pf16bit, true, true, false, 4, 8, false},
        {pf24bit, false, false, false, 2, 8, false}, {pf24bit, true, false, false, 6, 8, false},
        {pf24bit, false, true, false, 0, 8, false},  {pf24bit, true, true, false, 4, 8, false},
        {pf32bit, false, false, false, 2, 8, false}, {pf32bit, true, false, false, 6, 8, false},
        {pf32bit, true, true, true, 4, 8, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(int(c.format)) + (c.mask ? " mask" : "") + (c.gray ? " gray" : "") +
                     (c.grayIndex ? " gray-index" : ""));
        auto bmp = MakeBitmap(c.format, 6, 5, 9);
        auto mask = MakeMask(6, 5, 10);
        auto enc = QuietEncoder();
        enc->AlphaBitmap = c.mask ? mask.get() : nullptr;
        enc->Grayscale = c.gray;
        enc->GrayIndexMode = c.grayIndex;
        const auto chunks = EncodeChunks(*enc, *bmp);
        const Ihdr h = HeaderOf(chunks);
        EXPECT_EQ(h.colorType, c.colorType);
        EXPECT_EQ(h.depth, c.depth);
        EXPECT_EQ(Find(chunks, "PLTE") != nullptr, c.palette);
        const bool grayIndexFlag = c.grayIndex && c.mask && !c.gray && c.format == pf8bit;
        EXPECT_EQ(Find(chunks, "tpNG")->Data[5], grayIndexFlag ? 1 : 0);
    }
}

TEST(PngEncode, MasksThatDoNotFitAreIgnored) {
    auto bmp = MakeBitmap(pf24bit, 6, 5, 1);
    auto narrow = MakeMask(5, 5, 2);
    auto wide = MakeBitmap(pf24bit, 6, 5, 3);
    auto empty = std::make_unique<TBitmap>();
    empty->SetPixelFormat(pf8bit);
    struct Case {
        const char* name;
        TBitmap* mask;
    } cases[] = {{"narrower", narrow.get()}, {"24-bit", wide.get()}, {"empty", empty.get()}, {"itself", bmp.get()}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto enc = QuietEncoder();
        enc->AlphaBitmap = c.mask;
        EXPECT_EQ(HeaderOf(EncodeChunks(*enc, *bmp)).colorType, 2);
    }
}

TEST(PngEncode, SignificantBitsOfHighColourSources) {
    struct Case {
        TPixelFormat format;
        bool mask, gray;
        std::vector<uint8_t> sbit;  // empty: no chunk
        int32_t parameterAfter;
    };
    const Case cases[] = {
        {pf15bit, false, false, {5, 5, 5}, 0x050505},
        {pf16bit, false, false, {5, 6, 5}, 0x050605},
        {pf16bit, true, false, {5, 6, 5, 8}, 0x08050605},
        {pf15bit, true, false, {5, 5, 5, 8}, 0x08050505},
        {pf16bit, false, true, {}, 0x050605},
        {pf24bit, false, false, {}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(int(c.format)) + (c.mask ? " mask" : "") + (c.gray ? " gray" : ""));
        auto bmp = MakeBitmap(c.format, 4, 3, 5);
        auto mask = MakeMask(4, 3, 6);
        auto enc = QuietEncoder();
        enc->AlphaBitmap = c.mask ? mask.get() : nullptr;
        enc->Grayscale = c.gray;
        const auto chunks = EncodeChunks(*enc, *bmp);
        const Chunk* s = Find(chunks, "sBIT");
        if (c.sbit.empty())
            EXPECT_EQ(s, nullptr);
        else
            EXPECT_EQ(s ? s->Data : std::vector<uint8_t>{}, c.sbit);
        EXPECT_EQ(enc->SignificantBits, c.parameterAfter);
    }
}

// bKGD and tRNS bodies for palette indices and colours on each kind of image.
TEST(PngEncode, BackgroundAndTransparencyBodies) {
    struct Case {
        const char* name;
        TPixelFormat format;
        bool gray, mask;
        int32_t color;
        std::vector<uint8_t> bkgd, trns;  // empty: chunk left out
    };
    // Palette of the 4-bit cases: entry 3 is pure green, entry 5 near-red;
    // their pixels use indices past its 6 entries, up to 15.
    const Case cases[] = {
        {"4-bit index 3", pf4bit, false, false, PaletteIndex(3), {3}, {255, 255, 255, 0}},
        {"4-bit index 0", pf4bit, false, false, PaletteIndex(0), {0}, {0}},
        {"4-bit colour nearest to entry 5", pf4bit, false, false, RGB(250, 10, 3), {5}, {255, 255, 255, 255, 255, 0}},
        {"4-bit exact colour of entry 3", pf4bit, false, false, RGB(0, 255, 0), {3}, {255, 255, 255, 0}},
        {"24-bit colour", pf24bit, false, false, RGB(0x12, 0x34, 0x56), {0, 0x12, 0, 0x34, 0, 0x56},
         {0, 0x12, 0, 0x34, 0, 0x56}},
        {"24-bit flagged value keeps its bytes", pf24bit, false, false, PaletteIndex(0x40), {0, 0x40, 0, 0, 0, 0},
         {0, 0x40, 0, 0, 0, 0}},
        {"24-bit with alpha has no tRNS", pf24bit, false, true, RGB(1, 2, 3), {0, 1, 0, 2, 0, 3}, {}},
        {"gray 24-bit", pf24bit, true, false, RGB(200, 100, 50), {0, 124}, {0, 124}},
        {"gray 4-bit palette index", pf4bit, true, false, PaletteIndex(3), {0, 9}, {0, 9}},
        {"gray 8-bit palette index", pf8bit, true, false, PaletteIndex(5), {0, 83}, {0, 83}},
        {"gray 1-bit white", pf1bit, true, false, RGB(255, 255, 255), {0, 1}, {0, 1}},
        {"gray 1-bit dark", pf1bit, true, false, RGB(100, 100, 100), {0, 0}, {0, 0}},
        {"4-bit index past the palette, used by pixels", pf4bit, false, false, PaletteIndex(6), {6},
         {255, 255, 255, 255, 255, 255, 0}},
        {"4-bit index past any 4-bit palette", pf4bit, false, false, PaletteIndex(16), {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto bmp = MakeBitmap(c.format, 4, 4, 7);
        if (c.format == pf4bit || c.format == pf8bit)
            bmp->SetPalette(MakeEntries({RGB(0, 0, 0), RGB(255, 255, 255), RGB(128, 128, 128), RGB(0, 255, 0),
                                         RGB(10, 10, 200), RGB(240, 20, 0)}));
        auto mask = MakeMask(4, 4, 8);
        for (bool background : {true, false}) {
            auto enc = QuietEncoder();
            enc->Grayscale = c.gray;
            enc->AlphaBitmap = c.mask ? mask.get() : nullptr;
            (background ? enc->BackgroundColor : enc->TransparentColor) = c.color;
            const auto chunks = EncodeChunks(*enc, *bmp);
            const auto& expected = background ? c.bkgd : c.trns;
            const Chunk* found = Find(chunks, background ? "bKGD" : "tRNS");
            if (expected.empty())
                EXPECT_EQ(found, nullptr) << (background ? "bKGD" : "tRNS");
            else
                EXPECT_EQ(found ? found->Data : std::vector<uint8_t>{}, expected) << (background ? "bKGD" : "tRNS");
        }
    }
}

TEST(PngEncode, IndexedBitmapWithoutPaletteGetsABlackPalette) {
    // Its pixels all read as black: a PLTE of black entries keeps them and
    // their indices, and makes the file valid.
    for (const TPixelFormat format : {pf1bit, pf4bit, pf8bit}) {
        SCOPED_TRACE(int(format));
        auto bmp = MakeBitmap(format, 3, 3, 1);
        bmp->SetPalette(nullptr);
        const auto chunks = EncodeChunks(*QuietEncoder(), *bmp);
        EXPECT_EQ(chunks[0].Data[9], 3) << "colour type";
        ASSERT_NE(Find(chunks, "PLTE"), nullptr);
        const int bits = format == pf1bit ? 1 : format == pf4bit ? 4 : 8;
        EXPECT_EQ(Find(chunks, "PLTE")->Data, std::vector<uint8_t>(size_t(3) << bits, 0));
    }
}

// Pixels that point past the palette read as black: the PLTE reaches the
// highest index used with black entries, and the file reads back to the
// same colours. Row padding is no pixel.
TEST(PngEncode, PaletteReachesEveryIndexUsed) {
    struct Case {
        const char* name;
        TPixelFormat format;
        int32_t width;
        int entries;
        std::vector<uint8_t> rowBytes;  // the one row, padding included
        int plteEntries;
    } cases[] = {
        {"1-bit, one entry, a pixel of index 1", pf1bit, 9, 1, {0x40, 0x00, 0, 0}, 2},
        {"1-bit, set bits only in the padding", pf1bit, 9, 1, {0x00, 0x7F, 0xFF, 0xFF}, 1},
        {"4-bit, odd width, index 9 last", pf4bit, 3, 2, {0x01, 0x90, 0, 0}, 10},
        {"4-bit, index 15 only in the padding", pf4bit, 3, 2, {0x10, 0x0F, 0xFF, 0xFF}, 2},
        {"8-bit, index 200", pf8bit, 4, 3, {0, 200, 2, 1}, 201},
        {"8-bit, every index inside the palette", pf8bit, 4, 3, {0, 2, 2, 1}, 3},
        {"8-bit, padding byte past the palette", pf8bit, 3, 3, {2, 1, 0, 255}, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TBitmap bmp;
        bmp.SetPixelFormat(c.format);
        bmp.SetSize(c.width, 1);
        bmp.SetPalette(MakePalette(c.entries, 5));
        std::memcpy(bmp.ScanLine(0), c.rowBytes.data(), c.rowBytes.size());
        uint8_t given[1024] = {};
        GetPaletteEntriesRGB(bmp.GetPalette(), given);

        const auto file = Encode(*QuietEncoder(), bmp);
        const auto chunks = ParseChunks(file);
        const Chunk* plte = Find(chunks, "PLTE");
        const size_t plteBytes = plte ? plte->Data.size() : 0;
        EXPECT_EQ(plteBytes, size_t(3 * c.plteEntries)) << "PLTE bytes";
        if (plteBytes != size_t(3 * c.plteEntries)) continue;
        for (int i = 0; i < c.plteEntries; ++i) {
            const uint8_t* e = given + 4 * i;
            const std::vector<uint8_t> expected =
                i < c.entries ? std::vector<uint8_t>{e[2], e[1], e[0]} : std::vector<uint8_t>{0, 0, 0};
            EXPECT_EQ(std::vector<uint8_t>(plte->Data.begin() + 3 * i, plte->Data.begin() + 3 * i + 3), expected)
                << "entry " << i;
        }
        const auto back = Decode(file);
        for (int32_t x = 0; x < c.width; ++x) EXPECT_EQ(back->Pixel(x, 0), bmp.Pixel(x, 0)) << "pixel " << x;
    }
}

TEST(PngEncode, GrayIndexModeWritesPaletteAndFlagButNoTransparency) {
    auto bmp = MakeBitmap(pf8bit, 4, 4, 3);
    auto mask = MakeMask(4, 4, 4);
    auto enc = QuietEncoder();
    enc->GrayIndexMode = true;
    enc->AlphaBitmap = mask.get();
    enc->TransparentColor = PaletteIndex(1);
    enc->BackgroundColor = PaletteIndex(7);
    const auto chunks = EncodeChunks(*enc, *bmp);
    EXPECT_EQ(HeaderOf(chunks).colorType, 4);
    EXPECT_EQ(Find(chunks, "tpNG")->Data[5], 1);
    EXPECT_NE(Find(chunks, "PLTE"), nullptr);
    EXPECT_EQ(Find(chunks, "tRNS"), nullptr);
    ASSERT_NE(Find(chunks, "bKGD"), nullptr);
    EXPECT_EQ(Find(chunks, "bKGD")->Data, (std::vector<uint8_t>{7}));
}

TEST(PngEncode, PhysicalSizeUnits) {
    struct Case {
        uint8_t unit;
        int32_t x, y;
        uint32_t outX, outY;
        uint8_t outUnit;
    } cases[] = {{2, 96, 72, 3779, 2834, 1}, {2, 300, 300, 11811, 11811, 1}, {1, 3779, 2, 3779, 2, 1},
                 {0, 3, 4, 3, 4, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.unit) + " " + std::to_string(c.x));
        auto bmp = MakeBitmap(pf24bit, 2, 2, 1);
        auto enc = QuietEncoder();
        enc->ResolutionUnit = c.unit;
        enc->XResolution = c.x;
        enc->YResolution = c.y;
        const auto chunks = EncodeChunks(*enc, *bmp);
        const Chunk* p = Find(chunks, "pHYs");
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(p->Data.size(), 9u);
        EXPECT_EQ(BE32(&p->Data[0]), c.outX);
        EXPECT_EQ(BE32(&p->Data[4]), c.outY);
        EXPECT_EQ(p->Data[8], c.outUnit);
    }
}

TEST(PngEncode, TimeStampLimits) {
    struct Case {
        const char* name;
        uint16_t year;
        uint8_t month, day, hour, minute, second;
        bool written;
    } cases[] = {
        {"ordinary", 2001, 9, 30, 12, 0, 0, true}, {"leap second", 1999, 12, 31, 23, 59, 60, true},
        {"second 61", 1999, 12, 31, 23, 59, 61, false}, {"month 13", 2000, 13, 1, 0, 0, 0, false},
        {"month 0", 2000, 0, 1, 0, 0, 0, false}, {"year 0", 0, 1, 1, 0, 0, 0, false},
        {"day 32", 2000, 1, 32, 0, 0, 0, false}, {"day 0", 2000, 1, 0, 0, 0, 0, false},
        {"hour 24", 2000, 1, 1, 24, 0, 0, false}, {"minute 60", 2000, 1, 1, 0, 60, 0, false},
        {"largest year", 65535, 1, 31, 0, 0, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto bmp = MakeBitmap(pf24bit, 1, 1, 1);
        auto enc = QuietEncoder();
        TPNGTimeStamp t;
        t.Year = c.year;
        t.Month = c.month;
        t.Day = c.day;
        t.Hour = c.hour;
        t.Minute = c.minute;
        t.Second = c.second;
        enc->TimeStamp = &t;
        const auto chunks = EncodeChunks(*enc, *bmp);
        const Chunk* found = Find(chunks, "tIME");
        EXPECT_EQ(found != nullptr, c.written);
        if (found) {
            EXPECT_EQ(found->Data, (std::vector<uint8_t>{uint8_t(c.year >> 8), uint8_t(c.year), c.month, c.day,
                                                         c.hour, c.minute, c.second}));
        }
    }
}

TEST(PngEncode, CurrentTimeWinsOverTheRecord) {
    auto bmp = MakeBitmap(pf24bit, 1, 1, 1);
    TTavPNGWriteStream enc;
    TPNGTimeStamp t;
    t.Year = 1990;
    t.Month = t.Day = 1;
    enc.TimeStamp = &t;
    const auto chunks = EncodeChunks(enc, *bmp);
    const Chunk* found = Find(chunks, "tIME");
    ASSERT_NE(found, nullptr);
    EXPECT_GT(BE16(found->Data.data()), 1990);
}

TEST(PngEncode, IDATSizeLimitsAndMessage) {
    TTavPNGWriteStream enc;
    EXPECT_EQ(enc.IDATSize(), 32768);
    for (int32_t bad : {255, 100001, 0, -1}) {
        SCOPED_TRACE(bad);
        try {
            enc.SetIDATSize(bad);
            ADD_FAILURE() << "accepted";
        } catch (const ETavPNG& e) {
            EXPECT_STREQ(e.what(), "Write PNG Param: Err IDAT Size(min:256  max:100000)");
        }
        EXPECT_EQ(enc.IDATSize(), 32768);
    }
    enc.SetIDATSize(256);
    EXPECT_EQ(enc.IDATSize(), 256);
    enc.SetIDATSize(100000);
    EXPECT_EQ(enc.IDATSize(), 100000);
}

TEST(PngEncode, EveryIDATButTheLastHasIDATSizeBytes) {
    auto bmp = MakeBitmap(pf24bit, 61, 47, 5);  // noise: about 8.6 KB compressed
    for (int32_t size : {256, 300, 1000, 4096, 100000}) {
        SCOPED_TRACE(size);
        auto enc = QuietEncoder();
        enc->SetIDATSize(size);
        const auto chunks = EncodeChunks(*enc, *bmp);
        std::vector<size_t> sizes;
        for (const auto& c : chunks)
            if (c.Type == "IDAT") sizes.push_back(c.Data.size());
        ASSERT_FALSE(sizes.empty());
        for (size_t i = 0; i + 1 < sizes.size(); ++i) EXPECT_EQ(sizes[i], size_t(size)) << "chunk " << i;
        EXPECT_GE(sizes.back(), 1u);
        EXPECT_LE(sizes.back(), size_t(size));
        EXPECT_EQ(InflateImageData(chunks).size(), size_t(47 * (1 + 61 * 3)));
    }
}

TEST(PngEncode, ImageWithoutPixelsIsRefusedBeforeAnyByte) {
    for (const auto& size : {std::pair{5, 0}, std::pair{0, 5}, std::pair{0, 0}}) {
        SCOPED_TRACE(std::to_string(size.first) + " x " + std::to_string(size.second));
        TBitmap bmp;
        bmp.SetSize(size.first, size.second);
        auto enc = QuietEncoder();
        TMemoryStream ms;
        try {
            enc->WriteImage(bmp, ms);
            ADD_FAILURE() << "no exception";
        } catch (const ETavPNG& e) {
            EXPECT_STREQ(e.what(), "Write PNG: the bitmap has no pixels (width or height 0)");
        }
        EXPECT_EQ(ms.Size(), 0);
    }
}

// Rows of the inflated image data of a non-interlaced image.
std::vector<std::vector<uint8_t>> RowsOf(const std::vector<uint8_t>& raw, size_t rowSize) {
    std::vector<std::vector<uint8_t>> rows;
    for (size_t p = 0; p + rowSize <= raw.size(); p += rowSize) rows.emplace_back(raw.begin() + long(p), raw.begin() + long(p + rowSize));
    EXPECT_EQ(raw.size() % rowSize, 0u);
    return rows;
}

TEST(PngEncode, FilterModesSetTheFilterTypeOfEveryRow) {
    auto bmp = MakeBitmap(pf24bit, 9, 6, 2);
    struct Case {
        int32_t mode;
        int type;
    } cases[] = {{1, 0}, {2, 1}, {3, 2}, {4, 3}, {5, 4}, {6, 0}, {255, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        auto enc = QuietEncoder();
        enc->FilterMode = c.mode;
        const auto rows = RowsOf(InflateImageData(EncodeChunks(*enc, *bmp)), 1 + 27);
        ASSERT_EQ(rows.size(), 6u);
        for (const auto& r : rows) EXPECT_EQ(r[0], c.type);
        // The first row is filtered against zeros: Up leaves it as it is.
        if (c.type == 2) {
            for (int i = 0; i < 27; ++i) EXPECT_EQ(rows[0][size_t(1 + i)], bmp->ScanLine(0)[(i / 3) * 3 + 2 - i % 3]);
        }
    }
}

TEST(PngEncode, AdaptiveFilteringNeverFiltersFourBitImages) {
    auto bmp = MakeBitmap(pf4bit, 40, 8, 3);
    auto enc = QuietEncoder();
    enc->FilterMode = 0;
    const auto rows = RowsOf(InflateImageData(EncodeChunks(*enc, *bmp)), 1 + 20);
    ASSERT_EQ(rows.size(), 8u);
    for (const auto& r : rows) EXPECT_EQ(r[0], 0);
}

TEST(PngEncode, AdaptiveFilteringPicksSubForAHorizontalRamp) {
    auto bmp = std::make_unique<TBitmap>();
    bmp->SetPixelFormat(pf24bit);
    bmp->SetSize(40, 3);
    for (int y = 0; y < 3; ++y)
        for (int i = 0; i < 120; ++i) bmp->ScanLine(y)[i] = uint8_t(i / 3 * 5 + y);
    auto enc = QuietEncoder();
    enc->FilterMode = 0;
    const auto rows = RowsOf(InflateImageData(EncodeChunks(*enc, *bmp)), 121);
    ASSERT_EQ(rows.size(), 3u);
    for (const auto& r : rows) EXPECT_EQ(r[0], 1);
}

TEST(PngEncode, InterlacedPassesOfSmallImages) {
    struct Case {
        int32_t w, h;
        size_t bytes;  // filter bytes and pixel bytes of all passes, 24 bits
    } cases[] = {
        {1, 1, 1 + 3},
        // 4 x 4: passes 1, 4, 5, 6, 7 only: 1x1, 1x1, 2x1, 2x2, 4x2.
        {4, 4, (1 + 3) + (1 + 3) + (1 + 6) + 2 * (1 + 6) + 2 * (1 + 12)},
        {3, 3, (1 + 3) + (1 + 3) + (1 + 6) + 2 * (1 + 3) + (1 + 9)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        auto bmp = MakeBitmap(pf24bit, c.w, c.h, 4);
        auto enc = QuietEncoder();
        enc->Interlace = 1;
        const auto chunks = EncodeChunks(*enc, *bmp);
        EXPECT_EQ(HeaderOf(chunks).interlace, 1);
        EXPECT_EQ(InflateImageData(chunks).size(), c.bytes);
    }
}

TEST(PngEncode, RowEventSeesEveryRowInOrderAndItsChangesAreWritten) {
    auto bmp = MakeBitmap(pf8bit, 9, 10, 6);
    for (int interlace : {0, 1}) {
        SCOPED_TRACE(interlace);
        auto enc = QuietEncoder();
        enc->Interlace = interlace;
        enc->Key = "secret";
        std::vector<int32_t> indices;
        std::vector<int32_t> counts;
        enc->OnEncodeRow = [&](TObject* sender, uint8_t* row, int32_t count, int32_t index, const std::string& key) {
            EXPECT_EQ(sender, enc.get());
            EXPECT_EQ(key, "secret");
            indices.push_back(index);
            counts.push_back(count);
            for (int32_t i = 0; i < count; ++i) row[i] ^= 0x5A;
        };
        const auto chunks = EncodeChunks(*enc, *bmp);
        EXPECT_EQ(Find(chunks, "tpNG")->Data[4], 1);
        for (size_t i = 0; i < indices.size(); ++i) EXPECT_EQ(indices[i], int32_t(i));
        if (interlace == 0) {
            ASSERT_EQ(indices.size(), 10u);
            const auto rows = RowsOf(InflateImageData(chunks), 10);
            for (int y = 0; y < 10; ++y)
                for (int x = 0; x < 9; ++x) EXPECT_EQ(rows[size_t(y)][size_t(1 + x)], bmp->ScanLine(y)[x] ^ 0x5A);
        } else {
            // Passes of 9 x 10: 2 + 2 + 1 + 3 + 2 + 5 + 5 rows.
            EXPECT_EQ(indices.size(), 20u);
            EXPECT_EQ(counts.front(), 2);
            EXPECT_EQ(counts.back(), 9);
        }
    }
}

TEST(PngEncode, KeyWithoutEventIsNotFlagged) {
    auto bmp = MakeBitmap(pf24bit, 2, 2, 1);
    auto enc = QuietEncoder();
    enc->Key = "k";
    EXPECT_EQ(Find(EncodeChunks(*enc, *bmp), "tpNG")->Data[4], 0);
}

// Records every progress report; can ask to stop at a chosen percentage.
class ProbedEncoder : public TTavPNGWriteStream {
public:
    std::vector<int32_t> Reports;
    int32_t StopAt = 1000;

    void BreakOutput(TZOutputEvent event) { Deflate.OnOutput = event; }

protected:
    bool DoProgress(int32_t percent) override {
        Reports.push_back(percent);
        return percent >= StopAt;
    }
};

TEST(PngEncode, ProgressRunsFromZeroTo100) {
    auto bmp = MakeBitmap(pf24bit, 3, 40, 1);
    ProbedEncoder enc;
    enc.UseCurrentTime = false;
    const auto chunks = EncodeChunks(enc, *bmp);
    ASSERT_GE(enc.Reports.size(), 3u);
    EXPECT_EQ(enc.Reports.front(), 0);
    EXPECT_EQ(enc.Reports[1], 29);  // the header phase
    EXPECT_EQ(enc.Reports.back(), 100);
    for (size_t i = 1; i < enc.Reports.size(); ++i) EXPECT_GT(enc.Reports[i], enc.Reports[i - 1]);
    EXPECT_EQ(chunks.back().Type, "IEND");
}

TEST(PngEncode, StoppingEndsWithoutImageEnd) {
    // Stored blocks come out in 32 KiB steps: stopping at 80 per cent has
    // passed the first of them.
    auto bmp = MakeBitmap(pf24bit, 400, 40, 1);
    struct Case {
        int32_t stopAt;
        bool anyImageData;
    } cases[] = {{29, false}, {80, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stopAt);
        ProbedEncoder enc;
        enc.UseCurrentTime = false;
        enc.StopAt = c.stopAt;
        enc.CompressionLevel = 0;
        enc.SetIDATSize(1000);
        TMemoryStream ms;
        enc.WriteImage(*bmp, ms);
        EXPECT_TRUE(enc.Stopped);
        std::vector<uint8_t> bytes(ms.Memory(), ms.Memory() + ms.Size());
        const auto chunks = ParseChunks(bytes);
        EXPECT_EQ(Find(chunks, "IEND"), nullptr);
        EXPECT_EQ(Find(chunks, "IDAT") != nullptr, c.anyImageData);
        EXPECT_NE(enc.Reports.back(), 100);
    }
}

int32_t RefuseOutput(TZDeflateRec&) { return -3; }

TEST(PngEncode, FailureToFinishTheStreamIsAWriteError) {
    auto bmp = MakeBitmap(pf24bit, 4, 4, 1);
    ProbedEncoder enc;
    enc.BreakOutput(RefuseOutput);  // first called when the stream is finished
    TMemoryStream ms;
    try {
        enc.WriteImage(*bmp, ms);
        ADD_FAILURE() << "no error";
    } catch (const ETavPNG& e) {
        EXPECT_STREQ(e.what(), "Write Image (PNG): Write Error");
    }
}

// A stream that refuses to take more than Limit bytes.
class ShortStream : public TMemoryStream {
public:
    int64_t Limit = 0;
    int64_t Write(const void* buffer, int64_t count) override {
        const int64_t room = Limit - Position();
        if (room <= 0) return 0;
        return TMemoryStream::Write(buffer, count < room ? count : room);
    }
};

TEST(PngEncode, StreamErrorsPassThroughUnmasked) {
    auto bmp = MakeBitmap(pf24bit, 200, 200, 9);  // incompressible: over 100 KB of IDAT
    TTavPNGWriteStream enc;
    enc.CompressionLevel = 0;
    ShortStream out;
    out.Limit = 1000;
    EXPECT_THROW(enc.WriteImage(*bmp, out), EWriteError);
    EXPECT_LE(out.Size(), 1000);
}

TEST(PngEncode, GrayLevelOfColours) {
    struct Case {
        int32_t bits, color, level;
    } cases[] = {{8, RGB(255, 255, 255), 255}, {8, RGB(200, 100, 50), 124}, {4, RGB(200, 100, 50), 7},
                 {1, RGB(128, 128, 128), 1},   {1, RGB(127, 127, 127), 0},  {24, 0x7F000000 | RGB(0, 0, 255), 28}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.bits) + " " + std::to_string(c.color));
        EXPECT_EQ(ColorToGrayLevel(c.bits, c.color), c.level);
    }
}

// Values that a file must hold: sBIT within 1 to the written depth of 8,
// gAMA rounded so that a value read back (divided by 100000) is kept.
TEST(PngEncode, SignificantBitsAndGammaStayValidAndExact) {
    struct SbitCase {
        const char* name;
        int32_t bits;
        bool mask;
        std::vector<uint8_t> sbit;
    } sbits[] = {
        {"16-bit file's 13 bits", 13 | 13 << 8 | 13 << 16, false, {8, 8, 8}},
        {"mixed, kept", 5 | 9 << 8 | 7 << 16, false, {5, 8, 7}},
        {"no alpha value with a mask", 4 | 4 << 8 | 4 << 16, true, {4, 4, 4, 8}},
        {"alpha above 8", 8 | 8 << 8 | 8 << 16 | 16 << 24, true, {8, 8, 8, 8}},
    };
    for (const auto& c : sbits) {
        SCOPED_TRACE(c.name);
        auto bmp = MakeBitmap(pf24bit, 3, 2, 1);
        auto mask = MakeMask(3, 2, 2);
        auto enc = QuietEncoder();
        enc->SignificantBits = c.bits;
        enc->AlphaBitmap = c.mask ? mask.get() : nullptr;
        const auto chunks = EncodeChunks(*enc, *bmp);
        const Chunk* found = Find(chunks, "sBIT");
        EXPECT_EQ(found ? found->Data : std::vector<uint8_t>{}, c.sbit);
    }
    for (uint32_t stored : {35000u, 70000u, 45455u, 220000u, 1u, 99999u, 100001u}) {
        SCOPED_TRACE(stored);
        auto bmp = MakeBitmap(pf24bit, 2, 2, 3);
        auto enc = QuietEncoder();
        enc->Gamma = double(stored) / 100000.0;  // as the decoder reads it
        const auto chunks = EncodeChunks(*enc, *bmp);
        const Chunk* found = Find(chunks, "gAMA");
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(BE32(found->Data.data()), stored);
    }
}

// A palette image's mask becomes a tRNS of each entry's alpha when every
// entry's pixels share one alpha; otherwise it is left out.
TEST(PngEncode, PaletteMaskBecomesTransparencyTable) {
    struct Case {
        const char* name;
        std::vector<uint8_t> indices, masks;  // four pixels, 2 x 2
        std::vector<uint8_t> trns;            // empty: none
    } cases[] = {
        {"one alpha per entry", {0, 1, 2, 1}, {0, 55, 255, 55}, {255, 200, 0}},
        {"trailing opaque entries left out", {0, 1, 0, 1}, {100, 0, 100, 0}, {155}},
        {"fully opaque mask", {0, 1, 2, 3}, {0, 0, 0, 0}, {}},
        {"one entry, two alphas", {0, 1, 1, 2}, {0, 10, 20, 0}, {}},
        {"translucent pixel past the palette", {0, 1, 2, 7}, {10, 0, 0, 50}, {245, 255, 255, 255, 255, 255, 255, 205}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TBitmap bmp, mask;
        bmp.SetPixelFormat(pf8bit);
        bmp.SetSize(2, 2);
        bmp.SetPalette(MakePalette(4, 9));
        mask.SetPixelFormat(pf8bit);
        mask.SetSize(2, 2);
        for (int i = 0; i < 4; ++i) {
            bmp.ScanLine(i / 2)[i % 2] = c.indices[size_t(i)];
            mask.ScanLine(i / 2)[i % 2] = c.masks[size_t(i)];
        }
        auto enc = QuietEncoder();
        enc->AlphaBitmap = &mask;
        enc->TransparentColor = PaletteIndex(3);  // used only when the mask gives no table
        const auto chunks = EncodeChunks(*enc, bmp);
        EXPECT_EQ(HeaderOf(chunks).colorType, 3);
        const Chunk* found = Find(chunks, "tRNS");
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->Data, c.trns.empty() ? (std::vector<uint8_t>{255, 255, 255, 0}) : c.trns);
    }
}

// The comment is UTF-8: Latin-1 text goes into tEXt as Latin-1, other
// text into an uncompressed iTXt; bytes that are not UTF-8 stay as given.
TEST(PngEncode, CommentChunkFollowsItsScript) {
    using std::string;
    struct Case {
        const char* name;
        string comment;
        const char* type;
        string body;
    } cases[] = {
        {"ASCII", "plain", "tEXt", string("Comment\0plain", 13)},
        {"Latin-1", "caf\xc3\xa9", "tEXt", string("Comment\0caf\xe9", 12)},
        {"Japanese", "\xe6\x97\xa5\xe6\x9c\xac", "iTXt", string("Comment\0\0\0\0\0\xe6\x97\xa5\xe6\x9c\xac", 18)},
        {"not UTF-8", "\x93\xfa\x96\x7b", "tEXt", string("Comment\0\x93\xfa\x96\x7b", 12)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto bmp = MakeBitmap(pf24bit, 2, 2, 4);
        auto enc = QuietEncoder();
        enc->Comment = c.comment;
        const auto chunks = EncodeChunks(*enc, *bmp);
        ASSERT_EQ(chunks.at(1).Type, c.type) << "the comment follows IHDR";
        EXPECT_EQ(string(chunks[1].Data.begin(), chunks[1].Data.end()), c.body);
        EXPECT_EQ(chunks.at(2).Type, "tEXt") << "Software";
    }
}

}  // namespace

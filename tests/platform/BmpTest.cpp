// BMP reading and writing without outside tools: round trips, hand-made
// files of the rarer kinds, and hostile files.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Bitmap.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"
#include "tests/platform/BitmapTestSupport.h"

using bitmaptest::FillPattern;
using bitmaptest::FormatName;

namespace {

void Put16(std::string& s, uint32_t v) {
    s += char(v & 0xFF);
    s += char((v >> 8) & 0xFF);
}
void Put32(std::string& s, uint32_t v) {
    Put16(s, v & 0xFFFF);
    Put16(s, v >> 16);
}
uint32_t Get32(const std::string& s, size_t at) {
    return uint32_t(uint8_t(s[at])) | (uint32_t(uint8_t(s[at + 1])) << 8) | (uint32_t(uint8_t(s[at + 2])) << 16) |
           (uint32_t(uint8_t(s[at + 3])) << 24);
}

// A BMP file put together field by field, so that any field can lie.
struct BmpLayout {
    std::string Signature = "BM";
    uint32_t HeaderSize = 40;
    int32_t Width = 2;
    int32_t Height = 2;
    uint16_t Bits = 24;
    uint32_t Compression = 0;
    uint32_t ImageSize = 0;
    uint32_t ClrUsed = 0;
    std::vector<uint32_t> Masks;    // written after a 40-byte header
    std::vector<uint32_t> Palette;  // 0x00RRGGBB values, written B, G, R, 0
    std::string Pixels;
    int64_t Offset = -1;  // -1: right after the palette

    std::string Build() const {
        std::string dib;
        Put32(dib, HeaderSize);
        Put32(dib, uint32_t(Width));
        Put32(dib, uint32_t(Height));
        Put16(dib, 1);
        Put16(dib, Bits);
        Put32(dib, Compression);
        Put32(dib, ImageSize);
        Put32(dib, 0);
        Put32(dib, 0);
        Put32(dib, ClrUsed);
        Put32(dib, 0);
        while (dib.size() < HeaderSize && HeaderSize <= 124)
            dib += '\0';
        for (uint32_t m : Masks)
            Put32(dib, m);
        for (uint32_t c : Palette) {
            dib += char(c & 0xFF);
            dib += char((c >> 8) & 0xFF);
            dib += char((c >> 16) & 0xFF);
            dib += '\0';
        }
        const uint32_t off = Offset >= 0 ? uint32_t(Offset) : uint32_t(14 + dib.size());
        std::string file = Signature;
        Put32(file, uint32_t(14 + dib.size() + Pixels.size()));
        Put32(file, 0);
        Put32(file, off);
        return file + dib + Pixels;
    }
};

void Load(TBitmap& bmp, const std::string& bytes) {
    TMemoryStream s;
    s.WriteBuffer(bytes.data(), int64_t(bytes.size()));
    s.SetPosition(0);
    bmp.LoadFromStream(s);
}

std::string Save(TBitmap& bmp) {
    TMemoryStream s;
    bmp.SaveToStream(s);
    return std::string(reinterpret_cast<const char*>(s.Memory()), size_t(s.Size()));
}

}  // namespace

TEST(Bmp, RoundTripKeepsFormatPaletteAndPixels) {
    for (TPixelFormat f : {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit}) {
        for (int32_t w : {1, 3, 8, 17}) {
            SCOPED_TRACE(FormatName(f) + " width " + std::to_string(w));
            TBitmap src;
            src.SetPixelFormat(f);
            src.SetSize(w, 3);
            FillPattern(src);
            const std::string bytes = Save(src);
            EXPECT_EQ(Get32(bytes, 2), bytes.size());  // the size field tells the truth
            TBitmap dst;
            Load(dst, bytes);
            ASSERT_EQ(FormatName(dst.PixelFormat()), FormatName(f));
            ASSERT_EQ(dst.Width(), w);
            ASSERT_EQ(dst.Height(), 3);
            EXPECT_EQ(PaletteEntryCount(dst.GetPalette()), PaletteEntryCount(src.GetPalette()));
            for (int32_t y = 0; y < 3; ++y)
                for (int32_t x = 0; x < w; ++x)
                    ASSERT_EQ(dst.Pixel(x, y), src.Pixel(x, y)) << x << "," << y;
        }
    }
}

TEST(Bmp, EmptyBitmapRoundTrips) {
    TBitmap empty;
    const std::string bytes = Save(empty);
    TBitmap dst;
    dst.SetSize(4, 4);
    Load(dst, bytes);
    EXPECT_TRUE(dst.Empty());
}

TEST(Bmp, LeavesTheStreamAfterThePixelData) {
    TBitmap src;
    src.SetSize(3, 2);
    FillPattern(src);
    const std::string bmp = Save(src);
    const std::string bytes = "lead" + bmp + "trailing";
    TMemoryStream s;
    s.WriteBuffer(bytes.data(), int64_t(bytes.size()));
    s.SetPosition(4);
    TBitmap dst;
    dst.LoadFromStream(s);
    EXPECT_EQ(s.Position(), int64_t(4 + bmp.size()));
    EXPECT_EQ(dst.Pixel(2, 1), src.Pixel(2, 1));
}

TEST(Bmp, ReadsRarerLayouts) {
    // 32-bit with 10-bit channels: converted channel by channel.
    BmpLayout tenBit;
    tenBit.Bits = 32;
    tenBit.Width = 1;
    tenBit.Height = 1;
    tenBit.Compression = 3;
    tenBit.Masks = {0x3FF00000, 0x000FFC00, 0x000003FF};
    Put32(tenBit.Pixels, (1023u << 20) | (0u << 10) | 512u);
    TBitmap a;
    Load(a, tenBit.Build());
    EXPECT_EQ(a.Pixel(0, 0), RGB(255, 0, 128));

    // The old 12-byte header with three-byte colour entries, 8 bits.
    std::string core = "BM";
    Put32(core, 0);
    Put32(core, 0);
    Put32(core, 14 + 12 + 2 * 3);
    Put32(core, 12);
    Put16(core, 3);  // width
    Put16(core, 1);  // height
    Put16(core, 1);
    Put16(core, 1);  // 1 bit
    core += std::string("\x10\x20\x30\xF0\xE0\xD0", 6);
    core += std::string("\xA0\0\0\0", 4);  // 1 0 1
    TBitmap b;
    // A 1-bit core file has a 2-entry table.
    Load(b, core);
    EXPECT_EQ(b.PixelFormat(), pf1bit);
    EXPECT_EQ(b.Pixel(0, 0), RGB(0xD0, 0xE0, 0xF0));
    EXPECT_EQ(b.Pixel(1, 0), RGB(0x30, 0x20, 0x10));
    EXPECT_EQ(b.Pixel(2, 0), RGB(0xD0, 0xE0, 0xF0));

    // Run-length 4 bits with a run, an absolute run and a delta.
    BmpLayout rle4;
    rle4.Bits = 4;
    rle4.Compression = 2;
    rle4.Width = 5;
    rle4.Height = 3;
    rle4.Palette = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF};
    rle4.ClrUsed = 4;
    rle4.Pixels = std::string(
        "\x05\x12"          // bottom row: 1 2 1 2 1
        "\x00\x00"          // end of line
        "\x00\x03\x30\x20"  // middle row: absolute 3 0 2, padded
        "\x00\x02\x01\x01"  // delta: right 1, up 1 -> top row, x = 4
        "\x01\x30"          // one pixel of 3
        "\x00\x01",         // end of bitmap
        16);
    TBitmap c;
    Load(c, rle4.Build());
    const TColor red = RGB(0xFF, 0, 0), green = RGB(0, 0xFF, 0), blue = RGB(0, 0, 0xFF);
    const TColor expected[3][5] = {{clBlack, clBlack, clBlack, clBlack, blue},
                                   {blue, clBlack, green, clBlack, clBlack},
                                   {red, green, red, green, red}};
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x)
            EXPECT_EQ(c.Pixel(x, y), expected[y][x]) << x << "," << y;
}

TEST(Bmp, HugeClrUsedIsClampedToTheFormat) {
    BmpLayout layout;
    layout.Bits = 1;
    layout.Width = 1;
    layout.Height = 1;
    layout.ClrUsed = 0xFFFFFFFF;
    layout.Palette = {0x112233, 0x445566};
    layout.Pixels = std::string("\x80\0\0\0", 4);
    TBitmap bmp;
    Load(bmp, layout.Build());
    EXPECT_EQ(PaletteEntryCount(bmp.GetPalette()), 2);
    EXPECT_EQ(bmp.Pixel(0, 0), RGB(0x44, 0x55, 0x66));
}

TEST(Bmp, HostileFilesRaiseAndLeaveTheBitmapAlone) {
    auto with = [](auto change) {
        BmpLayout s;
        s.Pixels = std::string(16, '\x7F');
        change(s);
        return s.Build();
    };
    const struct {
        const char* Name;
        std::string Bytes;
    } cases[] = {
        {"empty", ""},
        {"bad signature", with([](BmpLayout& s) { s.Signature = "MB"; })},
        {"header size 0", with([](BmpLayout& s) { s.HeaderSize = 0; })},
        {"header size 13", with([](BmpLayout& s) { s.HeaderSize = 13; })},
        {"header size 4096", with([](BmpLayout& s) { s.HeaderSize = 4096; })},
        {"negative width", with([](BmpLayout& s) { s.Width = -2; })},
        {"height INT32_MIN", with([](BmpLayout& s) { s.Height = INT32_MIN; })},
        {"huge width", with([](BmpLayout& s) { s.Width = INT32_MAX; })},
        {"huge height", with([](BmpLayout& s) { s.Height = INT32_MAX; })},
        {"huge top-down height", with([](BmpLayout& s) { s.Height = -INT32_MAX; })},
        {"largest sizes at 32 bits", with([](BmpLayout& s) { s.Width = INT32_MAX; s.Height = -INT32_MAX; s.Bits = 32; })},
        {"huge both at 32 bits", with([](BmpLayout& s) { s.Width = s.Height = 0x10000; s.Bits = 32; })},
        {"bit count 0", with([](BmpLayout& s) { s.Bits = 0; })},
        {"bit count 3", with([](BmpLayout& s) { s.Bits = 3; })},
        {"bit count 64", with([](BmpLayout& s) { s.Bits = 64; })},
        {"unknown compression", with([](BmpLayout& s) { s.Compression = 9; })},
        {"run-length with 24 bits", with([](BmpLayout& s) { s.Compression = 1; })},
        {"bit fields with 8 bits", with([](BmpLayout& s) { s.Bits = 8; s.Compression = 3; s.Masks = {1, 2, 4}; })},
        {"bit fields cut off", with([](BmpLayout& s) { s.Bits = 16; s.Compression = 3; s.Pixels.clear(); })},
        {"scattered mask", with([](BmpLayout& s) { s.Bits = 16; s.Compression = 3; s.Masks = {0xF00F, 0x0F0, 0x0}; })},
        {"offset past the end", with([](BmpLayout& s) { s.Offset = 100000; })},
        {"offset far past the end", with([](BmpLayout& s) { s.Offset = 0xFFFFFFF0; })},
        {"offset inside the file header", with([](BmpLayout& s) { s.Offset = 6; })},
        {"offset inside the colour table", with([](BmpLayout& s) { s.Bits = 8; s.Palette = {1, 2, 3}; s.ClrUsed = 3; s.Offset = 54 + 4; s.Width = 64; })},
        {"pixel data short", with([](BmpLayout& s) { s.Width = 3; s.Height = 3; })},
        {"palette short", with([](BmpLayout& s) { s.Bits = 8; s.Offset = 0; s.Pixels = std::string(8, 0); })},
        {"run-length top-down", with([](BmpLayout& s) { s.Bits = 8; s.Compression = 1; s.Height = -2; })},
        {"run-length without end", with([](BmpLayout& s) { s.Bits = 8; s.Compression = 1; s.Pixels = std::string("\x02\x01\x00\x00\x02", 5); })},
        {"run-length 32000 x 32000 without end", with([](BmpLayout& s) { s.Bits = 8; s.Compression = 1; s.Width = s.Height = 32000; s.Pixels = std::string("\xFF\x01\x00\x00\xFF\x01", 6); })},
        {"run-length absolute run cut off", with([](BmpLayout& s) { s.Bits = 8; s.Compression = 1; s.Pixels = std::string("\x00\x09\x01\x02", 4); })},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TBitmap bmp;
        bmp.SetSize(1, 1);
        bmp.Canvas().Brush.Color = clRed;
        bmp.Canvas().FillRect(TRect{0, 0, 1, 1});
        try {
            Load(bmp, c.Bytes);
            ADD_FAILURE() << "loaded without error";
        } catch (const EInvalidGraphic& e) {
            EXPECT_GT(std::strlen(e.what()), 0u);
        }
        EXPECT_EQ(bmp.Width(), 1);
        EXPECT_EQ(bmp.Pixel(0, 0), clRed);
    }
}

TEST(Bmp, RunLengthPicturesTooLargeForMemoryRaiseOutOfMemory) {
    BmpLayout layout;
    layout.Bits = 8;
    layout.Compression = 1;
    layout.Width = 200000;  // 20 GB of pixels: past the bound of one bitmap
    layout.Height = 100000;
    layout.Pixels = std::string("\x00\x01", 2);
    TBitmap bmp;
    EXPECT_THROW(Load(bmp, layout.Build()), EOutOfMemory);
}

TEST(Bmp, RunLengthRunsPastTheEdgesAreClipped) {
    BmpLayout layout;
    layout.Bits = 8;
    layout.Compression = 1;
    layout.Width = 2;
    layout.Height = 1;
    layout.Palette = {0x000000, 0xFFFFFF};
    // 255 pixels into a row of 2, a delta far up and right, more pixels.
    layout.Pixels = std::string("\xFF\x01\x00\x02\xFF\xFF\x03\x01\x00\x01", 10);
    TBitmap bmp;
    Load(bmp, layout.Build());
    EXPECT_EQ(bmp.Pixel(0, 0), clWhite);
    EXPECT_EQ(bmp.Pixel(1, 0), clWhite);
}

TEST(Bmp, EveryTruncationOfAValidFileRaises) {
    for (TPixelFormat f : {pf4bit, pf16bit, pf24bit}) {
        SCOPED_TRACE(FormatName(f));
        TBitmap src;
        src.SetPixelFormat(f);
        src.SetSize(5, 3);
        FillPattern(src);
        const std::string bytes = Save(src);
        for (size_t n = 0; n < bytes.size(); ++n) {
            TBitmap dst;
            EXPECT_THROW(Load(dst, bytes.substr(0, n)), EInvalidGraphic) << "first " << n << " bytes";
        }
    }
}

TEST(Bmp, LoadSignalsOnceAndKeepsTheBitmapsOwnSettings) {
    TBitmap src;
    src.SetPixelFormat(pf4bit);
    src.SetSize(3, 3);
    FillPattern(src);
    const std::string bytes = Save(src);
    TBitmap dst;
    dst.SetSize(8, 8);
    dst.SetPalette(bitmaptest::MakePalette(2));
    dst.SetTransparent(true);
    dst.TransparentColor = clLime;
    int changes = 0;
    dst.OnChange = [&](TObject*) { ++changes; };
    Load(dst, bytes);
    EXPECT_EQ(changes, 1);
    EXPECT_TRUE(dst.GetTransparent());
    EXPECT_EQ(dst.TransparentColor, clLime);
    EXPECT_EQ(dst.PixelFormat(), pf4bit);
    EXPECT_EQ(PaletteEntryCount(dst.GetPalette()), 16);
    EXPECT_EQ(dst.Pixel(2, 2), src.Pixel(2, 2));
}

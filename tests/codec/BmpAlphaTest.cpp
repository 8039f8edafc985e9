// Alpha in BMP files: the alpha masks of the larger headers read into a
// 32-bit bitmap's fourth byte, and a PNG picture's alpha through BMP and
// back, checked against ImageMagick and PIL.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include "codec/TavPNG.h"
#include "platform/Bitmap.h"
#include "platform/Streams.h"

namespace {

void Put16(std::string& s, uint32_t v) {
    s += char(v & 0xFF);
    s += char((v >> 8) & 0xFF);
}
void Put32(std::string& s, uint32_t v) {
    Put16(s, v & 0xFFFF);
    Put16(s, v >> 16);
}

// One row of pixels as a BMP file with an information header of
// headerSize bytes; masks R, G, B, A go into the header where it has room
// for them, after a 40-byte one.
std::string MakeBmp(uint32_t headerSize, int bits, uint32_t compression, const uint32_t (&masks)[4],
                    const std::vector<uint32_t>& pixels) {
    std::string dib;
    Put32(dib, headerSize);
    Put32(dib, uint32_t(pixels.size()));
    Put32(dib, 1);
    Put16(dib, 1);
    Put16(dib, uint32_t(bits));
    Put32(dib, compression);
    for (int i = 0; i < 5; ++i)
        Put32(dib, 0);
    for (uint32_t m : masks)
        if (headerSize > 40 || compression == 6)
            Put32(dib, m);
    dib.resize(std::max<size_t>(dib.size(), headerSize), '\0');
    std::string row;
    for (uint32_t p : pixels)
        bits == 16 ? Put16(row, p) : Put32(row, p);
    row.resize((row.size() + 3) / 4 * 4, '\0');
    std::string file = "BM";
    Put32(file, uint32_t(14 + dib.size() + row.size()));
    Put32(file, 0);
    Put32(file, uint32_t(14 + dib.size()));
    return file + dib + row;
}

// R, G, B, A per pixel, top row first; alpha 255 for a bitmap without it.
std::string Rgba(const TBitmap& bmp) {
    std::string out;
    for (int32_t y = 0; y < bmp.Height(); ++y)
        for (int32_t x = 0; x < bmp.Width(); ++x) {
            const TColor c = bmp.Pixel(x, y);
            out += char(c & 0xFF);
            out += char((c >> 8) & 0xFF);
            out += char((c >> 16) & 0xFF);
            const bool alpha = bmp.PixelFormat() == pf32bit && bmp.AlphaChannel;
            out += char(alpha ? bmp.ScanLine(y)[4 * x + 3] : 0xFF);
        }
    return out;
}

void LoadBmp(const std::string& bytes, TBitmap& bmp) {
    TMemoryStream stream;
    stream.WriteBuffer(bytes.data(), int64_t(bytes.size()));
    stream.SetPosition(0);
    bmp.LoadFromStream(stream);
}

std::string Saved(TGraphic& graphic) {
    TMemoryStream stream;
    graphic.SaveToStream(stream);
    return std::string(reinterpret_cast<const char*>(stream.Memory()), size_t(stream.Size()));
}

std::string ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

bool Have(const std::string& check) { return std::system((check + " >/dev/null 2>&1").c_str()) == 0; }

TEST(BmpAlpha, MasksAndHeadersReadAsTheyShould) {
    struct Case {
        const char* name;
        uint32_t headerSize;
        int bits;
        uint32_t compression;
        uint32_t masks[4];
        std::vector<uint32_t> pixels;
        std::string rgba;
    };
    const std::string redHalfGreenClear("\xFF\x00\x00\x80\x00\xFF\x00\x00", 8);
    const Case cases[] = {
        {"V5 ARGB8888", 124, 32, 3, {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000}, {0x80FF0000, 0x0000FF00}, redHalfGreenClear},
        {"V4 ARGB8888", 108, 32, 3, {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000}, {0x80FF0000, 0x0000FF00}, redHalfGreenClear},
        {"V3 ARGB8888", 56, 32, 3, {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000}, {0x80FF0000, 0x0000FF00}, redHalfGreenClear},
        {"40 + alpha bit fields", 40, 32, 6, {0x00FF0000, 0x0000FF00, 0x000000FF, 0xFF000000}, {0x80FF0000, 0x0000FF00}, redHalfGreenClear},
        {"V5 ARGB1555", 124, 16, 3, {0x7C00, 0x03E0, 0x001F, 0x8000}, {0xFC00, 0x03E0},
         std::string("\xFF\x00\x00\xFF\x00\xFF\x00\x00", 8)},
        {"V4 ARGB4444", 108, 16, 3, {0x0F00, 0x00F0, 0x000F, 0xF000}, {0x8F00, 0x5008},
         std::string("\xFF\x00\x00\x88\x00\x00\x88\x55", 8)},
        // No alpha mask, or no bit fields: the fourth byte is no alpha.
        {"V5 XRGB8888", 124, 32, 3, {0x00FF0000, 0x0000FF00, 0x000000FF, 0}, {0x80FF0000, 0x0000FF00},
         std::string("\xFF\x00\x00\xFF\x00\xFF\x00\xFF", 8)},
        {"V5 BI_RGB 32", 124, 32, 0, {0, 0, 0, 0xFF000000}, {0x00FF0000, 0x0000FF00},
         std::string("\xFF\x00\x00\xFF\x00\xFF\x00\xFF", 8)},
        {"40 BI_RGB 32", 40, 32, 0, {0, 0, 0, 0}, {0x00FF0000, 0x8000FF00}, std::string("\xFF\x00\x00\xFF\x00\xFF\x00\xFF", 8)},
        {"V4 RGB555 with an alpha mask over colour bits", 108, 16, 3, {0x7C00, 0x03E0, 0x001F, 0x0001}, {0x7C00, 0x03E0},
         std::string("\xFF\x00\x00\xFF\x00\xFF\x00\xFF", 8)},
    };
    for (const Case& c : cases) {
        TBitmap bmp;
        ASSERT_NO_THROW(LoadBmp(MakeBmp(c.headerSize, c.bits, c.compression, c.masks, c.pixels), bmp)) << c.name;
        EXPECT_EQ(Rgba(bmp), c.rgba) << c.name;
    }
}

class BmpAlphaRoundTrip : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/tobelin-bmpalpha-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        Dir = tmpl;
        // 3 x 2 pixels whose alpha runs from clear to opaque.
        Source.SetPixelFormat(pf32bit);
        Source.SetSize(3, 2);
        for (int32_t y = 0; y < 2; ++y)
            for (int32_t x = 0; x < 3; ++x) {
                uint8_t* p = Source.ScanLine(y) + 4 * x;
                p[0] = uint8_t(40 * x);       // B
                p[1] = uint8_t(200 - 60 * y);  // G
                p[2] = uint8_t(10 + 70 * x);   // R
                p[3] = uint8_t(x * 51 + y * 153);
            }
        Source.AlphaChannel = true;
        Expected = Rgba(Source);
    }
    void TearDown() override {
        if (!Dir.empty())
            std::system(("rm -rf '" + Dir + "'").c_str());
    }
    std::string Path(const std::string& name) const { return Dir + "/" + name; }

    std::string Dir;
    TBitmap Source;
    std::string Expected;
};

TEST_F(BmpAlphaRoundTrip, PngToBmpToPngKeepsRgba) {
    TTavPNG first;
    first.Assign(&Source);
    TTavPNG loaded;
    {
        TMemoryStream png;
        first.SaveToStream(png);
        png.SetPosition(0);
        loaded.LoadFromStream(png);
    }
    ASSERT_TRUE(loaded.HasAlpha);
    TBitmap asBmp;
    asBmp.Assign(&loaded);
    TBitmap reread;
    LoadBmp(Saved(asBmp), reread);
    EXPECT_EQ(Rgba(reread), Expected);

    TTavPNG back;
    back.Assign(&reread);
    TTavPNG final;
    {
        TMemoryStream png;
        back.SaveToStream(png);
        png.SetPosition(0);
        final.LoadFromStream(png);
    }
    TBitmap finalBmp;
    finalBmp.Assign(&final);
    EXPECT_EQ(Rgba(finalBmp), Expected);
}

// A transparent colour or palette entry has no place in a bitmap of its
// own: it becomes alpha, so that the BMP shows what the PNG shows.
TEST_F(BmpAlphaRoundTrip, TransparentColourBecomesAlphaThroughBmp) {
    for (const char* name : {"tbrn2c08", "tbyn3p08", "tbbn0g04", "basn2c08"}) {
        SCOPED_TRACE(name);
        const std::string base = std::string(TOBELIN_TESTDATA_DIR) + "/pngsuite/" + name;
        TTavPNG png;
        png.LoadFromFile(base + ".png");
        TBitmap asBmp;
        asBmp.Assign(&png);
        TBitmap reread;
        LoadBmp(Saved(asBmp), reread);
        EXPECT_EQ(Rgba(reread), ReadFileBytes(base + ".rgba"));
    }
}

TEST_F(BmpAlphaRoundTrip, BitmapWithoutAlphaKeepsThePlainHeader) {
    Source.AlphaChannel = false;
    const std::string bytes = Saved(Source);
    ASSERT_GE(bytes.size(), 30u);
    EXPECT_EQ(uint8_t(bytes[14]), 40);  // information header size
    EXPECT_EQ(uint8_t(bytes[30]), 0);   // BI_RGB
}

TEST_F(BmpAlphaRoundTrip, PeersReadTheSameRgba) {
    WriteFileBytes(Path("ours.bmp"), Saved(Source));
    bool any = false;
    if (Have("command -v convert")) {
        any = true;
        const std::string cmd = "convert '" + Path("ours.bmp") + "' -depth 8 rgba:'" + Path("im.rgba") + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        EXPECT_EQ(ReadFileBytes(Path("im.rgba")), Expected) << "ImageMagick";

        // And a file ImageMagick writes with alpha reads as it holds.
        WriteFileBytes(Path("in.rgba"), Expected);
        const std::string back = "convert -size 3x2 -depth 8 rgba:'" + Path("in.rgba") + "' '" + Path("theirs.bmp") + "'";
        ASSERT_EQ(std::system(back.c_str()), 0) << back;
        TBitmap theirs;
        LoadBmp(ReadFileBytes(Path("theirs.bmp")), theirs);
        EXPECT_EQ(Rgba(theirs), Expected) << "ImageMagick's file";
    }
    if (Have("/usr/bin/python3 -c 'import PIL'")) {
        any = true;
        const std::string cmd = "/usr/bin/python3 -c \"import sys; from PIL import Image; "
                                "sys.stdout.buffer.write(Image.open(sys.argv[1]).convert('RGBA').tobytes())\" '" +
                                Path("ours.bmp") + "' > '" + Path("pil.rgba") + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        EXPECT_EQ(ReadFileBytes(Path("pil.rgba")), Expected) << "PIL";
    }
    if (!any)
        GTEST_SKIP() << "neither ImageMagick nor PIL is installed";
}

}  // namespace

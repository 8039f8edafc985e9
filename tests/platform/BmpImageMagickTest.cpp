// BMP files checked against an independent reader and writer (ImageMagick).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

#include "platform/Bitmap.h"
#include "platform/Streams.h"
#include "tests/platform/BitmapTestSupport.h"

using bitmaptest::FillPattern;
using bitmaptest::FormatName;

namespace {

bool HaveConvert() { return std::system("command -v convert >/dev/null 2>&1") == 0; }

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), std::streamsize(bytes.size()));
}

class ImageMagickBmp : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveConvert())
            GTEST_SKIP() << "convert is not installed";
        char tmpl[] = "/tmp/tobelin-bmp-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        Dir = tmpl;
    }
    void TearDown() override {
        if (!Dir.empty())
            std::system(("rm -rf '" + Dir + "'").c_str());
    }
    std::string Path(const std::string& name) const { return Dir + "/" + name; }
    // The pixels as ImageMagick decodes them: R, G, B per pixel, top row first.
    std::string Decode(const std::string& file) {
        const std::string out = Path("decoded.rgb");
        std::remove(out.c_str());
        const std::string cmd = "convert '" + file + "' -depth 8 rgb:'" + out + "' 2>/dev/null";
        EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
        return ReadBytes(out);
    }
    static void ExpectPixels(const TBitmap& bmp, const std::string& rgb) {
        ASSERT_EQ(rgb.size(), size_t(bmp.Width()) * size_t(bmp.Height()) * 3);
        int mismatches = 0;
        for (int32_t y = 0; y < bmp.Height(); ++y)
            for (int32_t x = 0; x < bmp.Width(); ++x) {
                const size_t i = (size_t(y) * size_t(bmp.Width()) + size_t(x)) * 3;
                const TColor theirs = RGB(uint8_t(rgb[i]), uint8_t(rgb[i + 1]), uint8_t(rgb[i + 2]));
                if (bmp.Pixel(x, y) != theirs && ++mismatches <= 5)
                    ADD_FAILURE() << "pixel " << x << "," << y << ": ours " << std::hex << bmp.Pixel(x, y)
                                  << " theirs " << theirs;
            }
        EXPECT_EQ(mismatches, 0);
    }
    std::string Dir;
};

}  // namespace

TEST_F(ImageMagickBmp, ReadsWhatWeWriteInEachDepth) {
    for (TPixelFormat f : {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit}) {
        SCOPED_TRACE(FormatName(f));
        TBitmap bmp;
        bmp.SetPixelFormat(f);
        bmp.SetSize(13, 6);  // rows that need padding in every depth
        FillPattern(bmp);
        const std::string file = Path("ours-" + FormatName(f) + ".bmp");
        bmp.SaveToFile(file);
        ExpectPixels(bmp, Decode(file));
    }
}

TEST_F(ImageMagickBmp, LoadsWhatItWrites) {
    const std::string scene = "-size 7x5 gradient:red-blue -fill lime -draw 'point 2,1' -fill white -draw 'point 6,4'";
    // Forty-odd colours: too many for 4 bits.
    const std::string many = "-size 7x40 gradient:red-blue -fill lime -draw 'point 2,1'";
    const struct {
        const char* Name;
        std::string Args;
        TPixelFormat Format;
    } cases[] = {
        {"24-bit BMP3", scene + " BMP3:", pf24bit},
        {"32-bit version 5 header", scene + " BMP:", pf32bit},
        {"24-bit version 4 header", scene + " -alpha off -define bmp:format=bmp4 BMP:", pf24bit},
        {"8-bit palette", many + " -type palette BMP3:", pf8bit},
        {"4-bit palette", "-size 7x5 gradient:red-blue -colors 9 -type palette BMP3:", pf4bit},
        {"1-bit", "-size 9x3 pattern:checkerboard -type bilevel BMP3:", pf1bit},
        {"8-bit run-length", many + " -type palette -compress RLE BMP3:", pf8bit},
        {"8-bit run-length, few colours", scene + " -type palette -compress RLE BMP3:", pf8bit},
        {"16-bit 5-6-5 bit fields", scene + " -alpha off -define bmp:subtype=RGB565 BMP:", pf16bit},
        {"16-bit 5-5-5 bit fields", scene + " -alpha off -define bmp:subtype=RGB555 BMP:", pf15bit},
        {"32-bit with alpha", scene + " -alpha set -channel A -evaluate set 50% +channel BMP:", pf32bit},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string file = Path("theirs" + std::to_string(n++) + ".bmp");
        const std::string cmd = "convert " + c.Args + "'" + file + "' 2>/dev/null";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        TBitmap bmp;
        bmp.LoadFromFile(file);
        EXPECT_EQ(FormatName(bmp.PixelFormat()), FormatName(c.Format));
        ExpectPixels(bmp, Decode(file));
    }
}

TEST_F(ImageMagickBmp, LoadsTopDownRows) {
    // ImageMagick writes bottom-up; turn its file into the top-down form
    // (negative height, rows reversed) and expect the same picture.
    const std::string file = Path("bottomup.bmp");
    ASSERT_EQ(std::system(("convert -size 6x4 gradient:red-blue -fill lime -draw 'point 1,0' BMP3:'" + file + "'").c_str()), 0);
    std::string bytes = ReadBytes(file);
    ASSERT_GE(bytes.size(), 54u);
    const uint32_t off = uint8_t(bytes[10]) | (uint8_t(bytes[11]) << 8);
    const int32_t height = 4, stride = 20;  // 6 pixels * 3 bytes, padded
    ASSERT_EQ(bytes.size(), off + size_t(stride) * height);
    std::string flipped = bytes.substr(0, off);
    for (int r = height - 1; r >= 0; --r)
        flipped += bytes.substr(off + size_t(r) * stride, size_t(stride));
    const int32_t negative = -height;
    std::memcpy(&flipped[22], &negative, 4);  // little-endian host
    const std::string topDown = Path("topdown.bmp");
    WriteBytes(topDown, flipped);
    TBitmap a, b;
    a.LoadFromFile(file);
    b.LoadFromFile(topDown);
    ASSERT_EQ(b.Height(), 4);
    ExpectPixels(b, Decode(file));
    ExpectPixels(b, Decode(topDown));
    EXPECT_EQ(b.Pixel(1, 0), clLime);
}

// Every image of the PNG suite decodes to its reference pixels; the
// corrupt ones end as the decoder's rules say.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "codec/TavPNGStream.h"
#include "platform/Bitmap.h"
#include "platform/Streams.h"

namespace {

const std::string kSuite = std::string(TOBELIN_TESTDATA_DIR) + "/pngsuite/";

struct ManifestRow {
    std::string name;
    int width = 0, height = 0, colorType = 0, depth = 0, interlace = 0;
};

void PrintTo(const ManifestRow& r, std::ostream* os) { *os << r.name; }

std::vector<ManifestRow> ValidImages() {
    std::vector<ManifestRow> rows;
    std::ifstream in(kSuite + "manifest.tsv");
    std::string line;
    std::getline(in, line);  // column titles
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        ManifestRow r;
        std::string w;
        fields >> r.name >> w;
        if (w == "-") continue;  // a corrupt file without reference pixels
        r.width = std::stoi(w);
        fields >> r.height >> r.colorType >> r.depth >> r.interlace;
        rows.push_back(r);
    }
    return rows;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Palette index of pixel x in an indexed row.
int IndexAt(const TBitmap& bmp, int32_t x, int32_t y) {
    const uint8_t* row = bmp.ScanLine(y);
    switch (bmp.PixelFormat()) {
    case pf1bit: return row[x / 8] >> (7 - x % 8) & 1;
    case pf4bit: return (x & 1) ? (row[x / 2] & 15) : (row[x / 2] >> 4);
    default: return row[x];
    }
}

// The bitmap format each colour type and depth decodes into.
TPixelFormat ExpectedFormat(const ManifestRow& r) {
    if (r.colorType == 2 || r.colorType == 6) return pf24bit;
    if (r.colorType == 4 || r.depth >= 8) return pf8bit;
    return r.depth == 1 ? pf1bit : pf4bit;
}

class PngSuite : public ::testing::TestWithParam<ManifestRow> {};

TEST_P(PngSuite, DecodesToTheReferencePixels) {
    const ManifestRow& r = GetParam();
    const std::vector<uint8_t> ref = ReadFile(kSuite + r.name + ".rgba");
    ASSERT_EQ(ref.size(), size_t(r.width) * size_t(r.height) * 4);

    TBitmap bmp, alpha;
    TTavPNGReadStream decoder;
    decoder.AlphaBitmap = &alpha;
    TFileStream file(kSuite + r.name + ".png", TFileStream::fmOpenRead);
    decoder.ReadImage(&bmp, file, 0);

    ASSERT_EQ(bmp.Width(), r.width);
    ASSERT_EQ(bmp.Height(), r.height);
    EXPECT_EQ(bmp.PixelFormat(), ExpectedFormat(r));
    EXPECT_EQ(decoder.InterlaceMethod, r.interlace);
    EXPECT_EQ(decoder.ColorType, r.colorType & 3);
    EXPECT_EQ(decoder.HasAlpha, (r.colorType & 4) != 0);
    EXPECT_EQ(decoder.IsGrayscale, (r.colorType & 3) == 0);
    // The whole file was read: nothing follows IEND.
    EXPECT_EQ(file.Position(), file.Size());

    const bool alphaChannel = decoder.HasAlpha;
    if (alphaChannel) {
        ASSERT_EQ(alpha.Width(), r.width);
        ASSERT_EQ(alpha.PixelFormat(), pf8bit);
    }
    const bool keyed = bmp.GetTransparent();
    const bool keyIsIndex = (uint32_t(bmp.TransparentColor) & 0xFF000000u) == 0x01000000u;

    int mismatches = 0;
    for (int32_t y = 0; y < r.height && mismatches < 5; ++y) {
        for (int32_t x = 0; x < r.width && mismatches < 5; ++x) {
            const uint8_t* e = &ref[(size_t(y) * r.width + x) * 4];
            const TColor c = bmp.Pixel(x, y);
            int a = 255;
            if (alphaChannel) {
                a = 255 - alpha.ScanLine(y)[x];
            } else if (keyed) {
                const bool hit = keyIsIndex ? IndexAt(bmp, x, y) == (bmp.TransparentColor & 0xFF)
                                            : c == (bmp.TransparentColor & 0xFFFFFF);
                a = hit ? 0 : 255;
            }
            if (GetRValue(c) != e[0] || GetGValue(c) != e[1] || GetBValue(c) != e[2] || a != e[3]) {
                ++mismatches;
                ADD_FAILURE() << "pixel " << x << "," << y << ": got " << int(GetRValue(c)) << " "
                              << int(GetGValue(c)) << " " << int(GetBValue(c)) << " " << a << ", want "
                              << int(e[0]) << " " << int(e[1]) << " " << int(e[2]) << " " << int(e[3]);
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllValid, PngSuite, ::testing::ValuesIn(ValidImages()),
                         [](const ::testing::TestParamInfo<ManifestRow>& info) { return info.param.name; });

TEST(PngSuiteFiles, ReferencesCoverBothInterlaceMethodsAndEveryColourType) {
    int interlaced = 0, plain = 0, types = 0;
    for (const auto& r : ValidImages()) {
        (r.interlace ? interlaced : plain)++;
        types |= 1 << r.colorType;
    }
    EXPECT_GT(interlaced, 10);
    EXPECT_GT(plain, 10);
    EXPECT_EQ(types, 1 << 0 | 1 << 2 | 1 << 3 | 1 << 4 | 1 << 6);
}

TEST(PngSuiteFiles, CorruptFilesFailWithTheirMessages) {
    const struct {
        const char* name;
        const char* message;
    } cases[] = {
        {"xs1n0g01", "PNG LoadStream: Not PNG Format"},
        {"xs2n0g01", "PNG LoadStream: Not PNG Format"},
        {"xlfn0g04", "PNG LoadStream: Not PNG Format"},
        {"xc1n0g08", "Read Header(PNG): Error ColorType"},
        {"xd0n2c08", "Read Header(PNG): Error BitDepth"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TBitmap bmp;
        TTavPNGReadStream decoder;
        TFileStream file(kSuite + c.name + ".png", TFileStream::fmOpenRead);
        try {
            decoder.ReadImage(&bmp, file, 0);
            ADD_FAILURE() << "no error";
        } catch (const ETavPNG& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST(PngSuiteFiles, AncillaryChunksOfTheSuite) {
    struct Case {
        const char* name;
        void (*check)(const TTavPNGReadStream& d, const TPNGTimeStamp& t, const TPNGChromaticity& c);
    };
    const Case cases[] = {
        {"cm0n0g04",
         [](const TTavPNGReadStream&, const TPNGTimeStamp& t, const TPNGChromaticity&) {
             EXPECT_EQ(t.Year, 2000);
             EXPECT_EQ(t.Month, 1);
             EXPECT_EQ(t.Day, 1);
             EXPECT_EQ(t.Hour, 12);
             EXPECT_EQ(t.Minute, 34);
             EXPECT_EQ(t.Second, 56);
         }},
        {"ccwn2c08",
         [](const TTavPNGReadStream&, const TPNGTimeStamp&, const TPNGChromaticity& c) {
             EXPECT_EQ(c.WhiteX, 31270);
             EXPECT_EQ(c.WhiteY, 32900);
             EXPECT_EQ(c.RedX, 64000);
             EXPECT_EQ(c.BlueY, 6000);
         }},
        {"g03n2c08", [](const TTavPNGReadStream& d, const TPNGTimeStamp&,
                        const TPNGChromaticity&) { EXPECT_DOUBLE_EQ(d.Gamma, 0.35); }},
        {"tbrn2c08",
         [](const TTavPNGReadStream& d, const TPNGTimeStamp&, const TPNGChromaticity&) {
             EXPECT_EQ(d.TransparentColor, 0xFFFFFF);
             EXPECT_EQ(d.BackgroundColor, 0x0000FF);
         }},
        {"tbyn3p08",
         [](const TTavPNGReadStream& d, const TPNGTimeStamp&, const TPNGChromaticity&) {
             EXPECT_EQ(d.TransparentColor, 0x01000000);
             EXPECT_EQ(d.BackgroundColor, 0x01000000 + 245);
             EXPECT_EQ(d.PaletteCount, 246);
         }},
        {"tbbn0g04",
         [](const TTavPNGReadStream& d, const TPNGTimeStamp&, const TPNGChromaticity&) {
             EXPECT_EQ(d.TransparentColor, 0xFFFFFF);  // grey 15 of 4 bits
             EXPECT_EQ(d.BackgroundColor, 0);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TBitmap bmp;
        TTavPNGReadStream decoder;
        TPNGTimeStamp time;
        TPNGChromaticity chrm;
        decoder.TimeStamp = &time;
        decoder.Chromaticity = &chrm;
        TFileStream file(kSuite + c.name + ".png", TFileStream::fmOpenRead);
        decoder.ReadImage(&bmp, file, 0);
        c.check(decoder, time, chrm);
    }
}

}  // namespace

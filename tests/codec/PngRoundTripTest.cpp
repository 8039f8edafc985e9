// Whole files: every source format, mask, gray mode, interlace method,
// filter mode and IDAT size, checked by pngcheck and read back by an
// independent decoder (Python's imaging library) against the source pixels.
#include "tests/codec/PngEncodeTestSupport.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/RunCommand.h"

using namespace pngenc;
namespace fs = std::filesystem;

namespace {

enum class GrayMode { None, Gray, GrayIndex };

struct Case {
    std::string Name;
    TPixelFormat Format = pf24bit;
    bool Mask = false;
    GrayMode Gray = GrayMode::None;
    int32_t Interlace = 0;
    int32_t Filter = 1;
    int32_t W = 1, H = 1;
    int32_t IDAT = 32768;
    // Extra chunks: transparency, background and the other metadata.
    bool Extras = false;
};

int BitsOf(TPixelFormat f) {
    switch (f) {
    case pf1bit: return 1;
    case pf4bit: return 4;
    case pf8bit: return 8;
    case pf15bit: return 15;
    case pf16bit: return 16;
    case pf32bit: return 32;
    default: return 24;
    }
}

std::string NameOf(const Case& c) {
    static const char* gray[] = {"", "-gray", "-grayindex"};
    return "b" + std::to_string(BitsOf(c.Format)) + (c.Mask ? "-mask" : "") + gray[int(c.Gray)] + "-i" +
           std::to_string(c.Interlace) + "-f" + std::to_string(c.Filter) + "-" + std::to_string(c.W) + "x" +
           std::to_string(c.H) + "-idat" + std::to_string(c.IDAT) + (c.Extras ? "-extras" : "");
}

std::vector<Case> Matrix() {
    const TPixelFormat formats[] = {pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit};
    const int32_t sizes[][2] = {{1, 1}, {3, 3}, {4, 4}, {33, 17}};
    const int32_t idats[] = {256, 257, 1000, 32768, 100000};
    std::vector<Case> cases;
    int n = 0;
    for (TPixelFormat f : formats)
        for (bool mask : {false, true})
            for (GrayMode g : {GrayMode::None, GrayMode::Gray, GrayMode::GrayIndex}) {
                if (g == GrayMode::GrayIndex && f != pf8bit) continue;
                for (int32_t interlace : {0, 1})
                    for (int32_t filter = 0; filter <= 5; ++filter)
                        for (const auto& s : sizes) {
                            Case c;
                            c.Format = f;
                            c.Mask = mask;
                            c.Gray = g;
                            c.Interlace = interlace;
                            c.Filter = filter;
                            c.W = s[0];
                            c.H = s[1];
                            c.IDAT = idats[n++ % 5];
                            cases.push_back(c);
                        }
            }
    // Larger images: many IDAT chunks of the smallest size.
    for (TPixelFormat f : formats)
        for (int32_t interlace : {0, 1}) {
            Case c;
            c.Format = f;
            c.Mask = f != pf4bit;
            c.Interlace = interlace;
            c.Filter = 0;
            c.W = 97;
            c.H = 61;
            c.IDAT = 256;
            cases.push_back(c);
        }
    // Gray tRNS only from 8 bits up: a 4-bit gray key is compared unscaled
    // by the checking library.
    for (TPixelFormat f : {pf8bit, pf24bit, pf4bit})
        for (bool gray : {false, true}) {
            if (gray && f == pf4bit) continue;
            Case c;
            c.Format = f;
            c.Gray = gray ? GrayMode::Gray : GrayMode::None;
            c.W = 9;
            c.H = 7;
            c.Extras = true;
            cases.push_back(c);
        }
    for (auto& c : cases) c.Name = NameOf(c);
    return cases;
}

struct Source {
    std::unique_ptr<TBitmap> Bitmap, Mask;
};

Source MakeSource(const Case& c, uint32_t seed) {
    Source s;
    s.Bitmap = MakeBitmap(c.Format, c.W, c.H, seed);
    // Gray 1-bit images are black and white in either palette order.
    if (c.Format == pf1bit && c.Gray == GrayMode::Gray)
        s.Bitmap->SetPalette(seed % 2 ? MakeEntries({clWhite, clBlack}) : MakeEntries({clBlack, clWhite}));
    if (c.Mask) s.Mask = MakeMask(c.W, c.H, seed + 77);
    return s;
}

uint8_t RawIndex(const TBitmap& b, int32_t x, int32_t y) {
    const uint8_t* row = b.ScanLine(y);
    switch (b.PixelFormat()) {
    case pf1bit: return (row[x / 8] >> (7 - x % 8)) & 1;
    case pf4bit: return x % 2 ? row[x / 2] & 15 : row[x / 2] >> 4;
    default: return row[x];
    }
}

// A palette image keeps its mask as a tRNS when every palette entry's
// pixels share one mask value; Table then holds each entry's alpha.
struct PaletteMask {
    bool Kept = false;
    int Transparent = -1;  // the one fully transparent entry when all others are opaque
};

PaletteMask PaletteMaskOf(const Case& c, const Source& s) {
    PaletteMask m;
    if (!c.Mask || c.Gray != GrayMode::None || BitsOf(c.Format) > 8) return m;
    int alpha[256];
    std::fill(std::begin(alpha), std::end(alpha), 255);
    bool seen[256] = {};
    for (int32_t y = 0; y < c.H; ++y)
        for (int32_t x = 0; x < c.W; ++x) {
            const uint8_t i = RawIndex(*s.Bitmap, x, y);
            const int a = 255 - s.Mask->ScanLine(y)[x];
            if (seen[i] && alpha[i] != a) return m;
            seen[i] = true;
            alpha[i] = a;
        }
    int zeros = 0, partial = 0;
    for (int i = 0; i < 256; ++i) {
        if (alpha[i] == 0 && zeros++ == 0) m.Transparent = i;
        if (alpha[i] != 0 && alpha[i] != 255) ++partial;
    }
    m.Kept = zeros + partial > 0;
    if (partial > 0 || zeros != 1) m.Transparent = -1;
    return m;
}

void Configure(TTavPNGWriteStream& enc, const Case& c, const Source& s) {
    enc.UseCurrentTime = true;
    enc.AlphaBitmap = s.Mask.get();
    enc.Grayscale = c.Gray == GrayMode::Gray;
    enc.GrayIndexMode = c.Gray == GrayMode::GrayIndex;
    enc.Interlace = c.Interlace;
    enc.FilterMode = c.Filter;
    enc.SetIDATSize(c.IDAT);
    if (c.Extras) {
        static const TPNGChromaticity chrm{31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000};
        static const TPNGGIFControl gif{{1, 0, 0, 10}};
        enc.Chromaticity = &chrm;
        enc.GIFControl = &gif;
        enc.Gamma = 0.45455;
        enc.Comment = "round trip";
        enc.ResolutionUnit = 2;
        enc.XResolution = 96;
        enc.YResolution = 96;
        enc.BackgroundColor = BitsOf(c.Format) <= 8 ? PaletteIndex(1) : RGB(10, 20, 30);
        // The colour of the top-left pixel becomes transparent.
        const bool indexed = BitsOf(c.Format) <= 8 && c.Gray == GrayMode::None;
        enc.TransparentColor = indexed ? PaletteIndex(RawIndex(*s.Bitmap, 0, 0)) : s.Bitmap->Pixel(0, 0);
        if (c.Format == pf24bit && c.Gray == GrayMode::None) enc.SignificantBits = 8 | 8 << 8 | 8 << 16;
    }
}

// The pixels that a correct decoder must see, as RGBA, worked out from the
// bitmap's own colour lookup.
std::vector<uint8_t> Expected(const Case& c, const Source& s, const TTavPNGWriteStream& enc) {
    const TBitmap& b = *s.Bitmap;
    const int bits = BitsOf(c.Format);
    const bool grayIndex = c.Gray == GrayMode::GrayIndex && c.Mask;
    const bool gray = c.Gray == GrayMode::Gray || grayIndex;
    const bool alpha = c.Mask && (gray ? bits >= 8 : bits > 8 || PaletteMaskOf(c, s).Kept);
    std::vector<uint8_t> out;
    for (int32_t y = 0; y < c.H; ++y)
        for (int32_t x = 0; x < c.W; ++x) {
            const TColor color = b.Pixel(x, y);
            uint8_t r = GetRValue(color), g = GetGValue(color), bl = GetBValue(color), a = 255;
            if (grayIndex) {
                r = g = bl = RawIndex(b, x, y);
            } else if (gray) {
                uint8_t level = Gray(color);
                if (bits == 1) level = level >= 128 ? 255 : 0;
                if (bits == 4) level = uint8_t((level >> 4) * 17);
                r = g = bl = level;
            }
            if (alpha) a = uint8_t(255 - s.Mask->ScanLine(y)[x]);
            if (c.Extras) {
                const int32_t t = enc.TransparentColor;
                if ((t & 0x01000000) && !gray)
                    a = RawIndex(b, x, y) == (t & 255) ? 0 : 255;
                else if (gray)
                    a = ColorToGrayLevel(bits, color) == ColorToGrayLevel(bits, t) ? 0 : 255;
                else
                    a = color == t ? 0 : 255;
            }
            out.insert(out.end(), {r, g, bl, a});
        }
    return out;
}

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    ASSERT_TRUE(f.good()) << path;
}

class PngRoundTrip : public ::testing::Test {
protected:
    fs::path Dir;
    void SetUp() override {
        Dir = fs::temp_directory_path() / ("tobelin-pngenc-" + std::to_string(getpid()));
        fs::create_directories(Dir);
    }
    void TearDown() override {
        if (!HasFailure()) fs::remove_all(Dir);
        else std::printf("files kept in %s\n", Dir.c_str());
    }
};

TEST_F(PngRoundTrip, ExternalCheckerAndDecoderAgreeWithTheSource) {
    const auto cases = Matrix();
    std::ofstream manifest(Dir / "manifest.txt");
    std::vector<std::string> files, grayIndexFiles;
    uint32_t seed = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const Source s = MakeSource(c, seed++);
        TTavPNGWriteStream enc;
        Configure(enc, c, s);
        const auto bytes = Encode(enc, *s.Bitmap);
        const fs::path png = Dir / (c.Name + ".png"), raw = Dir / (c.Name + ".rgba");
        WriteFile(png, bytes);
        WriteFile(raw, Expected(c, s, enc));
        // Our own reading of the framing: CRCs, IEND last, one zlib stream.
        const auto chunks = ParseChunks(bytes);
        for (const auto& ch : chunks) EXPECT_TRUE(ch.CrcOk) << ch.Type;
        EXPECT_EQ(chunks.back().Type, "IEND");
        EXPECT_NO_THROW(InflateImageData(chunks));
        manifest << c.Name << '\t' << png.string() << '\t' << raw.string() << '\t' << c.W << '\t' << c.H << '\n';
        const bool grayIndex = c.Gray == GrayMode::GrayIndex && c.Mask;
        (grayIndex ? grayIndexFiles : files).push_back(png.string());
    }
    manifest.close();
    ASSERT_GT(files.size(), 1000u);
    ASSERT_FALSE(grayIndexFiles.empty());

    std::string out;
    for (size_t i = 0; i < files.size(); i += 200) {
        std::string cmd = "pngcheck -q";
        for (size_t j = i; j < files.size() && j < i + 200; ++j) cmd += " '" + files[j] + "'";
        EXPECT_EQ(RunCommand(cmd, out), 0) << out;
    }
    // Gray-index files carry their palette beside gray and alpha samples
    // for our own decoder; that PLTE is the one thing the checker may
    // object to in them.
    std::string cmd = "pngcheck -q";
    for (const auto& f : grayIndexFiles) cmd += " '" + f + "'";
    RunCommand(cmd, out);
    size_t complaints = 0;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        if (line.find("PLTE not allowed in grayscale+alpha image") != std::string::npos)
            ++complaints;
        else
            EXPECT_EQ(line.rfind("ERROR: ", 0), 0u) << line;
    }
    EXPECT_EQ(complaints, grayIndexFiles.size()) << out;

    const std::string script = std::string(TOBELIN_SOURCE_DIR) + "/tests/codec/pil_check.py";
    EXPECT_EQ(RunCommand("/usr/bin/python3 '" + script + "' '" + (Dir / "manifest.txt").string() + "'", out), 0) << out;
    EXPECT_NE(out.find("checked " + std::to_string(files.size() + grayIndexFiles.size())), std::string::npos) << out;
}

}  // namespace

namespace {

// Through our own decoder: the same pixels and the same alpha come back.
TEST(PngRoundTripDecoder, SamePixelsAndAlphaBack) {
    uint32_t seed = 1000;
    for (const auto& c : Matrix()) {
        if (c.Extras) continue;  // transparency keys are the decoder's own tests
        SCOPED_TRACE(c.Name);
        const Source s = MakeSource(c, seed++);
        TTavPNGWriteStream enc;
        Configure(enc, c, s);
        const auto bytes = Encode(enc, *s.Bitmap);
        auto expected = Expected(c, s, enc);
        const bool grayIndex = c.Gray == GrayMode::GrayIndex && c.Mask;
        const PaletteMask paletteMask = PaletteMaskOf(c, s);
        // A palette mask with one fully transparent entry comes back as
        // that entry's transparent colour, not as an alpha channel.
        const bool alpha = c.Mask && (c.Gray != GrayMode::None ? BitsOf(c.Format) >= 8
                                                               : BitsOf(c.Format) > 8 ||
                                                                     (paletteMask.Kept && paletteMask.Transparent < 0));

        TMemoryStream ms;
        ms.Write(bytes.data(), int64_t(bytes.size()));
        ms.SetPosition(0);
        TBitmap out, outAlpha;
        TTavPNGReadStream dec;
        dec.GrayIndexMode = grayIndex;
        dec.AlphaBitmap = &outAlpha;
        ASSERT_NO_THROW(dec.ReadImage(&out, ms, 0));
        ASSERT_EQ(out.Width(), c.W);
        ASSERT_EQ(out.Height(), c.H);
        EXPECT_EQ(dec.HasAlpha, alpha);
        if (paletteMask.Transparent >= 0) {
            EXPECT_EQ(dec.TransparentColor, 0x01000000 + paletteMask.Transparent);
        }
        if (alpha) {
            ASSERT_EQ(outAlpha.Width(), c.W);
            ASSERT_EQ(outAlpha.Height(), c.H);
        }
        int bad = 0;
        for (int32_t y = 0; y < c.H && bad < 3; ++y)
            for (int32_t x = 0; x < c.W && bad < 3; ++x) {
                const uint8_t* e = &expected[size_t(4 * (y * c.W + x))];
                // Gray-index files restore the palette: the source colours return.
                const TColor want = grayIndex ? s.Bitmap->Pixel(x, y) : RGB(e[0], e[1], e[2]);
                const TColor got = out.Pixel(x, y);
                if (got != want) {
                    ++bad;
                    ADD_FAILURE() << "pixel (" << x << "," << y << ") " << std::hex << got << " expected " << want;
                }
                if (alpha && uint8_t(255 - outAlpha.ScanLine(y)[x]) != e[3]) {
                    ++bad;
                    ADD_FAILURE() << "alpha (" << x << "," << y << ") " << 255 - outAlpha.ScanLine(y)[x]
                                  << " expected " << int(e[3]);
                }
            }
    }
}

}  // namespace

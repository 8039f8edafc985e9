// Replays the PNG fuzz inputs through the fuzz targets' checks in the
// ordinary test build, so that the decoder and the encoder are held to
// them without clang, and round-trips every bitmap format through each
// save mode the round-trip target chooses from.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/TavPNG.h"
#include "fuzz/PngLoadCheck.h"
#include "fuzz/PngRoundTripCheck.h"
#include "platform/Streams.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<fs::path> CorpusFiles(const char* target) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(fs::path(TOBELIN_SOURCE_DIR) / "fuzz" / "corpus" / target))
        files.push_back(entry.path());
    return files;
}

uint32_t Be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

TEST(FuzzRegressionPng, LoadCorpusPassesEveryCheck) {
    const std::vector<fs::path> files = CorpusFiles("png_load");
    ASSERT_GE(files.size(), 20u);
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        const Bytes input = ReadFile(file);
        EXPECT_EQ(pngload::CheckPngLoad(input.data(), input.size()), "");
    }
}

// The load check lets the framework's errors pass, so a decoder that
// refused everything would pass it too: the seeds made from sound suite
// images (names not starting with "x") must decode to their header's size.
TEST(FuzzRegressionPng, SoundLoadSeedsDecodeToTheirHeaderSize) {
    int sound = 0;
    for (const fs::path& file : CorpusFiles("png_load")) {
        const std::string name = file.filename().string();
        if (name[0] == 'x') continue;
        SCOPED_TRACE(name);
        const Bytes input = ReadFile(file);
        ASSERT_GE(input.size(), 1u + 8 + 16);  // mode byte, signature, IHDR length, type, size
        const uint32_t width = Be32(&input[1 + 16]);
        const uint32_t height = Be32(&input[1 + 20]);
        TMemoryStream stream;
        stream.WriteBuffer(input.data() + 1, int64_t(input.size() - 1));
        stream.SetPosition(0);
        TTavPNG picture;
        picture.Allow16BitOutput = input[0] & 8;
        ASSERT_NO_THROW(picture.LoadFromStream(stream));
        EXPECT_EQ(uint32_t(picture.GetWidth()), width);
        EXPECT_EQ(uint32_t(picture.GetHeight()), height);
        ++sound;
    }
    EXPECT_GE(sound, 20);
}

TEST(FuzzRegressionPng, RoundTripCorpusComesBackUnchanged) {
    const std::vector<fs::path> files = CorpusFiles("png_roundtrip");
    ASSERT_GE(files.size(), 20u);
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        const Bytes input = ReadFile(file);
        EXPECT_EQ(pngroundtrip::CheckPngRoundTrip(input.data(), input.size()), "");
    }
}

// Every bitmap format with every combination of mask, grey, interlace and
// 16-bit output, each with its own filter, level, IDAT size and palette
// size; odd sizes so that partial bytes and short Adam7 passes occur.
TEST(FuzzRegressionPng, EveryFormatAndModeRoundTrips) {
    static const char* const kFormats[] = {"1", "4", "8", "15", "16", "24", "32"};
    for (uint8_t format = 0; format < 7; ++format) {
        for (uint8_t flags = 0; flags < 16; ++flags) {
            for (uint8_t sbit = 0; sbit < 4; ++sbit) {
                const uint8_t width = uint8_t(format * 5 + flags % 7 + 1);
                const uint8_t height = uint8_t(flags * 2 + 3);
                Bytes input = {format, uint8_t(width - 1), uint8_t(height - 1), uint8_t(flags | sbit << 4),
                               uint8_t((format + flags) % 8), uint8_t((flags * 3 + sbit) % 11),
                               uint8_t((format + flags + sbit) % 5), uint8_t(flags * 37 + format)};
                for (int i = 0; i < 64; ++i) input.push_back(uint8_t(i * 73 + format * 11 + flags));
                SCOPED_TRACE(std::string("bits ") + kFormats[format] + " flags " + std::to_string(flags) +
                             " sbit choice " + std::to_string(sbit));
                EXPECT_EQ(pngroundtrip::CheckPngRoundTrip(input.data(), input.size()), "");
            }
        }
    }
}

// The expected grey levels follow the encoder's rule, not a plain copy:
// a 1-bit bitmap whose entry 0 is the brighter is written inverted, so
// that its colours survive.
TEST(FuzzRegressionPng, GreyRulesOfTheChecker) {
    using namespace pngroundtrip;
    Current() = TSettings();
    Current().Bits = 1;
    Current().Gray = true;
    Current().PaletteCount = 2;
    TBitmap bmp;
    bmp.SetPixelFormat(pf1bit);
    bmp.SetSize(2, 1);
    bmp.ScanLine(0)[0] = 0x40;  // pixel 0 is index 0, pixel 1 index 1
    const TPaletteEntry whiteThenBlack[2] = {{255, 255, 255, 0}, {0, 0, 0, 0}};
    EXPECT_EQ(ExpectedColor(bmp, whiteThenBlack, 0, 0), 0xFFFFFFu);
    EXPECT_EQ(ExpectedColor(bmp, whiteThenBlack, 1, 0), 0u);

    Current().Bits = 8;
    Current().PaletteCount = 1;
    TBitmap grey;
    grey.SetPixelFormat(pf8bit);
    grey.SetSize(1, 1);
    grey.ScanLine(0)[0] = 0;
    const TPaletteEntry red[1] = {{255, 0, 0, 0}};
    EXPECT_EQ(ExpectedColor(grey, red, 0, 0), 0x4C4C4Cu);  // (77 * 255) >> 8 = 76
}

}  // namespace

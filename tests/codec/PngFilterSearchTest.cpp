// The optimising save's filter and compressor search: every level and
// every strategy must give back the raw rows exactly.
#include <zlib.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec/PngFilterSearch.h"
#include "tests/codec/PngTestUtil.h"

namespace {

struct TRawImage {
    std::vector<std::vector<uint8_t>> Passes;  // rows of each pass, back to back
    std::vector<TPngRawPass> Views;
};

// Passes of the given (width in bytes, rows); the bytes mix a gradient, a
// repeating pattern and some noise so that the filters differ.
TRawImage MakeImage(const std::vector<std::pair<size_t, uint32_t>>& shapes, uint32_t seed) {
    TRawImage image;
    uint32_t state = seed;
    for (const auto& [rowBytes, height] : shapes) {
        std::vector<uint8_t> rows(rowBytes * height);
        for (uint32_t y = 0; y < height; ++y)
            for (size_t x = 0; x < rowBytes; ++x) {
                state = state * 1103515245u + 12345u;
                const uint32_t noise = (state >> 16) & 7;
                rows[y * rowBytes + x] = uint8_t(x * 3 + y * 5 + ((x / 4 + y / 3) % 2) * 60 + noise);
            }
        image.Passes.push_back(std::move(rows));
    }
    for (size_t i = 0; i < shapes.size(); ++i)
        image.Views.push_back({image.Passes[i].data(), shapes[i].first, shapes[i].second});
    return image;
}

// The PNG standard's unfiltering, written apart from the code under test.
// Returns the raw rows of every non-empty pass, or a message.
std::string Unfilter(const std::vector<uint8_t>& data, const TRawImage& image, uint32_t bpp,
                     std::vector<std::vector<uint8_t>>& passes) {
    size_t at = 0;
    for (const TPngRawPass& view : image.Views) {
        std::vector<uint8_t> rows(view.RowBytes * view.Height);
        if (view.RowBytes != 0)
            for (uint32_t y = 0; y < view.Height; ++y) {
                if (at + view.RowBytes + 1 > data.size()) return "data too short";
                const int type = data[at++];
                if (type > 4) return "filter type " + std::to_string(type);
                uint8_t* row = rows.data() + y * view.RowBytes;
                for (size_t i = 0; i < view.RowBytes; ++i) {
                    const int a = i >= bpp ? row[i - bpp] : 0;
                    const int b = y ? row[i - view.RowBytes] : 0;
                    const int c = (y && i >= bpp) ? row[i - view.RowBytes - bpp] : 0;
                    row[i] = uint8_t(data[at++] + pngtest::Predict(type, a, b, c));
                }
            }
        passes.push_back(std::move(rows));
    }
    if (at != data.size()) return "data too long";
    return {};
}

std::string Inflate(const std::vector<uint8_t>& stream, std::vector<uint8_t>& out) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return "inflateInit";
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = uInt(stream.size());
    uint8_t buffer[4096];
    int result = Z_OK;
    while (result == Z_OK) {
        z.next_out = buffer;
        z.avail_out = sizeof buffer;
        result = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), buffer, buffer + (sizeof buffer - z.avail_out));
    }
    const bool whole = result == Z_STREAM_END && z.avail_in == 0;
    inflateEnd(&z);
    return whole ? std::string() : "not one whole zlib stream (" + std::to_string(result) + ")";
}

struct TCase {
    const char* Name;
    uint32_t Bpp;
    std::vector<std::pair<size_t, uint32_t>> Shapes;  // (row bytes, rows) per pass
};

const std::vector<TCase> kCases = {
    {"1 byte, one row of one byte", 1, {{1, 1}}},
    {"1 byte, 1 x 40", 1, {{1, 40}}},
    {"2 bytes, 6 x 9", 2, {{12, 9}}},
    {"3 bytes, 33 x 17", 3, {{99, 17}}},
    {"4 bytes, 2 x 3", 4, {{8, 3}}},
    {"6 bytes, 13 x 11", 6, {{78, 11}}},
    {"8 bytes, 7 x 5", 8, {{56, 5}}},
    {"no rows", 3, {{9, 0}}},
    {"3 bytes, Adam7 of 5 x 5", 3, {{3, 1}, {0, 1}, {6, 1}, {3, 2}, {9, 1}, {6, 3}, {15, 2}}},
    {"4 bytes, Adam7 of 1 x 1", 4, {{4, 1}, {0, 1}, {4, 0}, {0, 1}, {4, 0}, {0, 1}, {4, 0}}},
    {"1 byte, Adam7 of 40 x 30", 1, {{5, 4}, {5, 4}, {10, 4}, {10, 8}, {20, 7}, {20, 15}, {40, 15}}},
};

void ExpectRoundTrip(const TCase& c, const TRawImage& image, const std::vector<uint8_t>& filtered,
                     const std::string& what) {
    std::vector<std::vector<uint8_t>> rows;
    const std::string error = Unfilter(filtered, image, c.Bpp, rows);
    ASSERT_EQ(error, "") << c.Name << ", " << what;
    for (size_t p = 0; p < rows.size(); ++p)
        EXPECT_EQ(rows[p], image.Passes[p]) << c.Name << ", " << what << ", pass " << p + 1;
}

TEST(PngFilterSearch, EveryLevelGivesBackTheRawRows) {
    for (const TCase& c : kCases) {
        const TRawImage image = MakeImage(c.Shapes, 7);
        for (int level : {kPngSearchEstimate, kPngSearchQuick, kPngSearchThorough}) {
            const std::string what = "level " + std::to_string(level);
            std::vector<uint8_t> filtered;
            const std::string error = Inflate(SearchImageData(image.Views, c.Bpp, level), filtered);
            ASSERT_EQ(error, "") << c.Name << ", " << what;
            ExpectRoundTrip(c, image, filtered, what);
        }
    }
}

TEST(PngFilterSearch, EveryStrategyAndCompressorGivesBackTheRawRows) {
    for (const TCase& c : kCases) {
        const TRawImage image = MakeImage(c.Shapes, 11);
        for (int s = 0; s < kPngFilterStrategyCount; ++s) {
            const auto strategy = static_cast<TPngFilterStrategy>(s);
            const std::vector<uint8_t> filtered = FilterImageData(image.Views, c.Bpp, strategy);
            ExpectRoundTrip(c, image, filtered, PngFilterStrategyName(strategy));
            if (s != static_cast<int>(TPngFilterStrategy::Trial)) continue;
            for (TPngCompressor compressor : {TPngCompressor::Zlib9, TPngCompressor::Fast, TPngCompressor::Strong,
                                              TPngCompressor::Strongest, TPngCompressor::Optimal}) {
                std::vector<uint8_t> inflated;
                const std::string error = Inflate(CompressImageData(filtered, compressor), inflated);
                ASSERT_EQ(error, "") << c.Name << ", " << PngCompressorName(compressor);
                EXPECT_EQ(inflated, filtered) << c.Name << ", " << PngCompressorName(compressor);
            }
        }
    }
}

// Smooth noisy rows, where the adaptive choice is among the quick search's
// candidates and the search's compressor beats zlib's best by several per
// cent: the search can only lose through a fault in its choice.
TEST(PngFilterSearch, QuickSearchIsNoLargerThanAdaptiveAtZlib9) {
    const TCase c{"3 bytes, 64 x 48", 3, {{192, 48}}};
    const TRawImage image = MakeImage(c.Shapes, 3);
    const size_t reference =
        CompressImageData(FilterImageData(image.Views, c.Bpp, TPngFilterStrategy::Adaptive), TPngCompressor::Zlib9)
            .size();
    EXPECT_LE(SearchImageData(image.Views, c.Bpp, kPngSearchQuick).size(), reference);
}

}  // namespace

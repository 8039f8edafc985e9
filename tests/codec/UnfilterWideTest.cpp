// Row unfiltering on image-sized rows whose samples produce many
// predictor ties, for every pixel size, compared with a byte-by-byte
// reference.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>

#include "codec/PngUnfilter.h"
#include "tests/codec/PngTestUtil.h"

using pngtest::Bytes;
using pngtest::Predict;
using pngtest::FilterRow;

namespace {

struct TSampleSet {
    const char* name;
    int lo, hi;  // samples drawn from lo..hi
};

TEST(UnfilterRowWide, EveryFilterPixelSizeAndLengthMatchesTheReference) {
    // Narrow ranges make the Paeth distances tie often; the extremes make
    // the sums of Average and the differences of Paeth reach their limits.
    const TSampleSet sets[] = {{"ties", 100, 102}, {"extremes", 0, 255}, {"dark", 0, 1}, {"bright", 254, 255}};
    std::mt19937 rng(11);
    for (const TSampleSet& set : sets) {
        std::uniform_int_distribution<int> sample(set.lo, set.hi);
        for (int bpp = 1; bpp <= 8; ++bpp) {
            // Whole pixels, and lengths that end inside a pixel; 31 to 48
            // bytes end around the first 16-byte blocks of the vector loops.
            for (int len : {bpp, 2 * bpp, 5 * bpp + 1, 31, 32, 47, 48, 333, 3 * 683, 4 * 512 + 3}) {
                for (int type = 1; type <= 4; ++type) {
                    SCOPED_TRACE(std::string(set.name) + " bpp " + std::to_string(bpp) + " len " + std::to_string(len) +
                                 " type " + std::to_string(type));
                    Bytes raw(static_cast<size_t>(len)), prev(static_cast<size_t>(len));
                    for (auto& v : raw) v = uint8_t(sample(rng));
                    for (auto& v : prev) v = uint8_t(sample(rng));
                    Bytes row = FilterRow(type, raw, prev, bpp);
                    Bytes prevRow = {0};
                    pngtest::Append(prevRow, prev);
                    // Exact-size buffers: a read or write past either row is
                    // caught by the sanitizers.
                    ASSERT_EQ(UnfilterRow(row.data(), prevRow.data(), int32_t(row.size()), bpp), 0);
                    ASSERT_EQ(Bytes(row.begin() + 1, row.end()), raw);
                }
            }
        }
    }
}

TEST(UnfilterRowWide, ChainedRowsOfAnImage) {
    // Each row unfiltered against the previous result, as the decoder does.
    std::mt19937 rng(5);
    for (int bpp : {3, 4}) {
        for (int type : {3, 4}) {
            SCOPED_TRACE("bpp " + std::to_string(bpp) + " type " + std::to_string(type));
            const int len = 97 * bpp, rows = 40;
            std::vector<Bytes> image(rows, Bytes(static_cast<size_t>(len)));
            for (int y = 0; y < rows; ++y)
                for (int x = 0; x < len; ++x) image[y][x] = uint8_t((x * 7 + y * 13) / 5 + int(rng() % 3));
            Bytes prev(static_cast<size_t>(len) + 1, 0);
            for (int y = 0; y < rows; ++y) {
                Bytes row = FilterRow(type, image[y], Bytes(prev.begin() + 1, prev.end()), bpp);
                ASSERT_EQ(UnfilterRow(row.data(), prev.data(), int32_t(row.size()), bpp), 0);
                ASSERT_EQ(Bytes(row.begin() + 1, row.end()), image[y]) << "row " << y;
                prev = row;
            }
        }
    }
}

}  // namespace

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

TEST(UnfilterRows, MatchRowByRow) {
    // Filter types of a batch's rows; 9 is unknown. Runs of Average are
    // undone in pairs, so odd runs, a pair broken by another type and an
    // unknown type inside a would-be pair all end a pair differently.
    struct TCase {
        const char* name;
        std::vector<uint8_t> types;
        int64_t sound;  // rows before the unknown type
    };
    const TCase cases[] = {
        {"all average", {3, 3, 3, 3, 3, 3}, 6},
        {"odd run", {3, 3, 3, 1, 3, 3, 3}, 7},
        {"mixed", {1, 3, 2, 3, 3, 4, 3, 0, 3}, 9},
        {"unknown second of a pair", {3, 3, 3, 9, 3}, 3},
        {"unknown first", {9, 3, 3}, 0},
    };
    std::mt19937 rng(3);
    for (const TCase& c : cases) {
        for (int bpp = 1; bpp <= 8; ++bpp) {
            // Rows too short for the pairing, about as long as its lead, and long.
            for (int len : {7, 33 * bpp + 4, 33 * bpp + 5, 35 * bpp + 7, 700 * bpp + 2}) {
                SCOPED_TRACE(std::string(c.name) + " bpp " + std::to_string(bpp) + " len " + std::to_string(len));
                const size_t rowSize = size_t(len) + 1;
                Bytes batch(c.types.size() * rowSize), prev(rowSize);
                for (auto& v : batch) v = uint8_t(rng());
                for (auto& v : prev) v = uint8_t(rng());
                for (size_t k = 0; k < c.types.size(); ++k) batch[k * rowSize] = c.types[k];
                Bytes expected = batch;
                const uint8_t* above = prev.data();
                for (int64_t k = 0; k < c.sound; ++k) {
                    ASSERT_EQ(UnfilterRow(&expected[size_t(k) * rowSize], above, int32_t(rowSize), bpp), 0);
                    above = &expected[size_t(k) * rowSize];
                }
                ASSERT_EQ(UnfilterRows(batch.data(), prev.data(), int32_t(rowSize), bpp, int64_t(c.types.size())), c.sound);
                ASSERT_EQ(batch, expected);
            }
        }
    }
}

// Row filter choice and the compressibility score.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec/TavZLIB.h"
#include "tests/codec/PngTestUtil.h"

namespace {

// Straightforward filters, kept apart from the code under test: type
// byte, then the filtered bytes.
constexpr auto& Reference = pngtest::FilterRow;

// A deflate record over its own row buffers.
struct Rows {
    std::vector<uint8_t> cur, prev, best, trial;
    int32_t hist[256] = {};
    TZDeflateRec rec;

    Rows(const std::vector<uint8_t>& c, const std::vector<uint8_t>& p, int32_t bitsPerPixel, int32_t imageBits,
         int32_t mode)
        : cur(c), prev(p), best(c.size() + 1, 0xEE), trial(c.size() + 1, 0xEE) {
        rec.CurRow = cur.data();
        rec.PrevRow = prev.data();
        rec.BestRow = best.data();
        rec.TrialRow = trial.data();
        rec.Histogram = hist;
        rec.RowSize = int32_t(c.size()) + 1;
        rec.BitsPerPixel = bitsPerPixel;
        rec.ImageBits = imageBits;
        rec.FilterMode = mode;
    }
    std::vector<uint8_t> Best() const { return std::vector<uint8_t>(rec.BestRow, rec.BestRow + rec.RowSize); }
    int32_t Score(const std::vector<uint8_t>& row) { return ScoreRow(rec, row.data()); }
};

std::vector<uint8_t> Varied(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) {
        seed = seed * 1103515245u + 12345u;
        b = uint8_t(seed >> 16);
    }
    return v;
}

// Counts of byte values: value i appears counts[i] times.
std::vector<uint8_t> RowWithCounts(const std::vector<int>& counts) {
    std::vector<uint8_t> row;
    for (size_t v = 0; v < counts.size(); ++v) row.insert(row.end(), size_t(counts[v]), uint8_t(v * 3 + 1));
    return row;
}

TEST(ScoreRow, WorkedExample) {
    // 100 bytes, 20 distinct values, largest counts 30, 20 and 10.
    std::vector<int> counts = {30, 20, 10};
    for (int i = 0; i < 6; ++i) counts.push_back(3);
    for (int i = 0; i < 11; ++i) counts.push_back(2);
    const auto row = RowWithCounts(counts);
    ASSERT_EQ(row.size(), 100u);
    std::vector<uint8_t> dummy(99);
    Rows wide(dummy, dummy, 8, 8, 0);
    EXPECT_EQ(wide.Score(row), 3933);
    Rows narrow(dummy, dummy, 4, 4, 0);
    EXPECT_EQ(narrow.Score(row), 5500);
    Rows oneBit(dummy, dummy, 1, 1, 0);
    EXPECT_EQ(oneBit.Score(row), 5500);
    Rows rgba(dummy, dummy, 32, 32, 0);
    EXPECT_EQ(rgba.Score(row), 3933);
}

TEST(ScoreRow, DecisiveRows) {
    struct Case {
        const char* name;
        std::vector<int> counts;
        bool decisive;
    };
    const Case cases[] = {
        {"8 distinct values", {30, 20, 10, 10, 10, 10, 5, 5}, true},
        {"9 distinct values", {30, 20, 10, 10, 10, 10, 5, 4, 1}, false},
        {"one value 90 per cent", {90, 2, 1, 1, 1, 1, 1, 1, 1, 1}, true},
        {"one value 89 per cent", {89, 3, 1, 1, 1, 1, 1, 1, 1, 1}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto row = RowWithCounts(c.counts);
        std::vector<uint8_t> dummy(row.size() - 1);
        Rows r(dummy, dummy, 8, 8, 0);
        const int32_t s = r.Score(row);
        if (c.decisive)
            EXPECT_EQ(s, -1);
        else
            EXPECT_GT(s, 0);
    }
}

TEST(ChooseFilter, FixedModesWriteTheirOneFilter) {
    const auto cur = Varied(37, 11), prev = Varied(37, 12);
    struct Case {
        int32_t mode;
        int type;
    } cases[] = {{1, 0}, {2, 1}, {3, 2}, {4, 3}, {5, 4}, {6, 0}, {7, 0}, {255, 0}, {0x102, 1}, {0x105, 4}};
    for (int bits : {8, 24, 32}) {
        for (const auto& c : cases) {
            SCOPED_TRACE("mode " + std::to_string(c.mode) + " bits " + std::to_string(bits));
            Rows r(cur, prev, bits, bits, c.mode);
            ChooseFilter(r.rec);
            EXPECT_EQ(r.Best(), Reference(c.type, cur, prev, (bits + 7) / 8));
        }
    }
}

TEST(ChooseFilter, SubPixelBitDepthsUseOneByteDistance) {
    const auto cur = Varied(20, 5), prev = Varied(20, 6);
    for (int bits : {1, 2, 4}) {
        SCOPED_TRACE(bits);
        Rows r(cur, prev, bits, bits, 5);
        ChooseFilter(r.rec);
        EXPECT_EQ(r.Best(), Reference(4, cur, prev, 1));
    }
}

TEST(ChooseFilter, AdaptiveChoices) {
    std::vector<uint8_t> ramp(60);
    for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = uint8_t(i * 4 + 3);  // Sub makes it one value
    std::vector<uint8_t> shortRamp(ramp.begin(), ramp.begin() + 7);           // row of 8 bytes with type
    std::vector<uint8_t> mostlyOne(100, 7);
    for (int i = 0; i < 5; ++i) mostlyOne[size_t(i * 17)] = uint8_t(100 + i * 9);
    const std::vector<uint8_t> zeros60(60, 0), zeros7(7, 0), zeros100(100, 0);

    struct Case {
        const char* name;
        std::vector<uint8_t> cur, prev;
        int32_t bits, imageBits, mode;
        int type;
    };
    const Case cases[] = {
        {"ramp: Sub is decisive", ramp, zeros60, 8, 8, 0, 1},
        {"only the low byte of the mode counts", ramp, zeros60, 8, 8, 0x100, 1},
        {"row of 8 bytes stays unfiltered", shortRamp, zeros7, 8, 8, 0, 0},
        {"95 per cent one value stays unfiltered", mostlyOne, zeros100, 8, 8, 0, 0},
        {"4-bit images stay unfiltered", ramp, zeros60, 4, 4, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rows r(c.cur, c.prev, c.bits, c.imageBits, c.mode);
        ChooseFilter(r.rec);
        EXPECT_EQ(r.Best(), Reference(c.type, c.cur, c.prev, (c.bits + 7) / 8));
    }
}

// Rows found so that two filters tie; the scores are checked first so the
// choice really is between equals.
TEST(ChooseFilter, EqualScoresKeepTheEarlierFilter) {
    const std::vector<uint8_t> zeros(24, 0);
    const std::vector<uint8_t> noneTiesUp = {200, 220, 120, 40, 180, 80, 180, 20, 20,  160, 100, 80,
                                             40,  80,  40,  60, 220, 40, 100, 220, 200, 20, 160, 100};
    const std::vector<uint8_t> subTiesPaeth = {2,  5,  7,  12, 15, 18, 20, 24, 24, 29, 31, 36,
                                               36, 39, 43, 48, 49, 54, 55, 59, 62, 65, 69, 72};
    {
        SCOPED_TRACE("None and Up");
        Rows r(noneTiesUp, zeros, 24, 24, 0);
        const int32_t none = r.Score(Reference(0, noneTiesUp, zeros, 3));
        ASSERT_EQ(none, r.Score(Reference(2, noneTiesUp, zeros, 3)));
        ASSERT_GT(none, r.Score(Reference(1, noneTiesUp, zeros, 3)));
        ASSERT_GT(none, r.Score(Reference(3, noneTiesUp, zeros, 3)));
        ASSERT_GT(none, r.Score(Reference(4, noneTiesUp, zeros, 3)));
        ChooseFilter(r.rec);
        EXPECT_EQ(r.Best()[0], 0);
    }
    {
        SCOPED_TRACE("Sub and Paeth");
        Rows r(subTiesPaeth, zeros, 24, 24, 0);
        const int32_t sub = r.Score(Reference(1, subTiesPaeth, zeros, 3));
        ASSERT_EQ(sub, r.Score(Reference(4, subTiesPaeth, zeros, 3)));
        ASSERT_GT(sub, r.Score(Reference(0, subTiesPaeth, zeros, 3)));
        ASSERT_GT(sub, r.Score(Reference(2, subTiesPaeth, zeros, 3)));
        ASSERT_GT(sub, r.Score(Reference(3, subTiesPaeth, zeros, 3)));
        ChooseFilter(r.rec);
        EXPECT_EQ(r.Best(), Reference(1, subTiesPaeth, zeros, 3));
    }
}

TEST(ChooseFilter, IndexedAndGrayImagesDoubleTheUnfilteredScore) {
    // None 1401, Sub 2411, Paeth 2451: only a doubled None beats them.
    const std::vector<uint8_t> row = {2,  0,  0,  7,  6,  5,  10, 10, 10, 16, 16, 16,
                                      20, 22, 21, 25, 25, 26, 32, 32, 31, 35, 37, 35};
    const std::vector<uint8_t> zeros(24, 0);
    struct Case {
        int32_t imageBits;
        int type;
    } cases[] = {{8, 0}, {1, 0}, {24, 4}, {32, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.imageBits);
        Rows r(row, zeros, 8, c.imageBits, 0);
        ChooseFilter(r.rec);
        EXPECT_EQ(r.Best(), Reference(c.type, row, zeros, 1));
    }
}

TEST(ChooseFilter, BuffersAreExchangedNotCopied) {
    const auto cur = Varied(30, 1), prev = Varied(30, 2);
    Rows r(cur, prev, 8, 8, 3);
    uint8_t* best = r.rec.BestRow;
    uint8_t* trial = r.rec.TrialRow;
    ChooseFilter(r.rec);
    EXPECT_EQ(r.rec.BestRow, trial);
    EXPECT_EQ(r.rec.TrialRow, best);
}

}  // namespace

// The inflate row reader and the row unfiltering.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "codec/TavZLIB.h"
#include "tests/codec/PngTestUtil.h"

using pngtest::Bytes;

namespace {

// ---- UnfilterRow --------------------------------------------------------

struct UnfilterCase {
    const char* name;
    int bpp;
    Bytes prev;  // byte 0 unused
    Bytes row;   // byte 0 the filter type
    Bytes expect;
    int32_t result;
};

TEST(UnfilterRow, HandComputedRows) {
    const UnfilterCase cases[] = {
        {"none", 1, {0, 9, 9}, {0, 1, 2}, {0, 1, 2}, 0},
        {"sub wraps", 1, {0, 0, 0, 0}, {1, 10, 5, 250}, {1, 10, 15, 9}, 0},
        {"sub 3 bytes per pixel", 3, {0, 0, 0, 0, 0, 0, 0}, {1, 1, 2, 3, 1, 1, 1}, {1, 1, 2, 3, 2, 3, 4}, 0},
        {"up", 1, {0, 1, 2, 3}, {2, 10, 20, 30}, {2, 11, 22, 33}, 0},
        {"average", 1, {0, 200, 200}, {3, 10, 10}, {3, 110, 165}, 0},
        // (126 + 255) / 2 must not be taken modulo 256 before halving.
        {"average without overflow", 1, {0, 255, 255}, {3, 255, 0}, {3, 126, 190}, 0},
        {"paeth first pixel takes up", 1, {0, 10, 20}, {4, 5, 7}, {4, 15, 27}, 0},
        // a = 10, b = 40, c = 20: pb = pc = 10 < pa, so b wins over c.
        {"paeth tie of b and c", 1, {0, 20, 40}, {4, 246, 0}, {4, 10, 40}, 0},
        // a = 40, b = 10, c = 20: pa = pc = 10 < pb, so a wins over c.
        {"paeth tie of a and c", 1, {0, 20, 10}, {4, 20, 0}, {4, 40, 40}, 0},
        {"type 5 fails and keeps the row", 1, {0, 1, 1}, {5, 7, 8}, {5, 7, 8}, -1},
        {"type 255 fails", 2, {0, 1, 1}, {255, 7, 8}, {255, 7, 8}, -1},
        {"filter byte only", 4, {0}, {4}, {4}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes row = c.row;
        EXPECT_EQ(UnfilterRow(row.data(), c.prev.data(), int32_t(row.size()), c.bpp), c.result);
        EXPECT_EQ(row, c.expect);
    }
}

// The forward filters of the PNG standard, as an independent oracle.
Bytes FilterForward(int type, const Bytes& raw, const Bytes& prev, int bpp) {
    Bytes out(raw.size() + 1);
    out[0] = uint8_t(type);
    for (size_t i = 0; i < raw.size(); ++i) {
        const int a = i >= size_t(bpp) ? raw[i - bpp] : 0;
        const int b = prev[i];
        const int c = i >= size_t(bpp) ? prev[i - bpp] : 0;
        int pred = 0;
        switch (type) {
        case 1: pred = a; break;
        case 2: pred = b; break;
        case 3: pred = (a + b) / 2; break;
        case 4: {
            const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
            pred = (pa <= pb && pa <= pc) ? a : (pb <= pc ? b : c);
            break;
        }
        default: break;
        }
        out[i + 1] = uint8_t(raw[i] - pred);
    }
    return out;
}

TEST(UnfilterRow, UndoesEveryFilterForEveryPixelSize) {
    std::mt19937 rng(7);
    for (int bpp = 1; bpp <= 8; ++bpp) {
        for (int type = 0; type <= 4; ++type) {
            for (int len : {1, bpp, 3 * bpp + 1, 64}) {
                SCOPED_TRACE("bpp " + std::to_string(bpp) + " type " + std::to_string(type) + " len " +
                             std::to_string(len));
                Bytes raw(static_cast<size_t>(len)), prev(static_cast<size_t>(len));
                for (auto& v : raw) v = uint8_t(rng());
                for (auto& v : prev) v = uint8_t(rng());
                Bytes row = FilterForward(type, raw, prev, bpp);
                Bytes prevRow = {0};
                pngtest::Append(prevRow, prev);
                ASSERT_EQ(UnfilterRow(row.data(), prevRow.data(), int32_t(row.size()), bpp), 0);
                EXPECT_EQ(Bytes(row.begin() + 1, row.end()), raw);
            }
        }
    }
}

// ---- Inflate record -------------------------------------------------------

// Feeds compressed bytes to the record in pieces of at most Piece bytes.
struct Feeder {
    Bytes data;
    size_t at = 0;
    size_t piece = 1000;
    int calls = 0;

    static int32_t Input(TZInflateRec& rec) {
        auto& f = *static_cast<Feeder*>(rec.Owner);
        ++f.calls;
        if (f.at >= f.data.size()) return -1;
        const size_t n = std::min({f.piece, f.data.size() - f.at, size_t(rec.InBufferSize)});
        std::memcpy(rec.InBuffer, f.data.data() + f.at, n);
        f.at += n;
        rec.Z.next_in = rec.InBuffer;
        rec.Z.avail_in = uInt(n);
        return 0;
    }
};

struct InflateFixture : ::testing::Test {
    TZInflateRec rec;
    Feeder feeder;
    void SetUp() override {
        rec.Owner = &feeder;
        rec.OnInput = &Feeder::Input;
    }
    void TearDown() override { ZInflateEnd(rec); }
};

Bytes Pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 7 + i / 13);
    return b;
}

TEST_F(InflateFixture, ReadsInputInPieces) {
    const Bytes raw = Pattern(5000);
    feeder.data = pngtest::Compress(raw);
    feeder.piece = 3;
    ASSERT_EQ(ZInflateInit(rec), 0);
    Bytes out(raw.size());
    EXPECT_EQ(ZInflateRead(rec, out.data(), 4000), 0);
    EXPECT_GE(ZInflateRead(rec, out.data() + 4000, 1000), 0);
    EXPECT_EQ(out, raw);
    EXPECT_GT(feeder.calls, 10);
}

TEST_F(InflateFixture, ReportsTheExactEndOfTheData) {
    const Bytes raw = Pattern(5000);
    feeder.data = pngtest::Compress(raw);
    ASSERT_EQ(ZInflateInit(rec), 0);
    Bytes out(raw.size());
    EXPECT_EQ(ZInflateRead(rec, out.data(), 4000), 0);
    EXPECT_EQ(ZInflateRead(rec, out.data() + 4000, 1000), 1);
    EXPECT_EQ(out, raw);
}

TEST_F(InflateFixture, DataEndingBeforeTheRequestFails) {
    struct Case {
        const char* name;
        size_t cut;  // bytes removed from the end of the compressed data
        int32_t ask;
    };
    const Case cases[] = {
        {"stream ends one byte short of the request", 0, 1001},
        {"input runs out inside the stream", 8, 1000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        feeder = Feeder{};
        feeder.data = pngtest::Compress(Pattern(1000));
        feeder.data.resize(feeder.data.size() - c.cut);
        ASSERT_EQ(ZInflateInit(rec), 0);
        Bytes out(size_t(c.ask));
        EXPECT_LT(ZInflateRead(rec, out.data(), c.ask), 0);
    }
}

TEST_F(InflateFixture, InputFailureStopsWithoutInflating) {
    ASSERT_EQ(ZInflateInit(rec), 0);
    Bytes row(10);
    rec.CurRow = row.data();
    rec.PrevRow = row.data();
    rec.RowSize = 10;
    rec.BitsPerPixel = 8;
    EXPECT_EQ(ZInflateReadRow(rec), -1);
    EXPECT_EQ(feeder.calls, 1);
    EXPECT_EQ(rec.Z.total_in, 0u);
}

TEST_F(InflateFixture, CorruptDataAndPresetDictionaryFail) {
    // Not a zlib header at all.
    feeder.data = {0x12, 0x34, 0x56, 0x78, 0x9A};
    ASSERT_EQ(ZInflateInit(rec), 0);
    Bytes out(16);
    EXPECT_LT(ZInflateRead(rec, out.data(), 16), 0);

    // A valid stream that wants a preset dictionary can never progress.
    z_stream z{};
    ASSERT_EQ(deflateInit(&z, 9), Z_OK);
    const uint8_t dict[] = "dictionary";
    ASSERT_EQ(deflateSetDictionary(&z, dict, sizeof dict), Z_OK);
    Bytes raw = Pattern(100), comp(200);
    z.next_in = raw.data();
    z.avail_in = uInt(raw.size());
    z.next_out = comp.data();
    z.avail_out = uInt(comp.size());
    ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    comp.resize(z.total_out);
    deflateEnd(&z);
    feeder = Feeder{};
    feeder.data = comp;
    ASSERT_EQ(ZInflateInit(rec), 0);
    EXPECT_LT(ZInflateRead(rec, out.data(), 16), 0);
}

TEST_F(InflateFixture, RowsAreUnfilteredAgainstThePreviousRow) {
    // Two rows of 3 bytes (8-bit RGB, one pixel): the second is Up-filtered.
    const Bytes data = {0, 10, 20, 30, 2, 1, 1, 1, 5, 0, 0, 0};
    feeder.data = pngtest::Compress(data);
    ASSERT_EQ(ZInflateInit(rec), 0);
    Bytes cur(4), prev(4, 0);
    rec.CurRow = cur.data();
    rec.PrevRow = prev.data();
    rec.RowSize = 4;
    rec.BitsPerPixel = 24;
    EXPECT_EQ(ZInflateReadRow(rec), 0);
    EXPECT_EQ(cur, (Bytes{0, 10, 20, 30}));
    std::swap(rec.CurRow, rec.PrevRow);
    EXPECT_EQ(ZInflateReadRow(rec), 0);
    EXPECT_EQ(Bytes(rec.CurRow, rec.CurRow + 4), (Bytes{2, 11, 21, 31}));
    std::swap(rec.CurRow, rec.PrevRow);
    // Filter type 5 on the last row, which also ends the stream.
    EXPECT_EQ(ZInflateReadRow(rec), -1);
}

// What the callers see of a run of reads: each read's result, the bytes
// a failed read still gave, the input events asked for and the output.
struct Outcome {
    std::vector<int32_t> results;
    int64_t failedAfter = -1;
    int calls = 0;
    Bytes out;
    bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* os) {
    *os << "results";
    for (int32_t r : o.results) *os << ' ' << r;
    *os << ", failed after " << o.failedAfter << ", " << o.calls << " input calls, " << o.out.size() << " bytes";
}

// zlib alone, fed as the record is fed: the reference every engine must give.
Outcome ZlibOutcome(const Bytes& data, size_t piece, size_t total, size_t ask) {
    Outcome o;
    o.out.resize(total);
    z_stream z{};
    EXPECT_EQ(inflateInit(&z), Z_OK);
    Bytes in;
    size_t at = 0;
    for (size_t done = 0; done < total;) {
        const size_t n = std::min(ask, total - done);
        z.next_out = o.out.data() + done;
        z.avail_out = uInt(n);
        int32_t r = 0;
        while (z.avail_out > 0) {
            if (z.avail_in == 0) {
                ++o.calls;
                if (at >= data.size()) {
                    r = -1;
                    break;
                }
                const size_t m = std::min({piece, data.size() - at, size_t(TZInflateRec::InputSize)});
                in.assign(data.begin() + long(at), data.begin() + long(at + m));
                at += m;
                z.next_in = in.data();
                z.avail_in = uInt(m);
            }
            r = inflate(&z, Z_NO_FLUSH);
            if (r < 0) break;
            if (r == Z_NEED_DICT || (r == Z_STREAM_END && z.avail_out > 0)) {
                r = Z_DATA_ERROR;
                break;
            }
        }
        if (r >= 0) r = r == Z_STREAM_END ? 1 : 0;
        o.results.push_back(r);
        if (r < 0) {
            o.failedAfter = int64_t(done + n - z.avail_out);
            o.out.resize(size_t(o.failedAfter));
            break;
        }
        done += n;
    }
    inflateEnd(&z);
    return o;
}

TEST_F(InflateFixture, GivesZlibsResultsOnSoundAndBrokenStreams) {
    const Bytes raw = [] {
        // Long matches and literals both, over several deflate blocks.
        std::mt19937 rng(3);
        Bytes b(300000);
        for (size_t i = 0; i < b.size(); ++i) b[i] = (i / 900) % 3 == 0 ? uint8_t(rng() & 7) : uint8_t(i / 7);
        return b;
    }();
    const Bytes sound = pngtest::Compress(raw);
    const Bytes small = pngtest::Compress(Pattern(5000));
    auto header = [](Bytes b, uint8_t cmf, uint8_t flg) {
        flg = uint8_t(flg & 0xE0);
        flg = uint8_t(flg + (31 - ((cmf << 8) | flg) % 31) % 31);
        b[0] = cmf;
        b[1] = flg;
        return b;
    };
    auto change = [](Bytes b, size_t at, uint8_t x) {
        b[at] ^= x;
        return b;
    };
    auto cut = [](Bytes b, size_t n) {
        b.resize(b.size() - n);
        return b;
    };
    struct Case {
        const char* name;
        Bytes data;
        size_t piece;
        size_t total;  // bytes asked for in all
    };
    const Case cases[] = {
        {"sound", sound, 32768, raw.size()},
        {"sound, small pieces", sound, 1000, raw.size()},
        {"check value wrong", change(sound, sound.size() - 1, 1), 32768, raw.size()},
        {"check value wrong, in the last piece with the data", change(small, small.size() - 1, 1), small.size(),
         5000},
        {"check value wrong, alone in a later piece", change(small, small.size() - 1, 1), small.size() - 4, 5000},
        {"byte changed mid-stream", change(sound, sound.size() / 2, 0x55), 32768, raw.size()},
        {"byte changed early", change(sound, 40, 0xFF), 4096, raw.size()},
        {"input ends mid-stream", cut(sound, sound.size() / 2), 32768, raw.size()},
        {"input ends inside the check value", cut(sound, 2), 32768, raw.size()},
        {"stream ends before the request", sound, 32768, raw.size() + 1000},
        {"window zlib refuses", header(sound, 0x88, sound[1]), 32768, raw.size()},
        {"preset dictionary flag", header(sound, sound[0], uint8_t(sound[1] | 0x20)), 32768, raw.size()},
        {"reserved block type", change(sound, 2, 0x06), 32768, raw.size()},
    };
    for (const auto& c : cases) {
        for (const size_t ask : {size_t(4096), size_t(65536)}) {
            SCOPED_TRACE(std::string(c.name) + ", reads of " + std::to_string(ask));
            feeder = Feeder{};
            feeder.data = c.data;
            feeder.piece = c.piece;
            ASSERT_EQ(ZInflateInit(rec), 0);
            Outcome got;
            got.out.resize(c.total);
            for (size_t done = 0; done < c.total;) {
                const size_t n = std::min(ask, c.total - done);
                const int32_t r = ZInflateRead(rec, got.out.data() + done, int32_t(n));
                got.results.push_back(r);
                if (r < 0) {
                    got.failedAfter = int64_t(done + n - rec.Z.avail_out);
                    got.out.resize(size_t(got.failedAfter));
                    break;
                }
                done += n;
            }
            got.calls = feeder.calls;
            EXPECT_EQ(got, ZlibOutcome(c.data, c.piece, c.total, ask));
            ZInflateEnd(rec);
        }
    }
}

TEST_F(InflateFixture, InitTwiceAndReleaseTwiceAreHarmless) {
    ASSERT_EQ(ZInflateInit(rec), 0);
    uint8_t* first = rec.InBuffer;
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(ZInflateInit(rec), 0);  // releases the first state; ASan checks the leak
    EXPECT_NE(rec.InBuffer, nullptr);
    EXPECT_EQ(rec.InBufferSize, TZInflateRec::InputSize);
    ZInflateReset(rec);
    EXPECT_EQ(rec.Z.avail_in, 0u);
    EXPECT_EQ(rec.Z.next_in, rec.InBuffer);
    ZInflateEnd(rec);
    EXPECT_EQ(rec.InBuffer, nullptr);
    EXPECT_EQ(rec.InBufferSize, 0);
    EXPECT_FALSE(rec.ZActive);
    ZInflateReset(rec);
    ZInflateEnd(rec);
    Bytes out(4);
    EXPECT_LT(ZInflateRead(rec, out.data(), 4), 0);  // a released record reads nothing
}

}  // namespace

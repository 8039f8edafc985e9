// The deflate row writer: buffer sizes, output hand-over, the complete
// stream, and failures from zlib and from the output callback.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec/TavZLIB.h"

namespace {

// Collects what OnOutput is handed; can fail on a chosen call.
struct Sink {
    std::vector<std::vector<uint8_t>> Blocks;
    int FailOnCall = -1;  // 0-based call that returns FailCode
    int32_t FailCode = -9;
};

int32_t Collect(TZDeflateRec& rec) {
    auto& sink = *static_cast<Sink*>(rec.Owner);
    if (int(sink.Blocks.size()) == sink.FailOnCall) return sink.FailCode;
    const int32_t filled = rec.OutBufferSize - int32_t(rec.Z.avail_out);
    sink.Blocks.emplace_back(rec.OutBuffer, rec.OutBuffer + filled);
    return 0;
}

std::vector<uint8_t> Joined(const Sink& sink) {
    std::vector<uint8_t> all;
    for (const auto& b : sink.Blocks) all.insert(all.end(), b.begin(), b.end());
    return all;
}

std::vector<uint8_t> Inflated(const std::vector<uint8_t>& z, size_t expected) {
    std::vector<uint8_t> out(expected + 16);
    uLongf len = uLongf(out.size());
    EXPECT_EQ(uncompress(out.data(), &len, z.data(), uLong(z.size())), Z_OK);
    out.resize(len);
    return out;
}

std::vector<uint8_t> Noise(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (auto& b : v) {
        seed = seed * 1103515245u + 12345u;
        b = uint8_t(seed >> 16);
    }
    return v;
}

struct DeflateFixture : ::testing::Test {
    Sink sink;
    TZDeflateRec rec;
    void SetUp() override {
        rec.Owner = &sink;
        rec.OnOutput = Collect;
    }
    void TearDown() override { ZDeflateEnd(rec); }
};

TEST_F(DeflateFixture, BufferSizeFallsBackOutsideItsRange) {
    struct Case {
        int32_t requested, used;
    } cases[] = {{0, 32768}, {-5, 32768}, {262144, 32768}, {262143, 262143}, {256, 256}, {1000, 1000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.requested);
        ASSERT_EQ(ZDeflateInit(rec, -1, c.requested), 0);
        EXPECT_EQ(rec.OutBufferSize, c.used);
        EXPECT_EQ(int32_t(rec.Z.avail_out), c.used);
        EXPECT_TRUE(rec.ZActive);
    }
}

TEST_F(DeflateFixture, OutputFormsOneStreamInFullBuffersAndARest) {
    const auto data = Noise(5000, 7);  // incompressible: several buffers
    ASSERT_EQ(ZDeflateInit(rec, 6, 256), 0);
    for (size_t off = 0; off < data.size(); off += 500)
        ASSERT_EQ(ZDeflateWrite(rec, data.data() + off, 500), 0);
    ASSERT_EQ(ZDeflateFinish(rec), 0);
    ASSERT_GE(sink.Blocks.size(), 3u);
    for (size_t i = 0; i + 1 < sink.Blocks.size(); ++i) EXPECT_EQ(sink.Blocks[i].size(), 256u) << "block " << i;
    EXPECT_GE(sink.Blocks.back().size(), 1u);
    EXPECT_LE(sink.Blocks.back().size(), 256u);
    EXPECT_EQ(Inflated(Joined(sink), data.size()), data);
}

TEST_F(DeflateFixture, EmptyStreamIsStillComplete) {
    ASSERT_EQ(ZDeflateInit(rec, -1, 1024), 0);
    ASSERT_EQ(ZDeflateFinish(rec), 0);
    ASSERT_EQ(sink.Blocks.size(), 1u);
    EXPECT_TRUE(Inflated(Joined(sink), 0).empty());
}

TEST_F(DeflateFixture, FinishResetsForAFreshStream) {
    const auto first = Noise(700, 1), second = Noise(900, 2);
    ASSERT_EQ(ZDeflateInit(rec, 9, 512), 0);
    ASSERT_EQ(ZDeflateWrite(rec, first.data(), int32_t(first.size())), 0);
    ASSERT_EQ(ZDeflateFinish(rec), 0);
    EXPECT_EQ(Inflated(Joined(sink), first.size()), first);
    // The bytes already handed over must not come out again.
    sink.Blocks.clear();
    ASSERT_EQ(ZDeflateWrite(rec, second.data(), int32_t(second.size())), 0);
    ASSERT_EQ(ZDeflateFinish(rec), 0);
    EXPECT_EQ(Inflated(Joined(sink), second.size()), second);
}

TEST_F(DeflateFixture, CallbackRefusalIsReturnedUnchanged) {
    const auto data = Noise(200000, 3);
    ASSERT_EQ(ZDeflateInit(rec, 1, 256), 0);
    sink.FailOnCall = 1;
    EXPECT_EQ(ZDeflateWrite(rec, data.data(), int32_t(data.size())), -9);
    EXPECT_EQ(sink.Blocks.size(), 1u);
}

TEST_F(DeflateFixture, CallbackRefusalWhileFinishingIsReturned) {
    const auto data = Noise(100, 4);
    ASSERT_EQ(ZDeflateInit(rec, -1, 32768), 0);
    ASSERT_EQ(ZDeflateWrite(rec, data.data(), int32_t(data.size())), 0);
    sink.FailOnCall = 0;
    sink.FailCode = 5;
    EXPECT_EQ(ZDeflateFinish(rec), 5);
}

TEST_F(DeflateFixture, UnstartedRecordFailsEveryOperation) {
    uint8_t byte = 1;
    EXPECT_LT(ZDeflateWrite(rec, &byte, 1), 0);
    EXPECT_LT(ZDeflateFinish(rec), 0);
    EXPECT_LT(ZDeflateWriteRow(rec), 0);
    EXPECT_TRUE(sink.Blocks.empty());
    ZDeflateEnd(rec);  // harmless on a released record
    EXPECT_EQ(rec.OutBuffer, nullptr);
}

TEST_F(DeflateFixture, InvalidLevelIsRefused) {
    EXPECT_EQ(ZDeflateInit(rec, 12, 1024), -1);
    EXPECT_FALSE(rec.ZActive);
}

TEST_F(DeflateFixture, EndReleasesAndInitTwiceHoldsOneState) {
    ASSERT_EQ(ZDeflateInit(rec, -1, 1024), 0);
    ASSERT_EQ(ZDeflateInit(rec, -1, 2048), 0);  // the sanitizer build reports a leak here if any
    EXPECT_EQ(rec.OutBufferSize, 2048);
    ZDeflateEnd(rec);
    EXPECT_EQ(rec.OutBuffer, nullptr);
    EXPECT_EQ(rec.OutBufferSize, 0);
    EXPECT_FALSE(rec.ZActive);
}

TEST_F(DeflateFixture, WriteRowCompressesTheFilteredRow) {
    // Rows go through the filter choice into BestRow; with Up the second
    // row of two equal rows becomes all zeros after its type byte.
    std::vector<uint8_t> cur(16), prev(16), best(17), trial(17);
    for (int i = 0; i < 16; ++i) cur[size_t(i)] = uint8_t(i * 9 + 1);
    rec.CurRow = cur.data();
    rec.PrevRow = prev.data();
    rec.BestRow = best.data();
    rec.TrialRow = trial.data();
    rec.RowSize = 17;
    rec.BitsPerPixel = 8;
    rec.FilterMode = 3;
    ASSERT_EQ(ZDeflateInit(rec, -1, 4096), 0);
    ASSERT_EQ(ZDeflateWriteRow(rec), 0);
    std::swap(rec.CurRow, rec.PrevRow);
    std::memcpy(rec.CurRow, rec.PrevRow, 16);
    ASSERT_EQ(ZDeflateWriteRow(rec), 0);
    ASSERT_EQ(ZDeflateFinish(rec), 0);
    const auto raw = Inflated(Joined(sink), 34);
    ASSERT_EQ(raw.size(), 34u);
    EXPECT_EQ(raw[0], 2);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(raw[size_t(1 + i)], cur[size_t(i)]);
    EXPECT_EQ(raw[17], 2);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(raw[size_t(18 + i)], 0);
}

// Data that compresses about as well as a screenshot (flat runs), a palette
// image (short repeats among noise) or a photo (noise): the default level
// picks its compression by such a sample.
std::vector<uint8_t> Kind(const char* kind, size_t n) {
    std::vector<uint8_t> v = Noise(n, 11);
    if (std::strcmp(kind, "flat") == 0)
        for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i / 5000);
    else if (std::strcmp(kind, "mixed") == 0)
        for (size_t i = 0; i < n; ++i) v[i] = (i / 8) % 4 == 0 ? v[i] & 0x0f : uint8_t(i / 64);
    return v;
}

TEST_F(DeflateFixture, DefaultLevelInflatesBackWhateverTheSizeAndKind) {
    // Sizes around the sample of four 32 KiB pieces, and a stream that
    // turns out larger or smaller than the size declared for it.
    struct Case {
        const char* kind;
        size_t size;
        int64_t declared;
    } cases[] = {{"flat", 1, -1},          {"noise", 1, 1},          {"mixed", 131071, -1},
                 {"flat", 131072, 131072}, {"noise", 131073, -1},    {"mixed", 131073, 131073},
                 {"flat", 700001, -1},     {"noise", 700001, 700001}, {"mixed", 700001, 300000},
                 {"noise", 300000, 700001}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.kind) + " " + std::to_string(c.size) + " declared " + std::to_string(c.declared));
        sink.Blocks.clear();
        const auto data = Kind(c.kind, c.size);
        ASSERT_EQ(ZDeflateInit(rec, -1, 32768), 0);
        rec.ExpectedIn = c.declared;
        for (size_t off = 0; off < data.size(); off += 999)
            ASSERT_EQ(ZDeflateWrite(rec, data.data() + off, int32_t(std::min<size_t>(999, data.size() - off))), 0);
        ASSERT_EQ(ZDeflateFinish(rec), 0);
        for (size_t i = 0; i + 1 < sink.Blocks.size(); ++i) EXPECT_EQ(sink.Blocks[i].size(), 32768u) << "block " << i;
        EXPECT_EQ(Inflated(Joined(sink), data.size()), data);
        ZDeflateEnd(rec);
    }
}

TEST_F(DeflateFixture, StreamDeclaredTooBigToGatherIsZlibsOwn) {
    // Beyond what the default level holds whole, the stream is zlib's at
    // its default level, byte for byte, whatever engine is built in.
    const auto data = Kind("mixed", 200000);
    ASSERT_EQ(ZDeflateInit(rec, -1, 32768), 0);
    rec.ExpectedIn = int64_t(1) << 40;
    for (size_t off = 0; off < data.size(); off += 1000) ASSERT_EQ(ZDeflateWrite(rec, data.data() + off, 1000), 0);
    ASSERT_EQ(ZDeflateFinish(rec), 0);
    std::vector<uint8_t> zlibs(compressBound(uLong(data.size())));
    uLongf len = uLongf(zlibs.size());
    ASSERT_EQ(compress2(zlibs.data(), &len, data.data(), uLong(data.size()), Z_DEFAULT_COMPRESSION), Z_OK);
    zlibs.resize(len);
    EXPECT_EQ(Joined(sink), zlibs);
}

}  // namespace

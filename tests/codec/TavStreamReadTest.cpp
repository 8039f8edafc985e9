// The buffered reader over memory, file and plain streams: values across
// buffer and window ends, sticky flags, the 128-byte header skip, the
// stream position it leaves, large block reads and the progress model.
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codec/TavStream.h"
#include "platform/Exceptions.h"
#include "platform/ShiftJis.h"
#include "platform/Streams.h"
#include "tests/SjisText.h"

namespace {

constexpr int64_t kBuf = TTavCustomReadStream::BufferSize;

// Content byte at offset k of every test source; byte 0 and byte 74 are
// non-zero, so the 128-byte header test fails unless a case zeroes them.
uint8_t Pattern(uint64_t k) {
    return uint8_t(k * 131 + (k >> 8) * 7 + 1);
}

std::vector<uint8_t> PatternBytes(int64_t n) {
    std::vector<uint8_t> v(static_cast<size_t>(n));
    for (int64_t k = 0; k < n; ++k) v[size_t(k)] = Pattern(uint64_t(k));
    return v;
}

uint32_t BigEndianAt(const std::vector<uint8_t>& v, int64_t at, int n) {
    uint32_t x = 0;
    for (int i = 0; i < n; ++i) x = x << 8 | v[size_t(at + i)];
    return x;
}

// A plain stream of Pattern bytes that stores nothing, so it can claim any
// size; it records the size of every read asked of it.
class SyntheticStream : public TStream {
public:
    explicit SyntheticStream(int64_t size) : size_(size) {}
    int64_t Read(void* buffer, int64_t count) override {
        reads.push_back(count);
        const int64_t n = std::max<int64_t>(0, std::min(count, size_ - pos_));
        auto* out = static_cast<uint8_t*>(buffer);
        for (int64_t i = 0; i < n; ++i) out[i] = Pattern(uint64_t(pos_ + i));
        pos_ += n;
        return n;
    }
    int64_t Write(const void*, int64_t) override { return 0; }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override {
        const int64_t base = origin == TSeekOrigin::Beginning ? 0 : origin == TSeekOrigin::Current ? pos_ : size_;
        pos_ = base + offset;
        return pos_;
    }
    int64_t Size() override { return size_; }
    void SetSize(int64_t size) override { size_ = size; }

    std::vector<int64_t> reads;

private:
    int64_t size_;
    int64_t pos_ = 0;
};

// Exposes the reader's protected state and records progress reports.
class ProbeReader : public TTavCustomReadStream {
public:
    using TTavCustomReadStream::FillBuffer;
    int32_t Share() const { return PhaseShare_; }
    int32_t Base() const { return ProgressBase_; }
    int32_t Remaining() const { return ProgressRemaining_; }
    int64_t LastCounter() const { return LastCounter_; }
    bool HoldsBuffer() const { return Buffer_ != nullptr; }

    std::vector<int32_t> reports;
    bool stopAnswer = false;

protected:
    bool DoProgress(int32_t percent) override {
        reports.push_back(percent);
        return stopAnswer;
    }
};

enum class Kind { Memory, File, Plain };

std::string KindName(Kind k) {
    switch (k) {
        case Kind::Memory: return "Memory";
        case Kind::File: return "File";
        case Kind::Plain: return "Plain";
    }
    return "?";
}

std::string TempPath() {
    static int counter = 0;
    return (std::filesystem::temp_directory_path() /
            ("tobelin-read-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + ".bin"))
        .string();
}

// A stream of the given kind holding bytes, positioned at position.
struct Source {
    std::unique_ptr<TStream> stream;
    std::string path;
    Source(Kind kind, const std::vector<uint8_t>& bytes, int64_t position) {
        const auto n = int64_t(bytes.size());
        switch (kind) {
            case Kind::Memory: {
                auto m = std::make_unique<TMemoryStream>();
                m->WriteBuffer(bytes.data(), n);
                stream = std::move(m);
                break;
            }
            case Kind::File: {
                path = TempPath();
                {
                    TFileStream f(path, TFileStream::fmCreate);
                    f.WriteBuffer(bytes.data(), n);
                }
                stream = std::make_unique<TFileStream>(path, TFileStream::fmOpenRead);
                break;
            }
            case Kind::Plain:
                // Synthetic streams always carry the Pattern bytes.
                EXPECT_EQ(bytes, PatternBytes(n));
                stream = std::make_unique<SyntheticStream>(n);
                break;
        }
        stream->SetPosition(position);
    }
    ~Source() {
        stream.reset();
        if (!path.empty()) std::remove(path.c_str());
    }
};

class ReaderOn : public ::testing::TestWithParam<Kind> {
protected:
    // Checks the reader's bookkeeping against the stream it reads.
    void ExpectInvariant(ProbeReader& r, TStream& s) {
        if (GetParam() == Kind::Memory) {
            EXPECT_EQ(s.Position(), r.StartPosition) << "memory streams are not moved while reading";
            EXPECT_EQ(r.BufferLeft, r.DataSize - r.Consumed);
        } else {
            EXPECT_EQ(s.Position(), r.StartPosition + r.Consumed + r.BufferLeft);
        }
    }
};

INSTANTIATE_TEST_SUITE_P(Kinds, ReaderOn, ::testing::Values(Kind::Memory, Kind::File, Kind::Plain),
                         [](const auto& info) { return KindName(info.param); });

// Value reads whose bytes straddle the end of the 64 KiB buffer, including
// one that ends exactly at the end of the stream.
TEST_P(ReaderOn, ValuesAcrossTheBufferEnd) {
    struct Case {
        const char* name;
        int64_t streamSize;
        int64_t skipTo;
        int width;  // 1, 2 or 4 bytes
    };
    const Case cases[] = {
        {"dword 1 byte before the end", kBuf + 100, kBuf - 1, 4},
        {"dword 2 bytes before the end", kBuf + 100, kBuf - 2, 4},
        {"dword 3 bytes before the end", kBuf + 100, kBuf - 3, 4},
        {"dword right at the end", kBuf + 100, kBuf, 4},
        {"word 1 byte before the end", kBuf + 100, kBuf - 1, 2},
        {"byte right at the end", kBuf + 100, kBuf, 1},
        {"dword ending at the stream end", kBuf + 2, kBuf - 2, 4},
        {"word ending at the stream end", kBuf + 1, kBuf - 1, 2},
        {"dword across the second buffer end", 3 * kBuf, 2 * kBuf - 1, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto bytes = PatternBytes(c.streamSize);
        Source src(GetParam(), bytes, 0);
        ProbeReader r;
        r.BeginRead(*src.stream, 0);
        // Step up by bytes so that the buffer holds the tail of its load.
        for (int64_t i = 0; i < c.skipTo; i += 1000) {
            const int64_t n = std::min<int64_t>(1000, c.skipTo - i);
            std::vector<uint8_t> sink(static_cast<size_t>(n));
            r.ReadBlock(sink.data(), n);
        }
        ASSERT_EQ(r.Consumed, c.skipTo);
        uint32_t got = 0;
        switch (c.width) {
            case 1: got = r.ReadByte(); break;
            case 2: got = r.ReadWordBE(); break;
            case 4: got = r.ReadDWordBE(); break;
        }
        EXPECT_EQ(got, BigEndianAt(bytes, c.skipTo, c.width));
        EXPECT_FALSE(r.EndOfData);
        EXPECT_EQ(r.Consumed, c.skipTo + c.width);
        ExpectInvariant(r, *src.stream);
        if (r.Consumed == c.streamSize) {
            EXPECT_EQ(r.ReadByte(), 0);
            EXPECT_TRUE(r.EndOfData);
        } else {
            EXPECT_EQ(r.ReadByte(), bytes[size_t(r.Consumed)]);
        }
        r.EndRead();
    }
}

// Requests past the window set EndOfData, copy and consume nothing, and
// everything after them does nothing.
TEST_P(ReaderOn, WindowEndIsStickyAndConsumesNothing) {
    enum Op { Byte, Word, DWord, Block, SkipOp };
    struct Case {
        const char* name;
        int64_t left;  // bytes left in the window before the request
        Op op;
        int64_t count;  // for Block and SkipOp
    };
    const Case cases[] = {
        {"dword with 3 left", 3, DWord, 0},
        {"dword with 0 left", 0, DWord, 0},
        {"word with 1 left", 1, Word, 0},
        {"byte with 0 left", 0, Byte, 0},
        {"block one past", 10, Block, 11},
        {"block negative", 10, Block, -1},
        {"block absurd", 10, Block, INT64_MAX},
        {"skip one past", 10, SkipOp, 11},
        {"skip negative", 10, SkipOp, -5},
        {"skip absurd", 10, SkipOp, INT64_MAX},
    };
    constexpr int64_t window = 500;
    const auto bytes = PatternBytes(2000);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Source src(GetParam(), bytes, 100);
        ProbeReader r;
        r.BeginRead(*src.stream, window);
        ASSERT_EQ(r.DataSize, window);
        r.Skip(window - c.left);
        ASSERT_FALSE(r.EndOfData);
        std::vector<uint8_t> dest(64, 0xEE);
        uint32_t got = 0;
        switch (c.op) {
            case Byte: got = r.ReadByte(); break;
            case Word: got = r.ReadWordBE(); break;
            case DWord: got = r.ReadDWordBE(); break;
            case Block: r.ReadBlock(dest.data(), c.count); break;
            case SkipOp: r.Skip(c.count); break;
        }
        EXPECT_EQ(got, 0u);
        EXPECT_TRUE(r.EndOfData);
        EXPECT_FALSE(r.Stopped);
        EXPECT_EQ(r.Consumed, window - c.left);
        EXPECT_EQ(dest, std::vector<uint8_t>(64, 0xEE));
        // Sticky: a byte that lies inside the window is not read any more.
        if (c.left > 0) {
            EXPECT_EQ(r.ReadByte(), 0);
            EXPECT_EQ(r.Consumed, window - c.left);
        }
        r.EndRead();
        EXPECT_EQ(src.stream->Position(), 100 + window - c.left);
    }
}

// Zero-length requests stop the reader; the stop is sticky until
// ProgressBegin or the next BeginRead.
TEST_P(ReaderOn, ZeroLengthRequestsStop) {
    const auto bytes = PatternBytes(1000);
    for (const bool viaSkip : {false, true}) {
        SCOPED_TRACE(viaSkip ? "Skip(0)" : "ReadBlock(0)");
        Source src(GetParam(), bytes, 0);
        ProbeReader r;
        r.BeginRead(*src.stream, 0);
        EXPECT_EQ(r.ReadByte(), bytes[0]);
        uint8_t dest[4] = {};
        if (viaSkip)
            r.Skip(0);
        else
            r.ReadBlock(dest, 0);
        EXPECT_TRUE(r.Stopped);
        EXPECT_FALSE(r.EndOfData);
        EXPECT_EQ(r.ReadDWordBE(), 0u);
        r.Skip(10);
        r.ReadBlock(dest, 4);
        EXPECT_EQ(r.Consumed, 1);

        r.ProgressBegin();
        EXPECT_FALSE(r.Stopped);
        EXPECT_EQ(r.ReadByte(), bytes[1]);

        r.ReadBlock(dest, 0);
        ASSERT_TRUE(r.Stopped);
        src.stream->SetPosition(0);
        r.BeginRead(*src.stream, 0);
        EXPECT_FALSE(r.Stopped);
        EXPECT_EQ(r.ReadByte(), bytes[0]);
    }
}

// Skip tests the window before the zero count; ReadBlock the other way.
TEST_P(ReaderOn, ZeroRequestsAtTheWindowEnd) {
    const auto bytes = PatternBytes(16);
    Source src(GetParam(), bytes, 0);
    ProbeReader r;
    r.BeginRead(*src.stream, 0);
    r.Skip(16);
    ASSERT_FALSE(r.EndOfData);
    r.Skip(0);
    EXPECT_TRUE(r.Stopped);
    EXPECT_FALSE(r.EndOfData);
    r.EndRead();
}

TEST_P(ReaderOn, MacHeaderDetection) {
    struct Case {
        const char* name;
        int64_t size;
        bool zeroBytes;  // bytes 0 and 74 of the window are 0
        bool option;
        bool pngSignature;
        bool found;
    };
    const Case cases[] = {
        {"header in a long window", 70000, true, true, false, true},
        {"header in a 129-byte window", 129, true, true, false, true},
        {"128-byte window is never tested", 128, true, true, false, false},
        {"option off", 70000, true, false, false, false},
        {"byte 0 non-zero", 70000, false, true, false, false},
        {"PNG signature", 70000, true, true, true, false},
    };
    constexpr int64_t start = 7;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto bytes = PatternBytes(start + c.size);
        if (c.zeroBytes) bytes[start] = bytes[start + 74] = 0;
        if (c.pngSignature) bytes[start] = 0x89;
        if (GetParam() == Kind::Plain && bytes != PatternBytes(start + c.size)) continue;
        Source src(GetParam(), bytes, start);
        ProbeReader r;
        r.SkipMacHeader = c.option;
        r.BeginRead(*src.stream, 0);
        EXPECT_EQ(r.MacHeaderFound, c.found);
        const int64_t first = c.found ? 128 : 0;
        EXPECT_EQ(r.Consumed, first);
        ExpectInvariant(r, *src.stream);
        EXPECT_EQ(r.ReadByte(), bytes[size_t(start + first)]);
        if (c.size > kBuf + 200) {
            // Past the first buffer load, values still come from the right
            // offsets and the stream ends up right behind them.
            r.Skip(kBuf - 1 - r.Consumed);
            const int64_t at = r.Consumed;
            EXPECT_EQ(r.ReadDWordBE(), BigEndianAt(bytes, start + at, 4));
            ExpectInvariant(r, *src.stream);
            r.EndRead();
            EXPECT_EQ(src.stream->Position(), start + at + 4);
        }
    }
}

// An operation sequence checked against a plain model of the window: the
// values, Consumed, the stream position and, at EndRead, the position
// right behind the consumed bytes.
TEST_P(ReaderOn, MixedSequenceMatchesModel) {
    constexpr int64_t start = 33;
    constexpr int64_t window = 300000;
    const auto bytes = PatternBytes(start + window + 50);
    const int64_t sizes[] = {1, 2, 3, 100, 4095, kBuf - 1, kBuf, kBuf + 1, 2 * kBuf + 5, 70000};
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Source src(GetParam(), bytes, start);
        ProbeReader r;
        r.SkipMacHeader = true;  // pattern byte 0 is non-zero: nothing skipped
        r.BeginRead(*src.stream, window);
        std::mt19937 rng(seed);
        int64_t pos = 0;
        bool eod = false;
        for (int step = 0; step < 200 && !eod; ++step) {
            const int op = int(rng() % 5);
            const int64_t n = op < 3 ? (op == 0 ? 1 : op == 1 ? 2 : 4) : sizes[rng() % std::size(sizes)];
            const bool fits = n <= window - pos;
            uint32_t got = 0;
            std::vector<uint8_t> dest;
            switch (op) {
                case 0: got = r.ReadByte(); break;
                case 1: got = r.ReadWordBE(); break;
                case 2: got = r.ReadDWordBE(); break;
                case 3:
                    dest.assign(size_t(n), 0);
                    r.ReadBlock(dest.data(), n);
                    break;
                case 4: r.Skip(n); break;
            }
            if (!fits) {
                eod = true;
                EXPECT_EQ(got, 0u);
            } else {
                if (op < 3) {
                    EXPECT_EQ(got, BigEndianAt(bytes, start + pos, int(n))) << "step " << step;
                } else if (op == 3) {
                    EXPECT_TRUE(std::equal(dest.begin(), dest.end(), bytes.begin() + start + pos))
                        << "step " << step;
                }
                pos += n;
            }
            ASSERT_EQ(r.EndOfData, eod) << "step " << step;
            ASSERT_EQ(r.Consumed, pos) << "step " << step;
            ExpectInvariant(r, *src.stream);
        }
        r.EndRead();
        EXPECT_EQ(src.stream->Position(), start + pos);
        EXPECT_FALSE(r.HoldsBuffer());
    }
}

TEST_P(ReaderOn, EmptyWindowSetsEndOfDataWithoutABuffer) {
    const auto bytes = PatternBytes(10);
    Source src(GetParam(), bytes, 10);
    ProbeReader r;
    r.BeginRead(*src.stream, 0);
    EXPECT_TRUE(r.EndOfData);
    EXPECT_FALSE(r.HoldsBuffer());
    EXPECT_EQ(r.ReadByte(), 0);
    r.EndRead();
    EXPECT_EQ(src.stream->Position(), 10);
}

TEST_P(ReaderOn, NoReadsWithoutAStream) {
    const auto bytes = PatternBytes(100);
    Source src(GetParam(), bytes, 0);
    ProbeReader r;
    EXPECT_EQ(r.ReadDWordBE(), 0u);
    EXPECT_TRUE(r.EndOfData);

    r.BeginRead(*src.stream, 0);
    EXPECT_EQ(r.ReadByte(), bytes[0]);
    r.EndRead();
    // Detached: nothing is read from a stream or a released buffer.
    EXPECT_EQ(r.ReadWordBE(), 0u);
    EXPECT_TRUE(r.EndOfData);
    EXPECT_EQ(r.Consumed, 1);
    EXPECT_EQ(src.stream->Position(), 1);
}

// Only memory, file and plain streams are parameterised above; these cases
// concern how each kind meets a window longer than its data.
TEST(TavReadStream, WindowLongerThanTheData) {
    const auto bytes = PatternBytes(1000);
    {
        SCOPED_TRACE("memory: the window ends with the stream");
        Source src(Kind::Memory, bytes, 900);
        ProbeReader r;
        r.BeginRead(*src.stream, 5000);
        EXPECT_EQ(r.DataSize, 100);
        std::vector<uint8_t> dest(200, 0);
        r.ReadBlock(dest.data(), 200);
        EXPECT_TRUE(r.EndOfData);
        r.ReadBlock(dest.data(), 0);  // sticky: no stop either
        EXPECT_FALSE(r.Stopped);
    }
    {
        SCOPED_TRACE("file: a refill comes up short");
        Source src(Kind::File, bytes, 900);
        ProbeReader r;
        try {
            r.BeginRead(*src.stream, 5000);
            FAIL() << "no read error";
        } catch (const EReadError& e) {
            EXPECT_SJIS_EQ(e.message(), Sjis(u8"ストリームからの読み込みエラー"));
        }
    }
}

// A block read bypasses the buffer for all but its last 64 KiB.
TEST(TavReadStream, LargeBlocksBypassTheBuffer) {
    struct Case {
        const char* name;
        int64_t before;  // bytes read first, in one small block
        int64_t count;
        std::vector<int64_t> readsAfter;  // reads asked of the stream by the block
    };
    const Case cases[] = {
        {"fits in the buffer", 0, kBuf, {}},
        {"one byte more than buffered", 10, kBuf - 9, {kBuf}},
        {"exactly 64 KiB beyond the buffered part", 10, kBuf - 10 + kBuf, {kBuf}},
        {"one byte more goes direct", 10, kBuf - 10 + kBuf + 1, {1, kBuf}},
        {"large block", 0, 200000, {200000 - 2 * kBuf, kBuf}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        constexpr int64_t size = 500000;
        SyntheticStream s(size);
        ProbeReader r;
        r.BeginRead(s, 0);
        ASSERT_EQ(s.reads, std::vector<int64_t>{kBuf});
        std::vector<uint8_t> head(size_t(std::max<int64_t>(c.before, 1)));
        if (c.before > 0) r.ReadBlock(head.data(), c.before);
        s.reads.clear();
        std::vector<uint8_t> dest(size_t(c.count));
        r.ReadBlock(dest.data(), c.count);
        EXPECT_EQ(s.reads, c.readsAfter);
        const auto expected = PatternBytes(c.before + c.count);
        EXPECT_TRUE(std::equal(dest.begin(), dest.end(), expected.begin() + c.before));
        EXPECT_EQ(r.Consumed, c.before + c.count);
        EXPECT_EQ(s.Position(), r.Consumed + r.BufferLeft);
        // The byte after the block still comes out right.
        EXPECT_EQ(r.ReadByte(), Pattern(uint64_t(c.before + c.count)));
    }
}

TEST(TavReadStream, MemoryIsReadInPlace) {
    TMemoryStream m;
    const auto bytes = PatternBytes(3 * kBuf);
    m.WriteBuffer(bytes.data(), int64_t(bytes.size()));
    m.SetPosition(5);
    ProbeReader r;
    SyntheticStream earlier(100);  // an earlier read left a buffer behind
    r.BeginRead(earlier, 0);
    ASSERT_TRUE(r.HoldsBuffer());
    r.BeginRead(m, 0);
    EXPECT_FALSE(r.HoldsBuffer());
    EXPECT_EQ(r.BufferLeft, 3 * kBuf - 5);
    std::vector<uint8_t> dest(size_t(2 * kBuf));
    r.ReadBlock(dest.data(), 2 * kBuf);
    EXPECT_EQ(m.Position(), 5);
    r.EndRead();
    EXPECT_EQ(m.Position(), 5 + 2 * kBuf);
}

TEST(TavReadStream, SkipBeyondTheBufferSeeksAndRefills) {
    SyntheticStream s(10 * kBuf);
    ProbeReader r;
    r.BeginRead(s, 0);
    r.Skip(kBuf - 3);
    r.Skip(4 * kBuf);  // more than the 3 buffered bytes: a seek
    EXPECT_EQ(r.BufferLeft, 0);
    EXPECT_EQ(s.Position(), 5 * kBuf - 3);
    s.reads.clear();
    EXPECT_EQ(r.ReadByte(), Pattern(uint64_t(5 * kBuf - 3)));
    EXPECT_EQ(s.reads, std::vector<int64_t>{kBuf});
}

// FillBuffer keeps the first bytes and loads the rest of the window behind
// them, never more than the buffer holds.
TEST(TavReadStream, FillBufferKeepsAndCaps) {
    struct Case {
        const char* name;
        int64_t window;
        int64_t keep;  // bytes left in the buffer before the refill
        int64_t expectRead;
    };
    const Case cases[] = {
        {"long window: the buffer fills up", 10 * kBuf, 3, kBuf - 3},
        {"near the window end: only the rest", kBuf + 10, 3, 10},
        {"nothing kept", 3 * kBuf, 0, kBuf},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SyntheticStream s(c.window);
        ProbeReader r;
        r.BeginRead(s, 0);
        r.Skip(kBuf - c.keep);
        ASSERT_EQ(r.BufferLeft, c.keep);
        s.reads.clear();
        r.FillBuffer(c.keep);
        EXPECT_EQ(s.reads, std::vector<int64_t>{c.expectRead});
        EXPECT_EQ(r.BufferLeft, c.keep + c.expectRead);
        EXPECT_EQ(s.Position(), r.Consumed + r.BufferLeft);
    }
}

// ---------------------------------------------------------------------------
// Progress

TEST(TavReadProgress, PhaseShares) {
    SyntheticStream s(1000);
    ProbeReader r;
    r.BeginRead(s, 0);
    r.ProgressBegin();
    EXPECT_EQ(r.reports, std::vector<int32_t>{0});
    EXPECT_EQ(r.Remaining(), 99);
    r.ProgressPhase(0, 0, 30);
    EXPECT_EQ(r.Share(), 29);
    r.ProgressPhase(1, 50, 98);
    EXPECT_EQ(r.Base(), 29);
    EXPECT_EQ(r.Remaining(), 70);
    EXPECT_EQ(r.Share(), 68);
    r.ProgressPhase(1, 50, 0);
    EXPECT_EQ(r.Base(), 97);
    EXPECT_EQ(r.Share(), 2) << "share 0 takes all that is left";
    r.ProgressPhase(1, 50, 100);
    EXPECT_EQ(r.Base(), 99);
    EXPECT_EQ(r.Share(), 0);
}

TEST(TavReadProgress, ByCounterReportsOnlyIncreases) {
    SyntheticStream s(1000);
    ProbeReader r;
    r.BeginRead(s, 0);
    r.ProgressBegin();
    r.ProgressPhase(1, 10, 0);  // share 99
    const std::pair<int64_t, std::vector<int32_t>> steps[] = {
        {1, {0, 9}},          // 1 × 99 div 10
        {1, {0, 9}},          // no increase, no report
        {0, {0, 9}},          // a decrease is ignored
        {5, {0, 9, 49}},      // 5 × 99 div 10
        {20, {0, 9, 49, 99}}, // capped at the share
    };
    for (const auto& [counter, expected] : steps) {
        SCOPED_TRACE("counter " + std::to_string(counter));
        r.ProgressStep(counter);
        EXPECT_EQ(r.reports, expected);
    }
    EXPECT_EQ(r.LastCounter(), 20);
    r.ProgressEnd();
    EXPECT_EQ(r.reports.back(), 100);
}

TEST(TavReadProgress, ZeroTotalIsOne) {
    {
        SCOPED_TRACE("by counter");
        SyntheticStream s(1000);
        ProbeReader r;
        r.BeginRead(s, 0);
        r.ProgressBegin();
        r.ProgressPhase(1, 0, 50);  // share 49, total 1
        r.ProgressStep(-1);         // below the total: scaled, not capped
        r.ProgressStep(1);
        EXPECT_EQ(r.reports, (std::vector<int32_t>{0, 49}));
    }
    {
        SCOPED_TRACE("by bytes of an empty window");
        SyntheticStream s(0);
        ProbeReader r;
        r.BeginRead(s, 0);
        ASSERT_EQ(r.DataSize, 0);
        r.ProgressBegin();
        r.ProgressPhase(0, 0, 0);
        r.ProgressStep(0);
        r.ProgressEnd();
        EXPECT_EQ(r.reports, (std::vector<int32_t>{0, 100}));
    }
}

// Kind 0 measures bytes consumed since the phase opened against the whole
// window; products beyond 32 bits must not wrap.
TEST(TavReadProgress, ByBytesIncludingHugeWindows) {
    struct Case {
        const char* name;
        int64_t window;
        int64_t phaseAt;  // Consumed when the phase opens
        int64_t consumed;
        int32_t expected;
    };
    const Case cases[] = {
        {"small window, half", 1000, 0, 500, 49},
        {"phase opened late", 1000, 400, 900, 49},
        {"30 MB window", 30'000'000, 0, 25'000'000, 82},
        {"40 MB window, three quarters", 40'000'000, 0, 30'000'000, 74},
        {"window above 2 GiB", 3'000'000'000LL, 0, 2'999'999'999LL, 98},
        {"window above 4 GiB", 6LL << 30, 0, 3LL << 30, 49},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SyntheticStream s(c.window);
        ProbeReader r;
        r.BeginRead(s, 0);
        ASSERT_EQ(r.DataSize, c.window);
        if (c.phaseAt > 0) r.Skip(c.phaseAt);
        r.ProgressBegin();
        r.ProgressPhase(0, 12345, 0);  // Total is ignored for kind 0
        r.Skip(c.consumed - c.phaseAt);
        ASSERT_FALSE(r.EndOfData);
        r.ProgressStep(0);
        EXPECT_EQ(r.reports, (std::vector<int32_t>{0, c.expected}));
    }
}

TEST(TavReadProgress, DoProgressAnswerStops) {
    SyntheticStream s(1000);
    ProbeReader r;
    r.BeginRead(s, 0);
    r.stopAnswer = true;
    r.ProgressBegin();
    EXPECT_TRUE(r.Stopped);
    EXPECT_EQ(r.ReadByte(), 0);
    r.stopAnswer = false;
    r.ProgressEnd();
    EXPECT_FALSE(r.Stopped);
}

TEST(TavReadProgress, BaseClassNeverStops) {
    SyntheticStream s(100);
    TTavCustomReadStream r;
    r.BeginRead(s, 0);
    r.ProgressBegin();
    r.ProgressPhase(1, 2, 0);
    r.ProgressStep(1);
    r.ProgressEnd();
    EXPECT_FALSE(r.Stopped);
    EXPECT_EQ(r.ReadByte(), Pattern(0));
}

}  // namespace

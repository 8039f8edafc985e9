// The buffered big-endian writer: its buffering thresholds, the bytes it
// hands over, the stop flag, write errors and its progress model.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "codec/TavStream.h"
#include "platform/Exceptions.h"
#include "platform/ShiftJis.h"
#include "platform/Streams.h"
#include "tests/SjisText.h"

namespace {

constexpr int64_t kBuf = TTavCustomWriteStream::BufferSize;

// Collects what is written and the size of each write; accepts at most
// limit bytes in all.
class SinkStream : public TStream {
public:
    explicit SinkStream(int64_t limit = INT64_MAX) : limit_(limit) {}
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void* buffer, int64_t count) override {
        writes.push_back(count);
        const int64_t n = std::min<int64_t>(count, limit_ - int64_t(data.size()));
        const auto* in = static_cast<const uint8_t*>(buffer);
        data.insert(data.end(), in, in + n);
        return n;
    }
    int64_t Seek(int64_t, TSeekOrigin) override { return int64_t(data.size()); }
    void SetSize(int64_t) override {}

    std::vector<uint8_t> data;
    std::vector<int64_t> writes;

private:
    int64_t limit_;
};

class ProbeWriter : public TTavCustomWriteStream {
public:
    int32_t Share() const { return PhaseShare_; }
    std::vector<int32_t> reports;
    bool stopAnswer = false;

protected:
    bool DoProgress(int32_t percent) override {
        reports.push_back(percent);
        return stopAnswer;
    }
};

std::vector<uint8_t> Block(int64_t n, uint8_t seed) {
    std::vector<uint8_t> v(static_cast<size_t>(n));
    for (size_t i = 0; i < v.size(); ++i) v[i] = uint8_t(seed + i * 7);
    return v;
}

void Append(std::vector<uint8_t>& all, const std::vector<uint8_t>& part) {
    all.insert(all.end(), part.begin(), part.end());
}

// Buffers n bytes in blocks small enough to stay in the buffer.
void FillPending(TTavCustomWriteStream& w, std::vector<uint8_t>& expected, int64_t n) {
    for (int64_t done = 0; done < n;) {
        const int64_t part = std::min<int64_t>(60000, n - done);
        const auto b = Block(part, uint8_t(done));
        w.WriteBlock(b.data(), part);
        Append(expected, b);
        done += part;
    }
}

// Which writes reach the stream, and when, for blocks around the buffer
// and direct-write limits.
TEST(TavWriteStream, BlockBufferingThresholds) {
    struct Case {
        const char* name;
        int64_t pending;  // bytes buffered first
        int64_t count;
        std::vector<int64_t> writesNow;  // handed to the stream by the block
        int64_t pendingAfter;
    };
    const Case cases[] = {
        {"65519 bytes are buffered", 0, 65519, {}, 65519},
        {"65520 bytes go straight through", 0, 65520, {65520}, 0},
        {"a direct write flushes first", 10, 65520, {10, 65520}, 0},
        {"filling to 65535 stays buffered", 100, 65435, {}, 65535},
        {"reaching 65536 flushes first", 100, 65436, {100}, 65436},
        {"small block into a full buffer", 65535, 1, {65535}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SinkStream sink;
        ProbeWriter w;
        w.BeginWrite(sink);
        std::vector<uint8_t> expected;
        FillPending(w, expected, c.pending);
        ASSERT_TRUE(sink.writes.empty());
        const auto second = Block(c.count, 99);
        w.WriteBlock(second.data(), c.count);
        Append(expected, second);
        EXPECT_EQ(sink.writes, c.writesNow);
        EXPECT_EQ(w.Pending, c.pendingAfter);
        EXPECT_EQ(w.TotalWritten, int64_t(sink.data.size()));
        EXPECT_FALSE(w.Stopped);
        w.FlushPending();
        EXPECT_EQ(sink.data, expected);
        EXPECT_EQ(w.Pending, 0);
        EXPECT_EQ(w.TotalWritten, c.pending + c.count);
    }
}

TEST(TavWriteStream, DWordBigEndianAndItsFlushBoundary) {
    struct Case {
        const char* name;
        int64_t pending;
        bool flushesFirst;
    };
    const Case cases[] = {
        {"empty buffer", 0, false},
        {"ends at 65535", 65531, false},
        {"would reach 65536", 65532, true},
        {"would pass 65536", 65535, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SinkStream sink;
        ProbeWriter w;
        w.BeginWrite(sink);
        std::vector<uint8_t> expected;
        FillPending(w, expected, c.pending);
        ASSERT_TRUE(sink.writes.empty());
        w.WriteDWordBE(0x89504E47u);
        Append(expected, {0x89, 0x50, 0x4E, 0x47});
        if (c.flushesFirst) {
            EXPECT_EQ(sink.writes, std::vector<int64_t>{c.pending});
            EXPECT_EQ(w.Pending, 4);
        } else {
            EXPECT_TRUE(sink.writes.empty());
            EXPECT_EQ(w.Pending, c.pending + 4);
        }
        w.FlushPending();
        EXPECT_EQ(sink.data, expected);
    }
}

// A long mixed sequence comes out byte for byte, and the buffer never
// holds more than 65535 bytes.
TEST(TavWriteStream, MixedWritesKeepOrder) {
    SinkStream sink;
    ProbeWriter w;
    w.BeginWrite(sink);
    std::vector<uint8_t> expected;
    const int64_t sizes[] = {1, 3, 4000, 65519, 65520, 70000, 17, 65535, 2};
    uint32_t value = 0x01020304;
    for (int round = 0; round < 3; ++round) {
        for (const int64_t n : sizes) {
            const auto b = Block(n, uint8_t(n + round));
            w.WriteBlock(b.data(), n);
            Append(expected, b);
            EXPECT_LT(w.Pending, kBuf) << "after a block of " << n;
            w.WriteDWordBE(value);
            EXPECT_LT(w.Pending, kBuf) << "after a dword";
            Append(expected, {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)});
            value = value * 2654435761u + 1;
        }
    }
    w.FlushPending();
    EXPECT_EQ(sink.data, expected);
    EXPECT_EQ(w.TotalWritten, int64_t(expected.size()));
}

TEST(TavWriteStream, ZeroLengthWriteStopsUntilProgressBegin) {
    SinkStream sink;
    ProbeWriter w;
    w.BeginWrite(sink);
    const auto b = Block(8, 1);
    w.WriteBlock(b.data(), 4);
    w.WriteBlock(b.data(), 0);
    EXPECT_TRUE(w.Stopped);
    w.WriteBlock(b.data(), 8);
    w.WriteDWordBE(0xFFFFFFFFu);
    EXPECT_EQ(w.Pending, 4);
    w.BeginWrite(sink);  // BeginWrite leaves the stop alone
    EXPECT_TRUE(w.Stopped);
    w.ProgressBegin();
    EXPECT_FALSE(w.Stopped);
    w.WriteDWordBE(0x0A0B0C0Du);
    w.FlushPending();
    EXPECT_EQ(sink.data, (std::vector<uint8_t>{0x0A, 0x0B, 0x0C, 0x0D}));
}

TEST(TavWriteStream, NegativeLengthStopsWithoutWriting) {
    SinkStream sink;
    ProbeWriter w;
    w.BeginWrite(sink);
    const auto b = Block(8, 1);
    w.WriteBlock(b.data(), -1);
    EXPECT_TRUE(w.Stopped);
    w.FlushPending();
    EXPECT_TRUE(sink.writes.empty());
}

TEST(TavWriteStream, ShortWritesRaiseTheWriteError) {
    const std::string message = Sjis(u8"ストリームへの書き込みエラー");
    struct Case {
        const char* name;
        int64_t count;
    };
    const Case cases[] = {{"on flush", 100}, {"on a direct block", 70000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SinkStream sink(50);
        ProbeWriter w;
        w.BeginWrite(sink);
        const auto b = Block(c.count, 3);
        try {
            w.WriteBlock(b.data(), c.count);
            w.FlushPending();
            FAIL() << "no write error";
        } catch (const EWriteError& e) {
            EXPECT_SJIS_EQ(e.message(), message);
        }
    }
}

TEST(TavWriteStream, BytesWithoutAStreamRaiseOnFlush) {
    ProbeWriter w;
    w.WriteDWordBE(1);
    EXPECT_THROW(w.FlushPending(), EWriteError);
}

TEST(TavWriteStream, BeginWriteDropsWhatWasPending) {
    SinkStream first, second;
    ProbeWriter w;
    w.BeginWrite(first);
    w.WriteDWordBE(0x11111111u);
    w.BeginWrite(second);
    EXPECT_EQ(w.Pending, 0);
    EXPECT_EQ(w.TotalWritten, 0);
    w.WriteDWordBE(0x22222222u);
    w.FlushPending();
    EXPECT_TRUE(first.data.empty());
    EXPECT_EQ(second.data, (std::vector<uint8_t>{0x22, 0x22, 0x22, 0x22}));
}

// ---------------------------------------------------------------------------
// Progress: the writer's phases always count, and its counter is not capped.

TEST(TavWriteProgress, CounterPhases) {
    struct Step {
        int64_t counter;
        std::vector<int32_t> reports;
    };
    struct Case {
        const char* name;
        int32_t kind;
        int64_t total;
        int32_t share;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"kind 0 counts like kind 1", 0, 10, 0, {{5, {0, 49}}}},
        {"no cap past the total", 1, 10, 50, {{10, {0, 49}}, {15, {0, 49, 73}}}},
        {"zero total is one", 1, 0, 50, {{1, {0, 49}}}},
        {"only increases report", 1, 100, 0, {{50, {0, 49}}, {50, {0, 49}}, {10, {0, 49}}}},
        {"counter beyond 32-bit products", 1, 100'000'000, 0, {{50'000'000, {0, 49}}, {99'000'000, {0, 49, 98}}}},
        {"huge counter saturates", 1, 1, 0, {{INT64_MAX, {0, INT32_MAX}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ProbeWriter w;
        w.ProgressBegin();
        w.ProgressPhase(c.kind, c.total, c.share);
        EXPECT_EQ(w.PhaseKind, 1);
        for (const Step& s : c.steps) {
            w.ProgressStep(s.counter);
            EXPECT_EQ(w.reports, s.reports) << "counter " << s.counter;
        }
        w.ProgressEnd();
        EXPECT_EQ(w.reports.back(), 100);
    }
}

TEST(TavWriteProgress, PhasesCloseIntoTheBase) {
    ProbeWriter w;
    w.ProgressBegin();
    w.ProgressPhase(1, 4, 30);  // share 29
    EXPECT_EQ(w.Share(), 29);
    w.ProgressStep(2);          // 14
    w.ProgressPhase(1, 7, 98);  // base 29, remaining 70, share 68
    EXPECT_EQ(w.Share(), 68);
    w.ProgressStep(0);          // 29, the closed base: not reported
    w.ProgressStep(7);          // 29 + 68
    EXPECT_EQ(w.reports, (std::vector<int32_t>{0, 14, 97}));
}

TEST(TavWriteProgress, DoProgressAnswerStopsWrites) {
    SinkStream sink;
    ProbeWriter w;
    w.BeginWrite(sink);
    w.stopAnswer = true;
    w.ProgressBegin();
    EXPECT_TRUE(w.Stopped);
    w.WriteDWordBE(7);
    EXPECT_EQ(w.Pending, 0);
}

}  // namespace

// The image reader and writer bases, driven by a tiny test format:
// bitmap preparation, the suspended change event, clean-up on failure,
// the stream position left behind, and progress forwarding.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "codec/SFunc.h"
#include "codec/TavStream.h"
#include "platform/Bitmap.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"

namespace {

// The test format: a tag byte (so that no window looks like it starts
// with a 128-byte header), width and height (32-bit big-endian), bits per pixel,
// palette entry count (16-bit big-endian), the entries (blue, green, red, 0), then the rows,
// ScanlineStride bytes each.
std::vector<uint8_t> Encode(int32_t w, int32_t h, int bits, const std::vector<uint8_t>& palette,
                            const std::vector<uint8_t>& rows) {
    std::vector<uint8_t> out = {'T'};
    for (const int32_t v : {w, h})
        for (int s = 24; s >= 0; s -= 8) out.push_back(uint8_t(v >> s));
    out.push_back(uint8_t(bits));
    out.push_back(uint8_t(palette.size() / 4 >> 8));
    out.push_back(uint8_t(palette.size() / 4));
    out.insert(out.end(), palette.begin(), palette.end());
    out.insert(out.end(), rows.begin(), rows.end());
    return out;
}

std::vector<uint8_t> Rows(int32_t w, int32_t h, int bits) {
    std::vector<uint8_t> rows(size_t(ScanlineStride(w, bits)) * size_t(h));
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = uint8_t(i * 37 + 11);
    return rows;
}

struct Observed {
    std::string comment;
    int32_t paletteCount = -1, xRes = -1, yRes = -1;
    int resUnit = -1;
};

class TestDecoder : public TTavCustomGraphicReadStream {
public:
    using TTavCustomGraphicReadStream::DoProgress;

    int failAfterRows = -1;     // raise after this many rows
    std::optional<int32_t> forcePaletteCount;
    bool sawChangeEvent = false;
    Observed atStart;

protected:
    void DecodeImage() override {
        atStart = {Comment, PaletteCount, XResolution, YResolution, ResolutionUnit};
        if (Bitmap_) sawChangeEvent = bool(Bitmap_->OnChange);
        ProgressBegin();
        if (ReadByte() != 'T') throw EInvalidGraphic("not a test image");
        Width = int32_t(ReadDWordBE());
        Height = int32_t(ReadDWordBE());
        BitCount = ReadByte();
        const int entries = ReadWordBE();
        if (entries > 0) {
            ReadBlock(GetPaletteBuffer(), entries * 4);
            PaletteCount = entries;
        }
        if (forcePaletteCount) PaletteCount = *forcePaletteCount;
        Comment = "decoded";
        XResolution = YResolution = 72;
        ResolutionUnit = 1;
        if (EndOfData) throw EInvalidGraphic("short header");
        PrepareBitmap();
        ProgressPhase(1, Height, 0);
        if (!NoBitmap) {
            const int32_t stride = Bitmap_->ScanlineStride();
            for (int32_t y = 0; y < Height; ++y) {
                if (y == failAfterRows) throw EInvalidGraphic("row failure");
                ReadBlock(Bitmap_->ScanLine(y), stride);
                ProgressStep(y + 1);
            }
        }
        ProgressEnd();
    }
};

class TestEncoder : public TTavCustomGraphicWriteStream {
public:
    using TTavCustomGraphicWriteStream::DoProgress;
    bool failAtEnd = false;
    bool attachNoBitmap = false;

protected:
    void EncodeImage() override {
        ProgressBegin();
        WriteDWordBE(uint32_t(Bitmap_->Width()));
        WriteDWordBE(uint32_t(Bitmap_->Height()));
        ProgressPhase(1, Bitmap_->Height(), 0);
        for (int32_t y = 0; y < Bitmap_->Height(); ++y) {
            WriteBlock(Bitmap_->ScanLine(y), Bitmap_->ScanlineStride());
            ProgressStep(y + 1);
        }
        if (failAtEnd) throw std::runtime_error("encoder failure");
        ProgressEnd();
    }
};

struct ProgressCall {
    TObject* sender;
    TProgressStage stage;
    int percent;
    bool redraw;
    TRect rect;
    std::string msg;
};

std::vector<ProgressCall>* Record(TBitmap& b, std::vector<ProgressCall>& calls) {
    b.OnProgress = [&calls](TObject* sender, TProgressStage stage, uint8_t percent, bool redraw, const TRect& r,
                            const std::string& msg) { calls.push_back({sender, stage, percent, redraw, r, msg}); };
    return &calls;
}

std::string TempPath() {
    static int counter = 0;
    return (std::filesystem::temp_directory_path() /
            ("tobelin-graphic-" + std::to_string(getpid()) + "-" + std::to_string(++counter) + ".bin"))
        .string();
}

// A memory or a file stream with bytes, positioned at start.
struct Source {
    std::unique_ptr<TStream> stream;
    std::string path;
    Source(bool file, const std::vector<uint8_t>& bytes, int64_t start) {
        if (file) {
            path = TempPath();
            {
                TFileStream f(path, TFileStream::fmCreate);
                f.WriteBuffer(bytes.data(), int64_t(bytes.size()));
            }
            stream = std::make_unique<TFileStream>(path, TFileStream::fmOpenRead);
        } else {
            auto m = std::make_unique<TMemoryStream>();
            m->WriteBuffer(bytes.data(), int64_t(bytes.size()));
            stream = std::move(m);
        }
        stream->SetPosition(start);
    }
    ~Source() {
        stream.reset();
        if (!path.empty()) std::remove(path.c_str());
    }
};

// ---------------------------------------------------------------------------

TEST(TavGraphicRead, DecodesIntoAPreparedBitmap) {
    struct Case {
        const char* name;
        int32_t w, h;
        int bits;
        TPixelFormat format;
        int paletteEntries;
    };
    const Case cases[] = {
        {"1 bit with palette", 13, 3, 1, pf1bit, 2},
        {"4 bit with palette", 5, 4, 4, pf4bit, 16},
        {"8 bit grey", 7, 2, 8, pf8bit, 256},
        {"15 bit", 3, 3, 15, pf15bit, 0},
        {"24 bit", 5, 2, 24, pf24bit, 0},
        {"32 bit", 2, 5, 32, pf32bit, 0},
    };
    for (const bool file : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (file ? " from a file" : " from memory"));
            std::vector<uint8_t> palette(size_t(c.paletteEntries) * 4);
            if (c.paletteEntries > 0) MakeGrayPalette(palette.data(), c.bits == 8 ? 8 : c.bits);
            const int storageBits = c.bits == 15 ? 16 : c.bits;
            const auto rows = Rows(c.w, c.h, storageBits);
            auto bytes = std::vector<uint8_t>{0xAA, 0xBB};  // in front of the image
            const auto image = Encode(c.w, c.h, c.bits, palette, rows);
            bytes.insert(bytes.end(), image.begin(), image.end());
            bytes.insert(bytes.end(), {1, 2, 3});  // behind it
            Source src(file, bytes, 2);

            TBitmap bmp;
            bmp.SetPixelFormat(pf24bit);
            bmp.SetSize(9, 9);
            bmp.SetPalette(CreatePaletteFromEntries(std::vector<uint8_t>(8, 0x40).data(), 2));
            bmp.SetTransparent(true);
            int changes = 0;
            bmp.OnChange = [&changes](TObject*) { ++changes; };

            TestDecoder d;
            d.ReadImage(&bmp, *src.stream, 0);

            EXPECT_EQ(changes, 0) << "the change event is suspended while reading";
            EXPECT_FALSE(d.sawChangeEvent);
            bmp.Changed(&bmp);
            EXPECT_EQ(changes, 1) << "and given back afterwards";

            EXPECT_EQ(bmp.PixelFormat(), c.format);
            EXPECT_EQ(bmp.Width(), c.w);
            EXPECT_EQ(bmp.Height(), c.h);
            EXPECT_FALSE(bmp.GetTransparent());
            for (int32_t y = 0; y < c.h; ++y) {
                const auto* row = bmp.ScanLine(y);
                const size_t stride = size_t(bmp.ScanlineStride());
                EXPECT_TRUE(std::equal(row, row + stride, rows.begin() + ptrdiff_t(stride * size_t(y))))
                    << "row " << y;
            }
            if (c.paletteEntries > 0) {
                std::vector<uint8_t> got(1024);
                ASSERT_EQ(GetPaletteEntriesRGB(bmp.GetPalette(), got.data()), c.paletteEntries);
                EXPECT_TRUE(std::equal(palette.begin(), palette.end(), got.begin()));
            } else {
                EXPECT_EQ(bmp.GetPalette(), nullptr) << "emptying drops the old palette";
            }
            EXPECT_FALSE(d.HasPaletteBuffer());
            // The stream stops right behind the image.
            EXPECT_EQ(src.stream->Position(), int64_t(2 + image.size()));
        }
    }
}

// Failures pass out after EndRead, the palette release and the return of
// the change event.
TEST(TavGraphicRead, FailuresCleanUp) {
    enum Outcome { ReadError, DecoderError, WindowEnd };
    struct Case {
        const char* name;
        bool file;
        bool truncate;  // the stream ends inside the rows
        int failAfterRows;
        Outcome outcome;
    };
    const Case cases[] = {
        {"decoder error, memory", false, false, 700, DecoderError},
        {"decoder error, file", true, false, 700, DecoderError},
        {"refill comes up short, file", true, true, -1, ReadError},
        // In memory the window ends with the data: reads copy nothing.
        {"window ends early, memory", false, true, -1, WindowEnd},
    };
    // Rows of 100 bytes: the image is larger than one buffer load.
    std::vector<uint8_t> palette(16 * 4, 0x10);
    const auto image = Encode(200, 1000, 4, palette, Rows(200, 1000, 4));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> bytes = image;
        if (c.truncate) bytes.resize(bytes.size() - 1000);
        Source src(c.file, bytes, 0);
        TBitmap bmp;
        int changes = 0;
        bmp.OnChange = [&changes](TObject*) { ++changes; };
        TestDecoder d;
        d.failAfterRows = c.failAfterRows;
        Outcome got = WindowEnd;
        try {
            // The window claims the whole image.
            d.ReadImage(&bmp, *src.stream, int64_t(image.size()));
        } catch (const EReadError&) {
            got = ReadError;
        } catch (const EInvalidGraphic&) {
            got = DecoderError;
        }
        EXPECT_EQ(got, c.outcome);
        EXPECT_EQ(d.EndOfData, c.outcome == WindowEnd);
        EXPECT_GE(d.Consumed, 65536) << "the failure came after the first buffer load";
        EXPECT_FALSE(d.HasPaletteBuffer());
        EXPECT_EQ(changes, 0);
        bmp.Changed(&bmp);
        EXPECT_EQ(changes, 1);
        EXPECT_EQ(src.stream->Position(), d.StartPosition + d.Consumed);
    }
}

TEST(TavGraphicRead, WithoutABitmapOnlyTheHeaderIsRead) {
    const auto image = Encode(4, 4, 8, std::vector<uint8_t>(8, 0), Rows(4, 4, 8));
    Source src(false, image, 0);
    TestDecoder d;
    d.ReadImage(nullptr, *src.stream, 0);
    EXPECT_TRUE(d.NoBitmap);
    EXPECT_EQ(d.Width, 4);
    EXPECT_EQ(d.Height, 4);
    EXPECT_EQ(d.PaletteCount, 2);
    EXPECT_FALSE(d.DoProgress(50));
    EXPECT_EQ(src.stream->Position(), 12 + 8);
}

TEST(TavGraphicRead, HeaderFieldsAreResetForEachRead) {
    const auto image = Encode(2, 2, 24, {}, Rows(2, 2, 24));
    TestDecoder d;
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        Source src(false, image, 0);
        TBitmap bmp;
        d.ReadImage(&bmp, *src.stream, 0);
        EXPECT_EQ(d.atStart.comment, "");
        EXPECT_EQ(d.atStart.paletteCount, 0);
        EXPECT_EQ(d.atStart.xRes, 0);
        EXPECT_EQ(d.atStart.yRes, 0);
        EXPECT_EQ(d.atStart.resUnit, 0);
        EXPECT_EQ(d.Comment, "decoded");
    }
}

TEST(TavGraphicRead, SkipsALeading128ByteHeaderByDefault) {
    std::vector<uint8_t> bytes(128, 0);
    const auto image = Encode(3, 1, 24, {}, Rows(3, 1, 24));
    bytes.insert(bytes.end(), image.begin(), image.end());
    for (const bool file : {false, true}) {
        SCOPED_TRACE(file ? "file" : "memory");
        Source src(file, bytes, 0);
        TBitmap bmp;
        TestDecoder d;
        EXPECT_TRUE(d.SkipMacHeader);
        d.ReadImage(&bmp, *src.stream, 0);
        EXPECT_TRUE(d.MacHeaderFound);
        EXPECT_EQ(bmp.Width(), 3);
        EXPECT_EQ(bmp.Height(), 1);
        EXPECT_EQ(src.stream->Position(), int64_t(bytes.size()));
    }
}

// A palette count beyond the buffer's 256 entries gives 256 entries; no
// bytes past the buffer are read.
TEST(TavGraphicRead, PaletteCountIsBoundedByTheBuffer) {
    const auto image = Encode(2, 2, 8, std::vector<uint8_t>(4 * 4, 0x22), Rows(2, 2, 8));
    for (const int32_t forced : {300, -5}) {
        SCOPED_TRACE("count " + std::to_string(forced));
        Source src(false, image, 0);
        TBitmap bmp;
        TestDecoder d;
        d.forcePaletteCount = forced;
        d.ReadImage(&bmp, *src.stream, 0);
        EXPECT_EQ(PaletteEntryCount(bmp.GetPalette()), forced > 0 ? 256 : 0);
    }
}

TEST(TavGraphicRead, PaletteBufferIsOneClearedBlock) {
    TestDecoder d;
    EXPECT_FALSE(d.HasPaletteBuffer());
    uint8_t* p = d.GetPaletteBuffer();
    EXPECT_TRUE(d.HasPaletteBuffer());
    EXPECT_EQ(std::vector<uint8_t>(p, p + 1024), std::vector<uint8_t>(1024, 0));
    p[1023] = 7;
    EXPECT_EQ(d.GetPaletteBuffer(), p);
    EXPECT_EQ(p[1023], 7);
    d.FreePaletteBuffer();
    EXPECT_FALSE(d.HasPaletteBuffer());
}

// Percent to stage: 0 starting, 1 to 99 running, anything else ending at
// 100. Sender is the bitmap, no redraw, an empty rectangle, the message.
TEST(TavGraphicProgress, StageRules) {
    struct Case {
        int32_t percent;
        TProgressStage stage;
        int reported;
    };
    const Case cases[] = {
        {0, psStarting, 0},   {1, psRunning, 1},    {50, psRunning, 50}, {99, psRunning, 99},
        {100, psEnding, 100}, {150, psEnding, 100}, {-1, psEnding, 100},
    };
    const auto image = Encode(1, 1, 24, {}, Rows(1, 1, 24));
    for (const Case& c : cases) {
        SCOPED_TRACE("percent " + std::to_string(c.percent));
        TBitmap bmp;
        std::vector<ProgressCall> calls;
        Record(bmp, calls);

        // Reader: attach the bitmap through a read, then call directly.
        Source src(false, image, 0);
        TestDecoder d;
        d.ReadImage(&bmp, *src.stream, 0);
        d.ProgressMessage = "reading";
        calls.clear();
        EXPECT_FALSE(d.DoProgress(c.percent));

        TestEncoder e;
        TMemoryStream out;
        e.WriteImage(bmp, out);
        e.ProgressMessage = "writing";
        calls.erase(calls.begin() + 1, calls.end());
        EXPECT_FALSE(e.DoProgress(c.percent));

        ASSERT_EQ(calls.size(), 2u);
        for (size_t i = 0; i < 2; ++i) {
            SCOPED_TRACE(i == 0 ? "reader" : "writer");
            EXPECT_EQ(calls[i].sender, &bmp);
            EXPECT_EQ(calls[i].stage, c.stage);
            EXPECT_EQ(calls[i].percent, c.reported);
            EXPECT_FALSE(calls[i].redraw);
            EXPECT_EQ(calls[i].rect.Left | calls[i].rect.Top | calls[i].rect.Right | calls[i].rect.Bottom, 0);
            EXPECT_EQ(calls[i].msg, i == 0 ? "reading" : "writing");
        }
    }
}

TEST(TavGraphicProgress, LoadReportsFromStartToEnd) {
    const auto image = Encode(3, 4, 24, {}, Rows(3, 4, 24));
    Source src(true, image, 0);
    TBitmap bmp;
    std::vector<ProgressCall> calls;
    Record(bmp, calls);
    TestDecoder d;
    d.ReadImage(&bmp, *src.stream, 0);
    std::vector<std::pair<int, int>> got;
    for (const auto& c : calls) got.emplace_back(c.stage, c.percent);
    // 4 rows sharing 99: 24, 49, 74, 99.
    const std::vector<std::pair<int, int>> expected = {{0, 0}, {1, 24}, {1, 49}, {1, 74}, {1, 99}, {2, 100}};
    EXPECT_EQ(got, expected);
}

TEST(TavGraphicProgress, NoEventNoCall) {
    const auto image = Encode(1, 1, 24, {}, Rows(1, 1, 24));
    Source src(false, image, 0);
    TBitmap bmp;
    TestDecoder d;
    d.ReadImage(&bmp, *src.stream, 0);
    EXPECT_FALSE(d.DoProgress(10));
    TestEncoder e;
    EXPECT_FALSE(e.DoProgress(10)) << "no bitmap attached yet";
}

// ---------------------------------------------------------------------------

TEST(TavGraphicWrite, WritesAndFlushes) {
    TBitmap bmp;
    bmp.SetPixelFormat(pf24bit);
    bmp.SetSize(3, 2);
    for (int32_t y = 0; y < 2; ++y)
        for (int32_t i = 0; i < bmp.ScanlineStride(); ++i) bmp.ScanLine(y)[i] = uint8_t(y * 16 + i);
    std::vector<ProgressCall> calls;
    Record(bmp, calls);
    TMemoryStream out;
    TestEncoder e;
    e.WriteImage(bmp, out);
    std::vector<uint8_t> expected = {0, 0, 0, 3, 0, 0, 0, 2};
    for (int32_t y = 0; y < 2; ++y)
        expected.insert(expected.end(), bmp.ScanLine(y), bmp.ScanLine(y) + bmp.ScanlineStride());
    ASSERT_EQ(out.Size(), int64_t(expected.size()));
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), out.Memory()));
    EXPECT_EQ(e.Pending, 0);
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.front().stage, psStarting);
    EXPECT_EQ(calls.back().stage, psEnding);
}

TEST(TavGraphicWrite, AFailedEncodeLeavesBufferedBytesUnwritten) {
    TBitmap bmp;
    bmp.SetSize(4, 4);
    TMemoryStream out;
    TestEncoder e;
    e.failAtEnd = true;
    EXPECT_THROW(e.WriteImage(bmp, out), std::runtime_error);
    EXPECT_EQ(out.Size(), 0);
    EXPECT_GT(e.Pending, 0);
}

}  // namespace

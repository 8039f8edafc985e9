// The decoder on images whose compressed data spans many inflate requests:
// every filter on rows of every size, and data that ends or breaks off part
// of the way through, where exactly the whole rows before the break are
// decoded and the input is read as far as a row-by-row reader would.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>

#include "codec/TavPNG.h"
#include "codec/TavPNGStream.h"
#include "codec/TavZLIB.h"
#include "platform/Bitmap.h"
#include "tests/codec/PngTestUtil.h"

using pngtest::Bytes;
using pngtest::Predict;

namespace {

struct TImageCase {
    const char* name;
    uint32_t width, height;
    uint8_t depth, colorType;
    int channels;
};

int BitsPerPixel(const TImageCase& c) { return c.depth * c.channels; }
size_t RowBytes(const TImageCase& c) { return (size_t(c.width) * BitsPerPixel(c) + 7) / 8; }

// Rows of smooth values with a little noise, so that every filter has work.
std::vector<Bytes> MakeRows(const TImageCase& c) {
    std::mt19937 rng(c.width * 31 + c.height);
    std::vector<Bytes> rows(c.height, Bytes(RowBytes(c)));
    for (uint32_t y = 0; y < c.height; ++y)
        for (size_t i = 0; i < rows[y].size(); ++i) rows[y][i] = uint8_t(i / 3 + y * 2 + rng() % 5);
    return rows;
}

// Row y filtered with type y % 5, each row with its filter byte.
Bytes Filtered(const TImageCase& c, const std::vector<Bytes>& rows) {
    const size_t bpp = size_t(std::max(1, BitsPerPixel(c) / 8));
    Bytes out;
    const Bytes zero(RowBytes(c), 0);
    for (uint32_t y = 0; y < c.height; ++y) {
        const int type = int(y % 5);
        const Bytes& prev = y ? rows[y - 1] : zero;
        out.push_back(uint8_t(type));
        for (size_t i = 0; i < rows[y].size(); ++i) {
            const bool left = i >= bpp;
            out.push_back(uint8_t(rows[y][i] - Predict(type, left ? rows[y][i - bpp] : 0, prev[i], left ? prev[i - bpp] : 0)));
        }
    }
    return out;
}

Bytes Png(const TImageCase& c, const Bytes& compressed) {
    Bytes plte;
    if (c.colorType == 3) {
        Bytes entries;
        for (int i = 0; i < (1 << c.depth); ++i) pngtest::Append(entries, {uint8_t(i), uint8_t(255 - i), uint8_t(i / 2)});
        plte = pngtest::Chunk("PLTE", entries);
    }
    return pngtest::Cat({pngtest::Signature(), pngtest::Ihdr(c.width, c.height, c.depth, c.colorType), plte,
                         pngtest::IdatChunks(compressed, 8192), pngtest::Iend()});
}

// Row y of the bitmap as the decoder writes it: RGB becomes B, G, R; the
// other cases here keep the PNG's bytes.
Bytes Expected(const TImageCase& c, const Bytes& row, int32_t stride) {
    Bytes out(size_t(stride), 0);
    if (c.colorType == 2) {
        for (uint32_t x = 0; x < c.width; ++x) {
            out[3 * x] = row[3 * x + 2];
            out[3 * x + 1] = row[3 * x + 1];
            out[3 * x + 2] = row[3 * x];
        }
    } else {
        std::copy(row.begin(), row.end(), out.begin());
    }
    return out;
}

const TImageCase kCases[] = {
    // Rows of a few bytes: thousands of rows per request.
    {"1-bit palette, 3-byte rows", 21, 3000, 1, 3, 1},
    {"8-bit grey, 101-byte rows", 101, 1500, 8, 0, 1},
    {"8-bit palette, rows not a multiple of 4", 1023, 150, 8, 3, 1},
    // Rows of thousands of bytes: a few rows per request.
    {"RGB, 9000-byte rows", 3000, 40, 8, 2, 3},
    {"RGB, width leaving a vector tail", 2049, 40, 8, 2, 3},
    // Over a megabyte: large enough for the two-thread decode (TwoThreadsDecodeAsOne).
    {"RGB, 1.1 MB", 1100, 340, 8, 2, 3},
};

TEST(DecodeBatch, EveryRowOfImagesSpanningManyRequests) {
    for (const TImageCase& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::vector<Bytes> rows = MakeRows(c);
        TMemoryStream stream;
        pngtest::Load(stream, Png(c, pngtest::Compress(Filtered(c, rows), 6)));
        TTavPNG picture;
        picture.LoadFromStream(stream);
        TBitmap& bmp = *picture.CurrentImage();
        ASSERT_EQ(bmp.Width(), int32_t(c.width));
        ASSERT_EQ(bmp.Height(), int32_t(c.height));
        const int32_t stride = bmp.ScanlineStride();
        for (uint32_t y = 0; y < c.height; ++y) {
            const uint8_t* line = bmp.ScanLine(int32_t(y));
            // Padding bytes included: they stay clear.
            ASSERT_EQ(Bytes(line, line + stride), Expected(c, rows[y], stride)) << "row " << y;
        }
        EXPECT_EQ(stream.Position(), stream.Size());
    }
}

// Bytes that a plain inflate gets out of (possibly cut) zlib data.
size_t InflatableBytes(const Bytes& z, size_t limit) {
    Bytes out(limit);
    z_stream s{};
    inflateInit(&s);
    s.next_in = const_cast<Bytef*>(z.data());
    s.avail_in = uInt(z.size());
    s.next_out = out.data();
    s.avail_out = uInt(out.size());
    inflate(&s, Z_SYNC_FLUSH);
    const size_t n = s.total_out;
    inflateEnd(&s);
    return n;
}

struct TBreakCase {
    const char* name;
    size_t imageCase;
    double keep;      // share of the compressed bytes kept (cut cases)
    uint32_t rowsIn;  // rows inside a complete zlib stream (short-stream cases)
};

TEST(DecodeBatch, DataThatBreaksOffDecodesTheWholeRowsBeforeIt) {
    const TBreakCase breaks[] = {
        {"narrow rows cut in the middle", 1, 0.5, 0},
        {"wide rows cut early", 3, 0.2, 0},
        {"wide rows cut late", 4, 0.9, 0},
        {"narrow stream ending at a row's end", 1, 0, 700},
        {"wide stream ending at a row's end", 3, 0, 13},
        {"stream ending after the first row", 2, 0, 1},
        {"two-thread image cut in the middle", 5, 0.6, 0},
        {"two-thread stream ending at a row's end", 5, 0, 201},
    };
    for (const TBreakCase& b : breaks) {
        SCOPED_TRACE(b.name);
        const TImageCase& c = kCases[b.imageCase];
        const std::vector<Bytes> rows = MakeRows(c);
        const Bytes filtered = Filtered(c, rows);
        const size_t rowSize = RowBytes(c) + 1;
        Bytes z;
        size_t wholeRows;
        if (b.rowsIn > 0) {
            z = pngtest::Compress(Bytes(filtered.begin(), filtered.begin() + long(b.rowsIn * rowSize)), 6);
            wholeRows = b.rowsIn;
        } else {
            z = pngtest::Compress(filtered, 6);
            z.resize(size_t(double(z.size()) * b.keep));
            wholeRows = InflatableBytes(z, filtered.size()) / rowSize;
        }
        ASSERT_LT(wholeRows, c.height);
        const Bytes file = Png(c, z);
        TMemoryStream stream;
        pngtest::Load(stream, file);
        TTavPNG picture;
        try {
            picture.LoadFromStream(stream);
            ADD_FAILURE() << "no error raised";
        } catch (const ETavPNG& e) {
            EXPECT_STREQ(e.what(), "Read Image (PNG): Read Error");
        }
        TBitmap& bmp = *picture.CurrentImage();
        ASSERT_EQ(bmp.Height(), int32_t(c.height));
        const int32_t stride = bmp.ScanlineStride();
        const Bytes clear(size_t(stride), 0);
        for (uint32_t y = 0; y < c.height; ++y) {
            const uint8_t* line = bmp.ScanLine(int32_t(y));
            if (y < wholeRows)
                ASSERT_EQ(Bytes(line, line + stride), Expected(c, rows[y], stride)) << "row " << y;
            else
                ASSERT_EQ(Bytes(line, line + stride), clear) << "row " << y;
        }
        // Asking for the next row, the reader looks for more image data: it
        // reads the next chunk's length and type (IEND's) and stops before
        // its CRC, whether the data was cut or ended early.
        EXPECT_EQ(stream.Position(), int64_t(file.size()) - 4);
    }
}

// Records progress and asks to stop at a chosen percentage.
class ProbedDecoder : public TTavPNGReadStream {
public:
    std::vector<int32_t> Reports;
    int32_t StopAt = 1000;

protected:
    bool DoProgress(int32_t percent) override {
        Reports.push_back(percent);
        return percent >= StopAt;
    }
};

struct TOutcome {
    std::string error;
    Bytes pixels, alpha;
    std::vector<int32_t> reports;
    int64_t position = 0;
    bool whole = false;  // inflated in one piece
};

// A stream that is not a memory stream: the decoder reads it through its
// buffer, and so streams the image data.
class PlainStream : public TStream {
public:
    explicit PlainStream(const Bytes& data) : data_(data) {}
    int64_t Read(void* buffer, int64_t count) override {
        const int64_t n = std::max<int64_t>(0, std::min(count, int64_t(data_.size()) - pos_));
        if (n > 0) std::memcpy(buffer, data_.data() + pos_, size_t(n));
        pos_ += n;
        return n;
    }
    int64_t Write(const void*, int64_t) override { return 0; }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override {
        const int64_t base = origin == TSeekOrigin::Beginning ? 0 : origin == TSeekOrigin::Current ? pos_ : int64_t(data_.size());
        return pos_ = base + offset;
    }
    int64_t Size() override { return int64_t(data_.size()); }
    void SetSize(int64_t) override {}

private:
    const Bytes& data_;
    int64_t pos_ = 0;
};

Bytes AllRows(const TBitmap& bmp) {
    Bytes out;
    for (int32_t y = 0; !bmp.Empty() && y < bmp.Height(); ++y)
        out.insert(out.end(), bmp.ScanLine(y), bmp.ScanLine(y) + bmp.ScanlineStride());
    return out;
}

// Where Decode reads the file from: memory, a stream that is neither
// memory nor a file, or a file.
enum class TSource { Memory, Plain, File };

TOutcome Decode(const Bytes& file, bool twoThreads, int32_t stopAt, TSource source = TSource::Memory) {
    TMemoryStream memory;
    pngtest::Load(memory, file);
    PlainStream plain(file);
    std::optional<TFileStream> onDisk;
    if (source == TSource::File) {
        const std::string path = ::testing::TempDir() + "decode-batch.png";
        TFileStream(path, TFileStream::fmCreate).WriteBuffer(file.data(), int64_t(file.size()));
        onDisk.emplace(path, TFileStream::fmOpenRead);
    }
    TStream& stream = source == TSource::Plain ? static_cast<TStream&>(plain)
                      : onDisk                 ? static_cast<TStream&>(*onDisk)
                                               : memory;
    TBitmap bmp, alpha;
    ProbedDecoder dec;
    dec.UseSecondThread = twoThreads;
    dec.StopAt = stopAt;
    dec.AlphaBitmap = &alpha;
    TOutcome out;
    try {
        dec.ReadImage(&bmp, stream, 0);
    } catch (const Exception& e) {
        out.error = e.what();
    }
    out.pixels = AllRows(bmp);
    out.alpha = AllRows(alpha);
    out.reports = dec.Reports;
    out.position = stream.Position();
    out.whole = dec.InflatedWhole;
    return out;
}

// The two-thread decode gives what the one-thread decode gives: pixels,
// alpha, failures, progress reports and stops. The input is read as far,
// except after a stop or a bad filter type, where the next batch has
// already been inflated.
TEST(DecodeBatch, TwoThreadsDecodeAsOne) {
    const TImageCase& rgb = kCases[5];
    const Bytes filtered = Filtered(rgb, MakeRows(rgb));
    Bytes badFilter = filtered;
    badFilter[size_t(200) * (RowBytes(rgb) + 1)] = 9;
    Bytes cut = pngtest::Compress(filtered, 6);
    cut.resize(cut.size() * 3 / 5);
    const Bytes whole = Png(rgb, pngtest::Compress(filtered, 6));

    const TImageCase rgba{"RGBA, Adam7", 520, 520, 8, 6, 4};
    const Bytes interlaced = pngtest::Cat(
        {pngtest::Signature(), pngtest::Ihdr(rgba.width, rgba.height, 8, 6, 1),
         pngtest::IdatChunks(pngtest::Compress(pngtest::Adam7Rows(MakeRows(rgba), rgba.width, 32), 6), 65536),
         pngtest::Iend()});
    const std::string readError = "Read Image (PNG): Read Error";
    const struct {
        const char* name;
        Bytes file;
        int32_t stopAt;
        std::string error;
        bool sameInput;
    } cases[] = {
        {"whole", whole, 1000, "", true},
        {"stopped part of the way", whole, 40, "", false},
        {"unknown filter type in row 200", Png(rgb, pngtest::Compress(badFilter, 6)), 1000, readError, false},
        {"cut data", Png(rgb, cut), 1000, readError, true},
        {"interlaced with alpha", interlaced, 1000, "", true},
        {"interlaced, stopped in a pass", interlaced, 55, "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TOutcome one = Decode(c.file, false, c.stopAt), two = Decode(c.file, true, c.stopAt);
        EXPECT_EQ(one.error, c.error);
        EXPECT_EQ(two.error, one.error);
        EXPECT_EQ(two.pixels, one.pixels);
        EXPECT_EQ(two.alpha, one.alpha);
        EXPECT_EQ(two.reports, one.reports);
        if (c.sameInput) {
            EXPECT_EQ(two.position, one.position);
        }
        // A stop leaves rows undecoded.
        if (c.stopAt < 100) {
            EXPECT_NE(one.pixels, Decode(c.file, false, 1000).pixels);
        }
    }
}

// Image data read from memory or a file may be inflated in one piece, where an engine
// for that is built in and the data suit it (several megabytes, compressed
// very little or very much): pixels, failures and progress are those of the
// streamed data.
TEST(DecodeBatch, WholeInflateDecodesAsStreaming) {
    const TImageCase noise{"RGB noise", 1200, 1200, 8, 2, 3};
    std::mt19937 rng(9);
    std::vector<Bytes> noiseRows(noise.height, Bytes(RowBytes(noise)));
    for (Bytes& row : noiseRows)
        for (uint8_t& v : row) v = uint8_t(rng());
    const Bytes filtered = Filtered(noise, noiseRows);
    const Bytes z = pngtest::Compress(filtered, 1);
    Bytes badFilter = filtered, cut = z, badCheck = z, damaged = z;
    badFilter[size_t(200) * (RowBytes(noise) + 1)] = 9;
    cut.resize(z.size() * 3 / 5);
    badCheck.back() ^= 1;
    damaged[z.size() / 2] ^= 0x55;

    const TImageCase flat{"flat grey, Adam7", 2100, 2100, 8, 0, 1};
    const std::vector<Bytes> flatRows(flat.height, Bytes(RowBytes(flat), 77));
    const Bytes interlaced = pngtest::Cat({pngtest::Signature(), pngtest::Ihdr(flat.width, flat.height, 8, 0, 1),
                                           pngtest::IdatChunks(pngtest::Compress(pngtest::Adam7Rows(flatRows, flat.width, 8), 6), 8192),
                                           pngtest::Iend()});
    const bool built = std::string(ZInflateEngine()).find("libdeflate") != std::string::npos;
    const struct {
        const char* name;
        Bytes file;
        int32_t stopAt;
        bool whole;      // inflated in one piece where built in
        bool sameInput;  // read as far as when streamed
    } cases[] = {
        {"sound", Png(noise, z), 1000, true, true},
        {"stopped part of the way", Png(noise, z), 40, true, false},
        {"unknown filter type in row 200", Png(noise, pngtest::Compress(badFilter, 1)), 1000, true, false},
        {"cut data", Png(noise, cut), 1000, false, true},
        {"bad check value", Png(noise, badCheck), 1000, false, true},
        {"damaged data", Png(noise, damaged), 1000, false, true},
        {"flat, interlaced", interlaced, 1000, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TOutcome streamed = Decode(c.file, false, c.stopAt, TSource::Plain);
        EXPECT_FALSE(streamed.whole);
        for (const TSource source : {TSource::Memory, TSource::File}) {
            SCOPED_TRACE(source == TSource::File ? "from a file" : "from memory");
            const TOutcome got = Decode(c.file, false, c.stopAt, source);
            EXPECT_EQ(got.whole, built && c.whole);
            EXPECT_EQ(got.error, streamed.error);
            EXPECT_EQ(got.pixels, streamed.pixels);
            EXPECT_EQ(got.reports, streamed.reports);
            // Reading ahead in a file puts its position back. Inflated
            // whole, rows come without the reader moving, so a stop or an
            // unknown filter type leaves it at the image data's start.
            if (c.sameInput) {
                EXPECT_EQ(got.position, streamed.position);
            }
        }
    }
}

}  // namespace

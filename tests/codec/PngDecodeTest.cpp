// The PNG decoder on hand-made byte streams: header checks, chunk
// placement and sizes, image data feeding, row hooks and pixel output.
#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

#include <zlib.h>
#include "codec/PngText.h"
#include "codec/TavPNGStream.h"
#include "platform/Bitmap.h"
#include "platform/Streams.h"
#include "tests/codec/PngTestUtil.h"

using namespace pngtest;

namespace {

// One decode of a byte stream; error is empty when it succeeded.
struct Decoding {
    TBitmap bmp;
    TBitmap alpha;
    TTavPNGReadStream dec;
    std::string error;
    int64_t position = -1;  // stream position afterwards

    Decoding& Go(const Bytes& data, bool withBitmap = true) {
        TMemoryStream s;
        Load(s, data);
        try {
            dec.ReadImage(withBitmap ? &bmp : nullptr, s, 0);
        } catch (const Exception& e) {
            error = e.what();
        }
        position = s.Position();
        return *this;
    }
};

// 3 x 2 truecolour pixels, all channels distinct.
const std::vector<Bytes> kRgbRows = {
    {10, 20, 30, 40, 50, 60, 70, 80, 90},
    {15, 25, 35, 45, 55, 65, 75, 85, 95},
};

Bytes RgbIdat() { return Chunk("IDAT", Compress(Unfiltered(kRgbRows))); }

// A 3 x 2 RGB file with `extra` chunks between IHDR and IDAT and `after`
// chunks between IDAT and IEND.
Bytes RgbFile(const Bytes& extra = {}, const Bytes& after = {}) {
    return Cat({Signature(), Ihdr(3, 2, 8, 2), extra, RgbIdat(), after, Iend()});
}

void ExpectRgbPixels(const TBitmap& bmp) {
    ASSERT_EQ(bmp.Width(), 3);
    ASSERT_EQ(bmp.Height(), 2);
    ASSERT_EQ(bmp.PixelFormat(), pf24bit);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) {
            const uint8_t* p = &kRgbRows[size_t(y)][size_t(3 * x)];
            EXPECT_EQ(bmp.Pixel(x, y), RGB(p[0], p[1], p[2])) << x << "," << y;
        }
}

// ---- Header -----------------------------------------------------------------

TEST(PngDecodeHeader, EveryHeaderErrorMessage) {
    struct Case {
        const char* name;
        Bytes ihdr;  // IHDR chunk data
        const char* message;
    };
    const Case cases[] = {
        {"colour type 1", IhdrData(3, 2, 8, 1), "Read Header(PNG): Error ColorType"},
        {"colour type 5", IhdrData(3, 2, 8, 5), "Read Header(PNG): Error ColorType"},
        {"colour type 7", IhdrData(3, 2, 8, 7), "Read Header(PNG): Error ColorType"},
        {"colour type 9", IhdrData(3, 2, 8, 9), "Read Header(PNG): Error ColorType"},
        {"colour type 13", IhdrData(3, 2, 8, 13), "Read Header(PNG): Error ColorType"},
        {"colour type 15", IhdrData(3, 2, 8, 15), "Read Header(PNG): Error ColorType"},
        {"compression 2", IhdrData(3, 2, 8, 2, 0, 2), "Read Header(PNG): not support Compression"},
        {"filter 2", IhdrData(3, 2, 8, 2, 0, 0, 2), "Read Header(PNG): not supprt Filter"},
        {"interlace 2", IhdrData(3, 2, 8, 2, 2), "Read Header(PNG): not interlace type"},
        {"grey depth 3", IhdrData(3, 2, 3, 0), "Read Header(PNG): Error Bitdepth"},
        {"grey depth 0", IhdrData(3, 2, 0, 0), "Read Header(PNG): Error Bitdepth"},
        {"grey alpha depth 3 checks the depth first", IhdrData(3, 2, 3, 4), "Read Header(PNG): Error Bitdepth"},
        {"grey alpha depth 4", IhdrData(3, 2, 4, 4), "Read Header(PNG): not Use AlphaChannel"},
        {"grey alpha depth 1", IhdrData(3, 2, 1, 4), "Read Header(PNG): not Use AlphaChannel"},
        {"truecolour depth 4", IhdrData(3, 2, 4, 2), "Read Header(PNG): Error BitDepth"},
        {"truecolour depth 0", IhdrData(3, 2, 0, 6), "Read Header(PNG): Error BitDepth"},
        {"indexed depth 16", IhdrData(3, 2, 16, 3), "Read Header(PNG): Error BitDepth"},
        {"width 0", IhdrData(0, 2, 8, 2), "Read Header(PNG): Error ImageSize"},
        {"height 0", IhdrData(3, 0, 8, 2), "Read Header(PNG): Error ImageSize"},
        {"width 2^31", IhdrData(0x80000000u, 2, 8, 2), "Read Header(PNG): Error ImageSize"},
        {"height 2^32 - 1", IhdrData(3, 0xFFFFFFFFu, 8, 2), "Read Header(PNG): Error ImageSize"},
        // Valid sizes whose rows do not fit in 32 bits.
        {"widest 64-bit pixels", IhdrData(0x7FFFFFFF, 1, 16, 6), "Read Header(PNG): Error ImageSize"},
        {"widest 8-bit grey", IhdrData(0x7FFFFFFF, 1, 8, 0), "Read Header(PNG): Error ImageSize"},
        {"widest 1-bit alpha row", IhdrData(0x7FFFFFFF, 2, 1, 3), "Read Header(PNG): Error ImageSize"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Decoding r;
        r.bmp.SetSize(5, 5);
        r.dec.AlphaBitmap = &r.alpha;
        r.Go(Cat({Signature(), Chunk("IHDR", c.ihdr), RgbIdat(), Iend()}));
        EXPECT_EQ(r.error, c.message);
    }
}

TEST(PngDecodeHeader, LenientHeaderValues) {
    struct Case {
        const char* name;
        Bytes ihdr;
        int colorType;
    };
    const Case cases[] = {
        {"colour type 10 reads as truecolour", IhdrData(3, 2, 8, 10), 2},
        {"compression method 1", IhdrData(3, 2, 8, 2, 0, 1), 2},
        {"filter method 1", IhdrData(3, 2, 8, 2, 0, 0, 1), 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Decoding r;
        r.Go(Cat({Signature(), Chunk("IHDR", c.ihdr), RgbIdat(), Iend()}));
        EXPECT_EQ(r.error, "");
        EXPECT_EQ(r.dec.ColorType, c.colorType);
        ExpectRgbPixels(r.bmp);
    }
}

TEST(PngDecodeHeader, SizesThatCannotBeAllocatedRaiseOutOfMemory) {
    // Both pass the 16 GiB bound of one bitmap.
    for (const Bytes& ihdr : {IhdrData(100000, 100000, 8, 2), IhdrData(0x7FFFFFF, 0x7FFFFFFF, 8, 2)}) {
        Decoding r;
        r.Go(Cat({Signature(), Chunk("IHDR", ihdr), RgbIdat(), Iend()}));
        EXPECT_EQ(r.error, EOutOfMemory().what());
    }
}

// Headers that claim huge images, followed by a few bytes of data: the
// claim alone must neither exhaust memory nor take long, and each fails
// where its data ends (or at a row no bitmap can hold).
TEST(PngDecodeHeader, HugeClaimsWithLittleDataFailAtTheData) {
    struct Case {
        const char* name;
        Bytes ihdr;
        const char* message;
    };
    const Case cases[] = {
        {"1073741823 x 1 grey", IhdrData(1073741823, 1, 8, 0), "Read Image (PNG): Read Error"},
        {"1 x 2^31-1 Adam7 1-bit", IhdrData(1, 0x7FFFFFFF, 1, 0, 1), "Read Image (PNG): Read Error"},
        {"32768 x 32768 16-bit grey+alpha", IhdrData(32768, 32768, 16, 4), "Read Image (PNG): Read Error"},
        {"18900 x 18900 RGBA", IhdrData(18900, 18900, 8, 6), "Read Image (PNG): Read Error"},
        {"2^31-1 x 1 16-bit RGBA", IhdrData(0x7FFFFFFF, 1, 16, 6), "Read Header(PNG): Error ImageSize"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decoding r;
        r.dec.AlphaBitmap = &r.alpha;
        r.Go(Cat({Signature(), Chunk("IHDR", c.ihdr), RgbIdat(), Iend()}));
        EXPECT_EQ(r.error, c.message);
    }
}

// The rows that the data fills arrive; the rows it never reaches read 0.
TEST(PngDecodeHeader, RowsBeyondTheDataReadZero) {
    Decoding r;
    r.Go(Cat({Signature(), Ihdr(3, 1000000, 8, 2), RgbIdat(), Iend()}));
    EXPECT_EQ(r.error, "Read Image (PNG): Read Error");
    ASSERT_EQ(r.bmp.Height(), 1000000);
    EXPECT_EQ(r.bmp.Pixel(0, 0), RGB(10, 20, 30));
    EXPECT_EQ(r.bmp.Pixel(2, 1), RGB(75, 85, 95));
    for (int32_t y : {2, 500000, 999999}) EXPECT_EQ(r.bmp.Pixel(1, y), 0) << "row " << y;
}

TEST(PngDecodeHeader, SignatureChecks) {
    Bytes good = RgbFile();
    Bytes bad = good;
    bad[4] = 0x0A;
    for (size_t n = 0; n < 8; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(Decoding().Go(Bytes(good.begin(), good.begin() + long(n))).error, "PNG LoadStream: Not PNG Format");
    }
    EXPECT_EQ(Decoding().Go(bad).error, "PNG LoadStream: Not PNG Format");

    // Without the check a short stream gives no image and no error.
    Decoding r;
    r.dec.CheckSignature = false;
    r.bmp.SetSize(4, 4);
    r.Go(Bytes{1, 2, 3});
    EXPECT_EQ(r.error, "");
    EXPECT_EQ(r.bmp.Width(), 4);

    // And a stream without a signature decodes.
    Decoding plain;
    plain.dec.CheckSignature = false;
    plain.Go(Bytes(good.begin() + 8, good.end()));
    EXPECT_EQ(plain.error, "");
    ExpectRgbPixels(plain.bmp);
}

TEST(PngDecodeHeader, SecondHeaderAndSecondRead) {
    EXPECT_EQ(Decoding().Go(Cat({Signature(), Ihdr(3, 2, 8, 2), Ihdr(3, 2, 8, 2), RgbIdat(), Iend()})).error,
              "Read Header(PNG): appear two IHDR");

    // The chunk flags live as long as the decoder.
    Decoding r;
    r.Go(RgbFile());
    ASSERT_EQ(r.error, "");
    r.Go(RgbFile());
    EXPECT_EQ(r.error, "Read Header(PNG): appear two IHDR");
}

// ---- Chunk placement and sizes ---------------------------------------------------

TEST(PngDecodeChunks, ChunksBeforeTheHeader) {
    TPNGTimeStamp time;
    Decoding r;
    r.dec.TimeStamp = &time;
    r.Go(Cat({Signature(), Chunk("gAMA", Be32(45455)), Chunk("pHYs", Cat({Be32(7), Be32(8), Bytes{1}})),
              Chunk("bKGD", Be16(0x0102)), Chunk("tRNS", Cat({Be16(10), Be16(20), Be16(30)})),
              Chunk("tIME", Cat({Be16(2024), Bytes{2, 29, 23, 59, 60}})), Chunk("tEXt", Text(std::string("Comment\0early", 13))),
              Chunk("IDAT", Bytes{1, 2, 3}),  // no header yet: passed over
              Ihdr(3, 2, 8, 2), RgbIdat(), Iend()}));
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.dec.Gamma, 0.0);
    EXPECT_EQ(r.dec.XResolution, 0);
    EXPECT_EQ(r.dec.BackgroundColor, -1);
    EXPECT_EQ(r.dec.TransparentColor, -1);
    EXPECT_FALSE(r.bmp.GetTransparent());
    EXPECT_EQ(time.Year, 2024);
    EXPECT_EQ(time.Month, 2);
    EXPECT_EQ(time.Day, 29);
    EXPECT_EQ(time.Second, 60);
    EXPECT_EQ(r.dec.Comment, "early");
    ExpectRgbPixels(r.bmp);
}

TEST(PngDecodeChunks, PlacementRulesOfAncillaryChunks) {
    const Bytes plte = Chunk("PLTE", Bytes{1, 2, 3, 4, 5, 6});
    struct Case {
        const char* name;
        Bytes extra, after;
        double gamma;
        int32_t sbit, xres, background, transparent;
    };
    const Case cases[] = {
        {"before PLTE all are used",
         Cat({Chunk("gAMA", Be32(50000)), Chunk("sBIT", Bytes{5, 6, 5}), Chunk("pHYs", Cat({Be32(99), Be32(98), Bytes{1}})),
              plte}),
         {}, 0.5, 0x050605, 99, -1, -1},
        {"gAMA and sBIT after PLTE are ignored, pHYs and tRNS used",
         Cat({plte, Chunk("gAMA", Be32(50000)), Chunk("sBIT", Bytes{5, 6, 5}),
              Chunk("pHYs", Cat({Be32(99), Be32(98), Bytes{1}})), Chunk("tRNS", Cat({Be16(1), Be16(2), Be16(3)}))}),
         {}, 0.0, 0, 99, -1, 0x030201},
        {"after the image only bKGD is used",
         {},
         Cat({Chunk("gAMA", Be32(50000)), Chunk("sBIT", Bytes{5, 6, 5}), Chunk("pHYs", Cat({Be32(99), Be32(98), Bytes{1}})),
              Chunk("tRNS", Cat({Be16(1), Be16(2), Be16(3)})), Chunk("bKGD", Cat({Be16(7), Be16(8), Be16(9)}))}),
         0.0, 0, 0, 0x090807, -1},
        {"short chunks are passed over whole",
         Cat({Chunk("gAMA", Be16(1)), Chunk("sBIT", Bytes{5, 6}), Chunk("pHYs", Be32(99)), Chunk("tRNS", Be16(1)),
              Chunk("bKGD", Bytes{})}),
         {}, 0.0, 0, 0, -1, -1},
        {"long chunks use their head",
         Cat({Chunk("gAMA", Cat({Be32(100000), Be32(7)})), Chunk("pHYs", Cat({Be32(5), Be32(6), Bytes{1, 1, 1}}))}),
         {}, 1.0, 0, 5, -1, -1},
        {"unknown chunks of any length",
         Cat({Chunk("zzZZ", {}), Chunk("ABCD", Bytes(70000, 1)), Chunk("abcd", Bytes{1})}),
         Chunk("QQQQ", {}), 0.0, 0, 0, -1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Decoding r;
        r.Go(RgbFile(c.extra, c.after));
        ASSERT_EQ(r.error, "");
        EXPECT_DOUBLE_EQ(r.dec.Gamma, c.gamma);
        EXPECT_EQ(r.dec.SignificantBits, c.sbit);
        EXPECT_EQ(r.dec.XResolution, c.xres);
        EXPECT_EQ(r.dec.BackgroundColor, c.background);
        EXPECT_EQ(r.dec.TransparentColor, c.transparent);
        ExpectRgbPixels(r.bmp);
    }
}

TEST(PngDecodeChunks, SizedChunksNeedTheirExactSize) {
    struct Case {
        const char* name;
        Bytes chunks;
        bool time, chrm, gif;
    };
    const Bytes chrm32 = Cat({Be32(31270), Be32(32900), Be32(64000), Be32(33000), Be32(30000), Be32(60000), Be32(15000),
                             Be32(6000)});
    const Bytes timeData = Cat({Be16(1999), Bytes{12, 31, 23, 59, 58}});
    Bytes timeLong = timeData;
    timeLong.push_back(0);
    const Case cases[] = {
        {"exact sizes", Cat({Chunk("tIME", timeData), Chunk("cHRM", chrm32), Chunk("gIFg", Bytes{1, 2, 3, 4})}), true,
         true, true},
        {"one byte too many",
         Cat({Chunk("tIME", timeLong), Chunk("cHRM", Cat({chrm32, Bytes{0}})), Chunk("gIFg", Bytes{1, 2, 3, 4, 5})}),
         false, false, false},
        {"one byte too few",
         Cat({Chunk("tIME", Bytes(timeData.begin(), timeData.end() - 1)),
              Chunk("cHRM", Bytes(chrm32.begin(), chrm32.end() - 4)), Chunk("gIFg", Bytes{1, 2, 3})}),
         false, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Decoding r;
        TPNGTimeStamp time;
        time.Year = 5;  // cleared by the decode
        TPNGChromaticity chrm;
        TPNGGIFControl gif;
        r.dec.TimeStamp = &time;
        r.dec.Chromaticity = &chrm;
        r.dec.GIFControl = &gif;
        r.Go(RgbFile(c.chunks));
        ASSERT_EQ(r.error, "");
        EXPECT_EQ(time.Year, c.time ? 1999 : 0);
        EXPECT_EQ(time.Second, c.time ? 58 : 0);
        EXPECT_EQ(chrm.WhiteX, c.chrm ? 31270 : 0);
        EXPECT_EQ(chrm.BlueY, c.chrm ? 6000 : 0);
        EXPECT_EQ(gif.Bytes[3], c.gif ? 4 : 0);
        ExpectRgbPixels(r.bmp);
    }
}

TEST(PngDecodeChunks, TimeIsTakenWhereverItStands) {
    const Bytes t = Chunk("tIME", Cat({Be16(2001), Bytes{3, 4, 5, 6, 7}}));
    const Bytes files[] = {
        Cat({Signature(), t, Ihdr(3, 2, 8, 2), RgbIdat(), Iend()}),
        RgbFile(t),
        RgbFile({}, t),
        Cat({Signature(), Ihdr(3, 2, 8, 2), RgbIdat(), t}),  // no IEND
    };
    for (const auto& f : files) {
        TPNGTimeStamp time;
        Decoding r;
        r.dec.TimeStamp = &time;
        r.Go(f);
        EXPECT_EQ(r.error, "");
        EXPECT_EQ(time.Year, 2001);
        EXPECT_EQ(time.Minute, 6);
    }
}

TEST(PngDecodeChunks, CommentTexts) {
    using std::string;
    const auto Zlib = [](const string& text) {
        uLongf size = compressBound(uLong(text.size()));
        string out(size, '\0');
        compress(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(text.data()), uLong(text.size()));
        out.resize(size);
        return out;
    };
    using Text_ = std::pair<const char*, string>;  // chunk type, body
    struct Case {
        const char* name;
        std::vector<Text_> texts;
        string comment;
    };
    const string itxt = string("Comment\0\0\0\0\0", 12);  // uncompressed, no language, no translation
    const Case cases[] = {
        {"two comments", {{"tEXt", string("Comment\0first", 13)}, {"tEXt", string("Comment\0second", 14)}}, "first\r\nsecond"},
        {"other keywords are dropped",
         {{"tEXt", string("comment\0x", 9)}, {"tEXt", string("Title\0y", 7)}, {"tEXt", string("Comment\0z", 9)}}, "z"},
        {"empty text changes nothing", {{"tEXt", string("Comment\0", 8)}, {"tEXt", string("Comment")}}, ""},
        {"Latin-1 read as UTF-8", {{"tEXt", string("Comment\0a\xe9\xa0\0b", 13)}}, string("a\xc3\xa9\xc2\xa0\0b", 7)},
        {"iTXt UTF-8 as it is", {{"iTXt", itxt + "\xe6\xbc\xa2"}}, "\xe6\xbc\xa2"},
        {"iTXt with language and translated keyword", {{"iTXt", string("Comment\0\0\0ja\0Kommentar\0", 23) + "x"}}, "x"},
        {"tEXt and iTXt joined", {{"tEXt", string("Comment\0a", 9)}, {"iTXt", itxt + "b"}}, "a\r\nb"},
        {"compressed iTXt", {{"iTXt", string("Comment\0\1\0\0\0", 12) + Zlib("\xe6\xbc\xa2")}}, "\xe6\xbc\xa2"},
        {"zTXt Latin-1 read as UTF-8", {{"zTXt", string("Comment\0\0", 9) + Zlib("caf\xe9")}}, "caf\xc3\xa9"},
        {"zTXt between tEXt", {{"tEXt", string("Comment\0a", 9)}, {"zTXt", string("Comment\0\0", 9) + Zlib("b")}}, "a\r\nb"},
        {"damaged compressed iTXt passed over", {{"iTXt", string("Comment\0\1\0\0\0", 12) + "xyz"}}, ""},
        {"compressed text cut short passed over", {{"zTXt", string("Comment\0\0", 9) + Zlib("abcdef").substr(0, 6)}}, ""},
        {"unknown compression method passed over", {{"zTXt", string("Comment\0\1", 9) + Zlib("x")}}, ""},
        {"text inflating past the bound passed over",
         {{"zTXt", string("Comment\0\0", 9) + Zlib(string(kTextInflateLimit + 1, 'a'))}}, ""},
        {"text inflating to the bound read", {{"zTXt", string("Comment\0\0", 9) + Zlib(string(kTextInflateLimit, 'a'))}},
         string(kTextInflateLimit, 'a')},
        {"iTXt cut short", {{"iTXt", string("Comment\0\0\0", 10)}}, ""},
        {"other iTXt keywords are dropped", {{"iTXt", string("Title\0\0\0\0\0t", 10)}}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes chunks;
        for (const auto& t : c.texts) Append(chunks, Chunk(t.first, Text(t.second)));
        Decoding r;
        r.Go(RgbFile(chunks));
        ASSERT_EQ(r.error, "");
        EXPECT_EQ(r.dec.Comment, c.comment);
    }
}

TEST(PngDecodeChunks, TextRunningPastTheDataEndsTheLoopQuietly) {
    for (uint32_t length : {100u, 0x7FFFFFFFu, 0xFFFFFFF0u}) {
        SCOPED_TRACE(length);
        Bytes f = Cat({Signature(), Ihdr(3, 2, 8, 2), RgbIdat(), Chunk("tEXt", Text(std::string("Comment\0x", 9)), length)});
        Decoding r;
        r.Go(f);
        EXPECT_EQ(r.error, "");
        EXPECT_EQ(r.dec.Comment, "");
        ExpectRgbPixels(r.bmp);
    }
}

// ---- Image data feeding -------------------------------------------------------

TEST(PngDecodeData, IdatSplitAnyWayDecodesTheSame) {
    const Bytes z = Compress(Unfiltered(kRgbRows));
    const Bytes empty = Chunk("IDAT", {});
    struct Case {
        const char* name;
        Bytes idat;
    };
    Bytes withEmpties;
    for (size_t i = 0; i < z.size(); ++i) Append(withEmpties, Cat({Chunk("IDAT", Bytes{z[i]}), empty}));
    const Case cases[] = {
        {"one chunk", Chunk("IDAT", z)},
        {"one byte per chunk", IdatChunks(z, 1)},
        {"empty chunks first and between", Cat({empty, withEmpties})},
        {"data chunks then an unrelated chunk after the data", Cat({IdatChunks(z, 5), Chunk("tEXt", Text("a"))})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Decoding r;
        r.Go(Cat({Signature(), Ihdr(3, 2, 8, 2), c.idat, Iend()}));
        ASSERT_EQ(r.error, "");
        ExpectRgbPixels(r.bmp);
    }
}

TEST(PngDecodeData, ImageDataErrors) {
    const Bytes z = Compress(Unfiltered(kRgbRows));
    const Bytes head = Cat({Signature(), Ihdr(3, 2, 8, 2)});
    Bytes badFilter = Unfiltered(kRgbRows);
    badFilter[10] = 5;  // the second row's filter byte
    Bytes truncatedZ = Compress(Unfiltered(kRgbRows));
    truncatedZ.resize(truncatedZ.size() / 2);
    const Bytes half(z.begin(), z.begin() + long(z.size() / 2));
    const Bytes rest(z.begin() + long(z.size() / 2), z.end());
    struct Case {
        const char* name;
        Bytes file;
    };
    const Case cases[] = {
        {"filter type 5", Cat({head, Chunk("IDAT", Compress(badFilter)), Iend()})},
        {"another chunk between the data chunks", Cat({head, Chunk("IDAT", half), Chunk("tEXt", Text("x")), Chunk("IDAT", rest), Iend()})},
        {"stream cut inside the image data", Cat({head, Chunk("IDAT", half)})},
        {"chunk declares more than the stream holds", Cat({head, Chunk("IDAT", z, int64_t(z.size()) + 50)})},
        {"compressed data ends before the last row", Cat({head, Chunk("IDAT", Compress(Bytes(10, 0))), Iend()})},
        {"data chunks end early", Cat({head, Chunk("IDAT", truncatedZ), Iend()})},
        {"not zlib data", Cat({head, Chunk("IDAT", Bytes{1, 2, 3, 4, 5, 6, 7, 8}), Iend()})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Decoding r;
        r.Go(c.file);
        EXPECT_EQ(r.error, "Read Image (PNG): Read Error");
    }
}

TEST(PngDecodeData, MissingEndAndDataAfterTheEnd) {
    // Without IEND the pixels are there but a tRNS key is not applied.
    Decoding noEnd;
    noEnd.Go(Cat({Signature(), Ihdr(3, 2, 8, 2), Chunk("tRNS", Cat({Be16(10), Be16(20), Be16(30)})), RgbIdat()}));
    ASSERT_EQ(noEnd.error, "");
    ExpectRgbPixels(noEnd.bmp);
    EXPECT_EQ(noEnd.dec.TransparentColor, 0x1E140A);
    EXPECT_FALSE(noEnd.bmp.GetTransparent());

    Decoding withEnd;
    withEnd.Go(RgbFile(Chunk("tRNS", Cat({Be16(10), Be16(20), Be16(30)}))));
    ASSERT_EQ(withEnd.error, "");
    EXPECT_TRUE(withEnd.bmp.GetTransparent());
    EXPECT_EQ(withEnd.bmp.TransparentColor, 0x1E140A);

    // Nothing after IEND's CRC is read; the stream is left right there.
    const Bytes png = RgbFile();
    const Bytes trailer = Cat({Chunk("tEXt", Text(std::string("Comment\0late", 12))), Bytes(300, 0)});
    Decoding memory;
    memory.Go(Cat({png, trailer}));
    ASSERT_EQ(memory.error, "");
    EXPECT_EQ(memory.position, int64_t(png.size()));
    EXPECT_EQ(memory.dec.Comment, "");

    // The same through a file stream, which reads ahead into its buffer.
    char path[] = "/tmp/pngdecodeXXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        TFileStream out(path, TFileStream::fmCreate);
        const Bytes all = Cat({Bytes(7, 'x'), png, trailer});
        out.WriteBuffer(all.data(), int64_t(all.size()));
    }
    {
        TFileStream in(path, TFileStream::fmOpenRead);
        in.SetPosition(7);
        TBitmap bmp;
        TTavPNGReadStream dec;
        dec.ReadImage(&bmp, in, 0);
        EXPECT_EQ(in.Position(), 7 + int64_t(png.size()));
        ExpectRgbPixels(bmp);
    }
    std::remove(path);
}

TEST(PngDecodeData, HeaderWithoutImageLeavesTheBitmap) {
    Decoding r;
    r.bmp.SetPixelFormat(pf8bit);
    r.bmp.SetSize(7, 5);
    r.Go(Cat({Signature(), Ihdr(3, 2, 8, 2), Chunk("tRNS", Cat({Be16(1), Be16(2), Be16(3)})), Iend()}));
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.bmp.Width(), 7);
    EXPECT_EQ(r.bmp.PixelFormat(), pf8bit);
    EXPECT_FALSE(r.bmp.GetTransparent());
    EXPECT_EQ(r.dec.Width, 3);
}

TEST(PngDecodeData, WithoutBitmapOnlyTheHeaderIsLearnt) {
    Decoding r;
    r.Go(RgbFile(Chunk("gAMA", Be32(45455))), false);
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.dec.Width, 3);
    EXPECT_EQ(r.dec.Height, 2);
    EXPECT_EQ(r.dec.SourceBitCount, 24);
    EXPECT_DOUBLE_EQ(r.dec.Gamma, 0.45455);
    EXPECT_TRUE(r.bmp.Empty());
}

TEST(PngDecodeData, ProgressRunsFromZeroToHundred) {
    Decoding r;
    std::vector<std::pair<int, int>> seen;  // stage, percent
    r.bmp.OnProgress = [&](TObject* sender, TProgressStage stage, uint8_t percent, bool, const TRect&,
                           const std::string&) {
        EXPECT_EQ(sender, &r.bmp);
        seen.emplace_back(stage, percent);
    };
    // Enough rows for several counter steps.
    std::vector<Bytes> rows(40, Bytes(30, 7));
    r.Go(Cat({Signature(), Ihdr(10, 40, 8, 2), Chunk("IDAT", Compress(Unfiltered(rows))), Iend()}));
    ASSERT_EQ(r.error, "");
    ASSERT_GE(seen.size(), 4u);
    EXPECT_EQ(seen.front(), std::make_pair(int(psStarting), 0));
    EXPECT_EQ(seen.back(), std::make_pair(int(psEnding), 100));
    for (size_t i = 1; i + 1 < seen.size(); ++i) {
        EXPECT_EQ(seen[i].first, psRunning);
        EXPECT_GT(seen[i].second, seen[i - 1].second);
        EXPECT_LE(seen[i].second, 99);
    }
}

// Damaged streams never touch memory outside their buffers (the
// sanitizer build checks that) and end either with a decoded image of the
// header's size or with one of the framework's errors.
TEST(PngDecodeHostile, DamagedStreamsEndCleanly) {
    std::vector<Bytes> bases;
    bases.push_back(RgbFile(Chunk("tEXt", Text(std::string("Comment\0hello", 13)))));
    std::vector<Bytes> rows(9, Bytes(7, 0));
    for (size_t y = 0; y < rows.size(); ++y)
        for (size_t x = 0; x < rows[y].size(); ++x) rows[y][x] = uint8_t(y * 31 + x * 17);
    bases.push_back(Cat({Signature(), Ihdr(13, 9, 4, 3, 1), Chunk("PLTE", Bytes(48, 9)),
                         Chunk("tRNS", Bytes{0, 128, 255}), Chunk("IDAT", Compress(Adam7Rows(rows, 13, 4))), Iend()}));
    bases.push_back(Cat({Signature(), Ihdr(7, 9, 8, 4), Chunk("IDAT", Compress(Unfiltered(rows))), Iend()}));
    uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 8; };
    int decoded = 0, failed = 0;
    for (const Bytes& base : bases) {
        for (int round = 0; round < 300; ++round) {
            Bytes data = base;
            const int flips = 1 + int(next() % 4);
            for (int i = 0; i < flips; ++i) {
                // Sizes stay as they are: huge ones only make the bitmap
                // slow to allocate, and have their own tests.
                const size_t at = 8 + next() % (data.size() - 8);
                if (at < 16 || at >= 24) data[at] = uint8_t(next());
            }
            if (round % 5 == 0) data.resize(8 + next() % (data.size() - 8));
            Decoding r;
            r.dec.AlphaBitmap = &r.alpha;
            TMemoryStream s;
            Load(s, data);
            try {
                r.dec.ReadImage(&r.bmp, s, 0);
                ++decoded;
                if (!r.bmp.Empty()) {
                    EXPECT_EQ(r.bmp.Width(), r.dec.Width);
                    EXPECT_EQ(r.bmp.Height(), r.dec.Height);
                }
            } catch (const Exception&) {
                ++failed;
            }
        }
    }
    // Both outcomes occur, so the damage reached the decoder's checks.
    EXPECT_GT(decoded, 0);
    EXPECT_GT(failed, 0);
}

}  // namespace

// The PNG picture class as its callers see it: defaults, loading and
// saving through the current bitmaps, form storage, assignment,
// transparency, overrides, size, clipboard and the row events.
#include <gtest/gtest.h>

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "codec/TavPNG.h"
#include "platform/Canvas.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"
#include "PngEncodeTestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;
using pngenc::Chunk;

Bytes StreamBytes(TMemoryStream& ms) { return Bytes(ms.Memory(), ms.Memory() + ms.Size()); }

Bytes SaveBytes(TGraphic& g) {
    TMemoryStream ms;
    g.SaveToStream(ms);
    return StreamBytes(ms);
}

Bytes WriteDataBytes(TTavPNG& png) {
    TMemoryStream ms;
    png.WriteData(ms);
    return StreamBytes(ms);
}

void LoadBytes(TTavPNG& png, const Bytes& data) {
    TMemoryStream ms;
    ms.WriteBuffer(data.data(), int64_t(data.size()));
    ms.SetPosition(0);
    png.LoadFromStream(ms);
}

void ReadDataBytes(TTavPNG& png, const Bytes& data) {
    TMemoryStream ms;
    ms.WriteBuffer(data.data(), int64_t(data.size()));
    ms.SetPosition(0);
    png.ReadData(ms);
}

std::vector<Chunk> ChunksOf(const Bytes& file) { return pngenc::ParseChunks(file); }

int IhdrByte(const Bytes& file, size_t index) {
    const auto chunks = ChunksOf(file);
    const Chunk* ihdr = pngenc::Find(chunks, "IHDR");
    if (!ihdr || ihdr->Data.size() != 13)
        return -1;
    return ihdr->Data[index];
}
int ColorTypeOf(const Bytes& file) { return IhdrByte(file, 9); }
int InterlaceOf(const Bytes& file) { return IhdrByte(file, 12); }

// The gAMA value of a file, or -1 without one.
int64_t GammaChunkOf(const Bytes& file) {
    const auto chunks = ChunksOf(file);
    const Chunk* g = pngenc::Find(chunks, "gAMA");
    if (!g || g->Data.size() != 4)
        return -1;
    return int64_t(pngenc::BE32(g->Data.data()));
}

// A 24-bit picture of w x h with varied pixels.
std::unique_ptr<TBitmap> Rgb(int32_t w, int32_t h, uint32_t seed) { return pngenc::MakeBitmap(pf24bit, w, h, seed); }

// PNG bytes of a picture holding image (and mask as its alpha when given).
Bytes PngOf(TBitmap& image, TBitmap* mask = nullptr, double gamma = 0.45455, uint8_t interlace = 0) {
    TTavPNG png;
    png.Assign(&image);
    if (mask) {
        png.AlphaBitmap->Assign(mask);
        png.HasAlpha = true;
    }
    png.Gamma = gamma;
    png.Interlace = interlace;
    return SaveBytes(png);
}

void ExpectSamePixels(const TBitmap& a, const TBitmap& b) {
    ASSERT_EQ(a.Width(), b.Width());
    ASSERT_EQ(a.Height(), b.Height());
    for (int32_t y = 0; y < a.Height(); ++y)
        for (int32_t x = 0; x < a.Width(); ++x)
            ASSERT_EQ(a.Pixel(x, y), b.Pixel(x, y)) << "at " << x << "," << y;
}

void ExpectSameMask(const TBitmap& a, const TBitmap& b) {
    ASSERT_EQ(a.Width(), b.Width());
    ASSERT_EQ(a.Height(), b.Height());
    for (int32_t y = 0; y < a.Height(); ++y)
        for (int32_t x = 0; x < a.Width(); ++x)
            ASSERT_EQ(a.ScanLine(y)[x], b.ScanLine(y)[x]) << "at " << x << "," << y;
}

struct ChangeCounter {
    int Count = 0;
    void Attach(TGraphic& g) {
        g.OnChange = [this](TObject*) { ++Count; };
    }
};

// ---- creation ---------------------------------------------------------------

TEST(TavPNGPicture, NewPictureHasTheDocumentedDefaults) {
    TTavPNG png;
    struct Case {
        const char* Name;
        double Actual, Expected;
    } cases[] = {
        {"SyncingTransparency", double(png.SyncingTransparency), 0},
        {"IDATSize", double(png.IDATSize), 32768},
        {"CompressionLevel", double(png.CompressionLevel), -1},
        {"FilterMode", double(png.FilterMode), 1},
        {"Interlace", double(png.Interlace), 0},
        {"Grayscale", double(png.Grayscale), 0},
        {"HasAlpha", double(png.HasAlpha), 0},
        {"SourceBitCount", double(png.SourceBitCount), 0},
        {"BackgroundColor", double(png.BackgroundColor), -1},
        {"TransparentColor", double(png.TransparentColor), -1},
        {"Gamma", png.Gamma, 0.45455},
        {"SignificantBits", double(png.SignificantBits), 0},
        {"ResolutionUnit", double(png.ResolutionUnit), 0},
        {"XResolution", double(png.XResolution), 0},
        {"YResolution", double(png.YResolution), 0},
        {"SkipMacHeader", double(png.SkipMacHeader), 1},
        {"UseCurrentTime", double(png.UseCurrentTime), 1},
        {"Allow16BitOutput", double(png.Allow16BitOutput), 0},
        {"Chromaticity.WhiteX", double(png.Chromaticity.WhiteX), 0},
        {"Chromaticity.BlueY", double(png.Chromaticity.BlueY), 0},
        {"GIFControl[0]", double(png.GIFControl.Bytes[0]), 0},
        {"GIFControl[3]", double(png.GIFControl.Bytes[3]), 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.Actual, c.Expected) << c.Name;
    EXPECT_EQ(png.ClassName(), "TTavPNG");
    EXPECT_TRUE(png.Comment.empty());
    EXPECT_TRUE(png.Key.empty());
    EXPECT_EQ(png.ImageOverride, nullptr);
    EXPECT_EQ(png.AlphaOverride, nullptr);
    ASSERT_NE(png.ImageBitmap, nullptr);
    ASSERT_NE(png.AlphaBitmap, nullptr);
    EXPECT_NE(png.ImageBitmap.get(), png.AlphaBitmap.get());
    EXPECT_EQ(png.CurrentImage(), png.ImageBitmap.get());
    EXPECT_EQ(png.CurrentAlpha(), png.AlphaBitmap.get());
    EXPECT_FALSE(png.OnKeyRequest);
    EXPECT_FALSE(png.OnEncodeRow);
    EXPECT_FALSE(png.OnDecodeRow);
    EXPECT_TRUE(png.Empty());
    EXPECT_EQ(png.Width(), 0);
    EXPECT_EQ(png.Height(), 0);
    EXPECT_FALSE(png.GetTransparent());
}

TEST(TavPNGPicture, NewPictureIsStampedWithTheCurrentUtcTime) {
    const std::time_t before = std::time(nullptr);
    TTavPNG png;
    const std::time_t after = std::time(nullptr);
    std::tm t{};
    t.tm_year = png.TimeStamp.Year - 1900;
    t.tm_mon = png.TimeStamp.Month - 1;
    t.tm_mday = png.TimeStamp.Day;
    t.tm_hour = png.TimeStamp.Hour;
    t.tm_min = png.TimeStamp.Minute;
    t.tm_sec = png.TimeStamp.Second;
    const std::time_t stamped = timegm(&t);
    EXPECT_GE(stamped, before);
    EXPECT_LE(stamped, after);
}

// ---- gamma ------------------------------------------------------------------

TEST(TavPNGPicture, NewPictureSavesGamma45455) {
    // An empty picture has nothing a PNG file could hold.
    TTavPNG empty;
    EXPECT_THROW(SaveBytes(empty), ETavPNG);
    TTavPNG png;
    auto bmp = Rgb(5, 4, 1);
    png.Assign(bmp.get());
    EXPECT_EQ(GammaChunkOf(SaveBytes(png)), 45455);
}

TEST(TavPNGPicture, LoadedGammaDecidesTheSavedGamma) {
    auto bmp = Rgb(6, 3, 2);
    struct Case {
        const char* Name;
        double FileGamma;
        double LoadedGamma;
        int64_t SavedChunk;
    } cases[] = {
        {"file without gAMA", 0.0, 0.0, -1},
        {"file with gAMA 1.0", 1.0, 1.0, 100000},
        {"file with gAMA 0.5", 0.5, 0.5, 50000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const Bytes file = PngOf(*bmp, nullptr, c.FileGamma);
        ASSERT_EQ(GammaChunkOf(file), c.SavedChunk);
        TTavPNG png;
        LoadBytes(png, file);
        EXPECT_DOUBLE_EQ(png.Gamma, c.LoadedGamma);
        EXPECT_EQ(GammaChunkOf(SaveBytes(png)), c.SavedChunk);
    }
}

// ---- interlace --------------------------------------------------------------

TEST(TavPNGPicture, InterlaceComesBackFromLoadFromStreamButNotFromReadData) {
    auto bmp = Rgb(9, 7, 3);
    const Bytes interlaced = PngOf(*bmp, nullptr, 0.45455, 1);
    const Bytes plain = PngOf(*bmp, nullptr, 0.45455, 0);
    ASSERT_EQ(InterlaceOf(interlaced), 1);
    ASSERT_EQ(InterlaceOf(plain), 0);

    TTavPNG loaded;
    LoadBytes(loaded, interlaced);
    EXPECT_EQ(loaded.Interlace, 1);
    EXPECT_EQ(InterlaceOf(SaveBytes(loaded)), 1);
    ExpectSamePixels(*loaded.ImageBitmap, *bmp);

    TTavPNG read;
    ReadDataBytes(read, interlaced);
    EXPECT_EQ(read.Interlace, 0);
    EXPECT_EQ(InterlaceOf(SaveBytes(read)), 0);
    ExpectSamePixels(*read.ImageBitmap, *bmp);

    TTavPNG keeps;
    keeps.Interlace = 1;
    ReadDataBytes(keeps, plain);
    EXPECT_EQ(keeps.Interlace, 1);

    TTavPNG follows;
    follows.Interlace = 1;
    LoadBytes(follows, plain);
    EXPECT_EQ(follows.Interlace, 0);
}

// ---- alpha and assignment ---------------------------------------------------

TEST(TavPNGPicture, HasAlphaSurvivesAssigningABitmap) {
    auto first = Rgb(4, 4, 5);
    auto mask = pngenc::MakeMask(4, 4, 6);
    TTavPNG png;
    LoadBytes(png, PngOf(*first, mask.get()));
    ASSERT_TRUE(png.HasAlpha);
    ExpectSameMask(*png.AlphaBitmap, *mask);

    auto second = Rgb(4, 4, 7);
    png.Assign(second.get());
    EXPECT_TRUE(png.HasAlpha);
    ExpectSamePixels(*png.ImageBitmap, *second);

    // The old alpha is saved with the new image.
    const Bytes saved = SaveBytes(png);
    EXPECT_EQ(ColorTypeOf(saved), 6);
    TTavPNG back;
    LoadBytes(back, saved);
    ExpectSamePixels(*back.ImageBitmap, *second);
    ExpectSameMask(*back.AlphaBitmap, *mask);
}

TEST(TavPNGPicture, AssigningAPngPictureKeepsTheTargetsOwnAlphaFlag) {
    auto image = Rgb(5, 3, 8);
    auto mask = pngenc::MakeMask(5, 3, 9);
    TTavPNG withAlpha;
    LoadBytes(withAlpha, PngOf(*image, mask.get()));
    ASSERT_TRUE(withAlpha.HasAlpha);
    TTavPNG withoutAlpha;
    LoadBytes(withoutAlpha, PngOf(*image));
    ASSERT_FALSE(withoutAlpha.HasAlpha);

    struct Case {
        const char* Name;
        TTavPNG* Source;
        bool TargetFlag;
        int SavedColorType;
    } cases[] = {
        {"alpha source, target without", &withAlpha, false, 2},
        {"alpha source, target with", &withAlpha, true, 6},
        {"plain source, target with", &withoutAlpha, true, 2},  // its copied alpha bitmap is empty
        {"plain source, target without", &withoutAlpha, false, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TTavPNG target;
        target.HasAlpha = c.TargetFlag;
        target.Assign(c.Source);
        EXPECT_EQ(target.HasAlpha, c.TargetFlag);
        ExpectSamePixels(*target.ImageBitmap, *image);
        EXPECT_EQ(ColorTypeOf(SaveBytes(target)), c.SavedColorType);
    }
}

TEST(TavPNGPicture, AssignCopiesTheSettingsItShouldAndKeepsTheOthers) {
    TTavPNG source;
    auto image = Rgb(3, 2, 10);
    source.Assign(image.get());
    source.CompressionLevel = 9;
    source.FilterMode = 5;
    source.OptimizeLevel = 2;
    source.IDATSize = 1000;
    source.Interlace = 1;
    source.Grayscale = true;
    source.Comment = "copied";
    source.BackgroundColor = 0x123456;
    source.TransparentColor = 0x654321;
    source.Gamma = 2.2;
    source.SignificantBits = 0x050605;
    source.ResolutionUnit = 1;
    source.XResolution = 3780;
    source.YResolution = 3779;
    source.UseCurrentTime = false;
    source.TimeStamp = TPNGTimeStamp{2001, 2, 3, 4, 5, 6};
    source.Chromaticity.WhiteX = 31270;
    // Not copied:
    source.HasAlpha = true;
    source.SourceBitCount = 24;
    source.Key = "source key";
    source.SkipMacHeader = false;
    source.GIFControl.Bytes[0] = 7;
    source.Allow16BitOutput = true;

    TTavPNG target;
    target.Assign(&source);
    struct Case {
        const char* Name;
        double Actual, Expected;
    } cases[] = {
        {"CompressionLevel", double(target.CompressionLevel), 9},
        {"FilterMode", double(target.FilterMode), 5},
        {"OptimizeLevel", double(target.OptimizeLevel), 2},
        {"IDATSize", double(target.IDATSize), 1000},
        {"Interlace", double(target.Interlace), 1},
        {"Grayscale", double(target.Grayscale), 1},
        {"BackgroundColor", double(target.BackgroundColor), 0x123456},
        {"TransparentColor", double(target.TransparentColor), 0x654321},
        {"Gamma", target.Gamma, 2.2},
        {"SignificantBits", double(target.SignificantBits), 0x050605},
        {"ResolutionUnit", double(target.ResolutionUnit), 1},
        {"XResolution", double(target.XResolution), 3780},
        {"YResolution", double(target.YResolution), 3779},
        {"UseCurrentTime", double(target.UseCurrentTime), 0},
        {"TimeStamp.Year", double(target.TimeStamp.Year), 2001},
        {"TimeStamp.Second", double(target.TimeStamp.Second), 6},
        {"Chromaticity.WhiteX", double(target.Chromaticity.WhiteX), 31270},
        {"HasAlpha (kept)", double(target.HasAlpha), 0},
        {"SourceBitCount (kept)", double(target.SourceBitCount), 0},
        {"SkipMacHeader (kept)", double(target.SkipMacHeader), 1},
        {"GIFControl (kept)", double(target.GIFControl.Bytes[0]), 0},
        {"Allow16BitOutput (kept)", double(target.Allow16BitOutput), 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.Actual, c.Expected) << c.Name;
    EXPECT_EQ(target.Comment, "copied");
    EXPECT_TRUE(target.Key.empty());
}

TEST(TavPNGPicture, AssignFromAnotherPictureKeepsSettingsAndAlphaOverride) {
    TTavPNG png;
    TBitmap borrowedAlpha;
    png.AlphaOverride = &borrowedAlpha;
    png.HasAlpha = true;
    png.Comment = "kept";
    TBitmap other;
    png.ImageOverride = &other;
    auto image = Rgb(3, 3, 11);
    png.Assign(image.get());
    EXPECT_EQ(png.ImageOverride, nullptr);
    EXPECT_EQ(png.AlphaOverride, &borrowedAlpha);
    EXPECT_TRUE(png.HasAlpha);
    EXPECT_EQ(png.Comment, "kept");
    ExpectSamePixels(*png.ImageBitmap, *image);
}

TEST(TavPNGPicture, AssignFromPngSharesTheSourcesOverrides) {
    TBitmap image, alpha;
    TTavPNG source;
    source.ImageOverride = &image;
    source.AlphaOverride = &alpha;
    TTavPNG target;
    target.Assign(&source);
    EXPECT_EQ(target.ImageOverride, &image);
    EXPECT_EQ(target.AlphaOverride, &alpha);
}

TEST(TavPNGPicture, AssigningAPictureToItselfKeepsItsOverride) {
    auto borrowed = Rgb(2, 2, 40);
    TTavPNG png;
    png.ImageOverride = borrowed.get();
    png.Assign(&png);
    EXPECT_EQ(png.ImageOverride, borrowed.get());
}

TEST(TavPNGPicture, AssignToABitmapCopiesTheCurrentImage) {
    auto owned = Rgb(4, 2, 12);
    auto borrowed = Rgb(3, 5, 13);
    TTavPNG png;
    png.Assign(owned.get());
    TBitmap copy;
    copy.Assign(&png);
    ExpectSamePixels(copy, *owned);
    png.ImageOverride = borrowed.get();
    copy.Assign(&png);
    ExpectSamePixels(copy, *borrowed);
}

TEST(TavPNGPicture, AssignFromANonPictureRaisesTheConversionError) {
    TTavPNG png;
    TPicture container;
    EXPECT_THROW(png.Assign(&container), EConvertError);
}

// ---- form storage -----------------------------------------------------------

TEST(TavPNGPicture, WriteDataOfAnEmptyPictureWritesNothing) {
    TTavPNG png;
    EXPECT_TRUE(WriteDataBytes(png).empty());
    // An override does not count: form storage uses the owned bitmap.
    auto image = Rgb(2, 2, 14);
    png.ImageOverride = image.get();
    EXPECT_TRUE(WriteDataBytes(png).empty());
}

TEST(TavPNGPicture, WriteDataUsesTheEncoderDefaultsForTechnicalSettings) {
    auto image = Rgb(20, 10, 15);
    TTavPNG png;
    png.Assign(image.get());
    png.Interlace = 1;
    png.IDATSize = 100;  // out of range: only SaveToStream uses it
    png.Comment = "stored";
    png.UseCurrentTime = false;
    png.TimeStamp = TPNGTimeStamp{};

    try {
        SaveBytes(png);
        ADD_FAILURE() << "SaveToStream accepted IDAT size 100";
    } catch (const ETavPNG& e) {
        EXPECT_STREQ(e.what(), "Write PNG Param: Err IDAT Size(min:256  max:100000)");
    }

    const Bytes stored = WriteDataBytes(png);
    EXPECT_EQ(InterlaceOf(stored), 0);
    const auto chunks = ChunksOf(stored);
    // UseCurrentTime is the encoder's default (true) here.
    EXPECT_NE(pngenc::Find(chunks, "tIME"), nullptr);
    const Chunk* text = pngenc::Find(chunks, "tEXt");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text->Data.begin(), text->Data.end()), std::string("Comment\0stored", 14));

    TTavPNG back;
    ReadDataBytes(back, stored);
    ExpectSamePixels(*back.ImageBitmap, *image);
    EXPECT_EQ(back.Comment, "stored");
}

TEST(TavPNGPicture, ReadDataClearsOverridesAndSignalsChanges) {
    auto image = Rgb(3, 3, 16);
    const Bytes file = PngOf(*image);
    TBitmap borrowedImage, borrowedAlpha;
    TTavPNG png;
    png.ImageOverride = &borrowedImage;
    png.AlphaOverride = &borrowedAlpha;
    ChangeCounter changes;
    changes.Attach(png);
    ReadDataBytes(png, file);
    EXPECT_EQ(png.ImageOverride, nullptr);
    EXPECT_EQ(png.AlphaOverride, nullptr);
    EXPECT_TRUE(borrowedImage.Empty());
    ExpectSamePixels(*png.ImageBitmap, *image);
    // One from adopting the image, one for the read itself.
    EXPECT_EQ(changes.Count, 2);
}

// ---- transparency -----------------------------------------------------------

TEST(TavPNGPicture, LoadAdoptsTheBitmapsTransparentFlagWithOneChange) {
    auto image = Rgb(4, 3, 17);
    TTavPNG keyed;
    keyed.Assign(image.get());
    keyed.TransparentColor = image->Pixel(1, 1);
    const Bytes withKey = SaveBytes(keyed);
    ASSERT_NE(pngenc::Find(ChunksOf(withKey), "tRNS"), nullptr);
    const Bytes withoutKey = PngOf(*image);

    struct Case {
        const char* Name;
        bool FlagBefore;
        const Bytes* File;
        bool FlagAfter;
    } cases[] = {
        {"flag off, file with tRNS", false, &withKey, true},
        {"flag on, file without tRNS", true, &withoutKey, false},
        {"flag off, file without tRNS", false, &withoutKey, false},
        {"flag on, file with tRNS", true, &withKey, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TTavPNG png;
        png.SetTransparent(c.FlagBefore);
        ChangeCounter changes;
        changes.Attach(png);
        LoadBytes(png, *c.File);
        EXPECT_EQ(png.GetTransparent(), c.FlagAfter);
        EXPECT_EQ(png.ImageBitmap->GetTransparent(), c.FlagAfter);
        EXPECT_EQ(changes.Count, 1);
        EXPECT_FALSE(png.SyncingTransparency);
    }
}

TEST(TavPNGPicture, AdoptingTheFlagDoesNotWriteItToTheCurrentImage) {
    // The target's current image is the source's borrowed bitmap (not
    // transparent) while the adopted flag comes from the copied owned one.
    auto owned = Rgb(3, 3, 18);
    owned->SetTransparent(true);
    TBitmap borrowed;
    TTavPNG source;
    source.ImageBitmap->Assign(owned.get());
    source.ImageOverride = &borrowed;
    TTavPNG target;
    ChangeCounter changes;
    changes.Attach(target);
    target.Assign(&source);
    EXPECT_TRUE(target.GetTransparent());
    EXPECT_FALSE(borrowed.GetTransparent());
    EXPECT_EQ(changes.Count, 1);
}

TEST(TavPNGPicture, SetTransparentReachesTheCurrentImage) {
    TBitmap borrowed;
    TTavPNG png;
    ChangeCounter changes;
    changes.Attach(png);
    png.SetTransparent(true);
    EXPECT_TRUE(png.GetTransparent());
    EXPECT_TRUE(png.ImageBitmap->GetTransparent());
    EXPECT_EQ(changes.Count, 1);
    png.SetTransparent(true);
    EXPECT_EQ(changes.Count, 1) << "no change, no signal";

    png.ImageOverride = &borrowed;
    png.SetTransparent(false);
    EXPECT_FALSE(borrowed.GetTransparent());
    EXPECT_TRUE(png.ImageBitmap->GetTransparent());
    png.SetTransparent(true);
    EXPECT_TRUE(borrowed.GetTransparent());
}

// ---- overrides --------------------------------------------------------------

TEST(TavPNGPicture, ImageOverrideIsWhatIsShownMeasuredAndSaved) {
    auto owned = Rgb(4, 4, 19);
    auto borrowed = pngenc::MakeBitmap(pf8bit, 6, 2, 20);
    TTavPNG png;
    png.Assign(owned.get());
    png.ImageOverride = borrowed.get();

    EXPECT_EQ(png.Width(), 6);
    EXPECT_EQ(png.Height(), 2);
    EXPECT_FALSE(png.Empty());
    EXPECT_EQ(png.GetPalette(), borrowed->GetPalette());

    TTavPNG saved;
    LoadBytes(saved, SaveBytes(png));
    ExpectSamePixels(*saved.ImageBitmap, *borrowed);

    TTavPNG stored;
    ReadDataBytes(stored, WriteDataBytes(png));
    ExpectSamePixels(*stored.ImageBitmap, *owned);

    TBitmap canvas;
    canvas.SetPixelFormat(pf24bit);
    canvas.SetSize(6, 2);
    png.Draw(canvas.Canvas(), TRect{0, 0, 6, 2});
    ExpectSamePixels(canvas, *borrowed);
}

TEST(TavPNGPicture, LoadFromStreamFillsTheOverrides) {
    auto image = Rgb(5, 2, 21);
    auto mask = pngenc::MakeMask(5, 2, 22);
    const Bytes file = PngOf(*image, mask.get());
    TBitmap borrowedImage, borrowedAlpha;
    TTavPNG png;
    auto old = Rgb(2, 2, 23);
    png.Assign(old.get());
    png.AlphaBitmap->Assign(mask.get());
    png.ImageOverride = &borrowedImage;
    png.AlphaOverride = &borrowedAlpha;
    LoadBytes(png, file);
    ExpectSamePixels(borrowedImage, *image);
    ExpectSameMask(borrowedAlpha, *mask);
    ExpectSamePixels(*png.ImageBitmap, *old);
    EXPECT_TRUE(png.AlphaBitmap->Empty()) << "the owned alpha bitmap is emptied by every load";
}

TEST(TavPNGPicture, AlphaOverrideIsSavedWhenHasAlpha) {
    auto image = Rgb(4, 3, 24);
    auto ownMask = pngenc::MakeMask(4, 3, 25);
    auto borrowedMask = pngenc::MakeMask(4, 3, 26);
    TTavPNG png;
    png.Assign(image.get());
    png.AlphaBitmap->Assign(ownMask.get());
    png.AlphaOverride = borrowedMask.get();

    EXPECT_EQ(ColorTypeOf(SaveBytes(png)), 2) << "no alpha without HasAlpha";
    png.HasAlpha = true;
    TTavPNG back;
    LoadBytes(back, SaveBytes(png));
    ExpectSameMask(*back.AlphaBitmap, *borrowedMask);
    TTavPNG stored;
    ReadDataBytes(stored, WriteDataBytes(png));
    ExpectSameMask(*stored.AlphaBitmap, *ownMask);
}

// ---- size and palette -------------------------------------------------------

TEST(TavPNGPicture, SizeChangesOnlyReachNonEmptyBitmaps) {
    {
        SCOPED_TRACE("empty picture");
        TTavPNG png;
        ChangeCounter changes;
        changes.Attach(png);
        png.SetWidth(10);
        png.SetHeight(7);
        EXPECT_TRUE(png.Empty());
        EXPECT_EQ(png.Width(), 0);
        EXPECT_EQ(png.Height(), 0);
        EXPECT_EQ(changes.Count, 2);
    }
    {
        SCOPED_TRACE("image and alpha");
        auto image = Rgb(4, 3, 27);
        auto mask = pngenc::MakeMask(4, 3, 28);
        TTavPNG png;
        png.Assign(image.get());
        png.AlphaBitmap->Assign(mask.get());
        png.SetWidth(6);
        png.SetHeight(2);
        EXPECT_EQ(png.ImageBitmap->Width(), 6);
        EXPECT_EQ(png.ImageBitmap->Height(), 2);
        EXPECT_EQ(png.AlphaBitmap->Width(), 6);
        EXPECT_EQ(png.AlphaBitmap->Height(), 2);
        EXPECT_EQ(png.ImageBitmap->Pixel(3, 1), image->Pixel(3, 1));
    }
    {
        SCOPED_TRACE("image without alpha");
        auto image = Rgb(4, 3, 29);
        TTavPNG png;
        png.Assign(image.get());
        png.SetWidth(8);
        EXPECT_EQ(png.Width(), 8);
        EXPECT_TRUE(png.AlphaBitmap->Empty());
    }
}

TEST(TavPNGPicture, SetPaletteGivesThePaletteToTheCurrentImage) {
    auto image = pngenc::MakeBitmap(pf4bit, 3, 3, 30);
    TTavPNG png;
    png.Assign(image.get());
    ChangeCounter changes;
    changes.Attach(png);
    HPALETTE palette = pngenc::MakeEntries({clRed, clLime, clBlue});
    png.SetPalette(palette);
    EXPECT_EQ(png.GetPalette(), palette);
    EXPECT_EQ(png.ImageBitmap->GetPalette(), palette);
    EXPECT_GE(changes.Count, 1);
}

// ---- clipboard --------------------------------------------------------------

TEST(TavPNGPicture, ClipboardCarriesThePlainBitmap) {
    auto image = Rgb(4, 2, 31);
    auto mask = pngenc::MakeMask(4, 2, 32);
    TTavPNG png;
    LoadBytes(png, PngOf(*image, mask.get()));
    ASSERT_TRUE(png.HasAlpha);

    uint16_t format = 0, bitmapFormat = 0;
    TClipboardData data, bitmapData;
    HPALETTE palette = nullptr, bitmapPalette = nullptr;
    png.SaveToClipboardFormat(format, data, palette);
    png.ImageBitmap->SaveToClipboardFormat(bitmapFormat, bitmapData, bitmapPalette);
    EXPECT_EQ(format, bitmapFormat);
    EXPECT_EQ(data, bitmapData);
    DeletePalette(palette);
    DeletePalette(bitmapPalette);

    TBitmap borrowed;
    TTavPNG pasted;
    pasted.ImageOverride = &borrowed;
    pasted.LoadFromClipboardFormat(format, data, nullptr);
    EXPECT_EQ(pasted.ImageOverride, nullptr);
    ExpectSamePixels(*pasted.ImageBitmap, *image);
    EXPECT_TRUE(borrowed.Empty());
}

// ---- failures and progress --------------------------------------------------

TEST(TavPNGPicture, FailedLoadEmptiesAlphaAndKeepsTheOtherFields) {
    auto image = Rgb(3, 3, 33);
    auto mask = pngenc::MakeMask(3, 3, 34);
    TTavPNG png;
    LoadBytes(png, PngOf(*image, mask.get(), 1.0));
    png.Comment = "before";
    int ownProgress = 0;
    png.ImageBitmap->OnProgress = [&](TObject*, TProgressStage, uint8_t, bool, const TRect&, const std::string&) {
        ++ownProgress;
    };
    png.OnProgress = [](TObject*, TProgressStage, uint8_t, bool, const TRect&, const std::string&) {};

    const Bytes garbage = {'n', 'o', 't', ' ', 'a', ' ', 'p', 'n', 'g', '!'};
    try {
        LoadBytes(png, garbage);
        ADD_FAILURE() << "garbage loaded";
    } catch (const ETavPNG& e) {
        EXPECT_STREQ(e.what(), "PNG LoadStream: Not PNG Format");
    }
    EXPECT_TRUE(png.AlphaBitmap->Empty());
    EXPECT_TRUE(png.HasAlpha);
    EXPECT_EQ(png.Comment, "before");
    EXPECT_DOUBLE_EQ(png.Gamma, 1.0);
    ExpectSamePixels(*png.ImageBitmap, *image);
    // The bitmap has its own progress event back.
    ASSERT_TRUE(png.ImageBitmap->OnProgress);
    png.ImageBitmap->OnProgress(nullptr, psRunning, 0, false, TRect{}, "");
    EXPECT_EQ(ownProgress, 1);
}

TEST(TavPNGPicture, ProgressIsLentToTheBitmapForLoadAndSave) {
    auto image = Rgb(16, 16, 35);
    const Bytes file = PngOf(*image);
    TTavPNG png;
    std::vector<int> percents;
    png.OnProgress = [&](TObject*, TProgressStage, uint8_t percent, bool, const TRect&, const std::string&) {
        percents.push_back(percent);
    };
    LoadBytes(png, file);
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.front(), 0);
    EXPECT_EQ(percents.back(), 100);
    EXPECT_FALSE(png.ImageBitmap->OnProgress) << "the bitmap had no event of its own";

    percents.clear();
    SaveBytes(png);
    ASSERT_FALSE(percents.empty());
    EXPECT_EQ(percents.back(), 100);
    EXPECT_FALSE(png.ImageBitmap->OnProgress);

    // Form storage lends nothing.
    percents.clear();
    ReadDataBytes(png, file);
    WriteDataBytes(png);
    EXPECT_TRUE(percents.empty());
}

// ---- settings round trip and events -----------------------------------------

TEST(TavPNGPicture, SettingsSurviveASaveAndLoad) {
    auto image = pngenc::MakeBitmap(pf8bit, 4, 4, 36);
    TTavPNG png;
    png.Assign(image.get());
    png.Comment = "line";
    png.BackgroundColor = PaletteIndex(3);
    png.Gamma = 0.5;
    png.ResolutionUnit = 1;
    png.XResolution = 2835;
    png.YResolution = 1417;
    png.UseCurrentTime = false;
    png.TimeStamp = TPNGTimeStamp{1999, 12, 31, 23, 59, 58};
    png.Chromaticity = TPNGChromaticity{31270, 32900, 64000, 33000, 30000, 60000, 15000, 6000};
    png.GIFControl.Bytes[0] = 2;
    png.GIFControl.Bytes[3] = 10;

    TTavPNG back;
    LoadBytes(back, SaveBytes(png));
    EXPECT_EQ(back.Comment, "line");
    EXPECT_EQ(back.BackgroundColor, PaletteIndex(3));
    EXPECT_DOUBLE_EQ(back.Gamma, 0.5);
    EXPECT_EQ(back.ResolutionUnit, 1);
    EXPECT_EQ(back.XResolution, 2835);
    EXPECT_EQ(back.YResolution, 1417);
    EXPECT_EQ(back.TimeStamp.Year, 1999);
    EXPECT_EQ(back.TimeStamp.Month, 12);
    EXPECT_EQ(back.TimeStamp.Second, 58);
    EXPECT_EQ(back.Chromaticity.RedX, 64000);
    EXPECT_EQ(back.Chromaticity.BlueY, 6000);
    EXPECT_EQ(back.GIFControl.Bytes[0], 2);
    EXPECT_EQ(back.GIFControl.Bytes[3], 10);
    EXPECT_EQ(back.SourceBitCount, 8);
    EXPECT_FALSE(back.Grayscale);
    ExpectSamePixels(*back.ImageBitmap, *image);
}

TEST(TavPNGPicture, RowEventsAndKeyReachTheCodec) {
    auto image = Rgb(5, 4, 37);
    auto scramble = [](TObject*, uint8_t* row, int32_t count, int32_t, const std::string& key) {
        for (int32_t i = 0; i < count; ++i)
            row[i] ^= uint8_t(key[size_t(i) % key.size()]);
    };
    TTavPNG writer;
    writer.Assign(image.get());
    writer.Key = "secret";
    TObject* encodeSender = nullptr;
    writer.OnEncodeRow = [&](TObject* sender, uint8_t* row, int32_t count, int32_t index, const std::string& key) {
        encodeSender = sender;
        scramble(sender, row, count, index, key);
    };
    const Bytes file = SaveBytes(writer);
    ASSERT_NE(encodeSender, nullptr);
    EXPECT_NE(encodeSender, static_cast<TObject*>(&writer)) << "the sender is the encoder";

    {
        SCOPED_TRACE("key given");
        TTavPNG reader;
        reader.Key = "secret";
        reader.OnDecodeRow = scramble;
        LoadBytes(reader, file);
        ExpectSamePixels(*reader.ImageBitmap, *image);
    }
    {
        SCOPED_TRACE("key requested");
        TTavPNG reader;
        reader.OnKeyRequest = [](TObject*, std::string& key) { key = "secret"; };
        reader.OnDecodeRow = scramble;
        LoadBytes(reader, file);
        ExpectSamePixels(*reader.ImageBitmap, *image);
    }
    {
        SCOPED_TRACE("form storage ignores the events");
        TTavPNG reader;
        reader.Key = "secret";
        int calls = 0;
        reader.OnDecodeRow = [&](TObject*, uint8_t*, int32_t, int32_t, const std::string&) { ++calls; };
        ReadDataBytes(reader, file);
        EXPECT_EQ(calls, 0);
    }
}

TEST(TavPNGPicture, LoadsRgbaIntoImageAndAlpha) {
    auto image = Rgb(7, 5, 38);
    auto mask = pngenc::MakeMask(7, 5, 39);
    TTavPNG png;
    LoadBytes(png, PngOf(*image, mask.get()));
    EXPECT_TRUE(png.HasAlpha);
    EXPECT_EQ(png.SourceBitCount, 24);
    EXPECT_EQ(png.AlphaBitmap->PixelFormat(), pf8bit);
    ExpectSamePixels(*png.ImageBitmap, *image);
    ExpectSameMask(*png.AlphaBitmap, *mask);
}

}  // namespace

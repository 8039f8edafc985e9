// The PNG load check of the png_load fuzz target, shared with the
// regression tests that replay its inputs: any bytes through the PNG
// decoder.
//
// The first input byte chooses how the rest is read:
//   bit 0      through a TFileStream over a memfd instead of a TMemoryStream
//   bits 1-2   0: the picture with its own alpha bitmap
//              1: the picture with an AlphaOverride and an ImageOverride
//                 that already holds pixels of another format
//              2: the bare decoder without an alpha bitmap
//              3: the bare decoder with an alpha bitmap, GrayIndexMode, a
//                 row hook and a key, no signature check
//   bit 3      Allow16BitOutput
//   bit 4      SkipMacHeader
//   bit 5      with the bare decoder: header only (no bitmap)
//   bit 6      after a successful load into the picture's own bitmaps: save
//              it and load it again, and require the same colours back
//
// Decoding may raise the framework's errors; a bitmap that contradicts
// what the decoder reported is a failure, and so are crashes, sanitizer
// reports and leaks.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "codec/TavPNG.h"
#include "codec/TavPNGStream.h"
#include "platform/Bitmap.h"
#include "platform/Exceptions.h"
#include "platform/Palette.h"
#include "platform/Streams.h"

namespace pngload {

inline constexpr uint64_t kMaxPixels = 16u * 1024u * 1024u;

struct TLoadCheckFailed {
    std::string What;
};

[[noreturn]] inline void Fail(const std::string& what) { throw TLoadCheckFailed{what}; }

inline uint32_t BigEndian32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

// True when some "IHDR" in the data announces more than kMaxPixels pixels.
// Every occurrence counts, wherever it stands, so a header the decoder
// finds after a Mac header or in a second IHDR is covered too.
inline bool AsksForHugeImage(const uint8_t* data, size_t size) {
    for (size_t i = 0; i + 12 <= size; ++i) {
        if (std::memcmp(data + i, "IHDR", 4) != 0) continue;
        const uint64_t w = BigEndian32(data + i + 4);
        const uint64_t h = BigEndian32(data + i + 8);
        if (w * h > kMaxPixels) return true;
    }
    return false;
}

// One anonymous in-memory file per process, rewritten for every input and
// opened by path through /proc so that TFileStream reads it like a file.
inline const std::string& ScratchPath() {
    static const std::string path = [] {
        const int fd = memfd_create("png_load", 0);
        if (fd < 0) Fail("memfd_create failed");
        return "/proc/self/fd/" + std::to_string(fd);
    }();
    return path;
}

inline void WriteScratch(const uint8_t* data, size_t size) {
    const int fd = std::atoi(ScratchPath().c_str() + std::strlen("/proc/self/fd/"));
    if (ftruncate(fd, 0) != 0) Fail("ftruncate failed");
    size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(fd, data + done, size - done, off_t(done));
        if (n <= 0) Fail("pwrite failed");
        done += size_t(n);
    }
}

// A reversible row transform for the decoder's row hook.
inline void XorRow(TObject*, uint8_t* row, int32_t count, int32_t rowIndex, const std::string& key) {
    if (count < 0) Fail("row hook called with a negative count");
    for (int32_t i = 0; i < count; ++i) row[i] ^= uint8_t(key[size_t(i) % key.size()] + rowIndex);
}

// What any successful decode must satisfy.
inline void CheckDecoded(const TBitmap& image, const TBitmap* alpha, bool hasAlpha) {
    const int bits = image.StorageBits();
    if (bits != 1 && bits != 4 && bits != 8 && bits != 16 && bits != 24)
        Fail("decoded bitmap has an unexpected pixel format");
    if (image.GetWidth() < 0 || image.GetHeight() < 0) Fail("negative size");
    if (hasAlpha && alpha && !alpha->GetEmpty()) {
        if (alpha->GetWidth() != image.GetWidth() || alpha->GetHeight() != image.GetHeight())
            Fail("alpha bitmap size differs from the image");
        if (alpha->PixelFormat() != pf8bit) Fail("alpha bitmap is not 8 bits");
    }
    // Reading every pixel walks the whole bitmap under the sanitizers.
    for (int32_t y = 0; y < image.GetHeight(); ++y)
        for (int32_t x = 0; x < image.GetWidth(); ++x) (void)image.Pixel(x, y);
}

// Saves a loaded picture and loads the result again: the colours of every
// pixel must survive (palette indices are compared through the palettes).
inline void CheckResave(TTavPNG& first, bool allow16) {
    TBitmap& image = *first.CurrentImage();
    if (image.GetEmpty()) return;
    TMemoryStream saved;
    first.UseCurrentTime = false;
    first.SaveToStream(saved);
    saved.SetPosition(0);
    TTavPNG second;
    second.Allow16BitOutput = allow16;
    second.LoadFromStream(saved);
    const TBitmap& again = *second.CurrentImage();
    if (again.GetWidth() != image.GetWidth() || again.GetHeight() != image.GetHeight())
        Fail("re-saved picture has another size");
    for (int32_t y = 0; y < image.GetHeight(); ++y)
        for (int32_t x = 0; x < image.GetWidth(); ++x)
            if (again.Pixel(x, y) != image.Pixel(x, y)) {
                Fail("re-saved picture has other colours at (" + std::to_string(x) + "," + std::to_string(y) +
                     "), bits " + std::to_string(image.StorageBits()) + " -> " +
                     std::to_string(again.StorageBits()));
            }
}

inline void LoadThroughPicture(TStream& stream, uint8_t mode) {
    const bool overrides = (mode >> 1 & 3) == 1;
    const bool allow16 = mode & 8;
    TTavPNG picture;
    picture.Allow16BitOutput = allow16;
    picture.SkipMacHeader = mode & 16;
    TBitmap alpha, image;
    if (overrides) {
        // Stale content of another format and size must be replaced.
        image.SetPixelFormat(pf4bit);
        image.SetSize(3, 5);
        TPaletteEntry gray[2] = {{10, 20, 30, 0}, {200, 100, 50, 0}};
        image.SetPalette(CreatePalette(gray, 2));
        alpha.SetPixelFormat(pf24bit);
        alpha.SetSize(7, 2);
        picture.AlphaOverride = &alpha;
        picture.ImageOverride = &image;
    }
    try {
        picture.LoadFromStream(stream);
    } catch (const Exception&) {
        return;
    }
    // Without image data the decoder prepares no bitmap and the overrides
    // keep their old content, which need not match the new header.
    const TBitmap& result = *picture.CurrentImage();
    const bool untouched = overrides && result.PixelFormat() == pf4bit && result.GetWidth() == 3 &&
                           result.GetHeight() == 5;
    CheckDecoded(result, untouched ? nullptr : picture.CurrentAlpha(), picture.HasAlpha);
    // A stream without image data leaves an override's old pixels in place
    // while the picture takes the new file's settings, so the re-save check
    // runs only on the picture's own bitmap, which starts empty.
    if ((mode & 64) && !overrides) CheckResave(picture, allow16);
}

inline void LoadThroughDecoder(TStream& stream, uint8_t mode) {
    const bool extras = (mode >> 1 & 3) == 3;
    TTavPNGReadStream decoder;
    TPNGTimeStamp stamp;
    TPNGChromaticity chroma;
    TPNGGIFControl gif;
    decoder.TimeStamp = &stamp;
    decoder.Chromaticity = &chroma;
    decoder.GIFControl = &gif;
    decoder.Allow16BitOutput = mode & 8;
    decoder.SkipMacHeader = mode & 16;
    TBitmap image, alpha;
    if (extras) {
        decoder.AlphaBitmap = &alpha;
        decoder.GrayIndexMode = true;
        decoder.CheckSignature = false;
        decoder.Key = "fuzz";
        decoder.OnDecodeRow = XorRow;
    }
    const bool headerOnly = mode & 32;
    try {
        decoder.ReadImage(headerOnly ? nullptr : &image, stream, 0);
    } catch (const Exception&) {
        return;
    }
    if (!headerOnly) CheckDecoded(image, extras ? &alpha : nullptr, decoder.HasAlpha);
}

// Runs one fuzz input; empty when it passed, else what broke.
inline std::string CheckPngLoad(const uint8_t* data, size_t size) {
    if (size < 1) return "";
    const uint8_t mode = data[0];
    const uint8_t* png = data + 1;
    const size_t length = size - 1;
    if (AsksForHugeImage(png, length)) return "";

    auto run = [&](TStream& stream) {
        if ((mode >> 1 & 3) >= 2)
            LoadThroughDecoder(stream, mode);
        else
            LoadThroughPicture(stream, mode);
    };
    try {
        if (mode & 1) {
            WriteScratch(png, length);
            TFileStream file(ScratchPath(), TFileStream::fmOpenRead);
            run(file);
        } else {
            TMemoryStream memory;
            memory.WriteBuffer(png, int64_t(length));
            memory.SetPosition(0);
            run(memory);
        }
    } catch (const TLoadCheckFailed& failure) {
        return failure.What;
    }
    return "";
}

}  // namespace pngload

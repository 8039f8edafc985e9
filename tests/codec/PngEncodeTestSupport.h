// Helpers of the PNG encoder tests: bitmaps with known content, encoding
// into memory, and an independent chunk and image-data reader.
#pragma once

#include <stdexcept>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <zlib.h>

#include "codec/TavPNGStream.h"
#include "platform/Bitmap.h"
#include "platform/Palette.h"
#include "platform/Streams.h"

namespace pngenc {

struct Chunk {
    std::string Type;
    std::vector<uint8_t> Data;
    bool CrcOk = false;
};

inline uint32_t BE32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

inline uint16_t BE16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

// Splits a file into chunks; fails the calling test on a truncated chunk.
inline std::vector<Chunk> ParseChunks(const std::vector<uint8_t>& file, bool withSignature = true) {
    static const uint8_t sig[8] = {137, 80, 78, 71, 13, 10, 26, 10};
    std::vector<Chunk> out;
    size_t pos = 0;
    if (withSignature) {
        if (file.size() < 8 || std::memcmp(file.data(), sig, 8) != 0) throw std::runtime_error("no PNG signature");
        pos = 8;
    }
    while (pos < file.size()) {
        if (file.size() - pos < 12) throw std::runtime_error("truncated chunk header");
        const uint32_t len = BE32(&file[pos]);
        if (file.size() - pos - 12 < len) throw std::runtime_error("truncated chunk data");
        Chunk c;
        c.Type.assign(reinterpret_cast<const char*>(&file[pos + 4]), 4);
        c.Data.assign(file.begin() + long(pos + 8), file.begin() + long(pos + 8 + len));
        const uint32_t crc = uint32_t(crc32(0, &file[pos + 4], len + 4));
        c.CrcOk = crc == BE32(&file[pos + 8 + len]);
        out.push_back(std::move(c));
        pos += 12 + len;
    }
    return out;
}

inline std::vector<std::string> Types(const std::vector<Chunk>& chunks) {
    std::vector<std::string> t;
    for (const auto& c : chunks) t.push_back(c.Type);
    return t;
}

inline const Chunk* Find(const std::vector<Chunk>& chunks, const std::string& type) {
    for (const auto& c : chunks)
        if (c.Type == type) return &c;
    return nullptr;
}

// The concatenated IDAT data, inflated by zlib directly.
inline std::vector<uint8_t> InflateImageData(const std::vector<Chunk>& chunks) {
    std::vector<uint8_t> z;
    for (const auto& c : chunks)
        if (c.Type == "IDAT") z.insert(z.end(), c.Data.begin(), c.Data.end());
    std::vector<uint8_t> out;
    z_stream s{};
    if (inflateInit(&s) != Z_OK) throw std::runtime_error("inflateInit");
    s.next_in = z.data();
    s.avail_in = uInt(z.size());
    uint8_t buf[4096];
    int r;
    do {
        s.next_out = buf;
        s.avail_out = sizeof buf;
        r = inflate(&s, Z_NO_FLUSH);
        out.insert(out.end(), buf, buf + (sizeof buf - s.avail_out));
    } while (r == Z_OK);
    inflateEnd(&s);
    if (r != Z_STREAM_END) throw std::runtime_error("image data is not one complete zlib stream");
    return out;
}

inline std::vector<uint8_t> Encode(TTavPNGWriteStream& enc, TBitmap& bmp) {
    TMemoryStream ms;
    enc.WriteImage(bmp, ms);
    const auto* p = ms.Memory();
    return std::vector<uint8_t>(p, p + ms.Size());
}

// Small deterministic generator for pixel content.
struct Lcg {
    uint32_t State;
    explicit Lcg(uint32_t seed) : State(seed * 2654435761u + 1) {}
    uint32_t Next() {
        State = State * 1103515245u + 12345u;
        return State >> 8;
    }
};

inline HPALETTE MakePalette(int n, uint32_t seed) {
    std::vector<TPaletteEntry> e(static_cast<size_t>(n));
    Lcg g(seed);
    for (int i = 0; i < n; ++i) {
        const uint32_t v = g.Next();
        e[size_t(i)] = TPaletteEntry{uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16 ^ i), 0};
    }
    return CreatePalette(e.data(), n);
}

inline HPALETTE MakeEntries(std::initializer_list<TColor> colors) {
    std::vector<TPaletteEntry> e;
    for (TColor c : colors) e.push_back(TPaletteEntry{GetRValue(c), GetGValue(c), GetBValue(c), 0});
    return CreatePalette(e.data(), int(e.size()));
}

// A bitmap of the format filled with varied raw bytes; indexed formats get
// a full palette of distinct colours and use only indices that exist.
inline std::unique_ptr<TBitmap> MakeBitmap(TPixelFormat format, int32_t w, int32_t h, uint32_t seed) {
    auto bmp = std::make_unique<TBitmap>();
    bmp->SetPixelFormat(format);
    bmp->SetSize(w, h);
    const int bits = bmp->StorageBits();
    if (bits <= 8) bmp->SetPalette(MakePalette(1 << bits, seed));
    Lcg g(seed);
    for (int32_t y = 0; y < h; ++y) {
        uint8_t* row = bmp->ScanLine(y);
        for (int32_t i = 0; i < bmp->ScanlineStride(); ++i) row[i] = uint8_t(g.Next());
    }
    return bmp;
}

inline std::unique_ptr<TBitmap> MakeMask(int32_t w, int32_t h, uint32_t seed) {
    auto m = std::make_unique<TBitmap>();
    m->SetPixelFormat(pf8bit);
    m->SetSize(w, h);
    Lcg g(seed);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) m->ScanLine(y)[x] = uint8_t(g.Next());
    return m;
}

inline uint8_t Gray(TColor c) {
    return uint8_t((77 * GetRValue(c) + 150 * GetGValue(c) + 29 * GetBValue(c)) >> 8);
}

}  // namespace pngenc

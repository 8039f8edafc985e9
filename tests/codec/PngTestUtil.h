// Builds PNG byte streams by hand for the codec tests: chunks with correct
// CRCs, zlib-compressed image data, Adam7 pass rows, and decoding through a
// memory stream.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/Streams.h"

namespace pngtest {

using Bytes = std::vector<uint8_t>;

inline void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) Append(out, p);
    return out;
}

inline Bytes Be16(uint16_t v) { return {uint8_t(v >> 8), uint8_t(v)}; }
inline Bytes Be32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }
inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline Bytes Signature() { return {137, 80, 78, 71, 13, 10, 26, 10}; }

// Length, type, data and the CRC over type and data. A declared length
// other than the data's size can be forced with `length`.
inline Bytes Chunk(const char* type, const Bytes& data, int64_t length = -1) {
    Bytes out = Be32(uint32_t(length < 0 ? int64_t(data.size()) : length));
    Bytes body(type, type + 4);
    Append(body, data);
    uLong crc = crc32(0L, Z_NULL, 0);
    crc = crc32(crc, body.data(), uInt(body.size()));
    Append(out, body);
    Append(out, Be32(uint32_t(crc)));
    return out;
}

inline Bytes IhdrData(uint32_t width, uint32_t height, uint8_t depth, uint8_t colorType, uint8_t interlace = 0,
                      uint8_t compression = 0, uint8_t filter = 0) {
    return Cat({Be32(width), Be32(height), Bytes{depth, colorType, compression, filter, interlace}});
}

inline Bytes Ihdr(uint32_t width, uint32_t height, uint8_t depth, uint8_t colorType, uint8_t interlace = 0) {
    return Chunk("IHDR", IhdrData(width, height, depth, colorType, interlace));
}

inline Bytes Iend() { return Chunk("IEND", {}); }

// The standard's predictor for filter type 1 (Sub) to 4 (Paeth), 0 for
// any other, from the left (a), upper (b) and upper-left (c) bytes;
// written apart from the code under test.
inline int Predict(int type, int a, int b, int c) {
    switch (type) {
    case 1: return a;
    case 2: return b;
    case 3: return (a + b) >> 1;
    case 4: {
        const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
        return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
    }
    default: return 0;
    }
}

// raw filtered with type against prev (neither with a filter byte): the
// row with its filter byte first.
inline Bytes FilterRow(int type, const Bytes& raw, const Bytes& prev, int bpp) {
    Bytes out(raw.size() + 1);
    out[0] = uint8_t(type);
    for (size_t i = 0; i < raw.size(); ++i) {
        const bool left = i >= size_t(bpp);
        out[i + 1] = uint8_t(raw[i] - Predict(type, left ? raw[i - size_t(bpp)] : 0, prev[i], left ? prev[i - size_t(bpp)] : 0));
    }
    return out;
}

inline Bytes Compress(const Bytes& raw, int level = 9) {
    uLongf size = compressBound(uLong(raw.size()));
    Bytes out(size);
    if (compress2(out.data(), &size, raw.data(), uLong(raw.size()), level) != Z_OK)
        throw std::runtime_error("compress2 failed");
    out.resize(size);
    return out;
}

// Every row prefixed with filter type 0.
inline Bytes Unfiltered(const std::vector<Bytes>& rows) {
    Bytes out;
    for (const Bytes& r : rows) {
        out.push_back(0);
        Append(out, r);
    }
    return out;
}

// Splits compressed data into IDAT chunks of at most `piece` bytes.
inline Bytes IdatChunks(const Bytes& z, size_t piece) {
    Bytes out;
    for (size_t at = 0; at < z.size(); at += piece) {
        const size_t n = std::min(piece, z.size() - at);
        Append(out, Chunk("IDAT", Bytes(z.begin() + long(at), z.begin() + long(at + n))));
    }
    return out;
}

// The Adam7 pass rows (each with filter byte 0) of an image given as
// packed full rows of `bits` bits per pixel.
inline Bytes Adam7Rows(const std::vector<Bytes>& rows, uint32_t width, int bits) {
    static const int pass[7][4] = {{0, 8, 0, 8}, {0, 8, 4, 8}, {4, 8, 0, 4}, {0, 4, 2, 4},
                                   {2, 4, 0, 2}, {0, 2, 1, 2}, {1, 2, 0, 1}};
    const uint32_t height = uint32_t(rows.size());
    Bytes out;
    for (const auto& p : pass) {
        for (uint32_t y = uint32_t(p[0]); y < height; y += uint32_t(p[1])) {
            Bytes packed;
            uint32_t bitPos = 0;
            bool any = false;
            for (uint32_t x = uint32_t(p[2]); x < width; x += uint32_t(p[3])) {
                any = true;
                for (int b = 0; b < bits; ++b) {
                    const uint32_t src = x * uint32_t(bits) + uint32_t(b);
                    const int bit = rows[y][src / 8] >> (7 - src % 8) & 1;
                    if (bitPos % 8 == 0) packed.push_back(0);
                    if (bit) packed.back() |= uint8_t(0x80 >> (bitPos % 8));
                    ++bitPos;
                }
            }
            if (!any) break;
            out.push_back(0);
            Append(out, packed);
        }
    }
    return out;
}

inline void Load(TMemoryStream& stream, const Bytes& data) {
    stream.Clear();
    if (!data.empty()) stream.Write(data.data(), int64_t(data.size()));
    stream.SetPosition(0);
}

}  // namespace pngtest

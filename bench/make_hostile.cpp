// Writes the files that bench/memory.sh feeds to pngconv: headers that
// claim far more than their data holds, chunk lengths that run past the
// end, a run-length BMP without its end mark, and genuine large RGBA
// images (smooth, photo-like and a flat graphic). Usage: make_hostile FOLDER
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void Put32(Bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(uint8_t(v >> shift));
}

void Chunk(Bytes& out, const char* type, const Bytes& data, uint32_t length) {
    Put32(out, length);
    const size_t at = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    Put32(out, uint32_t(crc32(0, out.data() + at, uInt(out.size() - at))));
}

void Chunk(Bytes& out, const char* type, const Bytes& data) { Chunk(out, type, data, uint32_t(data.size())); }

Bytes Signature() { return {137, 80, 78, 71, 13, 10, 26, 10}; }

Bytes Ihdr(uint32_t w, uint32_t h, uint8_t depth, uint8_t type, uint8_t interlace = 0) {
    Bytes d;
    Put32(d, w);
    Put32(d, h);
    d.insert(d.end(), {depth, type, 0, 0, interlace});
    return d;
}

// A complete zlib stream of a few zero bytes: far less than one row.
Bytes FewBytes() {
    const Bytes zeros(16, 0);
    Bytes out(64);
    uLongf n = out.size();
    compress(out.data(), &n, zeros.data(), zeros.size());
    out.resize(n);
    return out;
}

// A header and a few bytes of image data.
Bytes Claim(uint32_t w, uint32_t h, uint8_t depth, uint8_t type, uint8_t interlace = 0) {
    Bytes out = Signature();
    Chunk(out, "IHDR", Ihdr(w, h, depth, type, interlace));
    Chunk(out, "IDAT", FewBytes());
    Chunk(out, "IEND", {});
    return out;
}

// A small image whose IDAT (or tEXt) chunk declares length bytes but holds
// only a few.
Bytes LongChunk(const char* type, uint32_t length) {
    Bytes out = Signature();
    Chunk(out, "IHDR", Ihdr(64, 64, 8, 2));
    Bytes data = std::strcmp(type, "tEXt") == 0 ? Bytes{'C', 'o', 'm', 'm', 'e', 'n', 't', 0, 'x'} : FewBytes();
    Chunk(out, type, data, length);
    return out;
}

// 32000 x 32000 at 8 bits, run-length coded: a 2-entry palette, then runs
// of 255 pixels each closed by an end of line, and no end-of-bitmap mark.
Bytes RleBmp() {
    const uint32_t fileSize = 1080, dataOffset = 14 + 40 + 8;
    Bytes out;
    auto le16 = [&](uint32_t v) { out.push_back(uint8_t(v)); out.push_back(uint8_t(v >> 8)); };
    auto le32 = [&](uint32_t v) { le16(v & 0xFFFF); le16(v >> 16); };
    out.push_back('B');
    out.push_back('M');
    le32(fileSize);
    le32(0);
    le32(dataOffset);
    le32(40);
    le32(32000);
    le32(32000);
    le16(1);
    le16(8);
    le32(1);  // BI_RLE8
    le32(fileSize - dataOffset);
    le32(3780);
    le32(3780);
    le32(2);
    le32(0);
    out.insert(out.end(), {0, 0, 0, 0, 255, 255, 255, 0});
    while (out.size() + 4 <= fileSize) out.insert(out.end(), {255, 1, 0, 0});
    while (out.size() < fileSize) out.push_back(1);
    return out;
}

// One side x side RGBA image whose rows (filter byte first) a rule
// fills, compressed quickly.
template <class Row>
Bytes RgbaRows(uint32_t side, const Row& fill) {
    Bytes out = Signature();
    Chunk(out, "IHDR", Ihdr(side, side, 8, 6));
    z_stream z{};
    deflateInit(&z, 1);
    Bytes row(1 + 4 * size_t(side)), buffer(1 << 20), idat;
    for (uint32_t y = 0; y < side; ++y) {
        fill(y, row);
        z.next_in = row.data();
        z.avail_in = uInt(row.size());
        const int flush = y + 1 == side ? Z_FINISH : Z_NO_FLUSH;
        do {
            z.next_out = buffer.data();
            z.avail_out = uInt(buffer.size());
            deflate(&z, flush);
            idat.insert(idat.end(), buffer.data(), buffer.data() + (buffer.size() - z.avail_out));
        } while (z.avail_out == 0 || (flush == Z_FINISH && z.avail_in != 0));
    }
    deflateEnd(&z);
    for (size_t at = 0; at < idat.size(); at += 1 << 20)
        Chunk(out, "IDAT", Bytes(idat.begin() + at, idat.begin() + std::min(idat.size(), at + (1 << 20))));
    Chunk(out, "IEND", {});
    return out;
}

// A genuine 8192 x 8192 RGBA image with smooth colours and varied alpha,
// compressed quickly.
Bytes LargeRgba() {
    const uint32_t side = 8192;
    return RgbaRows(side, [side](uint32_t y, Bytes& row) {
        row[0] = 1;  // Sub: the steps between neighbours are small
        for (uint32_t x = 0; x < side; ++x) {
            uint8_t* p = &row[1 + 4 * size_t(x)];
            p[0] = uint8_t(x >> 5);
            p[1] = uint8_t(y >> 5);
            p[2] = uint8_t((x + y) >> 6);
            p[3] = uint8_t(255 - ((x ^ y) >> 5));
        }
        for (uint32_t x = side - 1; x > 0; --x)
            for (int k = 0; k < 4; ++k) row[1 + 4 * size_t(x) + k] -= row[1 + 4 * size_t(x - 1) + k];
    });
}

// One side x side RGBA image from a pixel rule, each row unfiltered,
// compressed quickly.
template <class Pixel>
Bytes RgbaSquare(uint32_t side, const Pixel& pixel) {
    return RgbaRows(side, [&](uint32_t y, Bytes& row) {
        row[0] = 0;
        for (uint32_t x = 0; x < side; ++x) pixel(x, y, &row[1 + 4 * size_t(x)]);
    });
}

// Photo-like: smooth shading with sensor noise in every channel, alpha
// varying across the picture; it keeps its four channels when optimised.
Bytes PhotoRgba(uint32_t side) {
    uint32_t seed = 12345;
    return RgbaSquare(side, [&seed](uint32_t x, uint32_t y, uint8_t* p) {
        seed = seed * 1664525u + 1013904223u;
        const uint32_t noise = seed >> 24;
        p[0] = uint8_t((x >> 5) + (noise & 15));
        p[1] = uint8_t((y >> 5) + ((noise >> 2) & 15));
        p[2] = uint8_t(((x + y) >> 6) + ((noise >> 4) & 15));
        p[3] = uint8_t(128 + ((x ^ y) >> 7) + (noise & 7));
    });
}

// A flat graphic: opaque rectangles of 12 colours, stored as RGBA; it
// becomes a palette image when optimised.
Bytes FlatRgba() {
    static const uint32_t kColours[12] = {0xFFFFFF, 0x202020, 0xE04040, 0x40A040, 0x3060D0, 0xF0C020,
                                          0x808080, 0xC0C0C0, 0x8040A0, 0x20A0A0, 0xF08030, 0x004080};
    return RgbaSquare(8192, [](uint32_t x, uint32_t y, uint8_t* p) {
        const uint32_t c = kColours[((x / 600) * 7 + (y / 450) * 5 + ((x + y) / 1500)) % 12];
        p[0] = uint8_t(c >> 16);
        p[1] = uint8_t(c >> 8);
        p[2] = uint8_t(c);
        p[3] = 255;
    });
}

bool Write(const std::string& path, const Bytes& data) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_hostile FOLDER\n");
        return 2;
    }
    const std::string dir = argv[1];
    const struct {
        const char* name;
        Bytes data;
    } files[] = {
        {"wide-16bit-rgba.png", Claim(0x7FFFFFFF, 1, 16, 6)},
        {"wide-grey.png", Claim(1073741823, 1, 8, 0)},
        {"tall-adam7-1bit.png", Claim(1, 0x7FFFFFFF, 1, 0, 1)},
        {"ga16-32768.png", Claim(32768, 32768, 16, 4)},
        {"rgba-18900.png", Claim(18900, 18900, 8, 6)},
        {"rgb-100000.png", Claim(100000, 100000, 8, 2)},
        {"idat-7fffffff.png", LongChunk("IDAT", 0x7FFFFFFF)},
        {"idat-ffffffff.png", LongChunk("IDAT", 0xFFFFFFFF)},
        {"text-2g.png", LongChunk("tEXt", 0x80000000)},
        {"rle8-32000.bmp", RleBmp()},
        {"genuine-8192-rgba.png", LargeRgba()},
        {"photo-4096-rgba.png", PhotoRgba(4096)},
        {"photo-8192-rgba.png", PhotoRgba(8192)},
        {"flat-8192-rgba.png", FlatRgba()},
    };
    for (const auto& f : files) {
        if (!Write(dir + "/" + f.name, f.data)) {
            std::fprintf(stderr, "make_hostile: cannot write %s/%s\n", dir.c_str(), f.name);
            return 1;
        }
    }
    return 0;
}

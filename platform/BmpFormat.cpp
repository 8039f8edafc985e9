// Windows BMP reading and writing. Every size taken from the data is
// checked against what is actually there before anything is allocated or
// copied; malformed data raises EInvalidGraphic with a message saying what
// is wrong.
#include "platform/BmpFormat.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "platform/Bitmap.h"
#include "platform/Exceptions.h"
#include "platform/PixelOps.h"
#include "platform/Streams.h"

namespace bmpformat {
namespace {

constexpr uint32_t BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3, BI_ALPHABITFIELDS = 6;
constexpr int64_t kFileHeaderSize = 14;
constexpr uint32_t kCoreHeaderSize = 12;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kLargestHeaderSize = 124;
constexpr uint32_t kAlphaMaskHeaderSize = 56;  // the first header with an alpha mask
constexpr uint32_t kV5HeaderSize = 124;
constexpr uint32_t LCS_sRGB = 0x73524742;
constexpr uint32_t LCS_GM_IMAGES = 4;

[[noreturn]] void Invalid(const std::string& what) { throw EInvalidGraphic(what); }
[[noreturn]] void Truncated() { Invalid("Bitmap data is truncated"); }

uint16_t Le16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24); }
void Put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(uint8_t(v));
    out.push_back(uint8_t(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

// Random access to the bytes of one BMP, from its first byte.
class Source {
public:
    virtual ~Source() = default;
    virtual int64_t Available() const = 0;  // bytes from the start
    // Reads n bytes at off; data that is not there raises EInvalidGraphic.
    virtual void ReadAt(int64_t off, void* buffer, size_t n) = 0;
};

class MemorySource : public Source {
public:
    MemorySource(const uint8_t* data, size_t size) : Data_(data), Size_(size) {}
    int64_t Available() const override { return int64_t(Size_); }
    void ReadAt(int64_t off, void* buffer, size_t n) override {
        if (off < 0 || uint64_t(off) > Size_ || n > Size_ - size_t(off))
            Truncated();
        if (n)
            std::memcpy(buffer, Data_ + off, n);
    }

private:
    const uint8_t* Data_;
    size_t Size_;
};

class StreamSource : public Source {
public:
    explicit StreamSource(TStream& stream) : Stream_(stream), Start_(stream.Position()) {
        Available_ = std::max<int64_t>(0, stream.Size() - Start_);
    }
    int64_t Available() const override { return Available_; }
    void ReadAt(int64_t off, void* buffer, size_t n) override {
        if (off < 0 || off > Available_ || int64_t(n) > Available_ - off)
            Truncated();
        Stream_.SetPosition(Start_ + off);
        if (Stream_.Read(buffer, int64_t(n)) != int64_t(n))
            Truncated();
    }
    void Finish(int64_t end) { Stream_.SetPosition(Start_ + end); }

private:
    TStream& Stream_;
    int64_t Start_;
    int64_t Available_ = 0;
};

struct Mask {
    uint32_t Bits = 0;
    int Shift = 0;
    int Width = 0;
};

Mask MakeMask(uint32_t bits) {
    Mask m;
    m.Bits = bits;
    if (bits == 0)
        return m;
    m.Shift = std::countr_zero(bits);
    const uint32_t shifted = bits >> m.Shift;
    if ((shifted & (shifted + 1)) != 0)  // not one run of ones
        Invalid("Invalid bitmap colour masks");
    m.Width = std::popcount(shifted);
    return m;
}

uint8_t Channel(uint32_t pixel, const Mask& m) {
    if (m.Width == 0)
        return 0;
    const uint64_t v = (pixel & m.Bits) >> m.Shift;
    const uint64_t max = (uint64_t(1) << m.Width) - 1;
    return uint8_t((v * 255 + max / 2) / max);
}

struct Header {
    uint32_t HeaderSize = 0;
    int32_t Width = 0;
    int32_t Height = 0;  // always positive here
    bool TopDown = false;
    int BitCount = 0;
    uint32_t Compression = BI_RGB;
    uint32_t ClrUsed = 0;
    uint32_t ImageSize = 0;
    uint32_t Masks[3] = {0, 0, 0};
    uint32_t AlphaMask = 0;  // 0: no alpha
    bool HasMasks = false;
};

// Reads the information header at off; returns the offset just past it
// and the masks that follow it.
int64_t ReadHeader(Source& src, int64_t off, Header& h) {
    uint8_t buf[kLargestHeaderSize] = {};
    src.ReadAt(off, buf, 4);
    h.HeaderSize = Le32(buf);
    if (h.HeaderSize == kCoreHeaderSize) {
        src.ReadAt(off, buf, kCoreHeaderSize);
        h.Width = Le16(buf + 4);
        h.Height = Le16(buf + 6);
        h.BitCount = Le16(buf + 10);
        return off + kCoreHeaderSize;
    }
    if (h.HeaderSize < kInfoHeaderSize || h.HeaderSize > kLargestHeaderSize)
        Invalid("Unsupported bitmap header size (" + std::to_string(h.HeaderSize) + ")");
    src.ReadAt(off, buf, h.HeaderSize);
    h.Width = int32_t(Le32(buf + 4));
    const int32_t height = int32_t(Le32(buf + 8));
    h.BitCount = Le16(buf + 14);
    h.Compression = Le32(buf + 16);
    h.ImageSize = Le32(buf + 20);
    h.ClrUsed = Le32(buf + 32);
    if (height == INT32_MIN)
        Invalid("Invalid bitmap size");
    h.TopDown = height < 0;
    h.Height = height < 0 ? -height : height;
    int64_t end = off + h.HeaderSize;
    if (h.Compression == BI_BITFIELDS || h.Compression == BI_ALPHABITFIELDS) {
        // The masks follow a 40-byte header, alpha only with
        // BI_ALPHABITFIELDS; larger headers hold them, alpha from 56 bytes
        // on. An alpha mask outside bit fields is not honoured: a plain
        // 32-bit file's fourth byte is no alpha.
        h.HasMasks = true;
        const bool alphaField = h.Compression == BI_ALPHABITFIELDS || h.HeaderSize >= kAlphaMaskHeaderSize;
        const int count = alphaField ? 4 : 3;
        uint8_t masks[16] = {};
        if (h.HeaderSize >= 52) {
            std::memcpy(masks, buf + 40, size_t(count) * 4);
        } else {
            src.ReadAt(end, masks, size_t(count) * 4);
            end += count * 4;
        }
        for (int i = 0; i < 3; ++i)
            h.Masks[i] = Le32(masks + 4 * i);
        if (alphaField)
            h.AlphaMask = Le32(masks + 12);
    }
    return end;
}

// Run-length decoding into rows of indices, bottom row first as stored.
// Pixels the data never sets stay 0. Runs that reach past the right edge
// or the last row are clipped (some writers encode the row padding too);
// data that ends before its end-of-bitmap mark is an error.
void DecodeRle(const std::vector<uint8_t>& data, bool fourBit, TBitmap& into) {
    const int64_t w = into.Width(), h = into.Height();
    const TPixelFormat format = into.PixelFormat();
    int64_t x = 0, row = 0;  // row counts from the bottom
    size_t i = 0;
    auto need = [&](size_t n) {
        if (n > data.size() - i)
            Invalid("Corrupt RLE bitmap data");
    };
    auto put = [&](uint32_t index) {
        if (x < w && row < h)
            pixelops::WriteRaw(into.ScanLine(int32_t(h - 1 - row)), int32_t(x), format, index);
        ++x;
    };
    while (row < h) {
        need(2);
        const uint8_t count = data[i], value = data[i + 1];
        i += 2;
        if (count > 0) {
            for (int k = 0; k < count; ++k)
                put(fourBit ? ((k & 1) ? (value & 0x0F) : (value >> 4)) : value);
        } else if (value == 0) {  // end of line
            x = 0;
            ++row;
        } else if (value == 1) {  // end of bitmap
            return;
        } else if (value == 2) {  // delta
            need(2);
            x += data[i];
            row += data[i + 1];
            i += 2;
        } else {  // absolute run of value pixels, padded to a word
            const size_t bytes = fourBit ? (size_t(value) + 1) / 2 : size_t(value);
            need(bytes + (bytes & 1));
            for (int k = 0; k < value; ++k) {
                const uint8_t b = data[i + (fourBit ? size_t(k) / 2 : size_t(k))];
                put(fourBit ? ((k & 1) ? (b & 0x0F) : (b >> 4)) : b);
            }
            i += bytes + (bytes & 1);
        }
    }
}

// Reads the DIB whose information header starts at dibOff. bitsOff is
// where the pixel data starts (0: right after the colour table). Returns
// the offset just past the pixel data.
int64_t ReadDib(Source& src, int64_t dibOff, int64_t bitsOff, TBitmap& into) {
    Header h;
    int64_t off = ReadHeader(src, dibOff, h);
    if (h.Width < 0 || h.Height < 0)
        Invalid("Invalid bitmap size (" + std::to_string(h.Width) + " x " + std::to_string(h.Height) + ")");

    const bool rle = h.Compression == BI_RLE8 || h.Compression == BI_RLE4;
    switch (h.Compression) {
    case BI_RGB: break;
    case BI_RLE8:
        if (h.BitCount != 8)
            Invalid("Invalid bitmap compression for its bit count");
        break;
    case BI_RLE4:
        if (h.BitCount != 4)
            Invalid("Invalid bitmap compression for its bit count");
        break;
    case BI_BITFIELDS:
    case BI_ALPHABITFIELDS:
        if (h.BitCount != 16 && h.BitCount != 32)
            Invalid("Invalid bitmap compression for its bit count");
        break;
    default: Invalid("Unsupported bitmap compression (" + std::to_string(h.Compression) + ")");
    }
    if (rle && h.TopDown)
        Invalid("Invalid bitmap: compressed rows must be bottom-up");

    TPixelFormat format;
    switch (h.BitCount) {
    case 1: format = pf1bit; break;
    case 4: format = pf4bit; break;
    case 8: format = pf8bit; break;
    case 16: format = pf15bit; break;
    case 24: format = pf24bit; break;
    case 32: format = pf32bit; break;
    default: Invalid("Unsupported bitmap bit count (" + std::to_string(h.BitCount) + ")");
    }

    // Colour masks: the common layouts are stored as they are, any other
    // is converted channel by channel.
    Mask masks[3], alphaMask;
    bool convertMasks = false;
    if (h.HasMasks) {
        for (int i = 0; i < 3; ++i)
            masks[i] = MakeMask(h.Masks[i]);
        // An alpha mask that is not one run of bits, or that shares bits
        // with a colour, is left unread as such files always were.
        const uint32_t run = h.AlphaMask ? h.AlphaMask >> std::countr_zero(h.AlphaMask) : 0;
        if (run && (run & (run + 1)) == 0 && (h.AlphaMask & (h.Masks[0] | h.Masks[1] | h.Masks[2])) == 0)
            alphaMask = MakeMask(h.AlphaMask);
        if (alphaMask.Width > 0) {
            // Only pf32bit holds alpha.
            convertMasks = true;
            format = pf32bit;
        } else if (h.BitCount == 16 && h.Masks[0] == 0xF800 && h.Masks[1] == 0x07E0 && h.Masks[2] == 0x001F)
            format = pf16bit;
        else if (h.BitCount == 16 && h.Masks[0] == 0x7C00 && h.Masks[1] == 0x03E0 && h.Masks[2] == 0x001F)
            format = pf15bit;
        else if (h.BitCount == 32 && h.Masks[0] == 0xFF0000 && h.Masks[1] == 0xFF00 && h.Masks[2] == 0xFF)
            format = pf32bit;
        else {
            convertMasks = true;
            format = h.BitCount == 16 ? pf24bit : pf32bit;
        }
    }

    // Colour table.
    std::vector<TPaletteEntry> entries;
    if (h.BitCount <= 8) {
        const uint32_t maxEntries = 1u << h.BitCount;
        uint32_t count = h.ClrUsed == 0 ? maxEntries : std::min(h.ClrUsed, maxEntries);
        const int entrySize = h.HeaderSize == kCoreHeaderSize ? 3 : 4;
        if (bitsOff > 0) {
            // The table cannot reach into the pixel data.
            const int64_t room = std::max<int64_t>(0, (bitsOff - off) / entrySize);
            count = uint32_t(std::min<int64_t>(count, room));
        }
        uint8_t table[256 * 4];
        src.ReadAt(off, table, size_t(count) * size_t(entrySize));
        entries.resize(count);
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* e = table + size_t(i) * size_t(entrySize);
            entries[i] = TPaletteEntry{e[2], e[1], e[0], 0};
        }
        off += int64_t(count) * entrySize;
    }
    if (bitsOff == 0)
        bitsOff = off;
    if (bitsOff < off || bitsOff > src.Available())
        Invalid("Bitmap data offset out of range");

    const int64_t available = src.Available() - bitsOff;
    // Uncompressed rows must all be in the data. The claim is measured in
    // whole pixel bytes first, so that a width no row could hold reads as
    // what it is, data that is not there; divided, not multiplied, since
    // the product can pass 2^63.
    if (!rle && h.Height > 0 && int64_t(h.Width) * h.BitCount / 8 > available / h.Height)
        Truncated();
    const int64_t srcStride = RowStride(h.Width, h.BitCount);
    if (!rle && h.Height > 0 && srcStride > available / h.Height)
        Truncated();

    into.SetPixelFormat(format);
    into.SetSize(h.Width, h.Height);
    into.AlphaChannel = alphaMask.Width > 0;
    if (!entries.empty())
        into.SetPalette(TPaletteHandle(CreatePalette(entries.data(), int(entries.size()))));
    if (into.GetEmpty())
        return bitsOff + (rle ? 0 : srcStride * h.Height);

    if (rle) {
        // The run data ends where its size says, or with the data itself.
        int64_t size = available;
        if (h.ImageSize != 0)
            size = std::min<int64_t>(size, h.ImageSize);
        std::vector<uint8_t> data = GuardAlloc([&] { return std::vector<uint8_t>(size_t(size)); });
        src.ReadAt(bitsOff, data.data(), data.size());
        DecodeRle(data, h.Compression == BI_RLE4, into);
        return bitsOff + size;
    }

    std::vector<uint8_t> row = GuardAlloc([&] { return std::vector<uint8_t>(size_t(srcStride)); });
    const size_t copyBytes = std::min<size_t>(size_t(srcStride), size_t(into.ScanlineStride()));
    for (int32_t r = 0; r < h.Height; ++r) {
        src.ReadAt(bitsOff + srcStride * r, row.data(), row.size());
        uint8_t* dst = into.ScanLine(h.TopDown ? r : h.Height - 1 - r);
        if (!convertMasks) {
            std::memcpy(dst, row.data(), copyBytes);
            continue;
        }
        for (int32_t x = 0; x < h.Width; ++x) {
            const uint32_t pixel = h.BitCount == 16 ? Le16(row.data() + size_t(x) * 2) : Le32(row.data() + size_t(x) * 4);
            if (alphaMask.Width > 0) {
                uint8_t* p = dst + size_t(x) * 4;
                p[0] = Channel(pixel, masks[2]);
                p[1] = Channel(pixel, masks[1]);
                p[2] = Channel(pixel, masks[0]);
                p[3] = Channel(pixel, alphaMask);
                continue;
            }
            pixelops::WriteRaw(dst, x, format,
                               uint32_t(RGB(Channel(pixel, masks[0]), Channel(pixel, masks[1]), Channel(pixel, masks[2]))));
        }
    }
    return bitsOff + srcStride * h.Height;
}

// The information header, masks and colour table of a bitmap as written.
std::vector<uint8_t> DibHeader(const TBitmap& bitmap) {
    const TPixelFormat format = bitmap.PixelFormat();
    const int bits = bitmap.StorageBits();
    std::vector<TPaletteEntry> entries;
    if (pixelops::IsIndexed(format)) {
        entries = pixelops::EntriesOf(bitmap.GetPalette());
        if (entries.size() > (size_t(1) << bits))
            entries.resize(size_t(1) << bits);
        if (entries.empty())
            entries = pixelops::DefaultPalette(format);
    }
    const uint32_t imageSize = uint32_t(bitmap.ScanlineStride()) * uint32_t(bitmap.Height());
    std::vector<uint8_t> out;
    if (format == pf32bit && bitmap.AlphaChannel) {
        // Alpha needs the masks of a BITMAPV5 header; the rows as stored,
        // B, G, R, A, match them. Bitmaps without alpha keep the plain
        // 40-byte header that every reader knows.
        Put32(out, kV5HeaderSize);
        Put32(out, uint32_t(bitmap.Width()));
        Put32(out, uint32_t(bitmap.Height()));  // bottom-up
        Put16(out, 1);
        Put16(out, 32);
        Put32(out, BI_BITFIELDS);
        Put32(out, imageSize);
        Put32(out, 3780);
        Put32(out, 3780);
        Put32(out, 0);
        Put32(out, 0);
        Put32(out, 0x00FF0000);
        Put32(out, 0x0000FF00);
        Put32(out, 0x000000FF);
        Put32(out, 0xFF000000);
        Put32(out, LCS_sRGB);
        out.resize(out.size() + 36 + 12, 0);  // endpoints and gamma, unused with sRGB
        Put32(out, LCS_GM_IMAGES);
        Put32(out, 0);  // no profile
        Put32(out, 0);
        Put32(out, 0);
        return out;
    }
    out.reserve(kInfoHeaderSize + 12 + entries.size() * 4);
    Put32(out, kInfoHeaderSize);
    Put32(out, uint32_t(bitmap.Width()));
    Put32(out, uint32_t(bitmap.Height()));  // bottom-up
    Put16(out, 1);
    Put16(out, uint32_t(bits));
    Put32(out, format == pf16bit ? BI_BITFIELDS : BI_RGB);
    Put32(out, imageSize);
    Put32(out, 3780);  // 96 dots per inch
    Put32(out, 3780);
    Put32(out, uint32_t(entries.size()));
    Put32(out, 0);
    if (format == pf16bit) {
        Put32(out, 0xF800);
        Put32(out, 0x07E0);
        Put32(out, 0x001F);
    }
    for (const auto& e : entries) {
        out.push_back(e.peBlue);
        out.push_back(e.peGreen);
        out.push_back(e.peRed);
        out.push_back(0);
    }
    return out;
}

}  // namespace

void ReadFile(TStream& stream, TBitmap& into) {
    StreamSource src(stream);
    uint8_t fileHeader[kFileHeaderSize];
    if (src.Available() < kFileHeaderSize)
        Truncated();
    src.ReadAt(0, fileHeader, sizeof fileHeader);
    if (fileHeader[0] != 'B' || fileHeader[1] != 'M')
        Invalid("Not a bitmap file");
    const int64_t bitsOff = Le32(fileHeader + 10);
    if (bitsOff != 0 && bitsOff < kFileHeaderSize + int64_t(kCoreHeaderSize))
        Invalid("Bitmap data offset out of range");
    const int64_t end = ReadDib(src, kFileHeaderSize, bitsOff, into);
    src.Finish(end);
}

void WriteFile(const TBitmap& bitmap, TStream& stream) {
    std::vector<uint8_t> header = GuardAlloc([&] { return DibHeader(bitmap); });
    const uint64_t bitsOff = kFileHeaderSize + header.size();
    const uint64_t fileSize = bitsOff + uint64_t(bitmap.ScanlineStride()) * uint64_t(bitmap.Height());
    std::vector<uint8_t> fileHeader;
    fileHeader.push_back('B');
    fileHeader.push_back('M');
    Put32(fileHeader, uint32_t(fileSize));
    Put32(fileHeader, 0);
    Put32(fileHeader, uint32_t(bitsOff));
    stream.WriteBuffer(fileHeader.data(), int64_t(fileHeader.size()));
    stream.WriteBuffer(header.data(), int64_t(header.size()));
    for (int32_t y = bitmap.Height() - 1; y >= 0; --y)
        stream.WriteBuffer(bitmap.ScanLine(y), bitmap.ScanlineStride());
}

void ReadPackedDib(const uint8_t* data, size_t size, TBitmap& into) {
    MemorySource src(data, data ? size : 0);
    ReadDib(src, 0, 0, into);
}

std::vector<uint8_t> WritePackedDib(const TBitmap& bitmap) {
    return GuardAlloc([&] {
        std::vector<uint8_t> out = DibHeader(bitmap);
        const size_t stride = size_t(bitmap.ScanlineStride());
        out.reserve(out.size() + stride * size_t(bitmap.Height()));
        for (int32_t y = bitmap.Height() - 1; y >= 0; --y) {
            const uint8_t* row = bitmap.ScanLine(y);
            out.insert(out.end(), row, row + stride);
        }
        return out;
    });
}

}  // namespace bmpformat

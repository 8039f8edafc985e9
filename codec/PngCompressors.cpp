// The compressors of the optimising save: each makes one zlib stream of
// the filtered image data.
#include <zlib.h>

#include <cstdlib>
#include <memory>
#include <utility>
#include <stdexcept>

#include "codec/PngFilterSearch.h"
#include "platform/Exceptions.h"

#if defined(TOBELIN_DEFLATE_LIBDEFLATE)
#include <libdeflate.h>
#endif
#if defined(TOBELIN_WITH_ZOPFLI)
#include <zopfli/zopfli.h>
#endif

namespace {

constexpr size_t kZlibStrategiesLimit = size_t(64) << 10;

std::vector<uint8_t> ZlibWith(std::span<const uint8_t> data, int strategy) {
    z_stream z{};
    if (deflateInit2(&z, 9, Z_DEFLATED, 15, 9, strategy) != Z_OK) throw EOutOfMemory();
    std::vector<uint8_t> out(deflateBound(&z, uLong(data.size())));
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = uInt(data.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    const int result = deflate(&z, Z_FINISH);
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    if (result != Z_STREAM_END) throw std::runtime_error("Write PNG: compression failed");
    return out;
}

// zlib at level 9; on small data also with its run-length and filtered
// strategies, which now and then save a few bytes there.
std::vector<uint8_t> Zlib9(std::span<const uint8_t> data) {
    std::vector<uint8_t> best = ZlibWith(data, Z_DEFAULT_STRATEGY);
    if (data.size() <= kZlibStrategiesLimit)
        for (int strategy : {Z_FILTERED, Z_RLE}) {
            std::vector<uint8_t> other = ZlibWith(data, strategy);
            if (other.size() < best.size()) best = std::move(other);
        }
    return best;
}

#if defined(TOBELIN_DEFLATE_LIBDEFLATE)
struct TCompressorFree {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

std::vector<uint8_t> Libdeflate(std::span<const uint8_t> data, int level) {
    std::unique_ptr<libdeflate_compressor, TCompressorFree> compressor(libdeflate_alloc_compressor(level));
    if (!compressor) throw EOutOfMemory();
    std::vector<uint8_t> out(libdeflate_zlib_compress_bound(compressor.get(), data.size()));
    const size_t size =
        libdeflate_zlib_compress(compressor.get(), data.data(), data.size(), out.data(), out.size());
    if (size == 0) throw std::runtime_error("Write PNG: compression failed");
    out.resize(size);
    return out;
}
#endif

#if defined(TOBELIN_WITH_ZOPFLI)
constexpr size_t kUnsplitLimit = size_t(4) << 10;

std::vector<uint8_t> Zopfli(std::span<const uint8_t> data, bool onePass) {
    ZopfliOptions options;
    ZopfliInitOptions(&options);
    // Passes of the optimal parse: the first gains most, later ones about
    // 1 per cent together and cost as much each.
    options.numiterations = onePass ? 1 : data.size() < 200000 ? 15 : data.size() < 2000000 ? 5 : 2;
    // Splitting a few kilobytes into blocks gains nothing a header would
    // not cost again, and takes most of the time there.
    if (data.size() <= kUnsplitLimit) options.blocksplitting = 0;
    unsigned char* out = nullptr;
    size_t size = 0;
    ZopfliCompress(&options, ZOPFLI_FORMAT_ZLIB, data.data(), data.size(), &out, &size);
    std::unique_ptr<unsigned char, decltype(&std::free)> owned(out, &std::free);
    if (out == nullptr) throw EOutOfMemory();
    return std::vector<uint8_t>(out, out + size);
}
#endif

}  // namespace

const char* PngCompressorName(TPngCompressor compressor) {
    switch (compressor) {
        case TPngCompressor::Zlib9: return "zlib9";
        case TPngCompressor::Fast: return "fast";
        case TPngCompressor::Strong: return "strong";
        case TPngCompressor::Strongest: return "strongest";
        case TPngCompressor::Optimal: return "optimal";
    }
    return "?";
}

bool PngCompressorAvailable(TPngCompressor compressor) {
    switch (compressor) {
        case TPngCompressor::Zlib9: return true;
#if defined(TOBELIN_DEFLATE_LIBDEFLATE)
        case TPngCompressor::Fast:
        case TPngCompressor::Strong: return true;
#endif
#if defined(TOBELIN_WITH_ZOPFLI)
        case TPngCompressor::Strongest:
        case TPngCompressor::Optimal: return true;
#endif
        default: return false;
    }
}

std::vector<uint8_t> CompressImageData(std::span<const uint8_t> filtered, TPngCompressor compressor) {
    switch (compressor) {
#if defined(TOBELIN_DEFLATE_LIBDEFLATE)
        case TPngCompressor::Fast: return Libdeflate(filtered, 6);
        case TPngCompressor::Strong: return Libdeflate(filtered, 12);
#endif
#if defined(TOBELIN_WITH_ZOPFLI)
        case TPngCompressor::Strongest: return Zopfli(filtered, false);
        case TPngCompressor::Optimal: return Zopfli(filtered, true);
#endif
        default: return Zlib9(filtered);
    }
}

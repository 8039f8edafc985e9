// Filter and compressor search of the optimising save: given the raw rows
// of an image in its final colour type and depth, find the filtering and
// the compression that make the smallest image data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// One image (or one Adam7 pass) as unfiltered rows without filter bytes,
// Height rows of RowBytes each, one after the other. A band cut out of a
// pass names the unfiltered row above its first in Prior, so that its rows
// filter as they would within the whole pass; nullptr starts the pass.
struct TPngRawPass {
    const uint8_t* Rows = nullptr;
    size_t RowBytes = 0;
    uint32_t Height = 0;
    const uint8_t* Prior = nullptr;
};

// Effort of the search:
//   0  a fast estimate, for comparing candidate layouts of the same image
//   1  the quick optimising save (the default of --optimize)
//   2  the thorough one
constexpr int kPngSearchEstimate = 0;
constexpr int kPngSearchQuick = 1;
constexpr int kPngSearchThorough = 2;

// The whole zlib stream of the IDAT data: every row of every pass with its
// filter byte, compressed. filterBytesPerPixel is the filter's distance in
// bytes (bits per pixel / 8, at least 1). Passes with no rows or no row
// bytes contribute nothing, as Adam7 requires.
std::vector<uint8_t> SearchImageData(std::span<const TPngRawPass> passes, uint32_t filterBytesPerPixel,
                                     int level);

// The parts of the search, for measuring tools and tests. Each strategy
// filters every row of every pass (the filter byte first); the rows of a
// pass other than the first are filtered against the row above.
enum class TPngFilterStrategy {
    None,      // filter types 0 to 4 on every row
    Sub,
    Up,
    Average,
    Paeth,
    Adaptive,  // the compressibility score of the encoder's adaptive mode
    MinSum,    // least sum of absolute differences per row
    Entropy,   // least byte entropy per row
    Trial,     // per row, the filter that a fast compressor packs best after
               // the rows already chosen
};
constexpr int kPngFilterStrategyCount = 9;
const char* PngFilterStrategyName(TPngFilterStrategy strategy);
std::vector<uint8_t> FilterImageData(std::span<const TPngRawPass> passes, uint32_t filterBytesPerPixel,
                                     TPngFilterStrategy strategy);

// The strategy for image data filtered band by band (each band with its
// Prior row), chosen on a sample of its rows: the one of the strategies
// that need nothing but the row above (every one but Trial) whose sample
// the search's measuring compressor of level packs smallest, the earlier
// on ties.
TPngFilterStrategy ChooseBandStrategy(std::span<const TPngRawPass> sample, uint32_t filterBytesPerPixel, int level);

// The compressors, each making one zlib stream. A compressor that this
// build lacks falls back to zlib at level 9 (Available tells which).
enum class TPngCompressor {
    Zlib9,      // on small data the best of zlib's strategies
    Fast,       // the estimate of the search: libdeflate level 6
    Strong,     // libdeflate level 12
    Strongest,  // an optimal-parsing deflate with several passes
    Optimal,    // the same with one pass: most of its gain on graphics
};
const char* PngCompressorName(TPngCompressor compressor);
bool PngCompressorAvailable(TPngCompressor compressor);
std::vector<uint8_t> CompressImageData(std::span<const uint8_t> filtered, TPngCompressor compressor);

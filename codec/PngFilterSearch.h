// Filter and compressor search of the optimising save: given the raw rows
// of an image in its final colour type and depth, find the filtering and
// the compression that make the smallest image data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

// One image (or one Adam7 pass) as unfiltered rows without filter bytes,
// Height rows of RowBytes each, one after the other.
struct TPngRawPass {
    const uint8_t* Rows = nullptr;
    size_t RowBytes = 0;
    uint32_t Height = 0;
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

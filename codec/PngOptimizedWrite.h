// The optimising save: the picture's exact pixels in the smallest colour
// type and bit depth that holds them, with the filter and compressor search.
#pragma once

#include <cstdint>

class TTavPNGWriteStream;

// The largest picture, in pixels, that the optimising save searches whole:
// 4096 x 4096. The whole search gathers every pixel (4 bytes each), makes
// one candidate layout's values and rows at a time beside the best one's,
// then filters the winner's rows with every strategy, two at a time, and
// packs the best two: at this size it takes about 5 times the raw RGBA
// above the loaded picture (bench/memory.sh), where the normal save
// gathers at most 80 MiB of image data. A larger picture is surveyed row
// by row; its layout and filter strategy are chosen on a sample of rows,
// and its image data is filtered band by band into one zlib stream at
// level 9, so that the save's working set stays within a few tens of MiB
// whatever the size, for files larger than the whole search makes (zlib
// instead of the strongest compressors: 6 % on the photo-like picture of
// bench/memory.sh, a quarter on its flat graphic). Raising the limit
// gives larger pictures the whole search, at a cost in memory that grows
// with them.
constexpr uint64_t kOptimizeWholePixels = uint64_t(4096) * 4096;

// Writes the whole file, signature to IEND, for the encoder's bitmap, mask
// and settings; EncodeImage hands over once it has validated the mask and
// read the palette. The pixels kept are those a reader sees in the normal
// save's file (the grey levels when Grayscale is set), with the mask's
// alpha; every chunk of the normal save is written, the colour-dependent
// ones (sBIT, PLTE, bKGD, tRNS) re-encoded for the chosen layout.
void WriteOptimizedImage(TTavPNGWriteStream& encoder);

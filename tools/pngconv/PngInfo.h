// What a loaded PNG picture tells about its file, as "key: value" lines.
#pragma once

#include <string>

class TTavPNG;

// The PNG colour type (0, 2, 3, 4 or 6) and bit depth of the file that the
// picture was loaded from, worked out from what the decoder left in it.
int PngColorType(const TTavPNG& png);
int PngBitDepth(const TTavPNG& png);

// One "key: value" line per item, each ending in a line feed.
std::string DescribePng(const TTavPNG& png);

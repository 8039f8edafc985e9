// What a PNG file holds, as "key: value" lines, read from its chunks
// without decoding the pixels.
#pragma once

#include <string>

struct TPngFileReport {
    std::string Text;
    // The decoder's message when the image data would fail the load (cut
    // short, damaged, an unknown row filter); empty when the file loads.
    std::string Failure;
};

// The report of one file, each line ending in a line feed: the file name,
// the header and what the decoder would make of it, every chunk in order
// with its length, the text chunks with their values, and the ancillary
// values. The image data are inflated and checked as the decoder reads
// them, but no pixels are kept: memory stays bounded for any header. A
// file whose signature or header the decoder would refuse raises ETavPNG
// with the decoder's message; one that cannot be read raises the
// stream's error.
TPngFileReport DescribePngFile(const std::string& path);

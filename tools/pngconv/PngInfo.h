// What a PNG file holds, as "key: value" lines, read from its chunks
// without decoding the pixels.
#pragma once

#include <string>

// The report of one file, each line ending in a line feed: the file name,
// the header and what the decoder would make of it, every chunk in order
// with its length, the text keys, and the ancillary values. A file that
// the decoder would refuse raises ETavPNG with the decoder's message;
// one that cannot be read raises the stream's error.
std::string DescribePngFile(const std::string& path);

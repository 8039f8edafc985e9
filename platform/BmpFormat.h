// Windows BMP files and packed device-independent bitmaps (the clipboard's
// CF_DIB block). Internal to the platform library; TBitmap is the public
// face.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class TBitmap;
class TStream;

namespace bmpformat {

// Reads a BMP file from the stream's position into an empty, unwatched
// bitmap; leaves the position after the pixel data. Malformed data raises
// EInvalidGraphic, short data EInvalidGraphic or EReadError.
void ReadFile(TStream& stream, TBitmap& into);
void WriteFile(const TBitmap& bitmap, TStream& stream);

// A packed DIB: the information header, colour table or masks, then the
// pixel rows.
void ReadPackedDib(const uint8_t* data, size_t size, TBitmap& into);
std::vector<uint8_t> WritePackedDib(const TBitmap& bitmap);

}  // namespace bmpformat

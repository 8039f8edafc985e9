// A QImage that shares a bitmap's rows, so that Qt paints into the bitmap
// or copies from it without an intermediate copy.
#pragma once

#include <QImage>

class TBitmap;

// 32-bit bitmaps become Format_RGB32 (B, G, R, unused), 24-bit ones
// Format_BGR888; a null image for an empty bitmap. Other formats raise
// EInvalidGraphic. The image is valid while the bitmap keeps its size and
// format.
QImage ImageOverBitmap(TBitmap& bitmap);

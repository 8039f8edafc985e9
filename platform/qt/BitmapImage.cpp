#include "platform/qt/BitmapImage.h"

#include "platform/Bitmap.h"
#include "platform/Exceptions.h"

QImage ImageOverBitmap(TBitmap& bitmap) {
    if (bitmap.GetEmpty()) return QImage();
    QImage::Format format;
    switch (bitmap.StorageBits()) {
    case 32: format = QImage::Format_RGB32; break;  // B, G, R, unused
    case 24: format = QImage::Format_BGR888; break;
    default: throw EInvalidGraphic("Only 24- and 32-bit bitmaps can be painted through Qt");
    }
    const int32_t height = bitmap.GetHeight();
    uchar* first = bitmap.ScanLine(0);
    // QImage needs the rows one after the other, top row first.
    if (height > 1 && bitmap.ScanLine(1) != first + bitmap.ScanlineStride())
        throw EInvalidGraphic("Bitmap rows are not laid out top-down");
    return QImage(first, bitmap.GetWidth(), height, bitmap.ScanlineStride(), format);
}

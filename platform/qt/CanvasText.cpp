// Text and lines on a bitmap's canvas, painted with QPainter straight into
// the bitmap's own rows. Every call makes a short-lived QImage over the rows
// (no copy), so the bitmap stays the one owner of its pixels.
#include <QColor>
#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QPen>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <climits>
#include <cstdint>

#include "platform/Bitmap.h"
#include "platform/Canvas.h"
#include "platform/Exceptions.h"
#include "platform/qt/BitmapImage.h"
#include "platform/qt/QtSjis.h"

namespace {

QFont QtFontOf(const TFont& font) {
    QFont q(SjisToQString(font.Name));
    // The size is a character height in pixels, as the platform's fonts
    // take a negative height: the cell is taller by the internal leading.
    q.setPixelSize(std::max(1, font.PixelHeight()));
    q.setBold((font.Style & fsBold) != 0);
    q.setItalic((font.Style & fsItalic) != 0);
    q.setUnderline((font.Style & fsUnderline) != 0);
    q.setStrikeOut((font.Style & fsStrikeOut) != 0);
    return q;
}

QColor QtColorOf(TColor c) { return QColor(GetRValue(c), GetGValue(c), GetBValue(c)); }

// Lines of a multi-line DrawText: CR LF, a lone CR and a lone LF each end
// a line.
QStringList SplitAtBreaks(const QString& text) {
    QStringList lines;
    QString current;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'\r' || c == u'\n') {
            lines.push_back(current);
            current.clear();
            if (c == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
        } else {
            current += c;
        }
    }
    lines.push_back(current);
    return lines;
}

// Opaque text: the cell filled with the brush colour, then the glyphs with
// the baseline at top + ascent. A cell wholly off the image is skipped, so
// far-off positions never reach Qt's integer geometry.
void PaintCell(QPainter& painter, const QFontMetrics& metrics, int x, int y, const QString& text, const QColor& ground,
               const QColor& ink) {
    const int width = metrics.horizontalAdvance(text);
    const int height = metrics.height();
    const QRect target = painter.device() ? QRect(0, 0, painter.device()->width(), painter.device()->height()) : QRect();
    if (int64_t(x) >= target.right() + 1 || int64_t(x) + width <= 0 || int64_t(y) >= target.bottom() + 1 ||
        int64_t(y) + height <= 0)
        return;
    if (width > 0) painter.fillRect(QRect(x, y, width, height), ground);
    painter.setPen(ink);
    painter.drawText(QPoint(x, y + metrics.ascent()), text);
}

}  // namespace

TSize TCanvas::TextExtent(const std::string& text) {
    const QFontMetrics metrics(QtFontOf(Font));
    return {metrics.horizontalAdvance(SjisToQString(text)), metrics.height()};
}

void TCanvas::TextOut(int32_t x, int32_t y, const std::string& text) {
    const QFont font = QtFontOf(Font);
    const QFontMetrics metrics(font);
    const QString q = SjisToQString(text);
    QImage image = ImageOverBitmap(Bitmap_);
    if (!image.isNull()) {
        QPainter painter(&image);
        painter.setFont(font);
        PaintCell(painter, metrics, x, y, q, QtColorOf(Brush.Color), QtColorOf(Font.Color));
    }
    // Far-off positions and long texts must not overflow the pen position.
    const int64_t right = int64_t(x) + metrics.horizontalAdvance(q);
    MoveTo(int32_t(std::clamp<int64_t>(right, INT32_MIN, INT32_MAX)), y);
}

void TCanvas::DrawText(const std::string& text, const TRect& rect, unsigned format) {
    if (rect.Width() <= 0 || rect.Height() <= 0) return;
    QImage image = ImageOverBitmap(Bitmap_);
    if (image.isNull()) return;
    const QFont font = QtFontOf(Font);
    const QFontMetrics metrics(font);
    const QString q = SjisToQString(text);
    const QStringList lines = (format & DT_SINGLELINE) ? QStringList{q} : SplitAtBreaks(q);

    QPainter painter(&image);
    painter.setFont(font);
    painter.setClipRect(QRect(rect.Left, rect.Top, rect.Width(), rect.Height()));
    int y = rect.Top;
    for (const QString& line : lines) {
        if (y >= rect.Bottom) break;
        int x = rect.Left;
        // A centred line wider than the rectangle starts left of it and is
        // clipped on both sides.
        if (format & DT_CENTER) x = rect.Left + (rect.Width() - metrics.horizontalAdvance(line)) / 2;
        PaintCell(painter, metrics, x, y, line, QtColorOf(Brush.Color), QtColorOf(Font.Color));
        y += metrics.height();
    }
}

void TCanvas::LineTo(int32_t x, int32_t y) {
    QImage image = ImageOverBitmap(Bitmap_);
    if (!image.isNull()) {
        QPainter painter(&image);
        const int width = std::max(1, Pen.Width);
        // A thin line leaves out its end point; a wide one has round ends.
        QPen pen(QtColorOf(Pen.Color), width, Qt::SolidLine, width > 1 ? Qt::RoundCap : Qt::FlatCap, Qt::RoundJoin);
        painter.setPen(pen);
        painter.drawLine(QPoint(PenPos.X, PenPos.Y), QPoint(x, y));
    }
    MoveTo(x, y);
}

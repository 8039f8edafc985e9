#include "app/ScreenDraw.h"

#include <vector>

#include "platform/ShiftJis.h"

namespace {

// The characters of a Shift-JIS text, each one or two bytes; a lead byte
// at the very end stands alone.
std::vector<std::string> SjisCharacters(const std::string& text) {
    std::vector<std::string> chars;
    for (size_t i = 0; i < text.size();) {
        const size_t len = (IsSjisLeadByte(static_cast<unsigned char>(text[i])) && i + 1 < text.size()) ? 2 : 1;
        chars.push_back(text.substr(i, len));
        i += len;
    }
    return chars;
}

}  // namespace

void ApplyFont(TCanvas& canvas, const std::string& face, TColor color, int32_t size) {
    if (size != KeepSize) canvas.Font.Size = size;
    if (color != KeepColor) canvas.Font.Color = color;
    if (!face.empty()) canvas.Font.Name = face;
}

void DrawTextInRect(TCanvas& canvas, const std::string& text, const TRect& rect, const std::string& face, TColor color,
                    int32_t size, unsigned format) {
    ApplyFont(canvas, face, color, size);
    canvas.DrawText(text, rect, format);
}

void DrawTextAt(TCanvas& canvas, const std::string& text, int32_t x, int32_t y, const std::string& face, TColor color,
                int32_t size, unsigned format) {
    ApplyFont(canvas, face, color, size);
    const TSize extent = canvas.TextExtent(text);
    DrawTextInRect(canvas, text, TRect{x, y, x + extent.cx, y + extent.cy}, face, color, size, format);
}

int32_t DrawMarkedSentence(TCanvas& canvas, const std::string& sentence, int32_t x, int32_t y, const std::string& face,
                           TColor color, int32_t size, int32_t penWidth, TColor penColor) {
    ApplyFont(canvas, face, color, size);
    canvas.Pen.Width = penWidth;
    if (penColor != KeepColor) canvas.Pen.Color = penColor;

    const int32_t h = canvas.TextExtent(sentence).cy;
    int32_t offset = 0;
    int32_t previousWidth = 0;
    bool marked = false;
    int32_t first = -1;
    int32_t last = -1;
    for (const std::string& c : SjisCharacters(sentence)) {
        if (c == "[") {
            marked = true;
            continue;
        }
        if (c == "]") {
            marked = false;
            continue;
        }
        offset += previousWidth;
        canvas.TextOut(x + offset, y, c);
        canvas.MoveTo(x + offset, y + h);
        const int32_t width = canvas.TextWidth(c);
        previousWidth = width;
        if (marked) {
            canvas.LineTo(x + offset + width, y + h);
            if (first == -1) first = x + offset;
            // The centre spans the marked characters only, not the rest of
            // the sentence after the closing bracket.
            last = x + offset + width;
        }
    }
    if (first == -1) return -1;
    return first + (last - first) / 2;
}

void BoldOn(TCanvas& canvas) { canvas.Font.Style |= fsBold; }

void BoldOff(TCanvas& canvas) { canvas.Font.Style &= uint8_t(~fsBold); }

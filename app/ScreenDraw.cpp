#include "app/ScreenDraw.h"

#include <algorithm>
#include <climits>
#include <unordered_map>
#include <vector>

#include "platform/Bitmap.h"
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

    const std::vector<std::string> chars = SjisCharacters(sentence);
    // Past the right edge nothing shows; only a stretch still to be marked
    // can change the result, so the walk ends after the last "[".
    size_t lastOpen = 0;
    for (size_t i = 0; i < chars.size(); ++i)
        if (chars[i] == "[") lastOpen = i + 1;
    const int64_t rightEdge = canvas.Bitmap().GetWidth();
    // The font stays the same for the whole sentence: each character is
    // measured once.
    std::unordered_map<std::string, int32_t> widths;
    auto widthOf = [&](const std::string& c) {
        auto it = widths.find(c);
        if (it == widths.end()) it = widths.emplace(c, canvas.TextWidth(c)).first;
        return it->second;
    };

    const int32_t h = canvas.TextExtent(sentence).cy;
    // 64 bits: a long line of wide characters runs past 2^31 pixels.
    int64_t offset = 0;
    int64_t previousWidth = 0;
    bool marked = false;
    int64_t first = -1;
    int64_t last = -1;
    for (size_t i = 0; i < chars.size(); ++i) {
        const std::string& c = chars[i];
        if (c == "[") {
            marked = true;
            continue;
        }
        if (c == "]") {
            marked = false;
            continue;
        }
        offset += previousWidth;
        const int64_t left = int64_t(x) + offset;
        if (left >= rightEdge && !marked && i >= lastOpen) break;
        const int32_t width = widthOf(c);
        const bool visible = left < rightEdge && left + width > 0;
        if (visible) {
            canvas.TextOut(int32_t(left), y, c);
            canvas.MoveTo(int32_t(left), y + h);
        }
        previousWidth = width;
        if (marked) {
            if (visible) canvas.LineTo(int32_t(left + width), y + h);
            if (first == -1) first = left;
            // The centre spans the marked characters only, not the rest of
            // the sentence after the closing bracket.
            last = left + width;
        }
    }
    if (first == -1) return -1;
    const int64_t centre = first + (last - first) / 2;
    return int32_t(std::clamp<int64_t>(centre, INT32_MIN, INT32_MAX));
}

void BoldOn(TCanvas& canvas) { canvas.Font.Style |= fsBold; }

void BoldOff(TCanvas& canvas) { canvas.Font.Style &= uint8_t(~fsBold); }

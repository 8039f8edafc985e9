// The drawing operations the drill screens are made of, over one canvas
// whose font, pen and brush persist from call to call: an operation
// changes only the attributes it is given. A size or colour of -1 and an
// empty face keep the attribute as it is.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Canvas.h"

constexpr int32_t KeepSize = -1;
constexpr TColor KeepColor = -1;

// Applies the given size, colour and face to the canvas font.
void ApplyFont(TCanvas& canvas, const std::string& face, TColor color, int32_t size);

// The whole text in rect with the format flags (DT_LEFT, DT_CENTER,
// DT_SINGLELINE), clipped to rect.
void DrawTextInRect(TCanvas& canvas, const std::string& text, const TRect& rect, const std::string& face, TColor color,
                    int32_t size, unsigned format);

// The text with its top-left corner at (x, y): a rectangle of the text's
// extent in the resulting font.
void DrawTextAt(TCanvas& canvas, const std::string& text, int32_t x, int32_t y, const std::string& face, TColor color,
                int32_t size, unsigned format);

// Draws a Shift-JIS sentence character by character, hiding the ASCII
// brackets "[" and "]" and underlining what stands between them at
// y + (height of the sentence). Returns the horizontal centre of the
// underlined stretch, or -1 when nothing is underlined.
int32_t DrawMarkedSentence(TCanvas& canvas, const std::string& sentence, int32_t x, int32_t y, const std::string& face,
                           TColor color, int32_t size, int32_t penWidth, TColor penColor);

void BoldOn(TCanvas& canvas);
void BoldOff(TCanvas& canvas);

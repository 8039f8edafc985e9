#include "codec/PngText.h"

#include <cstdint>
#include <utility>

namespace {

// Decodes the character at text[i]; false on an invalid sequence
// (overlong forms, surrogates and values above U+10FFFF included).
bool NextCodePoint(std::string_view text, size_t& i, uint32_t& cp) {
    const uint8_t lead = uint8_t(text[i]);
    int extra;
    uint32_t min;
    if (lead < 0x80) {
        cp = lead;
        ++i;
        return true;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        cp = lead & 0x1Fu, extra = 1, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        cp = lead & 0x0Fu, extra = 2, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        cp = lead & 0x07u, extra = 3, min = 0x10000;
    } else {
        return false;
    }
    if (text.size() - i <= size_t(extra)) return false;
    for (int k = 1; k <= extra; ++k) {
        const uint8_t c = uint8_t(text[i + size_t(k)]);
        if ((c & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (c & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += size_t(extra) + 1;
    return true;
}

}  // namespace

std::string Latin1ToUtf8(std::string_view latin1) {
    std::string out;
    out.reserve(latin1.size());
    for (const char ch : latin1) {
        const uint8_t c = uint8_t(ch);
        if (c < 0x80) {
            out.push_back(char(c));
        } else {
            out.push_back(char(0xC0 | (c >> 6)));
            out.push_back(char(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

bool Utf8ToLatin1(std::string_view utf8, std::string& latin1) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        uint32_t cp = 0;
        if (!NextCodePoint(utf8, i, cp) || cp > 0xFF) return false;
        out.push_back(char(uint8_t(cp)));
    }
    latin1 = std::move(out);
    return true;
}

bool IsValidUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();) {
        uint32_t cp = 0;
        if (!NextCodePoint(text, i, cp)) return false;
    }
    return true;
}

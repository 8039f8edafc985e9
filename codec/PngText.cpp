#include "codec/PngText.h"

#include <cstdint>
#include <utility>

#include <zlib.h>

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

bool InflateText(std::string_view compressed, size_t limit, std::string& text) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return false;
    struct End {
        z_stream& z;
        ~End() { inflateEnd(&z); }
    } end{z};
    std::string out;
    char block[16384];
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    z.avail_in = uInt(compressed.size());
    for (;;) {
        z.next_out = reinterpret_cast<Bytef*>(block);
        z.avail_out = sizeof block;
        const int r = inflate(&z, Z_NO_FLUSH);
        const size_t n = sizeof block - z.avail_out;
        if (n > limit - out.size()) return false;
        out.append(block, n);
        if (r == Z_STREAM_END) break;
        // Z_BUF_ERROR: no progress possible, the input ended before the stream.
        if (r != Z_OK) return false;
    }
    text = std::move(out);
    return true;
}

bool ReadTextChunk(std::string_view type, std::string_view body, std::string& key, std::string& utf8) {
    const size_t zero = body.find('\0');
    key = std::string(body.substr(0, zero));
    if (zero == std::string_view::npos) return false;
    std::string_view rest = body.substr(zero + 1);
    if (type == "tEXt") {
        utf8 = Latin1ToUtf8(rest);
        return true;
    }
    if (type == "zTXt") {
        // A method byte (0: zlib) and the compressed Latin-1 text.
        std::string latin1;
        if (rest.empty() || rest[0] != 0 || !InflateText(rest.substr(1), kTextInflateLimit, latin1)) return false;
        utf8 = Latin1ToUtf8(latin1);
        return true;
    }
    if (type != "iTXt" || rest.size() < 2) return false;
    // A compression flag and method, then a language tag and a translated
    // keyword, each ended by a zero byte, before the UTF-8 text.
    const bool compressed = rest[0] != 0;
    if (rest[0] > 1 || (compressed && rest[1] != 0)) return false;
    rest.remove_prefix(2);
    const size_t language = rest.find('\0');
    const size_t translated = language == std::string_view::npos ? language : rest.find('\0', language + 1);
    if (translated == std::string_view::npos) return false;
    rest.remove_prefix(translated + 1);
    if (!compressed) {
        utf8 = std::string(rest);
        return true;
    }
    return InflateText(rest, kTextInflateLimit, utf8);
}

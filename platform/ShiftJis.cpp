#include "platform/ShiftJis.h"

#include <iconv.h>

#include <array>
#include <cstdint>
#include <vector>

namespace {

constexpr char16_t kReplacement = 0xFFFD;

// Index of a lead byte in the double-byte table: 0x81-0x9F then 0xE0-0xFC.
int LeadIndex(unsigned char b) {
    return b <= 0x9F ? b - 0x81 : b - 0xE0 + 31;
}
constexpr int kLeadCount = 31 + 29;

bool IsTrailByte(unsigned char b) {
    return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}

// Code page 932 in both directions, taken once from the C library's
// converter. No Shift-JIS character decodes to U+0000 except the zero
// byte itself, so 0 marks "no mapping" in the tables.
class Tables {
public:
    Tables() {
        single_.fill(0);
        doubles_.assign(size_t(kLeadCount) * 256, 0);
        encode_.assign(0x10000, 0);
        iconv_t dec = iconv_open("UTF-16LE", "CP932");
        iconv_t enc = iconv_open("CP932", "UTF-16LE");
        if (dec == iconv_t(-1) || enc == iconv_t(-1)) {
            // Without the converter only ASCII survives.
            for (int b = 0; b < 0x80; ++b) {
                single_[b] = char16_t(b);
                encode_[b] = uint16_t(b);
            }
        } else {
            for (int b = 0; b < 0x100; ++b) {
                if (IsSjisLeadByte(b)) continue;
                const char in[1] = {char(b)};
                single_[b] = Decode(dec, in, 1);
            }
            for (int lead = 0x81; lead <= 0xFC; ++lead) {
                if (!IsSjisLeadByte(lead)) continue;
                for (int trail = 0x40; trail <= 0xFC; ++trail) {
                    if (!IsTrailByte(trail)) continue;
                    const char in[2] = {char(lead), char(trail)};
                    doubles_[size_t(LeadIndex(lead)) * 256 + size_t(trail)] = Decode(dec, in, 2);
                }
            }
            for (uint32_t cp = 1; cp < 0x10000; ++cp) {
                if (cp >= 0xD800 && cp <= 0xDFFF) continue;
                encode_[cp] = Encode(enc, char16_t(cp));
            }
        }
        if (dec != iconv_t(-1)) iconv_close(dec);
        if (enc != iconv_t(-1)) iconv_close(enc);
        single_[0] = 0;
        encode_[0] = 0;
    }

    // Decodes one character at sjis[i]; advances i past what it used.
    char16_t Next(std::string_view sjis, size_t& i) const {
        const auto b = static_cast<unsigned char>(sjis[i]);
        if (!IsSjisLeadByte(b)) {
            ++i;
            return b == 0 || single_[b] != 0 ? single_[b] : kReplacement;
        }
        if (i + 1 >= sjis.size()) {
            ++i;
            return kReplacement;
        }
        const auto t = static_cast<unsigned char>(sjis[i + 1]);
        if (!IsTrailByte(t)) {
            // A broken lead byte must not swallow the character after it.
            ++i;
            return kReplacement;
        }
        i += 2;
        const char16_t c = doubles_[size_t(LeadIndex(b)) * 256 + t];
        return c != 0 ? c : kReplacement;
    }

    // Appends the Shift-JIS form of cp, or '?' when it has none.
    void Append(std::string& out, uint32_t cp) const {
        if (cp == 0) {
            out.push_back('\0');
            return;
        }
        const uint16_t code = cp < 0x10000 ? encode_[cp] : 0;
        if (code == 0) {
            out.push_back('?');
        } else if (code < 0x100) {
            out.push_back(char(code));
        } else {
            out.push_back(char(code >> 8));
            out.push_back(char(code & 0xFF));
        }
    }

private:
    static char16_t Decode(iconv_t cd, const char* bytes, size_t len) {
        char out[8];
        char* ip = const_cast<char*>(bytes);
        char* op = out;
        size_t il = len, ol = sizeof out;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &ip, &il, &op, &ol) == size_t(-1) || il != 0 || op - out != 2) return 0;
        return char16_t(static_cast<unsigned char>(out[0]) | (static_cast<unsigned char>(out[1]) << 8));
    }

    static uint16_t Encode(iconv_t cd, char16_t c) {
        char in[2] = {char(c & 0xFF), char(c >> 8)};
        char out[8];
        char* ip = in;
        char* op = out;
        size_t il = 2, ol = sizeof out;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd, &ip, &il, &op, &ol) == size_t(-1) || il != 0) return 0;
        const auto n = op - out;
        if (n == 1) return static_cast<unsigned char>(out[0]);
        if (n == 2) return uint16_t((static_cast<unsigned char>(out[0]) << 8) | static_cast<unsigned char>(out[1]));
        return 0;
    }

    std::array<char16_t, 256> single_;
    std::vector<char16_t> doubles_;
    std::vector<uint16_t> encode_;
};

const Tables& Cp932() {
    static const Tables tables;  // built on first use; thread-safe initialisation
    return tables;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(char(cp));
    } else if (cp < 0x800) {
        out.push_back(char(0xC0 | (cp >> 6)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(char(0xE0 | (cp >> 12)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(char(0xF0 | (cp >> 18)));
        out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(char(0x80 | (cp & 0x3F)));
    }
}

// Decodes one UTF-8 sequence at s[i]; returns -1 for an invalid byte
// (overlong forms, surrogates and values past U+10FFFF included), which
// then consumes one byte.
int32_t NextUtf8(std::string_view s, size_t& i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int len;
    uint32_t cp;
    uint32_t min;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        ++i;
        return -1;
    }
    if (i + size_t(len) > s.size()) {
        ++i;
        return -1;
    }
    for (int k = 1; k < len; ++k) {
        const auto b = static_cast<unsigned char>(s[i + size_t(k)]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return -1;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return -1;
    }
    i += size_t(len);
    return int32_t(cp);
}

}  // namespace

std::string SjisToUtf8(std::string_view sjis) {
    const Tables& t = Cp932();
    std::string out;
    out.reserve(sjis.size() * 3 / 2);
    for (size_t i = 0; i < sjis.size();) AppendUtf8(out, t.Next(sjis, i));
    return out;
}

std::string Utf8ToSjis(std::string_view utf8) {
    const Tables& t = Cp932();
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        const int32_t cp = NextUtf8(utf8, i);
        if (cp < 0) {
            out.push_back('?');
        } else {
            t.Append(out, uint32_t(cp));
        }
    }
    return out;
}

std::u16string SjisToUtf16(std::string_view sjis) {
    const Tables& t = Cp932();
    std::u16string out;
    out.reserve(sjis.size());
    for (size_t i = 0; i < sjis.size();) out.push_back(t.Next(sjis, i));
    return out;
}

std::string Utf16ToSjis(std::u16string_view utf16) {
    const Tables& t = Cp932();
    std::string out;
    out.reserve(utf16.size() * 2);
    for (size_t i = 0; i < utf16.size(); ++i) {
        const char16_t c = utf16[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
            // A pair outside the Basic Plane: no Shift-JIS form, one '?'.
            ++i;
            out.push_back('?');
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            out.push_back('?');
        } else {
            t.Append(out, c);
        }
    }
    return out;
}

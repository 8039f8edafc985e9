#include "text/TextList.h"

#include <limits>

#include "platform/Exceptions.h"
#include "platform/Files.h"
#include "platform/ShiftJis.h"

namespace {

constexpr char CR = 0x0D;
constexpr char LF = 0x0A;

bool IsLead(char c) {
    return IsSjisLeadByte(static_cast<unsigned char>(c));
}

// Blanks separate fields: 0x01 to 0x20 (the full-width space is no blank).
bool IsBlank(char c) {
    const auto b = static_cast<unsigned char>(c);
    return b >= 0x01 && b <= 0x20;
}

// The bytes up to 0x20 that TrimBlanks removes.
bool IsTrimmed(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}

void CheckCount(size_t count) {
    if (count > size_t(std::numeric_limits<int32_t>::max())) throw EOutOfMemory();
}

}  // namespace

void TStringList::Add(std::string item) {
    CheckCount(items_.size() + 1);
    GuardAlloc([&] { items_.push_back(std::move(item)); });
}

void TStringList::SetItems(std::vector<std::string> items) {
    CheckCount(items.size());
    items_ = std::move(items);
}

size_t NextChar(std::string_view text, size_t p) {
    if (p >= text.size()) return p;
    if (IsLead(text[p]) && p + 1 < text.size()) return p + 2;
    return p + 1;
}

TByteKind ByteKind(std::string_view text, size_t s, size_t i) {
    if (i >= text.size()) return TByteKind::Single;
    const TByteKind own = IsLead(text[i]) ? TByteKind::Lead : TByteKind::Single;
    if (i <= s) return own;
    // The run of lead-valued bytes right before i decides: an odd run ends
    // in a lead byte whose character i completes.
    size_t leads = 0;
    for (size_t j = i; j > s && IsLead(text[j - 1]); --j) ++leads;
    return leads % 2 == 1 ? TByteKind::Trail : own;
}

size_t FindByte(std::string_view text, size_t s, char b) {
    size_t from = s;
    while (from < text.size()) {
        const size_t p = text.find(b, from);
        if (p == std::string_view::npos) return kNotFound;
        switch (ByteKind(text, s, p)) {
            case TByteKind::Single: return p;
            case TByteKind::Lead: from = p + 2; break;
            case TByteKind::Trail: from = p + 1; break;
        }
    }
    return kNotFound;
}

size_t FindText(std::string_view text, size_t s, std::string_view pattern) {
    if (s >= text.size() || pattern.empty()) return kNotFound;
    size_t from = s;
    while (from < text.size()) {
        const size_t p = text.find(pattern, from);
        if (p == std::string_view::npos) return kNotFound;
        if (ByteKind(text, s, p) != TByteKind::Trail) return p;
        from = p + 1;
    }
    return kNotFound;
}

std::vector<std::string> SplitLines(std::string_view text) {
    const size_t end = text.find('\0');
    if (end != std::string_view::npos) text = text.substr(0, end);
    std::vector<std::string> lines;
    size_t p = 0;
    while (p < text.size()) {
        const size_t start = p;
        while (p < text.size() && text[p] != CR && text[p] != LF) ++p;
        GuardAlloc([&] { lines.emplace_back(text.substr(start, p - start)); });
        if (p < text.size() && text[p] == CR) ++p;
        if (p < text.size() && text[p] == LF) ++p;
    }
    return lines;
}

void LoadLines(TStringList& list, const std::string& path) {
    const std::string text = ReadWholeFile(path);
    list.SetItems(SplitLines(text));
}

std::string ReadQuoted(std::string_view text, size_t& pos, char quote) {
    std::string field;
    size_t start = pos + 1;
    size_t q = FindByte(text, start, quote);
    while (q != kNotFound) {
        if (q + 1 < text.size() && text[q + 1] == quote) {
            field.append(text.substr(start, q + 1 - start));
            start = q + 2;
            q = FindByte(text, start, quote);
            continue;
        }
        field.append(text.substr(start, q - start));
        pos = q + 1;
        return field;
    }
    // No closing quote: the field takes the rest of the line.
    if (start < text.size()) field.append(text.substr(start));
    pos = text.size();
    return field;
}

void ParseDelimited(TStringList& list, std::string_view text) {
    // A zero byte ends the text; treating it as an ordinary byte would
    // make an empty field that never advances.
    const size_t zero = text.find('\0');
    if (zero != std::string_view::npos) text = text.substr(0, zero);
    const char delimiter = list.Delimiter;
    const char quote = list.QuoteChar;
    const size_t n = text.size();
    auto skipBlanks = [&](size_t p) {
        while (p < n && IsBlank(text[p])) p = NextChar(text, p);
        return p;
    };

    std::vector<std::string> fields;
    size_t p = skipBlanks(0);
    while (p < n) {
        std::string field;
        if (text[p] == quote) {
            field = ReadQuoted(text, p, quote);
        } else {
            const size_t start = p;
            while (p < n && static_cast<unsigned char>(text[p]) > 0x20 && text[p] != delimiter) p = NextChar(text, p);
            field.assign(text.substr(start, p - start));
        }
        CheckCount(fields.size() + 1);
        GuardAlloc([&] { fields.push_back(std::move(field)); });
        p = skipBlanks(p);
        if (p < n && text[p] == delimiter) {
            if (NextChar(text, p) >= n) GuardAlloc([&] { fields.emplace_back(); });
            p = skipBlanks(NextChar(text, p));
        }
    }
    list.SetItems(std::move(fields));
}

std::string ItemAt(const TStringList& list, int32_t n) {
    if (n < 0 || n >= list.Count()) throw ListIndexError(n);
    return list.Items()[size_t(n)];
}

std::string TrimBlanks(std::string_view text) {
    size_t first = 0;
    while (first < text.size() && IsTrimmed(text[first])) ++first;
    if (first == text.size()) return std::string();
    size_t last = text.size();
    while (last > first && IsTrimmed(text[last - 1])) --last;
    return std::string(text.substr(first, last - first));
}

std::string ReplaceAll(std::string_view text, std::string_view pattern, std::string_view replacement) {
    std::string result;
    std::string_view rest = text;
    while (!rest.empty()) {
        const size_t at = FindText(rest, 0, pattern);
        if (at == kNotFound) {
            result.append(rest);
            break;
        }
        result.append(rest.substr(0, at));
        result.append(replacement);
        rest = rest.substr(at + pattern.size());
    }
    return result;
}

bool SameBytes(std::string_view a, std::string_view b) {
    return a.size() == b.size() && a.compare(b) == 0;
}

std::string ErrorBoxText(const std::string& message) {
    if (message.empty()) return message;
    size_t last = 0;
    for (size_t p = 0; p < message.size(); p = NextChar(message, p)) last = p;
    // char_traits<char> compares bytes as unsigned, as memcmp does: every
    // double-byte character sorts after ".".
    const bool after = std::string_view(message).substr(last).compare(".") > 0;
    return after ? message + "." : message;
}

// The invariants of the bank text routines, shared by the bank_text fuzz
// target and the regression tests that replay its inputs. CheckBankText
// returns an empty text when every invariant holds, else what broke.
//
// Input: byte 0 the delimiter (a zero byte included), byte 1 the pattern
// length (mod 8), byte 2 the replacement length (mod 8), then the pattern,
// the replacement, and the rest is the text.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text/TextList.h"

namespace banktext {

// SplitFields' shape; the fuzz target hands in the drill's own routine.
using TSplitFields = int32_t (*)(const std::string& line, char delimiter, TStringList& list);

struct TCheckFailed {
    std::string What;
};

[[noreturn]] inline void Fail(const char* what, std::string_view text) {
    throw TCheckFailed{std::string(what) + " (text of " + std::to_string(text.size()) + " bytes)"};
}

// A field that ParseDelimited can have read without quotes: it does not
// start with the quote, and every byte that stands on a character boundary
// (counted from the field's start) is above 0x20 and is not the delimiter.
// Second bytes of double-byte characters may be anything.
inline bool UnquotedShape(std::string_view field, char delimiter, char quote) {
    if (!field.empty() && field[0] == quote) return false;
    for (size_t p = 0; p < field.size(); p = NextChar(field, p)) {
        const auto b = static_cast<unsigned char>(field[p]);
        if (b <= 0x20 || field[p] == delimiter) return false;
    }
    return true;
}

// The bytes a quoted field stands as between its quotes: every quote that
// is a character of its own is doubled.
inline std::string QuotedForm(std::string_view field, char quote) {
    std::string raw;
    raw.push_back(quote);
    for (size_t p = 0; p < field.size();) {
        const size_t next = NextChar(field, p);
        raw.append(field.substr(p, next - p));
        if (next == p + 1 && field[p] == quote) raw.push_back(quote);
        p = next;
    }
    return raw;
}

// End of the first quoted occurrence of field at or after from that is
// closed by a quote or by the end of the text; npos when there is none.
inline size_t FindQuoted(std::string_view text, size_t from, std::string_view field, char quote) {
    const std::string raw = QuotedForm(field, quote);
    for (size_t at = text.find(raw, from); at != std::string_view::npos; at = text.find(raw, at + 1)) {
        const size_t end = at + raw.size();
        if (end == text.size()) return end;
        if (text[end] == quote) return end + 1;
    }
    return std::string_view::npos;
}

// The fields must stand in the text in their order, each either as an
// unquoted run or as a quoted field; the search cursor never passes the
// true end of a field, so a correct split always passes.
inline void CheckFields(std::string_view line, const TStringList& list) {
    const size_t zero = line.find('\0');
    const std::string_view text = zero == std::string_view::npos ? line : line.substr(0, zero);
    if (size_t(list.Count()) > text.size() + 1) Fail("more fields than bytes", text);
    size_t cursor = 0;
    size_t total = 0;
    for (const std::string& field : list.Items()) {
        if (field.find('\0') != std::string::npos) Fail("a field holds a zero byte", text);
        total += field.size();
        size_t end = std::string_view::npos;
        if (UnquotedShape(field, list.Delimiter, list.QuoteChar)) {
            const size_t at = text.find(field, cursor);
            if (at != std::string_view::npos) end = at + field.size();
        }
        const size_t quoted = FindQuoted(text, cursor, field, list.QuoteChar);
        if (quoted != std::string_view::npos && (end == std::string_view::npos || quoted < end)) end = quoted;
        if (end == std::string_view::npos) Fail("a field that is neither an unquoted run nor a quoted field", text);
        cursor = end;
    }
    if (total > text.size()) Fail("fields hold more bytes than the text", text);
}

inline void CheckSplitFields(const std::string& line, char delimiter, TSplitFields splitFields) {
    TStringList list;
    list.Delimiter = ';';
    list.Add("previous");
    const int32_t count = splitFields(line, delimiter, list);
    if (line.empty() || delimiter == '\0') {
        if (count != 0 || list.Count() != 1 || list.Items()[0] != "previous" || list.Delimiter != ';')
            Fail("an empty line or zero delimiter changed the list", line);
        return;
    }
    if (count != list.Count()) Fail("SplitFields returned another count", line);
    if (list.Delimiter != delimiter) Fail("SplitFields did not set the delimiter", line);
    CheckFields(line, list);
    // Splitting is a function of the text alone.
    TStringList again;
    again.Delimiter = delimiter;
    ParseDelimited(again, line);
    if (again.Items() != list.Items()) Fail("a second split differs", line);
}

inline void CheckLines(std::string_view text) {
    const std::vector<std::string> lines = SplitLines(text);
    std::string lf, crlf;
    for (const std::string& line : lines) {
        if (line.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos)
            Fail("a line holds CR, LF or a zero byte", text);
        lf += line + "\n";
        crlf += line + "\r\n";
    }
    if (lf.size() - lines.size() > text.size()) Fail("lines hold more bytes than the text", text);
    if (SplitLines(lf) != lines || SplitLines(crlf) != lines) Fail("lines joined again split differently", text);
}

inline void CheckTrim(std::string_view text) {
    const std::string t = TrimBlanks(text);
    if (TrimBlanks(t) != t) Fail("trimming is not idempotent", text);
    if (!t.empty() && (static_cast<unsigned char>(t.front()) <= 0x20 || static_cast<unsigned char>(t.back()) <= 0x20))
        Fail("trimmed text keeps a blank at an end", text);
    if (text.find(t) == std::string_view::npos) Fail("trimmed text is not part of the text", text);
    bool printable = false;
    for (char c : text) printable = printable || static_cast<unsigned char>(c) > 0x20;
    if (printable == t.empty()) Fail("trimmed text empty exactly when it should not be", text);
}

inline void CheckReplace(std::string_view text, std::string_view pattern, std::string_view replacement) {
    if (ReplaceAll(text, pattern, pattern) != text) Fail("replacing a pattern by itself changed the text", text);
    if (ReplaceAll("", pattern, replacement) != "") Fail("replacing in an empty text gave bytes", text);
    if (ReplaceAll(text, "", replacement) != text) Fail("an empty pattern was found", text);
    if (FindText(text, 0, pattern) == kNotFound && ReplaceAll(text, pattern, replacement) != text)
        Fail("replacing a pattern that does not occur changed the text", text);
    const std::string longer = std::string(text) + "x";
    if (ReplaceAll(text, longer, replacement) != text) Fail("a pattern longer than the text was found", text);

    // The drill's answer normalisation: no full-width space is left on a
    // character boundary, a second pass changes nothing, and each
    // replacement shortens the text by one byte.
    const std::string fw = "\x81\x40";
    const std::string once = ReplaceAll(text, fw, " ");
    if (FindText(once, 0, fw) != kNotFound) Fail("a full-width space survived", text);
    if (ReplaceAll(once, fw, " ") != once) Fail("normalising twice differs", text);
    if (once.size() > text.size()) Fail("normalising grew the text", text);
    size_t found = 0;
    for (size_t p = 0; p < text.size(); p = NextChar(text, p))
        if (text.substr(p, 2) == fw) ++found;
    if (once.size() != text.size() - found) Fail("normalising removed another number of bytes", text);
}

// Every invariant over one fuzz input; empty when all hold.
inline std::string CheckBankText(const uint8_t* data, size_t size, TSplitFields splitFields) {
    if (size < 3) return "";
    const char delimiter = char(data[0]);
    const size_t patternLength = data[1] % 8;
    const size_t replacementLength = data[2] % 8;
    std::string_view rest(reinterpret_cast<const char*>(data) + 3, size - 3);
    const std::string_view pattern = rest.substr(0, std::min(patternLength, rest.size()));
    rest.remove_prefix(pattern.size());
    const std::string_view replacement = rest.substr(0, std::min(replacementLength, rest.size()));
    rest.remove_prefix(replacement.size());
    const std::string_view text = rest;
    try {
        CheckLines(text);
        for (const std::string& line : SplitLines(text)) {
            CheckSplitFields(line, delimiter, splitFields);
            CheckSplitFields(line, ',', splitFields);
            CheckTrim(line);
            CheckReplace(line, pattern, replacement);
        }
        // The raw text too: zero bytes, CR and LF inside a line.
        CheckSplitFields(std::string(text), delimiter, splitFields);
        CheckTrim(text);
        CheckReplace(text, pattern, replacement);
    } catch (const TCheckFailed& failure) {
        return failure.What;
    }
    return "";
}

}  // namespace banktext

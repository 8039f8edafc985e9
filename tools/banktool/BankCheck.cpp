#include "tools/banktool/BankCheck.h"

#include <map>

#include "app/FuncUnit.h"
#include "platform/ShiftJis.h"
#include "text/TextList.h"

namespace {

constexpr char16_t kReplacement = 0xFFFD;
constexpr char16_t kHiddenMark = u'□';

std::string Utf8(std::string_view sjis) { return SjisToUtf8(sjis); }

std::string Quoted(std::string_view sjis) { return "\"" + Utf8(sjis) + "\""; }

// Hiragana as a typed answer can hold them, and the long-vowel mark.
bool IsReadingChar(char16_t c) { return (c >= u'ぁ' && c <= u'ん') || c == u'ー'; }

// Kanji: the unified and compatibility ideographs Shift-JIS carries, the
// repeat mark and the small ke of place names.
bool IsKanji(char16_t c) {
    return (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xF900 && c <= 0xFAFF) || c == u'々' || c == u'ヶ';
}

bool AllOf(const std::u16string& s, bool (*pred)(char16_t)) {
    for (const char16_t c : s)
        if (!pred(c)) return false;
    return true;
}

class Checker {
public:
    Checker(BankKind kind, const RecordLayoutCheck& layout) : kind_(kind), layout_(layout) {}

    void Line(int32_t number, const std::string& line) {
        number_ = number;
        if (line.empty()) {
            Add("empty line: the drill shows the previous question's fields again");
            return;
        }
        if (SjisToUtf16(line).find(kReplacement) != std::u16string::npos)
            Add("the line holds bytes that are not Shift-JIS text");

        // A fresh list per line: a record is judged by its own fields only.
        TStringList list;
        const int32_t count = SplitFields(line, ',', list);
        const int32_t wanted = FieldsRead(kind_);
        if (count < wanted) {
            Add(std::to_string(count) + (count == 1 ? " field" : " fields") + "; the drill reads " +
                std::to_string(wanted));
            return;
        }
        if (count > wanted) {
            // Blanks and commas end a field, so a text holding one is cut.
            Add(std::to_string(count) + " fields; the drill reads only " + std::to_string(wanted) +
                ", so a text was cut at a comma or blank");
        }
        const std::vector<std::string> fields(list.Items().begin(), list.Items().begin() + wanted);
        for (int32_t i = 0; i < wanted; ++i)
            if (fields[size_t(i)].empty()) Add("field " + std::to_string(i) + " is empty");

        if (kind_ == BankKind::Four)
            Idiom(fields);
        else
            Reading(fields);
        if (layout_)
            for (std::string& message : layout_(fields)) Add(std::move(message));
    }

    void Finish(size_t lineCount) {
        if (lineCount < 2) {
            problems_.insert(problems_.begin(),
                             BankProblem{0, "the bank has " + std::to_string(lineCount) +
                                                (lineCount == 1 ? " line" : " lines") +
                                                "; the drill needs at least two"});
        }
    }

    std::vector<BankProblem> Take() { return std::move(problems_); }

private:
    void Add(std::string message) { problems_.push_back({number_, std::move(message)}); }

    void CheckReading(const std::string& reading) {
        if (!reading.empty() && !AllOf(SjisToUtf16(reading), IsReadingChar))
            Add("reading " + Quoted(reading) + " is not hiragana");
    }

    // Remembers text under key and reports when an earlier line had it.
    void Repeats(std::map<std::string, int32_t>& seen, const std::string& text, const char* what) {
        if (text.empty()) return;
        const auto [it, fresh] = seen.emplace(text, number_);
        if (!fresh) Add(std::string(what) + " " + Quoted(text) + " repeats line " + std::to_string(it->second));
    }

    void Idiom(const std::vector<std::string>& f) {
        const std::u16string question = SjisToUtf16(f[0]);
        const std::u16string idiom = SjisToUtf16(f[1]);
        const std::u16string right = SjisToUtf16(f[2]);

        // Overlapping places count: "□□□" hides two pairs at once.
        size_t marks = 0, at = std::u16string::npos;
        for (size_t i = 0; i + 1 < question.size(); ++i) {
            if (question[i] == kHiddenMark && question[i + 1] == kHiddenMark) {
                ++marks;
                at = i;
            }
        }
        if (marks != 1) {
            Add("question " + Quoted(f[0]) + " does not hide exactly one pair as \"□□\"");
        } else {
            std::u16string filled = question;
            filled.replace(at, 2, right);
            if (filled != idiom)
                Add("idiom " + Quoted(f[1]) + " is not the question with \"□□\" replaced by the right pair " +
                    Quoted(f[2]));
        }
        if (!f[1].empty() && idiom.size() != 4) Add("idiom " + Quoted(f[1]) + " is not four characters");
        for (size_t i = 2; i <= 5; ++i)
            if (!f[i].empty() && SjisToUtf16(f[i]).size() != 2)
                Add("answer " + Quoted(f[i]) + " (field " + std::to_string(i) + ") is not two characters");
        for (size_t i = 3; i <= 5; ++i) {
            if (f[i].empty()) continue;
            if (f[i] == f[2]) Add("wrong pair " + Quoted(f[i]) + " (field " + std::to_string(i) + ") is the right pair");
            for (size_t j = 3; j < i; ++j)
                if (f[i] == f[j])
                    Add("wrong pairs in fields " + std::to_string(j) + " and " + std::to_string(i) + " are both " +
                        Quoted(f[i]));
        }
        CheckReading(f[6]);
        Repeats(questions_, f[0], "question");
        Repeats(idioms_, f[1], "idiom");
    }

    void Reading(const std::vector<std::string>& f) {
        const std::u16string sentence = SjisToUtf16(f[0]);
        bool balanced = true, open = false;
        int pairs = 0;
        std::u16string word, firstWord;
        for (const char16_t c : sentence) {
            if (c == u'[') {
                if (open) balanced = false;
                open = true;
                word.clear();
            } else if (c == u']') {
                if (!open) {
                    balanced = false;
                    continue;
                }
                open = false;
                if (++pairs == 1) firstWord = word;
            } else if (open) {
                word += c;
            }
        }
        if (open) balanced = false;
        if (!balanced) {
            Add("the brackets of the sentence are not balanced");
        } else if (pairs != 1) {
            Add("the sentence holds " + std::to_string(pairs) + " bracketed words; exactly one is wanted");
        } else if (firstWord.empty()) {
            Add("the brackets of the sentence are empty");
        } else if (!AllOf(firstWord, IsKanji)) {
            Add("the bracketed word " + Quoted(Utf16ToSjis(firstWord)) + " is not all kanji");
        }
        CheckReading(f[1]);
        Repeats(questions_, f[0], "sentence");
    }

    BankKind kind_;
    const RecordLayoutCheck& layout_;
    int32_t number_ = 0;
    std::vector<BankProblem> problems_;
    std::map<std::string, int32_t> questions_, idioms_;
};

}  // namespace

int32_t FieldsRead(BankKind kind) { return kind == BankKind::Four ? 8 : 2; }

std::optional<BankKind> KindFromFileName(std::string_view path) {
    const size_t slash = path.find_last_of("/\\");
    const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
    if (name.substr(0, 4) == "four") return BankKind::Four;
    if (name.find("yomi") != std::string_view::npos) return BankKind::Yomi;
    return std::nullopt;
}

std::vector<BankProblem> CheckBank(const std::vector<std::string>& lines, BankKind kind,
                                   const RecordLayoutCheck& layout) {
    Checker checker(kind, layout);
    for (size_t i = 0; i < lines.size(); ++i) checker.Line(int32_t(i + 1), lines[i]);
    checker.Finish(lines.size());
    return checker.Take();
}

std::optional<int32_t> ZeroByteLine(std::string_view fileBytes) {
    const size_t zero = fileBytes.find('\0');
    if (zero == std::string_view::npos) return std::nullopt;
    const std::string_view before = fileBytes.substr(0, zero);
    const auto whole = int32_t(SplitLines(before).size());
    // After a line break the zero byte opens a line of its own.
    const bool startsLine = before.empty() || before.back() == '\r' || before.back() == '\n';
    return startsLine ? whole + 1 : whole;
}

#include "tools/banktool/ReadingRules.h"

#include <string>
#include <vector>

namespace {

constexpr std::u16string_view kPlain = u"かきくけこさしすせそたちつてとはひふへほ";
constexpr std::u16string_view kVoiced = u"がぎぐげござじずぜぞだぢづでどばびぶべぼ";
constexpr std::u16string_view kHalfVoiced = u"ぱぴぷぺぽ";
constexpr std::u16string_view kBeforeSokuon = u"かきくけこさしすせそたちつてとはひふへほぱぴぷぺぽ";
constexpr std::u16string_view kSokuonEnds = u"つちくき";
constexpr size_t kRowH = 15;  // where the h row starts in kPlain

// The kana an inflected verb shows in place of its dictionary ending,
// sound-changed forms (書いて, 読んで, 待って) included; the second kana of
// each row is the form that joins a compound (書き).
std::u16string_view InflectedRow(char16_t ending) {
    switch (ending) {
        case u'う': return u"わいうえおっ";
        case u'く': return u"かきくけこい";
        case u'ぐ': return u"がぎぐげごい";
        case u'す': return u"さしすせそ";
        case u'つ': return u"たちつてとっ";
        case u'ぬ': return u"なにぬねのん";
        case u'ぶ': return u"ばびぶべぼん";
        case u'む': return u"まみむめもん";
        default: return u"";
    }
}

bool StartsWith(std::u16string_view s, std::u16string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

// Whether the text after the bracket can be the okurigana, inflected.
bool OkuriganaAgrees(std::u16string_view okurigana, std::u16string_view after) {
    if (okurigana.empty() || StartsWith(after, okurigana)) return true;
    const std::u16string_view head = okurigana.substr(0, okurigana.size() - 1);
    if (!StartsWith(after, head)) return false;
    const char16_t ending = okurigana.back();
    const std::u16string_view rest = after.substr(head.size());
    // An adjective's い and a verb's る may go altogether (高さ, 見て, 考え).
    if (ending == u'い' || ending == u'る') return true;
    return !rest.empty() && InflectedRow(ending).find(rest[0]) != std::u16string_view::npos;
}

// The forms a kun reading with okurigana takes inside a compound: the stem
// (見本), the whole word, and the joining form (書留, 受付).
std::vector<std::u16string> CompoundForms(const JoyoKun& kun) {
    std::vector<std::u16string> forms{kun.stem, kun.stem + kun.okurigana};
    const std::u16string head = kun.stem + kun.okurigana.substr(0, kun.okurigana.size() - 1);
    const char16_t ending = kun.okurigana.back();
    if (ending == u'る' || ending == u'い') forms.push_back(head);
    if (ending == u'る') forms.push_back(head + u'り');
    const std::u16string_view row = InflectedRow(ending);
    if (!row.empty()) forms.push_back(head + row[1]);
    return forms;
}

struct Piece {
    size_t kanji;  // how many kanji of the word it reads
    std::u16string reading;
};

class Matcher {
public:
    Matcher(const JoyoTable& table, std::u16string_view word, std::u16string_view reading, std::u16string_view after,
            bool joined, bool strict)
        : table_(table), word_(word), reading_(reading), after_(after), joined_(joined), strict_(strict) {}

    bool Match(size_t i, size_t j, char16_t previous) const {
        if (i == word_.size()) return j == reading_.size();
        for (const Piece& p : Pieces(i))
            for (const std::u16string& v : Variants(p, i, previous))
                if (StartsWith(reading_.substr(j), v) && Match(i + p.kanji, j + v.size(), v.back())) return true;
        return false;
    }

private:
    std::vector<Piece> Pieces(size_t i) const {
        std::vector<Piece> pieces;
        for (const std::vector<AppendedWord>* list : {&table_.Appended(), &table_.NoteWords()})
            AppendedPieces(*list, i, pieces);
        char16_t c = word_[i];
        if (c == u'々' && i > 0) c = word_[i - 1];
        const JoyoKanji* k = table_.Find(c);
        if (!k) return pieces;
        for (const std::u16string& on : k->on) pieces.push_back({1, on});
        const bool last = i + 1 == word_.size();
        for (const JoyoKun& kun : k->kun) {
            if (kun.okurigana.empty()) {
                pieces.push_back({1, kun.stem});
                continue;
            }
            if (last && (!strict_ || OkuriganaAgrees(kun.okurigana, after_))) pieces.push_back({1, kun.stem});
            if (!last || word_.size() > 1)
                for (std::u16string& form : CompoundForms(kun)) pieces.push_back({1, std::move(form)});
        }
        return pieces;
    }

    void AppendedPieces(const std::vector<AppendedWord>& list, size_t i, std::vector<Piece>& pieces) const {
        for (const AppendedWord& w : list) {
            size_t k = 0;
            while (k < w.spelling.size() && i + k < word_.size() && w.spelling[k] == word_[i + k]) ++k;
            const std::u16string_view kana = std::u16string_view(w.spelling).substr(k);
            if (k == 0) continue;
            if (kana.empty()) {
                pieces.push_back({k, w.reading});
            } else if (i + k == word_.size() && kana.size() < w.reading.size() &&
                       std::u16string_view(w.reading).substr(w.reading.size() - kana.size()) == kana &&
                       (!strict_ || OkuriganaAgrees(kana, after_))) {
                pieces.push_back({k, w.reading.substr(0, w.reading.size() - kana.size())});
            }
        }
    }

    // The piece as it may sound at its place in the word.
    std::vector<std::u16string> Variants(const Piece& p, size_t i, char16_t previous) const {
        std::vector<std::u16string> starts{p.reading};
        if (i > 0 || joined_) {
            const size_t at = kPlain.find(p.reading[0]);
            if (at != std::u16string_view::npos) {
                std::u16string voiced = p.reading;
                voiced[0] = kVoiced[at];
                starts.push_back(voiced);
                // Current kana usage writes most voiced ち and つ as じ and ず (融通).
                if (voiced[0] == u'ぢ' || voiced[0] == u'づ') {
                    std::u16string plain = voiced;
                    plain[0] = voiced[0] == u'ぢ' ? u'じ' : u'ず';
                    starts.push_back(plain);
                }
                if (at >= kRowH && (previous == u'ん' || previous == u'っ')) {
                    voiced[0] = kHalfVoiced[at - kRowH];
                    starts.push_back(voiced);
                }
            }
        }
        std::vector<std::u16string> variants;
        for (const std::u16string& s : starts) {
            // After っ only the rows that double may follow.
            if (previous == u'っ' && kBeforeSokuon.find(s[0]) == std::u16string_view::npos) continue;
            variants.push_back(s);
            if (i + p.kanji < word_.size() && s.size() > 1 && kSokuonEnds.find(s.back()) != std::u16string_view::npos) {
                std::u16string doubled = s;
                doubled.back() = u'っ';
                variants.push_back(doubled);
            }
        }
        return variants;
    }

    const JoyoTable& table_;
    std::u16string_view word_, reading_, after_;
    bool joined_, strict_;
};

}  // namespace

ReadingVerdict JudgeReading(const JoyoTable& table, std::u16string_view word, std::u16string_view reading,
                            std::u16string_view after, bool joined) {
    if (word.empty() || reading.empty()) return ReadingVerdict::OutsideTable;
    if (Matcher(table, word, reading, after, joined, true).Match(0, 0, 0)) return ReadingVerdict::Fits;
    if (Matcher(table, word, reading, after, joined, false).Match(0, 0, 0)) return ReadingVerdict::WrongOkurigana;
    return ReadingVerdict::OutsideTable;
}

namespace {

// The reading as it sounds joined to a kanji before it (小春日和 こはるびより).
std::u16string Voiced(std::u16string reading) {
    const size_t at = kPlain.find(reading[0]);
    if (at != std::u16string_view::npos) reading[0] = kVoiced[at];
    return reading;
}

bool AllHiragana(std::u16string_view s) {
    for (const char16_t c : s)
        if (c < u'ぁ' || c > u'ん') return false;
    return true;
}

}  // namespace

std::u16string OtherTableReading(const JoyoTable& table, std::u16string_view word, std::u16string_view reading,
                                 std::u16string_view after, bool joined) {
    // The answer as it sounds in the sentence: joined to a kanji before the
    // bracket, a word's voiced first kana is the same word (小春日和 びより).
    const auto same = [&](const std::u16string& r) { return r == reading || (joined && Voiced(r) == reading); };
    for (const AppendedWord& w : table.Appended()) {
        const std::u16string_view spelling(w.spelling);
        if (!StartsWith(spelling, word)) continue;
        // The rest of the spelling must be kana standing after the bracket (浮つく).
        const std::u16string_view kana = spelling.substr(word.size());
        if (!AllHiragana(kana)) continue;
        if (!kana.empty() && (!OkuriganaAgrees(kana, after) || kana.size() >= w.reading.size())) continue;
        const std::u16string whole = w.reading.substr(0, w.reading.size() - kana.size());
        if (!same(whole)) return whole;
    }
    // A dictionary's reading of one kanji alone is mostly a counter or a
    // term of art; the kun rule below covers single kanji.
    if (word.size() > 1)
        for (const std::u16string& r : table.WordReadings(std::u16string(word)))
            if (!same(r) && JudgeReading(table, word, r, after, joined) == ReadingVerdict::Fits) return r;
    if (word.size() != 1) return u"";
    const JoyoKanji* k = table.Find(word[0]);
    if (!k) return u"";
    // Kun readings spelled like the asked one, keyed by okurigana.
    std::u16string askedOkurigana = u"?";
    for (const JoyoKun& kun : k->kun)
        if (kun.stem == reading && StartsWith(after, kun.okurigana)) askedOkurigana = kun.okurigana;
    for (const JoyoKun& kun : k->kun)
        if (kun.okurigana == askedOkurigana && kun.stem != reading) return kun.stem;
    return u"";
}

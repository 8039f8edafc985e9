#include "platform/RomajiInput.h"

#include <map>
#include <string_view>

namespace {

struct TRomajiEntry {
    const char* Romaji;  // lower case
    const char16_t* Kana;
};

// The romaji table of a common Japanese input method in hiragana mode.
// Spellings are lower case; upper-case input is folded before lookup.
// "n" is listed so that a lone "n" that cannot go on is read as "ん"; it
// never completes on its own because longer spellings start with it.
constexpr TRomajiEntry RomajiTable[] = {
    {"a", u"あ"}, {"i", u"い"}, {"u", u"う"}, {"e", u"え"}, {"o", u"お"},

    {"ka", u"か"}, {"ki", u"き"}, {"ku", u"く"}, {"ke", u"け"}, {"ko", u"こ"},
    {"kya", u"きゃ"}, {"kyi", u"きぃ"}, {"kyu", u"きゅ"}, {"kye", u"きぇ"}, {"kyo", u"きょ"},
    {"kwa", u"くぁ"}, {"kwi", u"くぃ"}, {"kwu", u"くぅ"}, {"kwe", u"くぇ"}, {"kwo", u"くぉ"},
    {"ca", u"か"}, {"ci", u"し"}, {"cu", u"く"}, {"ce", u"せ"}, {"co", u"こ"},
    {"cya", u"ちゃ"}, {"cyi", u"ちぃ"}, {"cyu", u"ちゅ"}, {"cye", u"ちぇ"}, {"cyo", u"ちょ"},
    {"qa", u"くぁ"}, {"qi", u"くぃ"}, {"qu", u"く"}, {"qe", u"くぇ"}, {"qo", u"くぉ"},
    {"qwa", u"くぁ"}, {"qwi", u"くぃ"}, {"qwu", u"くぅ"}, {"qwe", u"くぇ"}, {"qwo", u"くぉ"},
    {"qya", u"くゃ"}, {"qyi", u"くぃ"}, {"qyu", u"くゅ"}, {"qye", u"くぇ"}, {"qyo", u"くょ"},
    {"ga", u"が"}, {"gi", u"ぎ"}, {"gu", u"ぐ"}, {"ge", u"げ"}, {"go", u"ご"},
    {"gya", u"ぎゃ"}, {"gyi", u"ぎぃ"}, {"gyu", u"ぎゅ"}, {"gye", u"ぎぇ"}, {"gyo", u"ぎょ"},
    {"gwa", u"ぐぁ"}, {"gwi", u"ぐぃ"}, {"gwu", u"ぐぅ"}, {"gwe", u"ぐぇ"}, {"gwo", u"ぐぉ"},

    {"sa", u"さ"}, {"si", u"し"}, {"su", u"す"}, {"se", u"せ"}, {"so", u"そ"},
    {"shi", u"し"}, {"sha", u"しゃ"}, {"shu", u"しゅ"}, {"she", u"しぇ"}, {"sho", u"しょ"},
    {"sya", u"しゃ"}, {"syi", u"しぃ"}, {"syu", u"しゅ"}, {"sye", u"しぇ"}, {"syo", u"しょ"},
    {"swa", u"すぁ"}, {"swi", u"すぃ"}, {"swu", u"すぅ"}, {"swe", u"すぇ"}, {"swo", u"すぉ"},
    {"za", u"ざ"}, {"zi", u"じ"}, {"zu", u"ず"}, {"ze", u"ぜ"}, {"zo", u"ぞ"},
    {"zya", u"じゃ"}, {"zyi", u"じぃ"}, {"zyu", u"じゅ"}, {"zye", u"じぇ"}, {"zyo", u"じょ"},
    {"ja", u"じゃ"}, {"ji", u"じ"}, {"ju", u"じゅ"}, {"je", u"じぇ"}, {"jo", u"じょ"},
    {"jya", u"じゃ"}, {"jyi", u"じぃ"}, {"jyu", u"じゅ"}, {"jye", u"じぇ"}, {"jyo", u"じょ"},

    {"ta", u"た"}, {"ti", u"ち"}, {"tu", u"つ"}, {"te", u"て"}, {"to", u"と"},
    {"chi", u"ち"}, {"cha", u"ちゃ"}, {"chu", u"ちゅ"}, {"che", u"ちぇ"}, {"cho", u"ちょ"},
    {"tya", u"ちゃ"}, {"tyi", u"ちぃ"}, {"tyu", u"ちゅ"}, {"tye", u"ちぇ"}, {"tyo", u"ちょ"},
    {"tsu", u"つ"}, {"tsa", u"つぁ"}, {"tsi", u"つぃ"}, {"tse", u"つぇ"}, {"tso", u"つぉ"},
    {"tha", u"てゃ"}, {"thi", u"てぃ"}, {"thu", u"てゅ"}, {"the", u"てぇ"}, {"tho", u"てょ"},
    {"twa", u"とぁ"}, {"twi", u"とぃ"}, {"twu", u"とぅ"}, {"twe", u"とぇ"}, {"two", u"とぉ"},
    {"da", u"だ"}, {"di", u"ぢ"}, {"du", u"づ"}, {"de", u"で"}, {"do", u"ど"},
    {"dya", u"ぢゃ"}, {"dyi", u"ぢぃ"}, {"dyu", u"ぢゅ"}, {"dye", u"ぢぇ"}, {"dyo", u"ぢょ"},
    {"dha", u"でゃ"}, {"dhi", u"でぃ"}, {"dhu", u"でゅ"}, {"dhe", u"でぇ"}, {"dho", u"でょ"},
    {"dwa", u"どぁ"}, {"dwi", u"どぃ"}, {"dwu", u"どぅ"}, {"dwe", u"どぇ"}, {"dwo", u"どぉ"},

    {"na", u"な"}, {"ni", u"に"}, {"nu", u"ぬ"}, {"ne", u"ね"}, {"no", u"の"},
    {"nya", u"にゃ"}, {"nyi", u"にぃ"}, {"nyu", u"にゅ"}, {"nye", u"にぇ"}, {"nyo", u"にょ"},
    {"n", u"ん"}, {"nn", u"ん"}, {"n'", u"ん"}, {"xn", u"ん"},

    {"ha", u"は"}, {"hi", u"ひ"}, {"hu", u"ふ"}, {"he", u"へ"}, {"ho", u"ほ"},
    {"hya", u"ひゃ"}, {"hyi", u"ひぃ"}, {"hyu", u"ひゅ"}, {"hye", u"ひぇ"}, {"hyo", u"ひょ"},
    {"fa", u"ふぁ"}, {"fi", u"ふぃ"}, {"fu", u"ふ"}, {"fe", u"ふぇ"}, {"fo", u"ふぉ"},
    {"fya", u"ふゃ"}, {"fyi", u"ふぃ"}, {"fyu", u"ふゅ"}, {"fye", u"ふぇ"}, {"fyo", u"ふょ"},
    {"fwa", u"ふぁ"}, {"fwi", u"ふぃ"}, {"fwu", u"ふぅ"}, {"fwe", u"ふぇ"}, {"fwo", u"ふぉ"},
    {"ba", u"ば"}, {"bi", u"び"}, {"bu", u"ぶ"}, {"be", u"べ"}, {"bo", u"ぼ"},
    {"bya", u"びゃ"}, {"byi", u"びぃ"}, {"byu", u"びゅ"}, {"bye", u"びぇ"}, {"byo", u"びょ"},
    {"pa", u"ぱ"}, {"pi", u"ぴ"}, {"pu", u"ぷ"}, {"pe", u"ぺ"}, {"po", u"ぽ"},
    {"pya", u"ぴゃ"}, {"pyi", u"ぴぃ"}, {"pyu", u"ぴゅ"}, {"pye", u"ぴぇ"}, {"pyo", u"ぴょ"},
    {"va", u"ゔぁ"}, {"vi", u"ゔぃ"}, {"vu", u"ゔ"}, {"ve", u"ゔぇ"}, {"vo", u"ゔぉ"},
    {"vya", u"ゔゃ"}, {"vyi", u"ゔぃ"}, {"vyu", u"ゔゅ"}, {"vye", u"ゔぇ"}, {"vyo", u"ゔょ"},

    {"ma", u"ま"}, {"mi", u"み"}, {"mu", u"む"}, {"me", u"め"}, {"mo", u"も"},
    {"mya", u"みゃ"}, {"myi", u"みぃ"}, {"myu", u"みゅ"}, {"mye", u"みぇ"}, {"myo", u"みょ"},
    {"ya", u"や"}, {"yi", u"い"}, {"yu", u"ゆ"}, {"ye", u"いぇ"}, {"yo", u"よ"},
    {"ra", u"ら"}, {"ri", u"り"}, {"ru", u"る"}, {"re", u"れ"}, {"ro", u"ろ"},
    {"rya", u"りゃ"}, {"ryi", u"りぃ"}, {"ryu", u"りゅ"}, {"rye", u"りぇ"}, {"ryo", u"りょ"},
    {"wa", u"わ"}, {"wi", u"うぃ"}, {"wu", u"う"}, {"we", u"うぇ"}, {"wo", u"を"},
    {"wha", u"うぁ"}, {"whi", u"うぃ"}, {"whu", u"う"}, {"whe", u"うぇ"}, {"who", u"うぉ"},
    {"wyi", u"ゐ"}, {"wye", u"ゑ"},

    // Small kana: x or l in front.
    {"xa", u"ぁ"}, {"xi", u"ぃ"}, {"xu", u"ぅ"}, {"xe", u"ぇ"}, {"xo", u"ぉ"},
    {"la", u"ぁ"}, {"li", u"ぃ"}, {"lu", u"ぅ"}, {"le", u"ぇ"}, {"lo", u"ぉ"},
    {"xyi", u"ぃ"}, {"xye", u"ぇ"}, {"lyi", u"ぃ"}, {"lye", u"ぇ"},
    {"xya", u"ゃ"}, {"xyu", u"ゅ"}, {"xyo", u"ょ"}, {"lya", u"ゃ"}, {"lyu", u"ゅ"}, {"lyo", u"ょ"},
    {"xtu", u"っ"}, {"xtsu", u"っ"}, {"ltu", u"っ"}, {"ltsu", u"っ"},
    {"xwa", u"ゎ"}, {"lwa", u"ゎ"},
    {"xka", u"ゕ"}, {"xke", u"ゖ"}, {"lka", u"ゕ"}, {"lke", u"ゖ"},
};

using TRomajiMap = std::map<std::string, std::u16string, std::less<>>;

const TRomajiMap& Romaji() {
    static const TRomajiMap map = [] {
        TRomajiMap m;
        for (const TRomajiEntry& e : RomajiTable) m.emplace(e.Romaji, e.Kana);
        return m;
    }();
    return map;
}

char16_t FoldCase(char16_t c) {
    return (c >= u'A' && c <= u'Z') ? char16_t(c - u'A' + u'a') : c;
}

bool IsLetter(char16_t c) {
    c = FoldCase(c);
    return c >= u'a' && c <= u'z';
}

bool IsVowel(char16_t c) {
    c = FoldCase(c);
    return c == u'a' || c == u'i' || c == u'u' || c == u'e' || c == u'o';
}

// The lookup key of typed letters: lower case, and only ASCII ever reaches
// here (callers check), so narrowing each unit is exact.
std::string Key(std::u16string_view typed) {
    std::string key;
    key.reserve(typed.size());
    for (char16_t c : typed) key.push_back(char(FoldCase(c)));
    return key;
}

// Whether some spelling in the table starts with key (key itself included).
bool StartsSpelling(std::string_view key) {
    const TRomajiMap& map = Romaji();
    auto it = map.lower_bound(key);
    return it != map.end() && std::string_view(it->first).substr(0, key.size()) == key;
}

// Whether some spelling is strictly longer than key and starts with it.
bool StartsLongerSpelling(std::string_view key) {
    const TRomajiMap& map = Romaji();
    auto it = map.upper_bound(key);
    return it != map.end() && it->first.size() > key.size() &&
           std::string_view(it->first).substr(0, key.size()) == key;
}

const std::u16string* Lookup(std::string_view key) {
    const TRomajiMap& map = Romaji();
    auto it = map.find(key);
    return it == map.end() ? nullptr : &it->second;
}

// Full-width form of a printable ASCII character that is not a letter
// building kana; the punctuation follows Japanese typing conventions.
char16_t FullWidth(char16_t c) {
    switch (c) {
        case u' ': return u'\u3000';
        case u',': return u'、';
        case u'.': return u'。';
        case u'[': return u'「';
        case u']': return u'」';
        case u'/': return u'・';
        case u'-': return u'ー';
        default: return char16_t(c - 0x21 + 0xFF01);  // U+FF01-U+FF5E
    }
}

// Letters that cannot go on are finished one by one. The pending text is
// shortened until it is empty or could still become kana:
//   - a doubled consonant ("kk", "ss", also "tc" as in "tcha") gives "っ"
//     and keeps the second letter; "nn" never gets here, it is a spelling;
//   - otherwise the longest complete spelling at the front is converted
//     ("n" in "nj" gives "ん", "j" goes on);
//   - otherwise the first letter can neither start nor continue any kana
//     and is committed as the ASCII letter as typed, which is what an input
//     method in hiragana mode shows; input goes on from the next letter.
void Settle(std::u16string& pending, std::u16string& out) {
    while (!pending.empty() && !StartsSpelling(Key(pending))) {
        const std::string key = Key(pending);
        if (key.size() >= 2 && IsLetter(pending[0]) && !IsVowel(pending[0]) &&
            (key[0] == key[1] || (key[0] == 't' && key[1] == 'c'))) {
            out += u'っ';
            pending.erase(0, 1);
            continue;
        }
        size_t len = key.size() - 1;  // the whole key is known not to match
        while (len > 0 && !Lookup(std::string_view(key).substr(0, len))) --len;
        if (len > 0) {
            out += *Lookup(std::string_view(key).substr(0, len));
            pending.erase(0, len);
        } else {
            out += pending[0];
            pending.erase(0, 1);
        }
    }
    // What is left could still become kana; it completes now if no longer
    // spelling can follow.
    if (!pending.empty()) {
        const std::string key = Key(pending);
        if (const std::u16string* kana = Lookup(key); kana && !StartsLongerSpelling(key)) {
            out += *kana;
            pending.clear();
        }
    }
}

}  // namespace

std::u16string TRomajiInput::Feed(char16_t typed) {
    std::u16string out;
    if (typed < 0x20 || typed > 0x7E) {
        out = Finish();
        if (typed > 0x7F) out += typed;
        return out;
    }
    // A character that extends a possible spelling ("n'" included) or any
    // letter joins the pending text; other characters end it first.
    std::u16string extended = PendingText + typed;
    if (IsLetter(typed) || StartsSpelling(Key(extended))) {
        PendingText = std::move(extended);
        Settle(PendingText, out);
        return out;
    }
    out = Finish();
    out += FullWidth(typed);
    return out;
}

bool TRomajiInput::Backspace() {
    if (PendingText.empty()) return false;
    PendingText.pop_back();
    return true;
}

std::u16string TRomajiInput::Finish() {
    std::u16string out = Key(PendingText) == "n" ? std::u16string(1, u'ん') : std::move(PendingText);
    PendingText.clear();
    return out;
}

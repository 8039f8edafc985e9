// The program's own romaji-to-hiragana input method, used by the answer box
// when no system input method is available. It knows nothing of widgets:
// the box feeds it typed characters and shows committed text followed by
// Pending(). Text is UTF-16 so that it goes straight into a QString.
#pragma once

#include <string>

class TRomajiInput {
public:
    // Feeds one typed character. Printable ASCII (0x20-0x7E) is converted
    // the way a Japanese input method in hiragana mode does it: letters
    // (either case) build kana, other characters become their full-width
    // forms ("," -> "、", "." -> "。", " " -> U+3000, "1" -> "１", ...).
    // Returns the text that becomes final with this character (kana,
    // full-width characters, or letters that cannot form kana), maybe empty;
    // letters still waiting to form kana stay in Pending().
    // Any other character (already converted text) finishes the pending
    // letters as Finish() does and is returned after them unchanged;
    // control characters are never text and are dropped after that finish.
    std::u16string Feed(char16_t typed);

    // Letters typed but not yet turned into kana, as they were typed.
    const std::u16string& Pending() const { return PendingText; }

    // Removes the last pending letter; false when nothing is pending (the
    // caller then deletes the last character of its own text).
    bool Backspace();

    // Enter: a pending "n" becomes "ん"; any other pending letters are
    // returned as they were typed. Pending() is empty afterwards.
    std::u16string Finish();

    // Drops the pending letters without committing them.
    void Reset() { PendingText.clear(); }

private:
    std::u16string PendingText;
};

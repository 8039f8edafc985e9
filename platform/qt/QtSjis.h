// Shift-JIS text at the Qt boundary: QString in and out without a detour
// through UTF-8.
#pragma once

#include <QString>
#include <string>

#include "platform/ShiftJis.h"

inline QString SjisToQString(const std::string& sjis) {
    const std::u16string u = SjisToUtf16(sjis);
    return QString(reinterpret_cast<const QChar*>(u.data()), qsizetype(u.size()));
}

inline std::string QStringToSjis(const QString& text) {
    return Utf16ToSjis(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()), size_t(text.size())));
}

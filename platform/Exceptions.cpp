#include "platform/Exceptions.h"

#include "platform/Files.h"
#include "platform/ShiftJis.h"

EReadError::EReadError() : EStreamError(Sjis(u8"ストリームからの読み込みエラー")) {}

EWriteError::EWriteError() : EStreamError(Sjis(u8"ストリームへの書き込みエラー")) {}

EOutOfMemory::EOutOfMemory() : Exception(Sjis(u8"メモリが不足しています")) {}

FileOpenError::FileOpenError(const std::string& path, int errnum)
    : Exception(Sjis(u8"ファイル \"") + DisplayPath(AbsolutePath(path)) + "\". " + OsErrorText(errnum) +
                Sjis(u8" は開けません")),
      ErrorCode_(errnum) {}

ListIndexError::ListIndexError(int32_t index)
    : Exception(Sjis(u8"リストのインデックスが範囲を超えています (") + std::to_string(index) + ")") {}

EConvertError EConvertError::Assign(const std::string& source, const std::string& dest) {
    return EConvertError(source + Sjis(u8" を ") + dest + Sjis(u8" に代入できません"));
}

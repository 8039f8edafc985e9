#include "tools/common/ToolErrors.h"

#include <cerrno>
#include <cstring>

#include "platform/Exceptions.h"
#include "platform/ShiftJis.h"

TToolError FileError(const std::string& action, const std::string& file, int errnum) {
    return TToolError("cannot " + action + " " + file + ": " + std::strerror(errnum));
}

std::string DescribeFrameworkError(const Exception& error, const std::string& file, int errnum) {
    if (const auto* open = dynamic_cast<const FileOpenError*>(&error))
        return FileError("open", file, open->ErrorCode()).what();
    if (dynamic_cast<const EReadError*>(&error))
        return errnum != 0 ? FileError("read", file, errnum).what() : "cannot read " + file + ": the data ends too early";
    if (dynamic_cast<const EWriteError*>(&error)) return FileError("write", file, errnum != 0 ? errnum : EIO).what();
    if (dynamic_cast<const EOutOfMemory*>(&error)) return file + ": out of memory";
    return file + ": " + SjisToUtf8(error.message());
}

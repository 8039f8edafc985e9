// Error classes of the framework. Every error carries its message as
// Shift-JIS bytes; what() returns those bytes, so convert at the Qt boundary.
#pragma once

#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : Message(std::move(message)) {}
    const char* what() const noexcept override { return Message.c_str(); }
    const std::string& message() const noexcept { return Message; }

private:
    std::string Message;  // Shift-JIS
};

// Stream errors: a short read-exactly or write-exactly.
class EStreamError : public Exception { using Exception::Exception; };
class EReadError : public EStreamError { public: EReadError(); };
class EWriteError : public EStreamError { public: EWriteError(); };

// Allocation failure anywhere in the framework and the codec.
class EOutOfMemory : public Exception { public: EOutOfMemory(); };

// A file that cannot be opened: "ファイル "%s". %s は開けません" with the
// absolute, normalised path (shown through DisplayPath) and the operating
// system's text for errnum.
class FileOpenError : public Exception {
public:
    FileOpenError(const std::string& path, int errnum);
    // The system's error number, for callers that report in their own words.
    int ErrorCode() const noexcept { return ErrorCode_; }

private:
    int ErrorCode_;
};

// An index outside a string list: "リストのインデックスが範囲を超えています (%d)".
class ListIndexError : public Exception {
public:
    explicit ListIndexError(int32_t index);
};

// Picture errors: the base of every picture format's own error class.
class EInvalidGraphic : public Exception { using Exception::Exception; };

// An assignment between picture objects that cannot be made.
class EConvertError : public Exception {
public:
    using Exception::Exception;
    // "%s を %s に代入できません" with the source and destination class names.
    static EConvertError Assign(const std::string& source, const std::string& dest);
};

// Runs an allocation and turns std::bad_alloc (and absurd length requests)
// into the framework's out-of-memory error.
template <class F>
auto GuardAlloc(F&& f) -> decltype(f()) {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory();
    } catch (const std::length_error&) {
        throw EOutOfMemory();
    }
}

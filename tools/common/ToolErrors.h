// Failures of the command-line tools, in English, naming the file and the
// operating system's reason.
#pragma once

#include <stdexcept>
#include <string>

class Exception;

// A failure the tool reports as "PROGRAM: message" with exit status 1.
class TToolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// "cannot ACTION FILE: REASON", REASON being strerror(errnum).
TToolError FileError(const std::string& action, const std::string& file, int errnum);

// The English text for an error of the framework that concerns file (the
// framework's own texts are Shift-JIS Japanese): a file that cannot be
// opened, a short read or write, memory running out. Other messages (the
// codec's English format errors) come back converted to UTF-8, after the
// file's name.
std::string DescribeFrameworkError(const Exception& error, const std::string& file, int errnum = 0);

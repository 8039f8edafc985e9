// Files and clock: whole-file reading, the executable's folder, absolute
// paths, the operating system's error text, and a monotonic clock.
#pragma once

#include <cstdint>
#include <string>

// A path is the operating system's bytes (UTF-8 on Linux), not Shift-JIS
// text, and reaches the system unconverted.

// Turns a path written with '\' separators (as the banks' paths are) into
// one this platform can open; '/' stays '/' and every other byte stays.
std::string NativePath(const std::string& path);

// The path as Shift-JIS text for a message: characters that Shift-JIS
// lacks and bytes that are no UTF-8 show as '?'. Never open what this
// returns.
std::string DisplayPath(const std::string& path);

// The path made absolute against the current folder and normalised
// ('.' and '..' resolved, '/' separators), without touching the disk.
std::string AbsolutePath(const std::string& path);

// The folder of the running executable, with its trailing '/'.
std::string ExecutableFolder();

// The C library's text for errnum in the user's locale, converted to
// Shift-JIS, without trailing bytes 0x00-0x20 and full stops.
std::string OsErrorText(int errnum);

// Reads a whole file: opened for reading, read in one go up to its end,
// closed on every path. Raises FileOpenError when it cannot be opened
// and EReadError when reading fails.
std::string ReadWholeFile(const std::string& path);

// Monotonic nanosecond counter (stands in for the performance counter;
// 0 when no such clock can be read)
// and milliseconds since an arbitrary start.
uint64_t MonotonicNanoseconds();
uint32_t TickCountMilliseconds();

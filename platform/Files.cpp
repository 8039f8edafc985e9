#include "platform/Files.h"

#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/Exceptions.h"
#include "platform/ShiftJis.h"
#include "platform/Streams.h"

// A path is the operating system's bytes (UTF-8 here), never Shift-JIS
// text: it goes to the system and comes back from it unconverted. Only a
// message that shows a path converts it, for display (DisplayPath).

namespace {

// Replaces every '\' by '/'. In UTF-8 no byte of a multi-byte character
// is below 0x80, so every 0x5C is a separator of its own.
std::string SlashSeparators(const std::string& path) {
    std::string out = path;
    for (char& c : out)
        if (c == '\\') c = '/';
    return out;
}

std::string CurrentFolder() {
    std::vector<char> buf(4096);
    while (::getcwd(buf.data(), buf.size()) == nullptr) {
        if (errno != ERANGE || buf.size() > (size_t(1) << 20)) return "/";
        buf.resize(buf.size() * 2);
    }
    return buf.data();
}

// Converts text in the named character set to UTF-8; returns false when
// the C library cannot.
bool ToUtf8(const std::string& text, const char* codeset, std::string& out) {
    iconv_t cd = iconv_open("UTF-8", codeset);
    if (cd == iconv_t(-1)) return false;
    std::string result(text.size() * 4 + 16, '\0');
    char* ip = const_cast<char*>(text.data());
    size_t il = text.size();
    char* op = result.data();
    size_t ol = result.size();
    const size_t rc = iconv(cd, &ip, &il, &op, &ol);
    iconv_close(cd);
    if (rc == size_t(-1)) return false;
    result.resize(result.size() - ol);
    out = std::move(result);
    return true;
}

}  // namespace

std::string NativePath(const std::string& path) {
    return SlashSeparators(path);
}

std::string DisplayPath(const std::string& path) {
    return Utf8ToSjis(path);
}

std::string AbsolutePath(const std::string& path) {
    std::string full = SlashSeparators(path);
    if (full.empty() || full[0] != '/') {
        std::string base = CurrentFolder();
        if (base.empty() || base.back() != '/') base.push_back('/');
        full = base + full;
    }
    const bool trailing = full.size() > 1 && full.back() == '/';
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= full.size()) {
        size_t end = full.find('/', start);
        if (end == std::string::npos) end = full.size();
        const std::string part = full.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string out;
    for (const std::string& part : parts) out += "/" + part;
    if (out.empty()) return "/";
    if (trailing) out.push_back('/');
    return out;
}

std::string ExecutableFolder() {
    std::vector<char> buf(4096);
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return AbsolutePath(".") + "/";
        if (size_t(n) < buf.size()) {
            std::string exe(buf.data(), size_t(n));
            return exe.substr(0, exe.rfind('/') + 1);
        }
        if (buf.size() > (size_t(1) << 20)) return AbsolutePath(".") + "/";
        buf.resize(buf.size() * 2);
    }
}

std::string OsErrorText(int errnum) {
    // The user's locale as the environment names it, whether or not the
    // program itself has switched to it.
    locale_t loc = ::newlocale(LC_ALL_MASK, "", locale_t(0));
    if (loc == locale_t(0)) loc = ::newlocale(LC_ALL_MASK, "C", locale_t(0));
    std::string text;
    if (loc != locale_t(0)) {
        const char* raw = ::strerror_l(errnum, loc);
        text = raw != nullptr ? raw : "";
        std::string utf8;
        if (ToUtf8(text, ::nl_langinfo_l(CODESET, loc), utf8)) text = std::move(utf8);
        ::freelocale(loc);
    } else {
        text = "Error " + std::to_string(errnum);
    }
    std::string sjis = Utf8ToSjis(text);
    // Neither a byte up to 0x20 nor '.' can be the second byte of a
    // double-byte character, so trimming byte by byte is safe.
    while (!sjis.empty() && (static_cast<unsigned char>(sjis.back()) <= 0x20 || sjis.back() == '.')) sjis.pop_back();
    return sjis;
}

std::string ReadWholeFile(const std::string& path) {
    TFileStream file(path, TFileStream::fmOpenRead);
    const int64_t size = file.Size();
    if (size < 0) throw EReadError();
    std::string text;
    GuardAlloc([&] {
        if (uint64_t(size) > text.max_size()) throw std::length_error("file too large");
        text.resize(size_t(size));
    });
    // A file that shrank since it was measured yields what arrived.
    const int64_t got = file.Read(text.data(), size);
    if (got < 0) throw EReadError();
    text.resize(size_t(got));
    return text;
}

uint64_t MonotonicNanoseconds() {
    timespec ts {};
    if (::clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0;
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

uint32_t TickCountMilliseconds() {
    timespec ts {};
    if (::clock_gettime(CLOCK_BOOTTIME, &ts) != 0 && ::clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0;
    return uint32_t(uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u);
}

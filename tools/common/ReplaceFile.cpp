#include "tools/common/ReplaceFile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/Exceptions.h"
#include "tools/common/ToolErrors.h"

namespace {

constexpr int kCaughtSignals[] = {SIGINT, SIGTERM, SIGHUP};
// Largest single transfer handed to the system.
constexpr int64_t kMaxTransfer = int64_t(1) << 30;
// Links followed before giving up, as the system itself does.
constexpr int kMaxLinks = 40;
// Bytes of the target's name kept in the temporary name, so that the
// suffix still fits the file system's limit on one name.
constexpr size_t kMaxNameInTemp = 200;

// The one temporary file that exists right now, for the signal handler.
// Set and cleared only while the caught signals are blocked.
char* volatile gTempPath = nullptr;

extern "C" void RemoveTempAndDie(int sig) {
    if (char* path = gTempPath) ::unlink(path);
    // Die of the signal itself, so that the parent sees how the tool ended.
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

void InstallHandlers() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    for (const int sig : kCaughtSignals) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;  // as nohup asked
        struct sigaction sa {};
        sa.sa_handler = RemoveTempAndDie;
        sigemptyset(&sa.sa_mask);
        for (const int s : kCaughtSignals) sigaddset(&sa.sa_mask, s);
        ::sigaction(sig, &sa, nullptr);
    }
}

// Holds the caught signals back for its lifetime.
class TSignalsBlocked {
public:
    TSignalsBlocked() {
        sigset_t set;
        sigemptyset(&set);
        for (const int s : kCaughtSignals) sigaddset(&set, s);
        ::sigprocmask(SIG_BLOCK, &set, &old_);
    }
    ~TSignalsBlocked() { ::sigprocmask(SIG_SETMASK, &old_, nullptr); }
    TSignalsBlocked(const TSignalsBlocked&) = delete;
    TSignalsBlocked& operator=(const TSignalsBlocked&) = delete;

private:
    sigset_t old_;
};

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file a write to path finally reaches: symbolic links are followed
// (also a link to a file that does not exist yet).
std::string FollowLinks(const std::string& target) {
    std::string path = target;
    for (int hops = 0; hops < kMaxLinks; ++hops) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
        std::vector<char> buf(size_t(std::max<off_t>(st.st_size, 255)) + 1);
        const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0) throw FileError("write", target, errno);
        if (size_t(n) >= buf.size()) throw FileError("write", target, ENAMETOOLONG);
        const std::string link(buf.data(), size_t(n));
        path = link[0] == '/' ? link : FolderOf(path) + "/" + link;
    }
    throw FileError("write", target, ELOOP);
}

}  // namespace

// ---- TDescriptorStream ------------------------------------------------------

int64_t TDescriptorStream::Read(void* buffer, int64_t count) {
    int64_t done = 0;
    auto* out = static_cast<uint8_t*>(buffer);
    while (done < count) {
        const ssize_t n = ::read(Fd_, out + done, size_t(std::min(count - done, kMaxTransfer)));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && Error_ == 0) Error_ = errno;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

int64_t TDescriptorStream::Write(const void* buffer, int64_t count) {
    int64_t done = 0;
    const auto* in = static_cast<const uint8_t*>(buffer);
    while (done < count) {
        const ssize_t n = ::write(Fd_, in + done, size_t(std::min(count - done, kMaxTransfer)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (Error_ == 0) Error_ = n < 0 ? errno : ENOSPC;
            break;
        }
        done += n;
    }
    return done;
}

int64_t TDescriptorStream::Seek(int64_t offset, TSeekOrigin origin) {
    const int whence = origin == TSeekOrigin::Beginning ? SEEK_SET
                       : origin == TSeekOrigin::Current ? SEEK_CUR
                                                        : SEEK_END;
    return int64_t(::lseek(Fd_, off_t(offset), whence));
}

void TDescriptorStream::SetSize(int64_t size) {
    if (size < 0 || ::ftruncate(Fd_, off_t(size)) != 0) {
        if (Error_ == 0) Error_ = size < 0 ? EINVAL : errno;
        throw EWriteError();
    }
    if (Position() > size) Seek(size, TSeekOrigin::Beginning);
}

// ---- TReplacementFile -------------------------------------------------------

TReplacementFile::TReplacementFile(const std::string& target) : Target_(target) {
    Resolved_ = FollowLinks(target);
    struct stat st {};
    const bool exists = ::stat(Resolved_.c_str(), &st) == 0;
    if (!exists && errno != ENOENT) throw FileError("write", target, errno);
    if (exists && S_ISDIR(st.st_mode)) throw FileError("write", target, EISDIR);
    if (exists && !S_ISREG(st.st_mode)) {
        // Renaming over a device or a pipe would replace it by a plain file.
        do {
            Fd_ = ::open(Resolved_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
        } while (Fd_ < 0 && errno == EINTR);
        if (Fd_ < 0) throw FileError("write", target, errno);
        Stream_.SetDescriptor(Fd_);
        return;
    }
    InstallHandlers();
    std::string pattern = FolderOf(Resolved_) + "/." + NameOf(Resolved_).substr(0, kMaxNameInTemp) + ".tmp-XXXXXX";
    {
        // The name is known to the handler from the moment the file exists.
        const TSignalsBlocked blocked;
        Fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (Fd_ < 0) throw FileError("write", target, errno);
        Temp_ = pattern;
        gTempPath = Temp_.data();
    }
    Stream_.SetDescriptor(Fd_);
    if (exists) {
        // The owner can change only for root; a failure keeps ours.
        if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) (void)::fchown(Fd_, st.st_uid, st.st_gid);
        ::fchmod(Fd_, st.st_mode & 07777);
    } else {
        // mkstemp makes the file private; a new file gets the usual mode.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(Fd_, 0666 & ~mask);
    }
}

TReplacementFile::~TReplacementFile() {
    const TSignalsBlocked blocked;
    if (Fd_ >= 0) ::close(Fd_);
    if (!Temp_.empty()) {
        ::unlink(Temp_.c_str());
        gTempPath = nullptr;
    }
}

void TReplacementFile::Commit() {
    if (Stream_.Error() != 0) throw FileError("write", Target_, Stream_.Error());
    if (Temp_.empty()) {
        const int rc = ::close(Fd_);
        Fd_ = -1;
        if (rc != 0 && errno != EINTR) throw FileError("write", Target_, errno);
        return;
    }
    // The data reaches the disk before the name does, so that a crash
    // leaves either the old file or the whole new one.
    if (::fsync(Fd_) != 0) throw FileError("write", Target_, errno);
    const int rc = ::close(Fd_);
    Fd_ = -1;
    if (rc != 0 && errno != EINTR) throw FileError("write", Target_, errno);
    {
        const TSignalsBlocked blocked;
        if (::rename(Temp_.c_str(), Resolved_.c_str()) != 0) throw FileError("write", Target_, errno);
        Temp_.clear();
        gTempPath = nullptr;
    }
    // Makes the rename itself durable; a folder that cannot be synced
    // (some file systems refuse) still holds the complete file.
    const int dir = ::open(FolderOf(Resolved_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

#include "platform/Streams.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/Exceptions.h"
#include "platform/Files.h"

namespace {

// No single block grows past this; a larger request is an allocation
// failure, not a crash or a wrapped size.
constexpr int64_t kMaxMemoryStreamSize = int64_t(1) << 40;
// Capacity grows in whole blocks so that byte-wise writes stay linear.
constexpr int64_t kMemoryBlock = 8192;
// Largest single read or write handed to the system.
constexpr int64_t kMaxTransfer = int64_t(1) << 30;

int64_t SeekBase(TSeekOrigin origin, int64_t current, int64_t end) {
    switch (origin) {
        case TSeekOrigin::Beginning: return 0;
        case TSeekOrigin::Current: return current;
        case TSeekOrigin::End: return end;
    }
    return 0;
}

}  // namespace

// ---- TStream ---------------------------------------------------------------

int64_t TStream::Size() {
    const int64_t pos = Seek(0, TSeekOrigin::Current);
    const int64_t end = Seek(0, TSeekOrigin::End);
    Seek(pos, TSeekOrigin::Beginning);
    return end;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
    if (count < 0) throw EReadError();
    if (count != 0 && Read(buffer, count) != count) throw EReadError();
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
    if (count < 0) throw EWriteError();
    if (count != 0 && Write(buffer, count) != count) throw EWriteError();
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    if (count < 0) throw EReadError();
    const int64_t total = count;
    std::vector<uint8_t> buffer =
        GuardAlloc([&] { return std::vector<uint8_t>(size_t(std::min<int64_t>(count, 65536))); });
    while (count > 0) {
        const int64_t n = std::min<int64_t>(count, int64_t(buffer.size()));
        source.ReadBuffer(buffer.data(), n);
        WriteBuffer(buffer.data(), n);
        count -= n;
    }
    return total;
}

// ---- TMemoryStream ---------------------------------------------------------

TMemoryStream::~TMemoryStream() {
    std::free(data_);
}

void TMemoryStream::Reserve(int64_t capacity) {
    if (capacity <= capacity_) return;
    if (capacity > kMaxMemoryStreamSize) throw EOutOfMemory();
    // Grow by at least a quarter so that repeated small writes do not
    // reallocate every time, rounded up to whole blocks.
    int64_t wanted = std::max(capacity, capacity_ + capacity_ / 4);
    wanted = std::min(kMaxMemoryStreamSize, (wanted + kMemoryBlock - 1) / kMemoryBlock * kMemoryBlock);
    void* grown = std::realloc(data_, size_t(wanted));
    if (grown == nullptr) throw EOutOfMemory();
    data_ = static_cast<uint8_t*>(grown);
    capacity_ = wanted;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
    if (position_ < 0 || count <= 0 || position_ >= size_) return 0;
    const int64_t n = std::min(count, size_ - position_);
    std::memcpy(buffer, data_ + position_, size_t(n));
    position_ += n;
    return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
    if (position_ < 0 || count <= 0) return 0;
    int64_t end = 0;
    if (__builtin_add_overflow(position_, count, &end) || end > kMaxMemoryStreamSize) throw EOutOfMemory();
    if (end > size_) {
        // The source may lie inside this stream's own block, which growing
        // can move.
        const auto* src = static_cast<const uint8_t*>(buffer);
        if (data_ != nullptr && src >= data_ && src < data_ + capacity_) {
            const int64_t offset = src - data_;
            Reserve(end);
            buffer = data_ + offset;
        } else {
            Reserve(end);
        }
        // A write past the end leaves no uninitialised gap behind.
        if (position_ > size_) std::memset(data_ + size_, 0, size_t(position_ - size_));
        size_ = end;
    }
    std::memmove(data_ + position_, buffer, size_t(count));
    position_ = end;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
    int64_t target = 0;
    if (__builtin_add_overflow(SeekBase(origin, position_, size_), offset, &target)) return position_;
    // A position before the start is kept but reads and writes nothing.
    position_ = target;
    return position_;
}

void TMemoryStream::SetSize(int64_t size) {
    if (size < 0) throw EWriteError();
    const int64_t old = size_;
    Reserve(size);
    if (size > old) std::memset(data_ + old, 0, size_t(size - old));
    size_ = size;
    if (position_ > size_) position_ = size_;
}

void TMemoryStream::Clear() {
    std::free(data_);
    data_ = nullptr;
    size_ = capacity_ = position_ = 0;
}

void TMemoryStream::LoadFromStream(TStream& source) {
    source.SetPosition(0);
    const int64_t count = source.Size();
    SetSize(count);
    if (count != 0) source.ReadBuffer(data_, count);
}

void TMemoryStream::LoadFromFile(const std::string& path) {
    TFileStream file(path, TFileStream::fmOpenRead);
    LoadFromStream(file);
}

void TMemoryStream::SaveToStream(TStream& dest) {
    if (size_ != 0) dest.WriteBuffer(data_, size_);
}

void TMemoryStream::SaveToFile(const std::string& path) {
    TFileStream file(path, TFileStream::fmCreate);
    SaveToStream(file);
}

// ---- TFileStream -----------------------------------------------------------

TFileStream::TFileStream(const std::string& path, Mode mode) : path_(path) {
    const std::string native = NativePath(path);
    // Truncation waits until the lock is held, so a refused fmCreate leaves
    // another program's file intact.
    // O_NONBLOCK keeps the open itself from waiting on a named pipe with no
    // writer; pipes are refused below and blocking reads come back after.
    const int flags =
        (mode == fmOpenRead ? O_RDONLY : O_RDWR) | (mode == fmCreate ? O_CREAT : 0) | O_CLOEXEC | O_NONBLOCK;
    int fd;
    do {
        fd = ::open(native.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw FileOpenError(path, errno);

    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        throw FileOpenError(path, err);
    }
    if (S_ISDIR(st.st_mode)) {
        ::close(fd);
        throw FileOpenError(path, EISDIR);
    }
    // A stream needs a size and a position: pipes and sockets have neither.
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
        ::close(fd);
        throw FileOpenError(path, ESPIPE);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // Readers share the file with readers; writers want it alone. Advisory
    // locks keep cooperating programs from writing a file being read.
    const int lock = (mode == fmOpenRead ? LOCK_SH : LOCK_EX) | LOCK_NB;
    int rc;
    do {
        rc = ::flock(fd, lock);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int err = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd);
        throw FileOpenError(path, err);
    }
    if (mode == fmCreate && S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) {
        const int err = errno;
        ::close(fd);
        throw FileOpenError(path, err);
    }
    fd_ = fd;
}

TFileStream::~TFileStream() {
    if (fd_ >= 0) ::close(fd_);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
    int64_t done = 0;
    auto* out = static_cast<uint8_t*>(buffer);
    while (done < count) {
        const ssize_t n = ::read(fd_, out + done, size_t(std::min(count - done, kMaxTransfer)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
    int64_t done = 0;
    const auto* in = static_cast<const uint8_t*>(buffer);
    while (done < count) {
        const ssize_t n = ::write(fd_, in + done, size_t(std::min(count - done, kMaxTransfer)));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    return done;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
    const int whence = origin == TSeekOrigin::Beginning ? SEEK_SET
                       : origin == TSeekOrigin::Current ? SEEK_CUR
                                                        : SEEK_END;
    return int64_t(::lseek(fd_, off_t(offset), whence));
}

void TFileStream::SetSize(int64_t size) {
    if (size < 0 || ::ftruncate(fd_, off_t(size)) != 0) throw EWriteError();
    if (Position() > size) Seek(size, TSeekOrigin::Beginning);
}

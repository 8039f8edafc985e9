// Output files that are replaced only once complete: the new content goes
// to a temporary file beside the target, is flushed to the disk and then
// renamed over the target. Until Commit, every failure (an exception, a
// full disk, SIGINT, SIGTERM or SIGHUP) leaves the old file as it was and
// removes the temporary file.
#pragma once

#include <string>

#include "platform/Streams.h"

// A stream over an open file descriptor that remembers the operating
// system's reason for its first failed transfer.
class TDescriptorStream : public TStream {
public:
    explicit TDescriptorStream(int fd) : Fd_(fd) {}
    void SetDescriptor(int fd) {
        Fd_ = fd;
        Error_ = 0;
    }

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t size) override;

    // The errno of the first failure, 0 while none happened.
    int Error() const { return Error_; }

private:
    int Fd_;
    int Error_ = 0;
};

class TReplacementFile {
public:
    // Resolves target through symbolic links and creates the temporary
    // file in the folder of the file that will finally be written; it takes
    // the permission bits of the file it replaces. A target that exists but
    // is no regular file (a device, say) is written in place. Raises
    // TToolError naming target and the system's reason.
    explicit TReplacementFile(const std::string& target);
    ~TReplacementFile();
    TReplacementFile(const TReplacementFile&) = delete;
    TReplacementFile& operator=(const TReplacementFile&) = delete;

    TDescriptorStream& Stream() { return Stream_; }
    const std::string& Target() const { return Target_; }

    // Flushes the new content to the disk and renames it over the target.
    // Raises TToolError when that fails, or when a write to Stream failed.
    void Commit();

private:
    std::string Target_;    // as the user named it
    std::string Resolved_;  // the file that is replaced
    std::string Temp_;      // empty once committed or when written in place
    int Fd_ = -1;
    TDescriptorStream Stream_{-1};
};

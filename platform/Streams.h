// The framework's stream classes: TStream, TMemoryStream, TFileStream.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/Object.h"

enum class TSeekOrigin { Beginning, Current, End };

class TStream : public TObject {
public:
    ~TStream() override = default;

    // Reads or writes up to count bytes; returns how many were moved.
    virtual int64_t Read(void* buffer, int64_t count) = 0;
    virtual int64_t Write(const void* buffer, int64_t count) = 0;
    // Moves the position; returns the new position.
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

    int64_t Position() { return Seek(0, TSeekOrigin::Current); }
    void SetPosition(int64_t pos) { Seek(pos, TSeekOrigin::Beginning); }
    virtual int64_t Size();
    virtual void SetSize(int64_t size) = 0;

    // Read-exactly and write-exactly: a short transfer raises EReadError
    // ("ストリームからの読み込みエラー") or EWriteError ("ストリームへの書き込みエラー").
    void ReadBuffer(void* buffer, int64_t count);
    void WriteBuffer(const void* buffer, int64_t count);

    // Copies count bytes from source (all of it from its start when count
    // is 0); returns the bytes copied.
    int64_t CopyFrom(TStream& source, int64_t count);
};

// A stream over one growable block of memory, reachable directly.
class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    ~TMemoryStream() override;
    TMemoryStream(const TMemoryStream&) = delete;
    TMemoryStream& operator=(const TMemoryStream&) = delete;

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    int64_t Size() override { return size_; }
    void SetSize(int64_t size) override;

    // The stream's bytes; valid until the size grows past the capacity.
    uint8_t* Memory() { return data_; }
    const uint8_t* Memory() const { return data_; }
    void Clear();
    void LoadFromStream(TStream& source);
    void LoadFromFile(const std::string& path);
    void SaveToStream(TStream& dest);
    void SaveToFile(const std::string& path);

private:
    void Reserve(int64_t capacity);

    uint8_t* data_ = nullptr;
    int64_t size_ = 0;
    int64_t capacity_ = 0;
    int64_t position_ = 0;
};

// A stream over an open file. Open failures raise FileOpenError.
class TFileStream : public TStream {
public:
    enum Mode {
        fmOpenRead,       // read only; others may read but not write
        fmOpenReadWrite,  // read and write an existing file
        fmCreate,         // create or truncate, read and write
    };
    TFileStream(const std::string& path, Mode mode);
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    int64_t Read(void* buffer, int64_t count) override;
    int64_t Write(const void* buffer, int64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t size) override;

    const std::string& FileName() const { return path_; }

private:
    int fd_ = -1;
    std::string path_;
};

// Buffered big-endian read and write streams over framework streams, and
// the image reader and writer bases built on them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Object.h"

class TStream;
class TBitmap;

// Reads bytes, big-endian values and blocks from a TStream inside a data
// window, through a 64 KiB buffer, or in place from a TMemoryStream.
// Running past the window and zero-length requests raise nothing: they set
// the sticky flags EndOfData and Stopped, after which reads do nothing and
// value reads return 0.
class TTavCustomReadStream : public TObject {
public:
    static constexpr int32_t BufferSize = 65536;

    ~TTavCustomReadStream() override;

    void BeginRead(TStream& stream, int64_t size);  // size <= 0: to the end
    void EndRead();
    void Skip(int64_t count);
    void ReadBlock(void* dest, int64_t count);
    uint8_t ReadByte();
    uint16_t ReadWordBE();
    uint32_t ReadDWordBE();

    void ProgressBegin();
    void ProgressPhase(int32_t kind, int64_t total, int32_t share);
    void ProgressStep(int64_t counter);
    void ProgressEnd();

    bool Stopped = false;
    bool EndOfData = false;
    bool SkipMacHeader = false;
    bool MacHeaderFound = false;

    int64_t DataSize = 0;
    int64_t Consumed = 0;
    int64_t BufferLeft = 0;
    int64_t StartPosition = 0;
    int32_t PhaseKind = 0;

protected:
    virtual bool DoProgress(int32_t percent);
    void FillBuffer(int64_t keep);

    int32_t ProgressBase_ = 0, ProgressLast_ = 0, PhaseShare_ = 0, ProgressRemaining_ = 0;
    int64_t PhaseTotal_ = 1, PhaseStart_ = 0, LastCounter_ = 0;
    const uint8_t* ReadPtr_ = nullptr;
    uint8_t* Buffer_ = nullptr;  // owned; null when reading from memory
    TStream* Stream_ = nullptr;  // borrowed
};

// The buffered big-endian writer with the same progress model.
class TTavCustomWriteStream : public TObject {
public:
    static constexpr int32_t BufferSize = 65536;

    TTavCustomWriteStream();
    ~TTavCustomWriteStream() override;
    TTavCustomWriteStream(const TTavCustomWriteStream&) = delete;
    TTavCustomWriteStream& operator=(const TTavCustomWriteStream&) = delete;

    void BeginWrite(TStream& stream);
    void WriteBlock(const void* src, int64_t count);
    void WriteDWordBE(uint32_t value);
    void Flush();
    void FlushPending();

    void ProgressBegin();
    void ProgressPhase(int32_t kind, int64_t total, int32_t share);
    void ProgressStep(int64_t counter);
    void ProgressEnd();

    bool Stopped = false;
    int32_t PhaseKind = 1;
    int64_t Pending = 0;
    int64_t TotalWritten = 0;
    std::string ProgressMessage;

protected:
    virtual bool DoProgress(int32_t percent);

    int32_t ProgressBase_ = 0, ProgressLast_ = 0, PhaseShare_ = 0, ProgressRemaining_ = 0;
    int64_t PhaseTotal_ = 1;
    uint8_t* Buffer_ = nullptr;  // owned
    uint8_t* WritePtr_ = nullptr;
    TStream* Stream_ = nullptr;  // borrowed
};

// Image reader base: header fields, palette buffer, bitmap preparation and
// progress forwarding to the bitmap's progress event.
class TTavCustomGraphicReadStream : public TTavCustomReadStream {
public:
    TTavCustomGraphicReadStream();
    ~TTavCustomGraphicReadStream() override;

    // Decodes the stream's data window (size <= 0: to the end) into
    // bitmap (null: header only). The bitmap's change event is suspended
    // meanwhile; EndRead and the palette release run on every path.
    void ReadImage(TBitmap* bitmap, TStream& stream, int64_t size);

    std::string Comment;
    int32_t Width = 0;
    int32_t Height = 0;
    int32_t BitCount = 0;
    int32_t SourceBitCount = 0;
    int32_t PaletteCount = 0;
    uint8_t ResolutionUnit = 0;
    int32_t XResolution = 0;
    int32_t YResolution = 0;
    std::string ProgressMessage;
    bool NoBitmap = false;

    // 1024 bytes (256 entries blue, green, red, 0), allocated on first use.
    uint8_t* GetPaletteBuffer();
    void FreePaletteBuffer();
    bool HasPaletteBuffer() const { return PaletteBuffer_ != nullptr; }

protected:
    virtual void DecodeImage() = 0;
    virtual void PrepareBitmap();
    bool DoProgress(int32_t percent) override;

    TBitmap* Bitmap_ = nullptr;  // borrowed target

private:
    std::unique_ptr<uint8_t[]> PaletteBuffer_;
};

// Image writer base: the source bitmap and progress forwarding.
class TTavCustomGraphicWriteStream : public TTavCustomWriteStream {
public:
    // BeginWrite, EncodeImage, FlushPending; nothing is protected, so
    // bytes still buffered when EncodeImage raises stay unwritten.
    void WriteImage(TBitmap& bitmap, TStream& stream);

protected:
    virtual void EncodeImage() = 0;
    bool DoProgress(int32_t percent) override;

    TBitmap* Bitmap_ = nullptr;  // borrowed source
};

uint8_t PixelFormatFromBitCount(int32_t bits);
int32_t BitCountFromPixelFormat(uint8_t format);

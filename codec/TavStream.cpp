// Buffered big-endian streams and the image reader and writer bases.
#include "codec/TavStream.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <utility>

#include "codec/SFunc.h"
#include "platform/Bitmap.h"
#include "platform/Exceptions.h"
#include "platform/Streams.h"

namespace {

constexpr int64_t kBufferSize = TTavCustomReadStream::BufferSize;
// Writes of this size or more skip the buffer (after a flush).
constexpr int64_t kDirectWriteThreshold = 65520;
constexpr int32_t kPaletteBufferSize = 1024;
// A window whose bytes 0 and 74 are both 0 starts with a 128-byte header.
constexpr int64_t kMacHeaderSize = 128;
constexpr int64_t kMacHeaderZeroByte = 74;

uint8_t* AllocateBlock(int64_t size) {
    return GuardAlloc([size] { return new uint8_t[size_t(size)]; });
}

// share × part div total without overflow, truncated toward zero and
// clamped to the int32 range (a writer's counter may run past its total).
int32_t ScaledShare(int64_t part, int32_t share, int64_t total) {
    const __int128 q = static_cast<__int128>(part) * share / total;
    if (q > INT32_MAX) return INT32_MAX;
    if (q < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(q);
}

// base + delta, saturating instead of wrapping.
int32_t SaturatedSum(int32_t base, int32_t delta) {
    const int64_t sum = int64_t(base) + delta;
    return int32_t(std::clamp<int64_t>(sum, INT32_MIN, INT32_MAX));
}

// New share of a phase: everything left for 0 or >= 100, else that
// percentage of what is left.
int32_t PhaseShareOf(int32_t share, int32_t remaining) {
    if (share == 0 || share >= 100) return remaining;
    return int32_t(int64_t(share) * remaining / 100);
}

// Shared entry test of the reads: false when the request must do nothing.
// Sets EndOfData for a request of n bytes that runs past the window (or a
// reader that has no stream attached).
bool CanRead(TTavCustomReadStream& r, int64_t n, bool attached) {
    if (r.EndOfData || r.Stopped) return false;
    if (!attached || n > r.DataSize - r.Consumed) {
        r.EndOfData = true;
        return false;
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// TTavCustomReadStream

TTavCustomReadStream::~TTavCustomReadStream() {
    delete[] Buffer_;
}

bool TTavCustomReadStream::DoProgress(int32_t) {
    return false;
}

void TTavCustomReadStream::BeginRead(TStream& stream, int64_t size) {
    Stream_ = &stream;
    StartPosition = stream.Position();
    auto* memory = dynamic_cast<TMemoryStream*>(&stream);
    const int64_t available = stream.Size() - StartPosition;
    DataSize = size > 0 ? size : available;
    // Memory is read in place: a window reaching past the stream's bytes
    // (or starting before them) would read outside its block, so it ends
    // with the stream.
    if (memory && (DataSize > available || StartPosition < 0)) DataSize = StartPosition < 0 ? 0 : available;
    Consumed = 0;
    BufferLeft = 0;
    Stopped = false;
    EndOfData = false;
    MacHeaderFound = false;
    ReadPtr_ = nullptr;
    if (DataSize <= 0) {
        DataSize = std::max<int64_t>(DataSize, 0);
        EndOfData = true;
        return;
    }

    if (memory) {
        // No buffer means reading in place; one left from an earlier read
        // of another stream goes.
        delete[] Buffer_;
        Buffer_ = nullptr;
        ReadPtr_ = memory->Memory() + StartPosition;
        BufferLeft = DataSize;
    } else {
        if (!Buffer_) Buffer_ = AllocateBlock(kBufferSize);
        ReadPtr_ = Buffer_;
        FillBuffer(0);
    }

    if (SkipMacHeader && DataSize > kMacHeaderSize) {
        // Both bytes lie in the first buffer load: it holds min(DataSize,
        // 64 KiB) > 128 bytes.
        MacHeaderFound = ReadPtr_[0] == 0 && ReadPtr_[kMacHeaderZeroByte] == 0;
        if (MacHeaderFound) {
            ReadPtr_ += kMacHeaderSize;
            BufferLeft -= kMacHeaderSize;
            Consumed = kMacHeaderSize;
        }
    }
}

void TTavCustomReadStream::EndRead() {
    delete[] Buffer_;
    Buffer_ = nullptr;
    ReadPtr_ = nullptr;
    BufferLeft = 0;
    if (Stream_) {
        TStream* stream = Stream_;
        // Detached: later reads find no stream and do nothing.
        Stream_ = nullptr;
        stream->SetPosition(StartPosition + Consumed);
    }
}

void TTavCustomReadStream::FillBuffer(int64_t keep) {
    // Memory streams are read in place and never refilled.
    if (!Buffer_ || !Stream_) return;
    keep = std::clamp<int64_t>(keep, 0, kBufferSize);
    const int64_t count = std::clamp<int64_t>(DataSize - Consumed - keep, 0, kBufferSize - keep);
    if (count > 0) Stream_->ReadBuffer(Buffer_ + keep, count);
    BufferLeft = keep + count;
    ReadPtr_ = Buffer_;
}

uint8_t TTavCustomReadStream::ReadByte() {
    if (!CanRead(*this, 1, Stream_ != nullptr)) return 0;
    if (BufferLeft == 0) FillBuffer(0);
    const uint8_t value = *ReadPtr_++;
    ++Consumed;
    --BufferLeft;
    return value;
}

uint16_t TTavCustomReadStream::ReadWordBE() {
    if (!CanRead(*this, 2, Stream_ != nullptr)) return 0;
    if (BufferLeft < 2) {
        // Only a buffered reader can run short here: in memory, BufferLeft
        // covers the rest of the window.
        std::memmove(Buffer_, ReadPtr_, size_t(BufferLeft));
        FillBuffer(BufferLeft);
    }
    const uint16_t value = uint16_t(ReadPtr_[0] << 8 | ReadPtr_[1]);
    ReadPtr_ += 2;
    Consumed += 2;
    BufferLeft -= 2;
    return value;
}

uint32_t TTavCustomReadStream::ReadDWordBE() {
    if (!CanRead(*this, 4, Stream_ != nullptr)) return 0;
    if (BufferLeft < 4) {
        std::memmove(Buffer_, ReadPtr_, size_t(BufferLeft));
        FillBuffer(BufferLeft);
    }
    const uint32_t value = uint32_t(ReadPtr_[0]) << 24 | uint32_t(ReadPtr_[1]) << 16 |
                           uint32_t(ReadPtr_[2]) << 8 | uint32_t(ReadPtr_[3]);
    ReadPtr_ += 4;
    Consumed += 4;
    BufferLeft -= 4;
    return value;
}

void TTavCustomReadStream::ReadBlock(void* dest, int64_t count) {
    if (EndOfData || Stopped) return;
    if (count == 0) {
        Stopped = true;
        return;
    }
    // A negative count is as impossible to satisfy as one past the window.
    if (count < 0 || !CanRead(*this, count, Stream_ != nullptr)) {
        EndOfData = true;
        return;
    }
    auto* out = static_cast<uint8_t*>(dest);
    if (count <= BufferLeft) {
        std::memcpy(out, ReadPtr_, size_t(count));
        ReadPtr_ += count;
        Consumed += count;
        BufferLeft -= count;
        return;
    }
    // Buffered reader only: the buffer holds less than asked for.
    const int64_t head = BufferLeft;
    std::memcpy(out, ReadPtr_, size_t(head));
    out += head;
    Consumed += head;
    BufferLeft = 0;
    int64_t wanted = count - head;
    if (wanted >= kBufferSize) {
        // All but the last 64 KiB go straight into the destination.
        const int64_t direct = wanted - kBufferSize;
        if (direct > 0) {
            Stream_->ReadBuffer(out, direct);
            out += direct;
            Consumed += direct;
            wanted -= direct;
        }
    }
    FillBuffer(0);
    std::memcpy(out, ReadPtr_, size_t(wanted));
    ReadPtr_ += wanted;
    Consumed += wanted;
    BufferLeft -= wanted;
}

void TTavCustomReadStream::Skip(int64_t count) {
    if (EndOfData || Stopped) return;
    // The window test comes before the zero test here; a negative count
    // counts as past the window.
    if (count < 0 || !CanRead(*this, count, Stream_ != nullptr)) {
        EndOfData = true;
        return;
    }
    if (count == 0) {
        Stopped = true;
        return;
    }
    if (count <= BufferLeft) {
        ReadPtr_ += count;
        Consumed += count;
        BufferLeft -= count;
        return;
    }
    // Buffered reader only; keeps position = start + consumed + buffered.
    Consumed += count;
    Stream_->Seek(count - BufferLeft, TSeekOrigin::Current);
    BufferLeft = 0;
    ReadPtr_ = Buffer_;
}

void TTavCustomReadStream::ProgressBegin() {
    ProgressBase_ = 0;
    ProgressLast_ = 0;
    PhaseShare_ = 0;
    ProgressRemaining_ = 99;
    Stopped = false;
    Stopped = DoProgress(0);
}

void TTavCustomReadStream::ProgressPhase(int32_t kind, int64_t total, int32_t share) {
    ProgressBase_ += PhaseShare_;
    ProgressLast_ = ProgressBase_;
    ProgressRemaining_ -= PhaseShare_;
    PhaseKind = kind;
    if (kind == 0) {
        PhaseTotal_ = DataSize;
        PhaseStart_ = Consumed;
    } else {
        PhaseTotal_ = total;
    }
    if (PhaseTotal_ == 0) PhaseTotal_ = 1;
    PhaseShare_ = PhaseShareOf(share, ProgressRemaining_);
}

void TTavCustomReadStream::ProgressStep(int64_t counter) {
    int32_t delta;
    if (PhaseKind == 0) {
        delta = ScaledShare(Consumed - PhaseStart_, PhaseShare_, PhaseTotal_);
    } else if (counter >= PhaseTotal_) {
        delta = PhaseShare_;
    } else {
        delta = ScaledShare(counter, PhaseShare_, PhaseTotal_);
    }
    const int32_t position = SaturatedSum(ProgressBase_, delta);
    if (position <= ProgressLast_) return;
    ProgressLast_ = position;
    if (PhaseKind != 0) LastCounter_ = counter;
    Stopped = DoProgress(position);
}

void TTavCustomReadStream::ProgressEnd() {
    Stopped = DoProgress(100);
}

// ---------------------------------------------------------------------------
// TTavCustomWriteStream

TTavCustomWriteStream::TTavCustomWriteStream() {
    Buffer_ = AllocateBlock(kBufferSize);
    WritePtr_ = Buffer_;
}

TTavCustomWriteStream::~TTavCustomWriteStream() {
    delete[] Buffer_;
}

bool TTavCustomWriteStream::DoProgress(int32_t) {
    return false;
}

void TTavCustomWriteStream::BeginWrite(TStream& stream) {
    Stream_ = &stream;
    WritePtr_ = Buffer_;
    TotalWritten = 0;
    Pending = 0;
}

void TTavCustomWriteStream::WriteBlock(const void* src, int64_t count) {
    if (Stopped) return;
    // Zero (and a meaningless negative) length stops the writer.
    if (count <= 0) {
        Stopped = true;
        return;
    }
    if (count >= kDirectWriteThreshold) {
        Flush();
        if (!Stream_) throw EWriteError();
        Stream_->WriteBuffer(src, count);
        TotalWritten += count;
        return;
    }
    if (Pending + count >= kBufferSize) Flush();
    std::memcpy(WritePtr_, src, size_t(count));
    WritePtr_ += count;
    Pending += count;
}

void TTavCustomWriteStream::WriteDWordBE(uint32_t value) {
    if (Stopped) return;
    if (Pending + 4 >= kBufferSize) Flush();
    WritePtr_[0] = uint8_t(value >> 24);
    WritePtr_[1] = uint8_t(value >> 16);
    WritePtr_[2] = uint8_t(value >> 8);
    WritePtr_[3] = uint8_t(value);
    WritePtr_ += 4;
    Pending += 4;
}

void TTavCustomWriteStream::Flush() {
    if (Pending == 0) return;
    // Bytes written before BeginWrite have nowhere to go.
    if (!Stream_) throw EWriteError();
    Stream_->WriteBuffer(Buffer_, Pending);
    TotalWritten += Pending;
    Pending = 0;
    WritePtr_ = Buffer_;
}

void TTavCustomWriteStream::FlushPending() {
    if (Pending > 0) Flush();
}

void TTavCustomWriteStream::ProgressBegin() {
    ProgressBase_ = 0;
    ProgressLast_ = 0;
    PhaseShare_ = 0;
    ProgressRemaining_ = 99;
    Stopped = false;
    Stopped = DoProgress(0);
}

void TTavCustomWriteStream::ProgressPhase(int32_t, int64_t total, int32_t share) {
    ProgressBase_ += PhaseShare_;
    ProgressLast_ = ProgressBase_;
    ProgressRemaining_ -= PhaseShare_;
    PhaseKind = 1;
    PhaseTotal_ = total == 0 ? 1 : total;
    PhaseShare_ = PhaseShareOf(share, ProgressRemaining_);
}

void TTavCustomWriteStream::ProgressStep(int64_t counter) {
    const int32_t position = SaturatedSum(ProgressBase_, ScaledShare(counter, PhaseShare_, PhaseTotal_));
    if (position <= ProgressLast_) return;
    ProgressLast_ = position;
    Stopped = DoProgress(position);
}

void TTavCustomWriteStream::ProgressEnd() {
    Stopped = DoProgress(100);
}

// ---------------------------------------------------------------------------
// Image reader and writer bases

namespace {

// Stage and percent handed to a bitmap's progress event.
void ForwardProgress(TBitmap& bitmap, int32_t percent, const std::string& message) {
    TProgressStage stage;
    if (percent == 0) {
        stage = psStarting;
    } else if (percent >= 1 && percent <= 99) {
        stage = psRunning;
    } else {
        stage = psEnding;
        percent = 100;
    }
    bitmap.OnProgress(&bitmap, stage, uint8_t(percent), false, TRect{0, 0, 0, 0}, message);
}

}  // namespace

TTavCustomGraphicReadStream::TTavCustomGraphicReadStream() {
    SkipMacHeader = true;
}

TTavCustomGraphicReadStream::~TTavCustomGraphicReadStream() = default;

uint8_t* TTavCustomGraphicReadStream::GetPaletteBuffer() {
    // Cleared, so that entries the decoder never wrote are black.
    if (!PaletteBuffer_)
        PaletteBuffer_ = GuardAlloc([] { return std::make_unique<uint8_t[]>(kPaletteBufferSize); });
    return PaletteBuffer_.get();
}

void TTavCustomGraphicReadStream::FreePaletteBuffer() { PaletteBuffer_.reset(); }

void TTavCustomGraphicReadStream::ReadImage(TBitmap* bitmap, TStream& stream, int64_t size) {
    Bitmap_ = bitmap;
    NoBitmap = bitmap == nullptr;

    // Restores the change event and frees the palette buffer on every
    // path, after EndRead has run.
    struct Restore {
        TTavCustomGraphicReadStream& self;
        TBitmap* bitmap;
        TNotifyEvent saved;
        ~Restore() {
            self.FreePaletteBuffer();
            if (bitmap) bitmap->OnChange = std::move(saved);
        }
    } restore{*this, bitmap, {}};
    if (bitmap) restore.saved = std::exchange(bitmap->OnChange, nullptr);

    try {
        BeginRead(stream, size);
        Bitmap_ = bitmap;
        Comment.clear();
        PaletteCount = 0;
        ResolutionUnit = 0;
        XResolution = 0;
        YResolution = 0;
        DecodeImage();
    } catch (...) {
        // The decoding error is the one to report.
        try {
            EndRead();
        } catch (...) {
        }
        throw;
    }
    EndRead();
}

void TTavCustomGraphicReadStream::PrepareBitmap() {
    if (NoBitmap || !Bitmap_) return;
    Bitmap_->Assign(nullptr);
    Bitmap_->SetTransparent(false);
    Bitmap_->SetPixelFormat(TPixelFormat(PixelFormatFromBitCount(BitCount)));
    Bitmap_->SetWidth(Width);
    Bitmap_->SetHeight(Height);
    if (PaletteBuffer_) Bitmap_->SetPalette(CreatePaletteFromEntries(PaletteBuffer_.get(), PaletteCount));
}

bool TTavCustomGraphicReadStream::DoProgress(int32_t percent) {
    if (NoBitmap || !Bitmap_ || !Bitmap_->OnProgress) return false;
    ForwardProgress(*Bitmap_, percent, ProgressMessage);
    return false;
}

void TTavCustomGraphicWriteStream::WriteImage(TBitmap& bitmap, TStream& stream) {
    BeginWrite(stream);
    Bitmap_ = &bitmap;
    EncodeImage();
    FlushPending();
}

bool TTavCustomGraphicWriteStream::DoProgress(int32_t percent) {
    if (!Bitmap_ || !Bitmap_->OnProgress) return false;
    ForwardProgress(*Bitmap_, percent, ProgressMessage);
    return false;
}

// ---------------------------------------------------------------------------
// Pixel-format helpers

uint8_t PixelFormatFromBitCount(int32_t bits) {
    switch (bits) {
        case 1: return pf1bit;
        case 4: return pf4bit;
        case 8: return pf8bit;
        case 15: return pf15bit;
        case 16: return pf16bit;
        case 32: return pf32bit;
        default: return pf24bit;
    }
}

int32_t BitCountFromPixelFormat(uint8_t format) {
    switch (format & 0x7F) {
        case pf1bit: return 1;
        case pf4bit: return 4;
        case pf8bit: return 8;
        case pf15bit: return 15;
        case pf16bit: return 16;
        case pf32bit: return 32;
        case pfCustom: return 15;
        default: return 24;
    }
}

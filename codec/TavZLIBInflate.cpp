// Inflate side of the zlib wrappers: the row reader of the PNG decoder.
// Undoing the row filters lives in PngUnfilter.cpp.
#include <cstdlib>
#include <cstring>
#include <new>

#include "codec/TavZLIB.h"

#if defined(TOBELIN_INFLATE_WHOLE)
#include <libdeflate.h>
#endif

#if defined(TOBELIN_INFLATE_ISAL)
#include <isa-l/igzip_lib.h>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

// ISA-L inflates, and zlib stays in reserve: whenever ISA-L meets anything
// but a sound stream (damaged data, input that ends, a stream that ends
// short, a header zlib would refuse, a bad check value at the end), zlib
// takes the stream over from its first byte, catches up to the bytes the
// callers already have, and gives the rest of the read and every read after
// it. The failures, the bytes before them and the input read are then
// zlib's own. For that the compressed input is kept, piece by piece as it
// came, until zlib has taken it or the record ends: where it lies when the
// caller says it stays there, else as a copy.
struct TZFastInflate {
    inflate_state S{};
    std::vector<std::pair<const uint8_t*, uint32_t>> Pieces;
    std::vector<std::unique_ptr<uint8_t[]>> Copies;
    int64_t Delivered = 0;     // bytes of completed reads
    int32_t InputFailure = 0;  // a refusal of OnInput that zlib has yet to meet
    bool OnZlib = false;
    bool Replaying = false;  // zlib is being fed the kept pieces
    size_t ReplayPiece = 0;

    void Keep(const uint8_t* p, uint32_t n, bool stays) {
        if (!stays) {
            Copies.emplace_back(new uint8_t[n]);
            std::memcpy(Copies.back().get(), p, n);
            p = Copies.back().get();
        }
        Pieces.emplace_back(p, n);
    }
    void Forget() {
        std::vector<std::pair<const uint8_t*, uint32_t>>().swap(Pieces);
        std::vector<std::unique_ptr<uint8_t[]>>().swap(Copies);
    }
};
#endif

namespace {

voidpf HeapAlloc(voidpf, uInt items, uInt size) {
    // calloc checks items * size for overflow itself.
    return std::calloc(items, size);
}

void HeapFree(voidpf, voidpf address) { std::free(address); }

}  // namespace

namespace {

// Where zlib gets its next input: the kept pieces first while it catches
// up, then the caller's event.
int32_t NextInput(TZInflateRec& rec) {
#if defined(TOBELIN_INFLATE_ISAL)
    if (rec.Fast != nullptr && rec.Fast->Replaying) {
        TZFastInflate& f = *rec.Fast;
        if (f.ReplayPiece < f.Pieces.size()) {
            // zlib only reads its input.
            rec.Z.next_in = const_cast<uint8_t*>(f.Pieces[f.ReplayPiece].first);
            rec.Z.avail_in = f.Pieces[f.ReplayPiece++].second;
            return 0;
        }
        f.Replaying = false;
        // zlib has taken the last kept piece; it no longer needs them.
        rec.Z.next_in = rec.InBuffer;
        rec.Z.avail_in = 0;
        f.Forget();
        if (const int32_t refused = f.InputFailure; refused != 0) {
            // The refusal ISA-L met is the one zlib meets now, in its place.
            f.InputFailure = 0;
            return refused;
        }
    }
#endif
    return rec.OnInput ? rec.OnInput(rec) : -1;
}

int32_t ZlibRead(TZInflateRec& rec, uint8_t* dest, int32_t count) {
    rec.Z.next_out = dest;
    rec.Z.avail_out = count > 0 ? uInt(count) : 0;
    int32_t result = 0;
    while (rec.Z.avail_out > 0) {
        if (rec.Z.avail_in == 0) {
            result = NextInput(rec);
            if (result != 0) return result;
        }
        result = inflate(&rec.Z, Z_NO_FLUSH);
        if (result < 0) return result;
        // A stream that wants a preset dictionary makes no progress; PNG
        // data never has one, so treat it as corrupt instead of looping.
        if (result == Z_NEED_DICT) return Z_DATA_ERROR;
        if (result == Z_STREAM_END && rec.Z.avail_out > 0) return Z_DATA_ERROR;
    }
    return result == Z_STREAM_END ? 1 : 0;
}

#if defined(TOBELIN_INFLATE_ISAL)
// zlib's own test of the two header bytes, window size included; ISA-L is
// more lenient there, and a header zlib refuses must give no rows.
bool ZlibAcceptsHeader(const uint8_t* p, uint32_t n) {
    if (n < 2) return false;  // too short to judge: let zlib judge it
    const unsigned cmf = p[0], flg = p[1];
    return (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && ((cmf << 8) | flg) % 31 == 0 && !(flg & 0x20);
}

int32_t TakeOver(TZInflateRec& rec, uint8_t* dest, int32_t count) {
    TZFastInflate& f = *rec.Fast;
    f.OnZlib = true;
    f.Replaying = true;
    f.ReplayPiece = 0;
    inflateReset(&rec.Z);
    rec.Z.next_in = rec.InBuffer;
    rec.Z.avail_in = 0;
    // Catch up with the callers. zlib stops inside the stream where the
    // output stops, whatever the sizes of the reads, so one run of reads
    // of any size leaves it as the callers' reads would have.
    if (f.Delivered > 0) {
        std::vector<uint8_t> scratch(size_t(std::min<int64_t>(f.Delivered, 65536)));
        for (int64_t left = f.Delivered; left > 0;) {
            const int32_t n = int32_t(std::min<int64_t>(left, int64_t(scratch.size())));
            const int32_t r = ZlibRead(rec, scratch.data(), n);
            if (r < 0) {
                // zlib refuses data ISA-L passed: the callers already hold
                // rows that zlib would not have given. Nothing more comes.
                rec.Z.avail_out = uInt(count > 0 ? count : 0);
                return r;
            }
            left -= n;
        }
    }
    return ZlibRead(rec, dest, count);
}

int32_t FastRead(TZInflateRec& rec, uint8_t* dest, int32_t count) {
    TZFastInflate& f = *rec.Fast;
    if (f.OnZlib) return ZlibRead(rec, dest, count);
    inflate_state& s = f.S;
    s.next_out = dest;
    s.avail_out = count > 0 ? uint32_t(count) : 0;
    for (;;) {
        const uint32_t inBefore = s.avail_in, outBefore = s.avail_out;
        const int rc = isal_inflate(&s);
        if (rc < 0 || rc == ISAL_NEED_DICT) return TakeOver(rec, dest, count);
        if (s.avail_out == 0) break;
        if (s.block_state == ISAL_BLOCK_FINISH) return TakeOver(rec, dest, count);  // ended short
        if (s.avail_in > 0) {
            if (s.avail_in == inBefore && s.avail_out == outBefore) return TakeOver(rec, dest, count);
            continue;
        }
        const int32_t r = rec.OnInput ? rec.OnInput(rec) : -1;
        if (r != 0) {
            f.InputFailure = r;
            return TakeOver(rec, dest, count);
        }
        const uint32_t n = rec.Z.avail_in;
        const bool refused = f.Pieces.empty() && !ZlibAcceptsHeader(rec.Z.next_in, n);
        f.Keep(rec.Z.next_in, n, rec.InputStays);
        if (refused) {
            rec.Z.avail_in = 0;
            return TakeOver(rec, dest, count);
        }
        s.next_in = rec.Z.next_in;
        s.avail_in = n;
        rec.Z.avail_in = 0;
    }
    // zlib goes on past the last byte asked for as far as it can without
    // writing: through the end of the stream and its check value if the
    // input at hand holds them. At the stream's last read ISA-L is made to
    // look as far (its output beyond the request waits in its own buffer);
    // a bad check value there is then left to zlib to report or not.
    if (s.block_state != ISAL_BLOCK_FINISH && (rec.ExpectedOut < 0 || f.Delivered + count >= rec.ExpectedOut)) {
        const int rc = isal_inflate(&s);
        if (rc < 0 || rc == ISAL_NEED_DICT) return TakeOver(rec, dest, count);
    }
    f.Delivered += count > 0 ? count : 0;
    rec.Z.avail_out = 0;
    return s.block_state == ISAL_BLOCK_FINISH ? 1 : 0;
}
#endif

}  // namespace

#if defined(TOBELIN_INFLATE_WHOLE)
bool ZInflateWhole(const uint8_t* in, size_t inSize, uint8_t* out, size_t size) {
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    if (d == nullptr) return false;
    size_t used = 0, got = 0;
    const libdeflate_result r = libdeflate_zlib_decompress_ex(d, in, inSize, out, size, &used, &got);
    libdeflate_free_decompressor(d);
    ClearUpperVectorHalves();
    return r == LIBDEFLATE_SUCCESS && got == size;
}
#else
bool ZInflateWhole(const uint8_t*, size_t, uint8_t*, size_t) { return false; }
#endif

const char* ZInflateEngine() {
#if defined(TOBELIN_INFLATE_WHOLE)
    return "isal (libdeflate for some whole images)";
#elif defined(TOBELIN_INFLATE_ISAL)
    return "isal";
#else
    return "zlib";
#endif
}

int32_t ZInflateInit(TZInflateRec& rec) {
    if (rec.InBuffer != nullptr || rec.ZActive) ZInflateEnd(rec);
    rec.InBuffer = new (std::nothrow) uint8_t[TZInflateRec::InputSize];
    if (rec.InBuffer == nullptr) return -1;
    rec.Z = z_stream{};
    rec.Z.next_in = rec.InBuffer;
    rec.Z.avail_in = 0;
    rec.Z.zalloc = HeapAlloc;
    rec.Z.zfree = HeapFree;
    rec.Z.opaque = nullptr;
    rec.InBufferSize = TZInflateRec::InputSize;
    if (inflateInit(&rec.Z) != Z_OK) {
        // Release the buffer too: the record is then as before the call.
        delete[] rec.InBuffer;
        rec.InBuffer = nullptr;
        rec.InBufferSize = 0;
        return -1;
    }
    rec.ZActive = true;
#if defined(TOBELIN_INFLATE_ISAL)
    rec.Fast = new (std::nothrow) TZFastInflate;
    if (rec.Fast == nullptr) {
        ZInflateEnd(rec);
        return -1;
    }
    isal_inflate_init(&rec.Fast->S);
    rec.Fast->S.crc_flag = ISAL_ZLIB;
#endif
    return 0;
}

int32_t ZInflateRead(TZInflateRec& rec, uint8_t* dest, int32_t count) {
    if (!rec.ZActive) return Z_STREAM_ERROR;
#if defined(TOBELIN_INFLATE_ISAL)
    if (rec.Fast != nullptr) {
        const int32_t r = FastRead(rec, dest, count);
        // ISA-L's wide-vector code returns with the upper vector halves in use.
        ClearUpperVectorHalves();
        return r;
    }
#endif
    return ZlibRead(rec, dest, count);
}

int32_t ZInflateReadRow(TZInflateRec& rec) {
    const int32_t r = ZInflateRead(rec, rec.CurRow, rec.RowSize);
    if (r < 0) return r;
    if (UnfilterRow(rec.CurRow, rec.PrevRow, rec.RowSize, (rec.BitsPerPixel + 7) / 8) != 0) return -1;
    return r;
}

void ZInflateReset(TZInflateRec& rec) {
    if (rec.ZActive) inflateReset(&rec.Z);
#if defined(TOBELIN_INFLATE_ISAL)
    if (rec.Fast != nullptr) {
        TZFastInflate& f = *rec.Fast;
        f.Forget();
        f.Delivered = 0;
        f.InputFailure = 0;
        f.OnZlib = f.Replaying = false;
        f.ReplayPiece = 0;
        isal_inflate_reset(&f.S);
        f.S.crc_flag = ISAL_ZLIB;
        f.S.avail_in = 0;
    }
#endif
    rec.Z.next_in = rec.InBuffer;
    rec.Z.avail_in = 0;
}

void ZInflateEnd(TZInflateRec& rec) {
    delete[] rec.InBuffer;
    rec.InBuffer = nullptr;
    rec.InBufferSize = 0;
    if (rec.ZActive) inflateEnd(&rec.Z);
    rec.ZActive = false;
#if defined(TOBELIN_INFLATE_ISAL)
    delete rec.Fast;
#endif
    rec.Fast = nullptr;
    rec.Z.next_in = nullptr;
    rec.Z.avail_in = 0;
}

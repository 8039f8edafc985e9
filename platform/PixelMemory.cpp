#include "platform/PixelMemory.h"

#include <sys/mman.h>

#include <cstdlib>
#include <utility>

#include "platform/Exceptions.h"

namespace {

// Below this a block comes from the heap: mapping costs a system call and
// a page fault for every 4 KiB written, which small bitmaps (glyphs, icons,
// test images) would pay many times over, and the heap hands the pages of
// a freed block to the next one already committed. Decoding a 2048 x 2048
// bilevel picture (512 KiB) took 0.72 ms mapped, 0.43 ms from the heap.
// calloc may clear such a block, committing it whole: that is the most a
// header's claim can commit before any data, and it is 1 MiB.
constexpr size_t kMapThreshold = size_t(1) << 20;

// From this size a block asks for huge pages where the system has them: a
// large image is then committed in 2 MiB steps, not 4 KiB page faults, which
// cost a decoder more than its own pixel work. Memory is still committed
// only where rows are written, in steps no larger than that.
constexpr size_t kHugeThreshold = size_t(4) << 20;

}  // namespace

TPixelMemory::TPixelMemory(size_t size) {
    if (size == 0)
        return;
    if (size < kMapThreshold) {
        Data_ = static_cast<uint8_t*>(std::calloc(size, 1));
        if (!Data_)
            throw EOutOfMemory();
    } else {
        // An ordinary private mapping, reserved but not populated: where
        // the system accounts for commitments strictly, a reservation it
        // cannot back fails here, cleanly, instead of at a later page fault.
        void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED)
            throw EOutOfMemory();
        Data_ = static_cast<uint8_t*>(p);
        Mapped_ = true;
#if defined(MADV_HUGEPAGE)
        // Only advice: without huge pages the block works as before.
        if (size >= kHugeThreshold)
            madvise(p, size, MADV_HUGEPAGE);
#endif
    }
    Size_ = size;
}

TPixelMemory::~TPixelMemory() { Release(); }

TPixelMemory::TPixelMemory(TPixelMemory&& other) noexcept { swap(other); }

TPixelMemory& TPixelMemory::operator=(TPixelMemory&& other) noexcept {
    if (this != &other) {
        Release();
        swap(other);
    }
    return *this;
}

void TPixelMemory::swap(TPixelMemory& other) noexcept {
    std::swap(Data_, other.Data_);
    std::swap(Size_, other.Size_);
    std::swap(Mapped_, other.Mapped_);
}

void TPixelMemory::Release() noexcept {
    if (Mapped_)
        munmap(Data_, Size_);
    else
        std::free(Data_);
    Data_ = nullptr;
    Size_ = 0;
    Mapped_ = false;
}

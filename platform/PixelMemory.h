// Zero-initialised memory for pixels and row buffers that costs nothing
// until it is written. Large blocks are mapped straight from the operating
// system, whose fresh pages read as 0 and are committed only when first
// touched (very large blocks in huge pages of 2 MiB where the system has
// them); nothing here ever clears a block by writing it. So a bitmap or
// buffer sized from a file header holds physical memory only for the rows
// that the file's data actually fills, and pixels that no data sets read
// as 0.
#pragma once

#include <cstddef>
#include <cstdint>

class TPixelMemory {
public:
    TPixelMemory() = default;
    // size bytes, all 0. A block the system refuses raises EOutOfMemory.
    explicit TPixelMemory(size_t size);
    ~TPixelMemory();
    TPixelMemory(TPixelMemory&& other) noexcept;
    TPixelMemory& operator=(TPixelMemory&& other) noexcept;
    TPixelMemory(const TPixelMemory&) = delete;
    TPixelMemory& operator=(const TPixelMemory&) = delete;

    uint8_t* data() { return Data_; }
    const uint8_t* data() const { return Data_; }
    size_t size() const { return Size_; }
    void swap(TPixelMemory& other) noexcept;

private:
    void Release() noexcept;

    uint8_t* Data_ = nullptr;
    size_t Size_ = 0;
    bool Mapped_ = false;
};

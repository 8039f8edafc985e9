// The style word of a top-level window, as the border routines see it.
// The Qt window implements it by mapping the bits onto window flags.
#pragma once

#include <cstdint>

constexpr uint32_t WS_MINIMIZEBOX = 0x20000;
constexpr uint32_t WS_MAXIMIZEBOX = 0x10000;

class TWindowStyleTarget {
public:
    virtual ~TWindowStyleTarget() = default;
    virtual uint32_t GetWindowStyle() const = 0;
    virtual void SetWindowStyle(uint32_t style) = 0;
};

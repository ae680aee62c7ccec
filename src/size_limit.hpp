// The largest surface the renderer can take, and the check that every
// configured size passes before it reaches EGL or GL.
#pragma once

#include <cstdint>

struct size_limit {
    uint32_t width = 0;
    uint32_t height = 0;
};

// Within the context's viewport, and small enough that a buffer of 4 bytes a
// pixel stays under 2^31 bytes, as Mesa sizes its shared-memory pool in an
// int. w * h * 4 < 2^31 is compared as w * h < 2^29, which cannot overflow.
constexpr bool size_fits(uint32_t width, uint32_t height, size_limit limit)
{
    return width <= limit.width && height <= limit.height &&
           uint64_t(width) * height < uint64_t(1) << 29;
}

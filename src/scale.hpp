// How large a buffer an output's surface draws, from its size in surface
// units and what the compositor said of the output's scale. Free of any
// protocol object, so that its arithmetic can be checked exactly.
#pragma once

#include <cstdint>

// What the compositor has said, each 0 until it said it.
struct scale_hints {
    // wp_fractional_scale_v1.preferred_scale, in 120ths.
    uint32_t preferred_scale = 0;
    // wl_surface.preferred_buffer_scale (wl_surface 6 on).
    int32_t preferred_buffer_scale = 0;
    // wl_output.scale of the output the surface is on.
    int32_t output_scale = 0;
    // wl_surface.set_buffer_scale exists (wl_surface 3 on).
    bool buffer_scale_settable = false;
};

struct buffer_size {
    uint32_t width = 0;
    uint32_t height = 0;
    int32_t scale = 1;     // for wl_surface.set_buffer_scale
    bool viewport = false; // the viewport's destination is the surface size
    friend bool operator==(const buffer_size &, const buffer_size &) = default;
};

// A fractional scale comes first, then the surface's preferred buffer scale,
// then the output's; with none of them the buffer has the surface's size.
buffer_size settle_buffer_size(uint32_t width, uint32_t height, const scale_hints &hints);

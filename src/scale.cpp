#include "scale.hpp"

#include <limits>

namespace {

// Products too large for 32 bits stay too large: the size limit refuses them.
uint32_t saturated(uint64_t value)
{
    constexpr uint64_t most = std::numeric_limits<uint32_t>::max();
    return uint32_t(value < most ? value : most);
}

// fractional-scale-v1: the surface size times the scale, rounded halfway
// away from zero.
uint32_t times_120ths(uint32_t length, uint32_t scale)
{
    return saturated((uint64_t(length) * scale + 60) / 120);
}

} // namespace

buffer_size settle_buffer_size(uint32_t width, uint32_t height, const scale_hints &hints)
{
    if (hints.preferred_scale > 0) {
        // The buffer scale stays 1: the viewport maps the buffer onto the surface.
        return {times_120ths(width, hints.preferred_scale),
                times_120ths(height, hints.preferred_scale), 1, true};
    }
    int32_t scale = 1;
    if (hints.preferred_buffer_scale > 0)
        scale = hints.preferred_buffer_scale;
    else if (hints.output_scale > 0)
        scale = hints.output_scale;
    if (!hints.buffer_scale_settable)
        scale = 1;
    // Whole multiples of the scale, as a buffer of that scale must be.
    return {saturated(uint64_t(width) * uint32_t(scale)),
            saturated(uint64_t(height) * uint32_t(scale)), scale, false};
}

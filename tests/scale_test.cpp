#include "scale.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

TEST(Scale, TheFirstScaleTheCompositorGaveSizesTheBuffer)
{
    // Hints: preferred_scale (120ths), preferred_buffer_scale, output scale,
    // whether the surface takes a buffer scale.
    struct scale_case {
        const char *what;
        scale_hints hints;
        uint32_t width, height;
        buffer_size buffer;
    };
    // clang-format off
    const scale_case cases[] = {
        {"nothing said", {0, 0, 0, true}, 640, 480, {640, 480, 1, false}},
        {"output scale 2", {0, 0, 2, true}, 320, 240, {640, 480, 2, false}},
        {"no buffer scale on wl_surface 1 and 2", {0, 0, 2, false}, 320, 240, {320, 240, 1, false}},
        {"the surface's preference before the output's", {0, 1, 2, true}, 640, 480,
         {640, 480, 1, false}},
        {"a scale below 1 is none", {0, -2, -2, true}, 640, 480, {640, 480, 1, false}},
        {"fractional 1.5 before both", {180, 2, 2, true}, 426, 320, {639, 480, 1, true}},
        {"fractional without a buffer scale", {180, 0, 0, false}, 427, 320, {641, 480, 1, true}},
        // 426 * 1.25 = 532.5 and 427 * 1.25 = 533.75: halfway goes up.
        {"fractional 1.25 rounds halfway away from zero", {150, 0, 0, true}, 426, 427,
         {533, 534, 1, true}},
        {"fractional 2", {240, 0, 0, true}, 320, 240, {640, 480, 1, true}},
        {"products past 32 bits stay too large", {0, 0, 3, true}, 0x80000000u, 1,
         {0xffffffffu, 3, 3, false}},
    };
    // clang-format on
    for (const auto &c : cases) {
        const buffer_size got = settle_buffer_size(c.width, c.height, c.hints);
        EXPECT_EQ(got.width, c.buffer.width) << c.what;
        EXPECT_EQ(got.height, c.buffer.height) << c.what;
        EXPECT_EQ(got.scale, c.buffer.scale) << c.what;
        EXPECT_EQ(got.viewport, c.buffer.viewport) << c.what;
    }
}

} // namespace

#include "pacing.hpp"
#include "size_limit.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <limits>

namespace {

constexpr float inf = std::numeric_limits<float>::infinity();

TEST(Pacing, FrameIntervalFollowsTheSinglePrecisionQuotient)
{
    // The float quotient rounds up, so these are a nanosecond over 1e9 / fps.
    EXPECT_EQ(frame_interval(60.0f).sec, 0);
    EXPECT_EQ(frame_interval(60.0f).nsec, 16666667);
    EXPECT_EQ(frame_interval(30.0f).nsec, 33333334);
    EXPECT_EQ(frame_interval(24.0f).nsec, 41666668);
    EXPECT_EQ(frame_interval(1.0f).sec, 1);
    EXPECT_EQ(frame_interval(1.0f).nsec, 0);
    EXPECT_EQ(frame_interval(0.5f).sec, 2);
    EXPECT_EQ(frame_interval(0.4f).sec, 2);
    EXPECT_EQ(frame_interval(0.4f).nsec, 500000000);

    for (float fps : {inf, 1.5e9f, 1e10f, std::numeric_limits<float>::max()}) {
        EXPECT_EQ(frame_interval(fps).sec, 0) << fps;
        EXPECT_EQ(frame_interval(fps).nsec, 0) << fps;
    }
}

TEST(Pacing, FrameIntervalSaturatesAtExtremelyLowRates)
{
    for (float fps : {1e-10f, 1e-20f, std::numeric_limits<float>::denorm_min()}) {
        clock_reading interval = frame_interval(fps);
        EXPECT_EQ(interval.sec, INT64_MAX / 1000000000) << fps;
        EXPECT_EQ(interval.nsec, INT64_MAX % 1000000000) << fps;
    }
    // Just above the saturation point the count is still exact to the float.
    EXPECT_EQ(frame_interval(1e-9f).sec, int64_t(1e9f / 1e-9f) / 1000000000);
}

TEST(Pacing, PollTimeoutTruncatesOnlyTheNanosecondDifference)
{
    struct timeout_case {
        clock_reading deadline, now;
        int ms;
    };
    const timeout_case cases[] = {
        {{10, 999999999}, {10, 0}, 999},          // almost a whole second left
        {{11, 0}, {10, 999999999}, 1},            // 1 ns left: at least 1
        {{11, 500000}, {10, 999000000}, 2},      // 1000 ms + truncated -998.5 ms
        {{10, 0}, {10, 0}, 1},                    // due now: never zero
        {{9, 0}, {10, 0}, 1},                     // overdue
        {{12, 0}, {10, 1}, 2000},                 // -1 ns truncates to 0 ms
        {{INT64_MAX / 2, 0}, {0, 0}, INT_MAX},    // clamped for poll's int
    };
    for (const auto &c : cases)
        EXPECT_EQ(poll_timeout_ms(c.deadline, c.now), c.ms) << c.deadline.sec << "." << c.deadline.nsec;
}

TEST(Pacing, RemainingSecondsRoundsProductThenSum)
{
    EXPECT_FLOAT_EQ(remaining_seconds({10, 500000000}, {10, 0}), 0.5f);
    EXPECT_LT(remaining_seconds({10, 0}, {10, 1}), 0.0f);
    EXPECT_EQ(remaining_seconds({10, 0}, {10, 0}), 0.0f);
    float expected = float(int64_t(-999999999)) * 1e-9f;
    expected = expected + float(int64_t(3));
    EXPECT_EQ(remaining_seconds({13, 0}, {10, 999999999}), expected);
}

TEST(Pacing, CatchUpCountIsWholeIntervalsAtLeastOne)
{
    struct k_case {
        float remaining, fps;
        int32_t k;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const k_case cases[] = {
        {-0.5f, 1.0f, 1},   {-1.5f, 1.0f, 1},    {-2.7f, 1.0f, 2},
        {0.5f, 1.0f, 1},    // early tick (forced by a resize)
        {-1.0f, inf, 1},    // late under the default rate: infinite product
        {0.0f, inf, 1},     // due exactly: 0 x infinity is not a number
        {nan, 60.0f, 1},    {-2147483648.0f, 1.0f, 1}, {-1e30f, 1e30f, 1},
        {-10.0f, 60.0f, 600},
    };
    for (const auto &c : cases)
        EXPECT_EQ(catch_up_count(c.remaining, c.fps), c.k) << c.remaining << " " << c.fps;
}

TEST(Pacing, NextDeadlineCarriesOnlyPastAWholeSecond)
{
    clock_reading interval{0, 400000000};
    clock_reading d = next_deadline({5, 600000000}, interval, 1);
    EXPECT_EQ(d.sec, 5);
    EXPECT_EQ(d.nsec, 1000000000); // exactly one second stays in the nanoseconds

    d = next_deadline({5, 600000001}, interval, 1);
    EXPECT_EQ(d.sec, 6);
    EXPECT_EQ(d.nsec, 1);

    d = next_deadline({5, 1000000000}, interval, 1);
    EXPECT_EQ(d.sec, 6);
    EXPECT_EQ(d.nsec, 400000000);

    // k intervals at once: 3 x 0.4 s = 1 s + 0.2 s.
    d = next_deadline({5, 900000000}, interval, 3);
    EXPECT_EQ(d.sec, 7);
    EXPECT_EQ(d.nsec, 100000000);

    d = next_deadline({5, 0}, {2, 500000000}, 2);
    EXPECT_EQ(d.sec, 10);
    EXPECT_EQ(d.nsec, 0);

    // The default rate's interval of 0 keeps the deadline where it is.
    d = next_deadline({5, 123}, {0, 0}, 1);
    EXPECT_EQ(d.sec, 5);
    EXPECT_EQ(d.nsec, 123);

    // The grid never drifts: 60 steps at 60 fps land on start + 60 intervals.
    clock_reading step = frame_interval(60.0f), grid{100, 0};
    for (int i = 0; i < 60; i++)
        grid = next_deadline(grid, step, 1);
    EXPECT_EQ(grid.sec * 1000000000 + grid.nsec, 100 * 1000000000LL + 60 * 16666667LL);
}

TEST(Pacing, NextDeadlineSaturatesInsteadOfOverflowing)
{
    clock_reading huge = frame_interval(1e-20f);
    clock_reading d = next_deadline({1000, 0}, huge, INT32_MAX);
    EXPECT_EQ(d.sec, INT64_MAX);
}

TEST(Pacing, ShaderSecondsRoundEachStepInSinglePrecision)
{
    EXPECT_EQ(shader_seconds({12, 500000000}, {10, 0}, 1.0f), 2.5f);
    EXPECT_EQ(shader_seconds({12, 500000000}, {10, 0}, 2.0f), 5.0f);
    // A nanosecond difference that borrows from the seconds.
    EXPECT_FLOAT_EQ(shader_seconds({11, 100000000}, {10, 900000000}, 1.0f), 0.2f);
    float step = float(int64_t(-800000000)) * 1e-9f;
    step = step + 1.0f;
    EXPECT_EQ(shader_seconds({11, 100000000}, {10, 900000000}, 1.0f), step);
    // After about 36 hours the float advances in steps of 1/64 s.
    float long_run = shader_seconds({131072, 5000000}, {0, 0}, 1.0f);
    EXPECT_EQ(std::fmod(long_run, 1.0f / 64), 0.0f);
}

// Ticks at `hz` for `seconds`, from `rate`.
float ticks(float rate, float hz, float seconds)
{
    for (float t = 0.0f; t < seconds; t += 1.0f / hz)
        rate = smoothed_rate(rate, 1.0f / hz);
    return rate;
}

TEST(Pacing, SmoothedRateFollowsTheLastSecondOrSo)
{
    // A new rate is taken within a few seconds, whatever it is.
    EXPECT_NEAR(ticks(60.0f, 60.0f, 1.0f), 60.0f, 0.01f);
    EXPECT_NEAR(ticks(60.0f, 30.0f, 4.0f), 30.0f, 0.6f);
    EXPECT_NEAR(ticks(60.0f, 144.0f, 4.0f), 144.0f, 3.0f);
    EXPECT_NEAR(ticks(60.0f, 2.0f, 6.0f), 2.0f, 0.05f);
    // A single late tick shows, and fades.
    float late = smoothed_rate(60.0f, 0.1f);
    EXPECT_LT(late, 56.0f);
    EXPECT_NEAR(ticks(late, 60.0f, 3.0f), 60.0f, 1.2f);
    // After ten minutes without a tick, the rate is back within seconds.
    float paused = smoothed_rate(60.0f, 600.0f);
    EXPECT_LT(paused, 0.01f);
    EXPECT_NEAR(ticks(paused, 60.0f, 4.0f), 60.0f, 1.2f);
    // Two ticks in the same nanosecond, or a clock gone wrong, change nothing.
    for (float interval : {0.0f, -1.0f, std::numeric_limits<float>::quiet_NaN()})
        EXPECT_EQ(smoothed_rate(60.0f, interval), 60.0f) << interval;
}

TEST(SizeLimit, FitsTheViewportAndAPoolUnderTwoGibibytes)
{
    const size_limit viewport{16384, 16384}, unbounded{UINT32_MAX, UINT32_MAX};
    struct size_case {
        uint32_t width, height;
        size_limit limit;
        bool fits;
    };
    const size_case cases[] = {
        {16384, 16384, viewport, true}, // at the viewport: a 1 GiB buffer
        {16385, 16384, viewport, false},
        {16384, 16385, viewport, false},
        {UINT32_MAX, 64, viewport, false},
        {16384, 32767, unbounded, true},              // 64 KiB under 2^31 bytes
        {32768, 16384, unbounded, false},             // exactly 2^31 bytes
        {65536, 65536, unbounded, false},             // w * h * 4 wraps to 0 in 32 bits
        {2147483648u, 2147483648u, unbounded, false}, // and to 0 in 64 bits
        {UINT32_MAX, UINT32_MAX, unbounded, false},
        {0, 0, viewport, true}, // no size yet: nothing to refuse
    };
    for (const auto &c : cases)
        EXPECT_EQ(size_fits(c.width, c.height, c.limit), c.fits) << c.width << "x" << c.height;
}

} // namespace

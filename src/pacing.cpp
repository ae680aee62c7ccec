#include "pacing.hpp"

#include <climits>
#include <cstdint>
#include <limits>

namespace {

constexpr int64_t ns_per_s = 1'000'000'000;

// The smallest float that no longer fits an int64_t: 2^63.
constexpr float int64_limit = 9223372036854775808.0f;
// The smallest float that no longer fits an int32_t: 2^31.
constexpr float int32_limit = 2147483648.0f;

int64_t saturating_add(int64_t a, int64_t b)
{
    int64_t sum;
    if (__builtin_add_overflow(a, b, &sum))
        return b > 0 ? INT64_MAX : INT64_MIN;
    return sum;
}

int64_t saturating_mul(int64_t a, int64_t b)
{
    int64_t product;
    if (__builtin_mul_overflow(a, b, &product))
        return (a < 0) == (b < 0) ? INT64_MAX : INT64_MIN;
    return product;
}

} // namespace

clock_reading read_clock()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return {int64_t(ts.tv_sec), int64_t(ts.tv_nsec)};
}

clock_reading frame_interval(float fps)
{
    float quotient = 1000000000.0f / fps;
    int64_t count = quotient >= int64_limit ? INT64_MAX : int64_t(quotient);
    return {count / ns_per_s, count % ns_per_s};
}

int poll_timeout_ms(clock_reading deadline, clock_reading now)
{
    int64_t ms = saturating_add(saturating_mul(deadline.sec - now.sec, 1000),
                                (deadline.nsec - now.nsec) / 1'000'000);
    if (ms < 1)
        return 1;
    return ms > INT_MAX ? INT_MAX : int(ms);
}

float remaining_seconds(clock_reading deadline, clock_reading now)
{
    float d_ns = float(deadline.nsec - now.nsec);
    float d_s = float(deadline.sec - now.sec);
    float scaled = d_ns * 1e-9f;
    return scaled + d_s;
}

int32_t catch_up_count(float remaining, float fps)
{
    float product = -remaining * fps;
    // Negated comparisons so that NaN falls through to 1 as well.
    if (!(product >= 1.0f) || !(product < int32_limit))
        return 1;
    return int32_t(product);
}

clock_reading next_deadline(clock_reading deadline, clock_reading interval, int32_t k)
{
    int64_t total = saturating_mul(interval.nsec, k);
    int64_t q = total / ns_per_s;
    int64_t r = total - q * ns_per_s;
    int64_t n = deadline.nsec + r;
    int64_t carry = 0;
    if (n > ns_per_s) {
        n -= ns_per_s;
        carry = 1;
    }
    int64_t sec = saturating_add(deadline.sec, saturating_mul(interval.sec, k));
    sec = saturating_add(sec, q + carry);
    return {sec, n};
}

float shader_seconds(clock_reading now, clock_reading origin, float speed)
{
    float n = float(now.nsec - origin.nsec);
    float s = float(now.sec - origin.sec);
    float scaled = n * 1e-9f;
    float seconds = scaled + s;
    return seconds * speed;
}

float smoothed_rate(float rate, float interval)
{
    if (!(interval > 0.0f))
        return rate;
    float weight = interval < 1.0f ? interval : 1.0f;
    return rate + (1.0f / interval - rate) * weight;
}

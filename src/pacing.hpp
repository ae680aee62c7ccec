// The arithmetic of the frame clock, free of any I/O so that it can be
// checked exactly. Readings are CLOCK_MONOTONIC pairs; differences are formed
// part by part in integers and only differences are turned into seconds.
#pragma once

#include <cstdint>
#include <ctime>

struct clock_reading {
    int64_t sec = 0;
    int64_t nsec = 0;
};

clock_reading read_clock();

// 1e9 / fps in single precision, truncated to whole nanoseconds (saturated
// for rates too low to count in 64 bits) and split into seconds and the rest.
clock_reading frame_interval(float fps);

// Milliseconds until the deadline: the nanosecond difference alone is
// truncated, never less than 1, never more than poll can take.
int poll_timeout_ms(clock_reading deadline, clock_reading now);

// Seconds until the deadline in single precision: negative once it has passed.
float remaining_seconds(clock_reading deadline, clock_reading now);

// Whole intervals of lateness, at least 1; 1 for anything out of range.
int32_t catch_up_count(float remaining, float fps);

// The deadline moved on by k intervals in exact integers. A nanosecond sum of
// exactly one second stays in the nanosecond part.
clock_reading next_deadline(clock_reading deadline, clock_reading interval, int32_t k);

// Seconds from origin to now, scaled by speed, rounded in single precision
// step by step: the shader's iTime and iTimeDelta.
float shader_seconds(clock_reading now, clock_reading origin, float speed);

// The tick rate after a tick `interval` real seconds after the one before:
// each tick's own rate weighs in by the share of a second it spans, so the
// value follows about the last second of ticks at any rate, and comes back
// within a second or two after a long pause. A zero interval changes nothing.
float smoothed_rate(float rate, float interval);

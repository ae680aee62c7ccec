#include "event_loop.hpp"

#include "messages.hpp"
#include "outputs.hpp"
#include "pacing.hpp"
#include "shader.hpp"
#include "state.hpp"

#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <ctime>

namespace {

struct frame_clock {
    clock_reading start_time;
    clock_reading frame_interval;
    clock_reading deadline;
    clock_reading last_tick;
};

bool any_output(const app_state *state, bool (*test)(const output_state *))
{
    output_state *output;
    wl_list_for_each(output, &state->outputs, link)
    {
        if (test(output))
            return true;
    }
    return false;
}

bool resize_pending(const output_state *output)
{
    return output->needs_resize != 0;
}

void render_tick(app_state *state, frame_clock *clock, clock_reading now, float remaining)
{
    int32_t k = catch_up_count(remaining, state->fps);
    clock_reading deadline = next_deadline(clock->deadline, clock->frame_interval, k);

    state->time = shader_seconds(now, clock->start_time, state->speed);
    state->time_delta = shader_seconds(now, clock->last_tick, state->speed);
    state->frame++;
    state->frame_rate =
        smoothed_rate(state->frame_rate, shader_seconds(now, clock->last_tick, 1.0f));
    clock_gettime(CLOCK_REALTIME, &state->wall_clock);

    // Every ready output is drawn before any is presented, so that all of
    // them show the same tick.
    output_state *output, *next, *last_drawn = nullptr;
    wl_list_for_each_safe(output, next, &state->outputs, link)
    {
        if (!output_ready(output))
            continue;
        // A configure that came while the output had a frame in flight is
        // acknowledged only now, right before the frame that takes its size.
        if (output->needs_ack == 1) {
            output->needs_ack = 0;
            ack_layer_configure(output->layer_surface, output->configure_serial);
        }
        if (output->needs_resize == 1) {
            output->needs_resize = 0;
            resize_output(output);
        }
        draw_output(output);
        last_drawn = output;
    }

    clock->deadline = deadline;

    // Each swap needs its output's surface current. The draw pass left the
    // last drawn one current, and making it current again only costs time.
    output_state *current = last_drawn;
    wl_list_for_each_safe(output, next, &state->outputs, link)
    {
        if (!output_ready(output))
            continue;
        if (output != current) {
            if (eglMakeCurrent(state->egl_display, output->egl_surface, output->egl_surface,
                               state->egl_context) == EGL_FALSE)
                fail(msg::make_current_failed);
            current = output;
        }
        present_output(output);
    }

    clock->last_tick = now;
}

} // namespace

void run_event_loop(app_state *state)
{
    frame_clock clock;
    clock.start_time = read_clock();
    clock.frame_interval = frame_interval(state->fps);
    int display_fd = wl_display_get_fd(state->display);
    if (wl_display_dispatch_pending(state->display) == -1) {
        fputs(msg::dispatch_failed, stderr);
        return;
    }
    clock.deadline = clock.start_time;
    clock.last_tick = clock.start_time;

    for (;;) {
        if (wl_display_flush(state->display) == -1 && errno != EAGAIN) {
            fputs(msg::flush_failed, stderr);
            return;
        }

        // Only an output that could be drawn needs a timeout: the rest wake
        // the loop through their events, so an idle program sleeps.
        clock_reading now = read_clock();
        bool ready = any_output(state, output_ready);
        int timeout = ready ? poll_timeout_ms(clock.deadline, now) : -1;

        pollfd fds = {.fd = display_fd, .events = POLLIN, .revents = 0};
        if (poll(&fds, 1, timeout) < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                fputs(msg::poll_failed, stderr);
                return;
            }
        } else {
            // A hang-up is read too, so that the read reports the lost connection
            // instead of poll waking at once on every pass.
            if (fds.revents & (POLLIN | POLLHUP | POLLERR)) {
                if (wl_display_prepare_read(state->display) == -1) {
                    fputs(msg::prepare_read_failed, stderr);
                    return;
                }
                if (wl_display_read_events(state->display) == -1) {
                    fputs(msg::read_failed, stderr);
                    return;
                }
                // Handled before the tick decision, so that a frame-done event
                // makes its output drawable in this pass: otherwise every frame
                // would cost another wake-up and at least a millisecond.
                if (wl_display_dispatch_pending(state->display) == -1) {
                    fputs(msg::dispatch_failed, stderr);
                    return;
                }
                ready = any_output(state, output_ready);
            }

            bool resize = any_output(state, resize_pending);
            now = read_clock();
            float remaining = remaining_seconds(clock.deadline, now);
            if (ready && (remaining <= 0.0f || resize))
                render_tick(state, &clock, now, remaining);
        }

        // Swapping buffers may read the connection and queue our events
        // without dispatching them; they must not wait for the next wake-up.
        if (wl_display_dispatch_pending(state->display) == -1) {
            fputs(msg::dispatch_failed, stderr);
            return;
        }
    }
}

// The registry, the outputs it announces, and the layer surface that each
// chosen output carries.
#include "outputs.hpp"

#include "fractional-scale-v1-client-protocol.h"
#include "messages.hpp"
#include "shader.hpp"
#include "state.hpp"
#include "viewporter-client-protocol.h"
#include "wlr-layer-shell-unstable-v1-client-protocol.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t anchor_all_edges =
    ZWLR_LAYER_SURFACE_V1_ANCHOR_TOP | ZWLR_LAYER_SURFACE_V1_ANCHOR_BOTTOM |
    ZWLR_LAYER_SURFACE_V1_ANCHOR_LEFT | ZWLR_LAYER_SURFACE_V1_ANCHOR_RIGHT;

// The newest wl_compositor whose surface events this build can take: the
// headers of libwayland 1.22 on know wl_surface 6 and its preferred buffer
// scale, older ones stop at 5.
#ifdef WL_SURFACE_PREFERRED_BUFFER_SCALE_SINCE_VERSION
constexpr uint32_t compositor_version = WL_SURFACE_PREFERRED_BUFFER_SCALE_SINCE_VERSION;
#else
constexpr uint32_t compositor_version = WL_SURFACE_OFFSET_SINCE_VERSION;
#endif

// Settles the buffer from the surface size and what the compositor said of
// the scale. Checked before any buffer of that size exists, so that no size
// the renderer cannot take reaches EGL or GL: both read sizes as int, and
// Mesa's buffer arithmetic overflows long before that. Once a window exists,
// a new size waits for the loop, which applies it right before it next draws
// the output.
void settle_buffer(output_state *output)
{
    buffer_size buffer = settle_buffer_size(output->width, output->height, output->scale);
    if (!size_fits(buffer.width, buffer.height, output->state->max_size)) {
        fprintf(stderr, msg::size_too_large, buffer.width, buffer.height);
        exit(1);
    }
    if (buffer == output->buffer)
        return;
    output->buffer = buffer;
    if (output->egl_window)
        output->needs_resize = 1;
}

// Buffer scale and viewport are double-buffered: they take effect with the
// commit of the next swap, which brings the buffer of the new size.
void scale_surface(output_state *output)
{
    if (output->buffer.scale != output->surface_scale) {
        wl_surface_set_buffer_scale(output->surface, output->buffer.scale);
        output->surface_scale = output->buffer.scale;
    }
    if (output->buffer.viewport)
        wp_viewport_set_destination(output->viewport, int32_t(output->width),
                                    int32_t(output->height));
}

void handle_layer_surface_configure(void *data, zwlr_layer_surface_v1 *layer_surface,
                                    uint32_t serial, uint32_t width, uint32_t height)
{
    auto *output = static_cast<output_state *>(data);
    app_state *state = output->state;
    // A dimension of 0 is left to the client, which keeps the one it has.
    if (width != 0)
        output->width = width;
    if (height != 0)
        output->height = height;
    settle_buffer(output);

    // Once a window exists, the loop acknowledges and resizes right before it
    // next draws this output, so the new size arrives with that frame's commit.
    if (output->egl_window) {
        output->needs_ack = 1;
        output->needs_resize = 1;
        output->configure_serial = serial;
        return;
    }

    ack_layer_configure(layer_surface, serial);
    // EGL makes no window without a size: the output waits, acknowledged and
    // without a buffer, for a configure that gives it both dimensions.
    if (output->width == 0 || output->height == 0)
        return;
    output->egl_window = wl_egl_window_create(output->surface, int32_t(output->buffer.width),
                                              int32_t(output->buffer.height));
    if (!output->egl_window)
        fail(msg::window_surface_failed);
    scale_surface(output);
    output->egl_surface =
        eglCreateWindowSurface(state->egl_display, state->egl_config,
                               reinterpret_cast<EGLNativeWindowType>(output->egl_window), nullptr);
    if (output->egl_surface == EGL_NO_SURFACE)
        fail(msg::window_surface_failed);

    draw_output(output);
    // The loop paces every output by its frame callbacks, so EGL must not
    // also wait for the display.
    if (eglSwapInterval(state->egl_display, 0) == EGL_FALSE)
        fail(msg::swap_interval_failed);
    present_output(output);
}

void handle_layer_surface_closed(void *data, zwlr_layer_surface_v1 *)
{
    output_destroy(static_cast<output_state *>(data));
}

const zwlr_layer_surface_v1_listener layer_surface_listener = {
    .configure = handle_layer_surface_configure,
    .closed = handle_layer_surface_closed,
};

void handle_frame_done(void *data, wl_callback *callback, uint32_t)
{
    auto *output = static_cast<output_state *>(data);
    if (callback != output->frame_callback)
        fail(msg::frame_tracking);
    wl_callback_destroy(callback);
    output->frame_callback = nullptr;
}

const wl_callback_listener frame_listener = {
    .done = handle_frame_done,
};

void handle_surface_enter(void *, wl_surface *, wl_output *) {}

void handle_surface_leave(void *, wl_surface *, wl_output *) {}

#ifdef WL_SURFACE_PREFERRED_BUFFER_SCALE_SINCE_VERSION
void handle_surface_preferred_buffer_scale(void *data, wl_surface *, int32_t factor)
{
    auto *output = static_cast<output_state *>(data);
    output->scale.preferred_buffer_scale = factor;
    settle_buffer(output);
}

void handle_surface_preferred_buffer_transform(void *, wl_surface *, uint32_t) {}
#endif

const wl_surface_listener surface_listener = {
    .enter = handle_surface_enter,
    .leave = handle_surface_leave,
#ifdef WL_SURFACE_PREFERRED_BUFFER_SCALE_SINCE_VERSION
    .preferred_buffer_scale = handle_surface_preferred_buffer_scale,
    .preferred_buffer_transform = handle_surface_preferred_buffer_transform,
#endif
};

void handle_fractional_scale_preferred_scale(void *data, wp_fractional_scale_v1 *, uint32_t scale)
{
    auto *output = static_cast<output_state *>(data);
    // 0 is no scale at all; it would also read as "none said yet".
    if (scale == 0)
        return;
    output->scale.preferred_scale = scale;
    settle_buffer(output);
}

const wp_fractional_scale_v1_listener fractional_scale_listener = {
    .preferred_scale = handle_fractional_scale_preferred_scale,
};

wl_callback *request_frame_callback(wl_surface *surface)
{
    wl_callback *callback = wl_surface_frame(surface);
    if (!callback)
        fail(msg::frame_callback_failed);
    return callback;
}

bool output_matches(const output_state *output)
{
    const char *wanted = output->state->output_name;
    if (strcmp(wanted, "*") == 0)
        return true;
    return output->name && strcmp(output->name, wanted) == 0;
}

void handle_output_geometry(void *, wl_output *, int32_t, int32_t, int32_t, int32_t, int32_t,
                            const char *, const char *, int32_t)
{
}

void handle_output_mode(void *, wl_output *, uint32_t, int32_t, int32_t, int32_t) {}

// The output's properties are complete: a matching output gets its surface
// here, once. Later done events can only bring a new scale.
void handle_output_done(void *data, wl_output *)
{
    auto *output = static_cast<output_state *>(data);
    app_state *state = output->state;
    if (output->surface) {
        settle_buffer(output);
        return;
    }
    if (!output_matches(output))
        return;
    // The first done can arrive inside the first round trip, before main has
    // checked the globals; without them there is nothing to ask for a surface,
    // and main reports which one is missing.
    if (!state->compositor || !state->layer_shell)
        return;

    output->surface = wl_compositor_create_surface(state->compositor);
    if (!output->surface)
        fail(msg::surface_failed);
    output->layer_surface = zwlr_layer_shell_v1_get_layer_surface(
        state->layer_shell, output->surface, output->wl_output, uint32_t(state->layer), "lumivane");
    if (!output->layer_surface)
        fail(msg::layer_surface_failed);
    zwlr_layer_surface_v1_set_anchor(output->layer_surface, anchor_all_edges);
    zwlr_layer_surface_v1_set_exclusive_zone(output->layer_surface, -1);
    zwlr_layer_surface_v1_add_listener(output->layer_surface, &layer_surface_listener, output);

    output->scale.buffer_scale_settable =
        state->compositor_version >= WL_SURFACE_SET_BUFFER_SCALE_SINCE_VERSION;
    wl_surface_add_listener(output->surface, &surface_listener, output);
    // A fractional scale needs both: the scale from one, and from the other a
    // viewport that maps the larger buffer onto the surface.
    if (state->fractional_scale_manager && state->viewporter) {
        output->viewport = wp_viewporter_get_viewport(state->viewporter, output->surface);
        output->fractional_scale = wp_fractional_scale_manager_v1_get_fractional_scale(
            state->fractional_scale_manager, output->surface);
        if (!output->viewport || !output->fractional_scale)
            fail(msg::surface_failed);
        wp_fractional_scale_v1_add_listener(output->fractional_scale, &fractional_scale_listener,
                                            output);
    }

    // The program takes no pointer input: an empty input region lets clicks
    // through to the windows below, which matters on the top and overlay layers.
    wl_region *region = wl_compositor_create_region(state->compositor);
    if (!region)
        fail(msg::region_failed);
    wl_surface_set_input_region(output->surface, region);
    wl_region_destroy(region);

    // No buffer yet: this commit asks the compositor for the first configure.
    wl_surface_commit(output->surface);
}

// Takes effect at the done that ends the output's changes.
void handle_output_scale(void *data, wl_output *, int32_t factor)
{
    static_cast<output_state *>(data)->scale.output_scale = factor;
}

void handle_output_name(void *data, wl_output *, const char *name)
{
    auto *output = static_cast<output_state *>(data);
    free(output->name);
    // Without a copy the output has no name and only "*" matches it.
    output->name = strdup(name);
}

void handle_output_description(void *, wl_output *, const char *) {}

const wl_output_listener output_listener = {
    .geometry = handle_output_geometry,
    .mode = handle_output_mode,
    .done = handle_output_done,
    .scale = handle_output_scale,
    .name = handle_output_name,
    .description = handle_output_description,
};

void handle_registry_global(void *data, wl_registry *registry, uint32_t name, const char *interface,
                            uint32_t version)
{
    auto *state = static_cast<app_state *>(data);
    if (strcmp(interface, wl_compositor_interface.name) == 0) {
        // From 3 on, surfaces take a buffer scale; from 6 on, they say which.
        state->compositor_version = std::min(version, compositor_version);
        state->compositor = static_cast<wl_compositor *>(
            wl_registry_bind(registry, name, &wl_compositor_interface, state->compositor_version));
    } else if (strcmp(interface, zwlr_layer_shell_v1_interface.name) == 0) {
        state->layer_shell = static_cast<zwlr_layer_shell_v1 *>(
            wl_registry_bind(registry, name, &zwlr_layer_shell_v1_interface, 1));
    } else if (strcmp(interface, wp_viewporter_interface.name) == 0) {
        state->viewporter = static_cast<wp_viewporter *>(
            wl_registry_bind(registry, name, &wp_viewporter_interface, 1));
    } else if (strcmp(interface, wp_fractional_scale_manager_v1_interface.name) == 0) {
        state->fractional_scale_manager = static_cast<wp_fractional_scale_manager_v1 *>(
            wl_registry_bind(registry, name, &wp_fractional_scale_manager_v1_interface, 1));
    } else if (strcmp(interface, wl_output_interface.name) == 0 && version >= 4) {
        auto *output = new (std::nothrow) output_state{};
        if (output) {
            output->wl_output =
                static_cast<wl_output *>(wl_registry_bind(registry, name, &wl_output_interface, 4));
        }
        if (!output || !output->wl_output) {
            delete output;
            fputs(msg::output_alloc_failed, stderr);
            return;
        }
        wl_output_add_listener(output->wl_output, &output_listener, output);
        output->state = state;
        output->global_name = name;
        wl_list_insert(&state->outputs, &output->link);
    }
}

void handle_registry_global_remove(void *data, wl_registry *, uint32_t name)
{
    auto *state = static_cast<app_state *>(data);
    output_state *output, *next;
    wl_list_for_each_safe(output, next, &state->outputs, link)
    {
        if (output->global_name == name)
            output_destroy(output);
    }
}

} // namespace

const wl_registry_listener registry_listener = {
    .global = handle_registry_global,
    .global_remove = handle_registry_global_remove,
};

void output_destroy(output_state *output)
{
    if (output->frame_callback)
        wl_callback_destroy(output->frame_callback);
    if (output->egl_surface)
        eglDestroySurface(output->state->egl_display, output->egl_surface);
    // Add-ons and the role object go before the surface they belong to:
    // compositors that enforce it (wlroots 0.18 on) end the whole connection
    // otherwise.
    if (output->fractional_scale)
        wp_fractional_scale_v1_destroy(output->fractional_scale);
    if (output->viewport)
        wp_viewport_destroy(output->viewport);
    if (output->layer_surface)
        zwlr_layer_surface_v1_destroy(output->layer_surface);
    if (output->surface)
        wl_surface_destroy(output->surface);
    if (output->egl_window)
        wl_egl_window_destroy(output->egl_window);
    free(output->name);
    // Released rather than only forgotten: the compositor then frees its side
    // and deletes the id, where a local destroy would leave both held for the
    // rest of the run, one per output that ever came and went.
    wl_output_release(output->wl_output);
    wl_list_remove(&output->link);
    delete output;
}

void ack_layer_configure(zwlr_layer_surface_v1 *layer_surface, uint32_t serial)
{
    zwlr_layer_surface_v1_ack_configure(layer_surface, serial);
}

void resize_output(output_state *output)
{
    scale_surface(output);
    wl_egl_window_resize(output->egl_window, int32_t(output->buffer.width),
                         int32_t(output->buffer.height), 0, 0);
}

void present_output(output_state *output)
{
    // Requested before the swap, so that it belongs to the swap's commit.
    output->frame_callback = request_frame_callback(output->surface);
    wl_callback_add_listener(output->frame_callback, &frame_listener, output);
    if (eglSwapBuffers(output->state->egl_display, output->egl_surface) == EGL_FALSE)
        fail(msg::swap_failed);
}

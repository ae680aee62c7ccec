// The registry, the outputs it announces, and the layer surface that each
// chosen output carries.
#include "outputs.hpp"

#include "messages.hpp"
#include "shader.hpp"
#include "state.hpp"
#include "wlr-layer-shell-unstable-v1-client-protocol.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t anchor_all_edges =
    ZWLR_LAYER_SURFACE_V1_ANCHOR_TOP | ZWLR_LAYER_SURFACE_V1_ANCHOR_BOTTOM |
    ZWLR_LAYER_SURFACE_V1_ANCHOR_LEFT | ZWLR_LAYER_SURFACE_V1_ANCHOR_RIGHT;

void handle_layer_surface_configure(void *data, zwlr_layer_surface_v1 *layer_surface,
                                    uint32_t serial, uint32_t width, uint32_t height)
{
    auto *output = static_cast<output_state *>(data);
    app_state *state = output->state;
    // A dimension of 0 is left to the client, which keeps the one it has.
    uint32_t new_width = width != 0 ? width : output->width;
    uint32_t new_height = height != 0 ? height : output->height;
    // Checked before it is kept, so that no size the renderer cannot take
    // reaches EGL or GL: both read sizes as int, and Mesa's buffer arithmetic
    // overflows long before that.
    if (!size_fits(new_width, new_height, state->max_size)) {
        fprintf(stderr, msg::size_too_large, new_width, new_height);
        exit(1);
    }
    output->width = new_width;
    output->height = new_height;

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
    output->egl_window =
        wl_egl_window_create(output->surface, int32_t(output->width), int32_t(output->height));
    if (!output->egl_window)
        fail(msg::window_surface_failed);
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
// here, once. Later done events (mode or scale changes) change nothing.
void handle_output_done(void *data, wl_output *)
{
    auto *output = static_cast<output_state *>(data);
    app_state *state = output->state;
    if (output->surface || !output_matches(output))
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

void handle_output_scale(void *, wl_output *, int32_t) {}

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
        state->compositor = static_cast<wl_compositor *>(
            wl_registry_bind(registry, name, &wl_compositor_interface, 1));
    } else if (strcmp(interface, zwlr_layer_shell_v1_interface.name) == 0) {
        state->layer_shell = static_cast<zwlr_layer_shell_v1 *>(
            wl_registry_bind(registry, name, &zwlr_layer_shell_v1_interface, 1));
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
    // A role object goes before the surface it gives the role to: compositors
    // that enforce it (wlroots 0.18 on) end the whole connection otherwise.
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

void present_output(output_state *output)
{
    // Requested before the swap, so that it belongs to the swap's commit.
    output->frame_callback = request_frame_callback(output->surface);
    wl_callback_add_listener(output->frame_callback, &frame_listener, output);
    if (eglSwapBuffers(output->state->egl_display, output->egl_surface) == EGL_FALSE)
        fail(msg::swap_failed);
}

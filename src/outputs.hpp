#pragma once

#include <wayland-client.h>

#include <cstdint>

struct app_state;
struct output_state;
struct zwlr_layer_surface_v1;

extern const wl_registry_listener registry_listener;
extern const wl_callback_listener frame_listener;

// Releases everything the record holds, unlinks it and frees it.
void output_destroy(output_state *output);

void ack_layer_configure(zwlr_layer_surface_v1 *layer_surface, uint32_t serial);

// The caller stores the callback and adds frame_listener before it swaps.
wl_callback *request_frame_callback(wl_surface *surface);

#pragma once

#include <wayland-client.h>

#include <cstdint>

struct app_state;
struct output_state;
struct zwlr_layer_surface_v1;

extern const wl_registry_listener registry_listener;

// Releases everything the record holds, unlinks it and frees it.
void output_destroy(output_state *output);

void ack_layer_configure(zwlr_layer_surface_v1 *layer_surface, uint32_t serial);

// Gives the output's window the buffer size settled last, with the buffer
// scale or viewport that go with it; they all arrive with the next swap.
void resize_output(output_state *output);

// Swaps the output's current surface, with a frame callback that says when
// the output may be drawn again.
void present_output(output_state *output);

#pragma once

struct app_state;
struct output_state;

// Builds the one GL program from the user's file and uploads the triangle.
bool load_shaders(app_state *state);

// Prints every pending GL error under the label; true when there was none.
bool check_gl_errors(const char *label);

// Renders one frame into the output's back buffer, leaving its surface
// current; the caller swaps. Ends the process on any failure.
void draw_output(output_state *output);

#pragma once

struct app_state;

// Opens EGL on the Wayland connection and makes the one desktop GL context
// current without a surface, so that the shader can be built before any
// output exists.
bool init_egl(app_state *state);

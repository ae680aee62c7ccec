#pragma once

struct app_state;

// Waits on the connection, dispatches its events and draws every ready output
// on the frame clock. Returns only after the connection failed, its line
// written.
void run_event_loop(app_state *state);

#include "cli.hpp"
#include "egl.hpp"
#include "event_loop.hpp"
#include "messages.hpp"
#include "outputs.hpp"
#include "shader.hpp"
#include "state.hpp"

#include <cstdio>

int main(int argc, char **argv)
{
    // Static, so that what it holds stays reachable after main returns: the
    // run releases nothing, and a leak checker at exit must not take the
    // connection and the outputs for leaks.
    static app_state state;
    wl_list_init(&state.outputs);

    if (std::optional<int> status = parse_command_line(argc, argv, &state))
        return *status;

    state.display = wl_display_connect(nullptr);
    if (!state.display) {
        fputs(msg::connect_failed, stderr);
        return 1;
    }

    // The registry's events wait for the first round trip, after EGL and the
    // shader exist: the first configure of an output draws at once.
    state.registry = wl_display_get_registry(state.display);
    wl_registry_add_listener(state.registry, &registry_listener, &state);

    if (!init_egl(&state))
        return 1;
    if (!load_shaders(&state))
        return 1;

    // The first round trip binds the globals. The outputs answer their bind
    // at once, so their names and first done usually arrive in the same read
    // and a matching output gets its layer surface already there; the second
    // round trip makes sure every output has answered before the loop starts.
    if (wl_display_roundtrip(state.display) != -1) {
        if (!state.compositor) {
            fputs(msg::no_compositor, stderr);
            return 1;
        }
        if (!state.layer_shell) {
            fputs(msg::no_layer_shell, stderr);
            return 1;
        }
    }
    wl_display_roundtrip(state.display);

    run_event_loop(&state);
    return 0;
}

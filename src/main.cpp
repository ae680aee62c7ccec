#include "cli.hpp"
#include "messages.hpp"
#include "state.hpp"

#include <cstdio>

int main(int argc, char **argv)
{
    app_state state;
    wl_list_init(&state.outputs);

    if (std::optional<int> status = parse_command_line(argc, argv, &state))
        return *status;

    state.display = wl_display_connect(nullptr);
    if (!state.display) {
        fputs(msg::connect_failed, stderr);
        return 1;
    }

    state.registry = wl_display_get_registry(state.display);

    return 0;
}

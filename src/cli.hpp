#pragma once

#include <optional>

struct app_state;

// Reads the settings into state and prints the run line. Returns the status
// main must end with, or nothing when start-up goes on.
std::optional<int> parse_command_line(int argc, char **argv, app_state *state);
